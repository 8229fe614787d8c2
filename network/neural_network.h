// A fully connected feed-forward network of sigmoid neurons, its training and its file
// (network_file.h describes the file).
//
// For layer sizes n(0) ... n(L-1) (layer 0 is the input) every list below holds L-1 entries,
// entry k belonging to layer k+1. The network owns all its values and shares nothing;
// activations and weightedInputs are a cache that every forward pass overwrites. Training
// runs on the fast engine (engine/training_engine.h), which works on a copy of the layers.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <span>
#include <string>
#include <vector>

#include "distortion/distortion_parameters.h"
#include "engine/training_engine.h"
#include "math/matrix.h"
#include "mnist/image_set.h"
#include "network/network_file.h"

// What training tells an observer after each epoch (for progress displays).
struct EpochResult {
  uint32_t epoch = 0;  // counted from 0, as the epoch lines are
  uint32_t epochCount = 0;
  double learningRate = 0.0;  // the rate this epoch trained with
  double accuracy = 0.0;      // percent of the test set; NaN without one
  double bestAccuracy = 0.0;  // the best accuracy up to and including this epoch
  uint32_t bestEpoch = 0;
  bool saved = false;       // this epoch's network was written to the file
  bool saveFailed = false;  // a save was due and failed (its message is printed)
};
using EpochObserver = std::function<void(const EpochResult&)>;

// What a training run does beyond the network's own fields. The defaults train as the plain
// algorithm does.
struct TrainingOptions {
  uint32_t threadCount = 0;         // threads for training and evaluation; 0: one per processor
  double learningRateDecay = 1.0;   // the rate is multiplied by it after every epoch
  DistortionParameters distortion;  // of the training images, drawn afresh every epoch
};

class NeuralNetwork {
 public:
  // No layers; every field zero. Fill it with Load.
  NeuralNetwork() = default;

  // Builds the layers, fills every weight and bias with standard-normal values and trains on
  // trainingSet (reordering it), measuring accuracy on *testSet (may be null) after each
  // epoch and saving the best network to networkFileName. Returns when training is over.
  // The epoch count is 300, on one thread per processor. When savesSucceeded is given, it
  // receives whether every save of the network file succeeded.
  NeuralNetwork(const std::string& networkFileName, const std::vector<uint32_t>& layerSizes,
                double learningRate, double weightDecayFactor, ImageSet& trainingSet, const ImageSet* testSet,
                bool* savesSucceeded = nullptr);

  // Loads the network file; a failure is printed on standard output, and the network keeps
  // whatever the load left in it. Use LoadFile to learn about the failure instead.
  explicit NeuralNetwork(const std::string& networkFileName);
  // Loads one record from the stream's current position; failures are silent.
  explicit NeuralNetwork(std::istream& input);

  // Builds and randomly initialises the layers without training (batchSize 10, epochCount
  // 300). Fewer than two sizes give a network without layers.
  static NeuralNetwork WithLayers(const std::vector<uint32_t>& layerSizes, double learningRate,
                                  double weightDecayFactor);
  // Divides every weight by the square root of its layer's input count, so that a neuron's
  // weighted input starts with a standard deviation near that of one input instead of growing
  // with the layer's width (the biases stay as they are). Wide sigmoid layers then start
  // unsaturated and learn from the first epoch.
  void ScaleWeightsByInputCount();

  // The output for one input; rewrites the cache. An input shorter than n(0) throws
  // std::out_of_range, a longer one has its tail ignored.
  Vector FeedForward(std::span<const double> input);
  // Number of samples whose largest output is at the index of their target's 1.0, counted on
  // up to threadCount threads (0: one per processor).
  double CountCorrect(const ImageSet& samples, uint32_t threadCount = 0);

  // The fast engine's copy of the layers, rate, decay factor and batch size, and the way back:
  // CopyFrom writes the engine's weights and biases into this network's rows.
  TrainingEngine Engine(ThreadPool& pool, const LayerKernels& kernels = BestKernels()) const;
  void CopyFrom(const TrainingEngine& engine);
  // A copy of the layers that only classifies (engine/forward_network.h).
  ForwardNetwork ForClassifying(const LayerKernels& kernels = BestKernels()) const;

  // Runs epochCount epochs of mini-batch gradient descent (see training.cpp), calling
  // onEpoch (when given) after each. Returns false when any save of the network file failed
  // (each failure is printed). The network keeps learningRate as it was, whatever the decay.
  // A distortion needs square images (std::invalid_argument otherwise, before any epoch).
  bool Train(const std::string& networkFileName, ImageSet& trainingSet, const ImageSet* testSet,
             const EpochObserver& onEpoch = {}, const TrainingOptions& options = {});

  // The gradients of the log-likelihood of one sample (minus its cross-entropy cost) for
  // every layer, from the cache left by FeedForward(input). Assigns every entry of
  // weightGradients and biasGradients, which must be shaped like weights and biases.
  void Backpropagate(std::span<const double> input, std::span<const double> target,
                     std::vector<Matrix>& weightGradients, std::vector<Vector>& biasGradients);

  // One plain gradient-descent step over samples [first, end): the reference that faster
  // training engines are checked against.
  void TrainMiniBatch(const ImageSet& samples, size_t first, size_t end);

  // Writes the record at the stream's position. Precondition: at least one layer.
  void Save(std::ostream& output, std::string* errorMessage) const;
  // Reads one record into a network without layers; on success the stream stands after it.
  void Load(std::istream& input, std::string* errorMessage);
  // Replaces the named file atomically with the record (see io/atomic_file.h).
  void SaveFile(const std::string& fileName, std::string* errorMessage) const;
  void LoadFile(const std::string& fileName, std::string* errorMessage);

  uint32_t InputSize() const;   // n(0), or 0 without layers
  uint32_t OutputSize() const;  // n(L-1), or 0 without layers

  double learningRate = 0.0;
  double weightDecayFactor = 0.0;      // every weight is scaled by it at each update
  std::vector<Matrix> weights;         // weights[k]: n(k+1) rows x n(k) columns
  std::vector<Vector> biases;          // biases[k]: n(k+1)
  std::vector<Vector> activations;     // activations[k]: n(k+1), Sigmoid(weightedInputs[k])
  std::vector<Vector> weightedInputs;  // weightedInputs[k]: n(k+1)
  uint32_t batchSize = 0;
  uint32_t epochCount = 0;

 private:
  void AddLayer(uint32_t inputSize, uint32_t outputSize);
};
