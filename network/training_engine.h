// The fast engine behind NeuralNetwork::Train and the batched evaluations: a copy of a
// network's weights and biases in contiguous, 64-byte aligned, zero-padded rows, trained a
// whole mini-batch at a time and evaluated a block of images at a time.
//
// It does the mathematics of NeuralNetwork::TrainMiniBatch (every layer trained, output delta
// t - a) with other summation orders and fused multiply-adds, so weights agree with the plain
// step to rounding. Work is split among the pool's threads so that every element is computed
// by one thread in a fixed order: results are bit-identical for any thread count.
//
// The engine owns its copy; the network it was made from is only written by CopyTo. It keeps
// a reference to the pool, which must outlive it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "mnist/image_set.h"
#include "network/kernels.h"
#include "network/neural_network.h"
#include "network/thread_pool.h"

// Zero-filled doubles on a 64-byte boundary.
class AlignedBuffer {
 public:
  AlignedBuffer() = default;
  explicit AlignedBuffer(size_t count);
  double* data() { return values_.get(); }
  const double* data() const { return values_.get(); }

 private:
  struct Free {
    void operator()(double* values) const;
  };
  std::unique_ptr<double[], Free> values_;
};

class TrainingEngine {
 public:
  // Copies the network's weights, biases, learning rate and decay factor, and prepares blocks
  // for mini-batches of the network's batchSize. A network whose matrices break their shape
  // invariant, or whose layer k takes other than n(k) inputs, throws std::out_of_range.
  TrainingEngine(const NeuralNetwork& network, ThreadPool& pool,
                 const LayerKernels& kernels = BestKernels());

  // One gradient-descent step over samples [first, end), as NeuralNetwork::TrainMiniBatch.
  // A sample with fewer pixels than the input layer or a target shorter than the output layer
  // throws std::out_of_range("invalid vector subscript") before anything changes.
  void TrainMiniBatch(const ImageSet& samples, size_t first, size_t end);
  // The steps over consecutive mini-batches of batchSize samples (the last may be shorter)
  // through the whole set, in set order; the same check first. batchSize 0 does nothing.
  void TrainEpoch(const ImageSet& samples, uint32_t batchSize);

  // Number of samples whose largest output sits at the index of their target's largest entry
  // (ties to the lower index, as ArgMax). Short pixel vectors throw as above.
  double CountCorrect(const ImageSet& samples) const;

  // Writes the weights and biases into the network's rows. Precondition: the network has the
  // shape the engine was made from.
  void CopyTo(NeuralNetwork& network) const;

  uint32_t InputSize() const;   // n(0), or 0 without layers
  uint32_t OutputSize() const;  // n(L-1), or 0 without layers
  ThreadPool& Pool() const { return pool_; }

  // The outputs for samples [first, first + count), count <= kEvaluationBlock, on the calling
  // thread: returns count rows of OutputStride() doubles in `scratch`, which must hold
  // EvaluationScratchSize() doubles. Pixel lengths must have been checked.
  static constexpr size_t kEvaluationBlock = 20;
  size_t EvaluationScratchSize() const;
  size_t OutputStride() const;
  const double* FeedForwardBlock(const ImageSet& samples, size_t first, size_t count,
                                 double* scratch) const;

 private:
  struct Layer {
    uint32_t inputCount = 0;
    uint32_t outputCount = 0;
    size_t stride = 0;        // padded inputCount: the row length of weights and of inputs
    size_t outputStride = 0;  // padded outputCount: the row length of this layer's outputs
    AlignedBuffer weights;    // outputCount rows x stride
    AlignedBuffer biases;     // outputCount
    // batch rows x outputStride each: the forward pass of the mini-batches of even and odd
    // index, and the derivative of the log-likelihood by the weighted inputs.
    AlignedBuffer activations[2];
    AlignedBuffer deltas;
  };

  void AllocateBatchBlocks(size_t batchCapacity);
  void CheckSamples(const ImageSet& samples, size_t first, size_t end, bool withTargets) const;
  // Thread threadIndex's part of the steps over consecutive mini-batches of batchSize samples
  // in [first, end); every thread of the pool must call it.
  void TrainOnThread(const ImageSet& samples, size_t first, size_t end, size_t batchSize,
                     uint32_t threadIndex);

  ThreadPool& pool_;
  const LayerKernels& kernels_;
  double learningRate_ = 0.0;
  double weightDecayFactor_ = 0.0;
  std::vector<Layer> layers_;
  size_t batchCapacity_ = 0;
  AlignedBuffer inputs_[2];  // batch rows x layers_[0].stride: gathered pixels, by parity
};

// The number of samples whose mean output over the engines (summed in engine order starting
// from 0.0, then divided by the engine count) has its largest element, among the first
// engine's outputs, at the index of the target's largest entry. With one engine the mean is
// exactly its output. Blocks of images are evaluated in parallel on the first engine's pool.
// Throws std::out_of_range("invalid vector subscript") when a sample has fewer pixels than an
// engine's input layer or an engine has fewer outputs than the first.
double CountCorrectOfMeanOutput(const std::vector<const TrainingEngine*>& engines,
                                const ImageSet& samples);
