// One network trained a slice at a time, for the page that trains in the browser (and for its
// native twin in the tests): the training of mnist-mlp --train with the same seeds, order and
// steps, cut into calls of a few mini-batches so that the caller can show progress, pause and
// stop between them. The file of the best epoch so far is byte for byte the file that
// mnist-mlp --train writes with the same data, seed, settings and kernels.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "distortion/distortion_parameters.h"
#include "distortion/epoch_distortion.h"
#include "engine/kernels.h"
#include "engine/thread_pool.h"
#include "engine/training_engine.h"
#include "mnist/image_set.h"
#include "network/neural_network.h"

struct TrainingChoices {
  std::vector<uint32_t> hiddenLayers{500, 300, 200, 100};
  double learningRate = 0.5;
  uint32_t batchSize = 10;
  uint32_t epochCount = 300;
  uint32_t seed = 0;                // the base of every random seed, as MNIST_MLP_SEED
  size_t sampleLimit = 0;           // train on the first this many samples only; 0: all of them
  DistortionParameters distortion;  // of the training images, drawn afresh every epoch
};

// What the evaluation after an epoch found on the test set.
struct EpochEvaluation {
  uint32_t epoch = 0;                                         // counted from 0
  double accuracy = 0.0;                                      // percent, as the epoch line prints it
  std::array<uint32_t, DigitCount * DigitCount> confusion{};  // [label * 10 + answer]
};

class TrainingSession {
 public:
  // Builds and initialises the network as mnist-mlp --train does with these choices. The sets
  // must outlive the session and hold 28 x 28-pixel images; the training set is never reordered.
  TrainingSession(const ImageSet& trainingSet, const ImageSet& testSet, const TrainingChoices& choices,
                  uint32_t threadCount, const LayerKernels& kernels);

  // Trains up to batchCount mini-batches of the current epoch (shuffling first when it
  // begins, and drawing the epoch's distortion fields); when the epoch's last mini-batch is done, evaluates
  // on the test set and keeps the network's file when its count is the best so far. Returns true when an
  // epoch ended.
  bool Step(uint32_t batchCount);

  bool Done() const { return epochsDone_ >= network_.epochCount; }
  uint32_t EpochsDone() const { return epochsDone_; }
  size_t SamplesDoneInEpoch() const { return samplesDone_; }
  size_t SamplesPerEpoch() const { return order_.size(); }
  uint32_t ThreadCount() const { return pool_.ThreadCount(); }
  const EpochEvaluation& LastEvaluation() const { return lastEvaluation_; }

  // The network file of the best epoch so far (what mnist-mlp --train has written by then),
  // or of the network as it is now before any epoch has ended.
  std::string BestFile();
  // The network file of the weights as they are now.
  std::string CurrentFile();
  // The weights into the first hidden layer's neurons, neuron after neuron, 784 each.
  std::vector<double> FirstLayerWeights();

 private:
  void Evaluate();

  const ImageSet& trainingSet_;
  const ImageSet& testSet_;
  NeuralNetwork network_;
  ThreadPool pool_;
  std::unique_ptr<TrainingEngine> engine_;
  // The training set's order as mnist-mlp --train shuffles it, epoch after epoch: sample
  // numbers held as one-pixel samples, so that the very same shuffle reorders them.
  ImageSet order_;
  DistortionParameters distortion_;
  // The distortions of the current epoch, drawn from its seed as mnist-mlp --train draws them.
  std::optional<EpochDistortion> epochDistortion_;
  uint32_t epochsDone_ = 0;
  size_t samplesDone_ = 0;
  double bestCorrect_ = -1.0;
  std::string bestFile_;
  EpochEvaluation lastEvaluation_;
};
