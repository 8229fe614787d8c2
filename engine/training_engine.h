// The fast engine behind training and the batched evaluations: a copy of a network's weights
// and biases in contiguous, 64-byte aligned, zero-padded rows, trained a whole mini-batch at a
// time and evaluated a block of images at a time.
//
// It does the mathematics of the plain per-sample gradient step (every layer trained, output
// delta t - a) with other summation orders and fused multiply-adds, so weights agree with the
// plain step to rounding. Work is split among the pool's threads so that every element is
// computed by one thread in a fixed order: results are bit-identical for any thread count.
//
// The engine owns its copy and knows nothing of the model it came from: it takes weights and
// biases as matrices and vectors and writes them back with CopyTo. It keeps a reference to
// the pool, which must outlive it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/forward_network.h"
#include "engine/kernels.h"
#include "engine/phase_timers.h"
#include "engine/thread_pool.h"
#include "math/matrix.h"
#include "mnist/image_set.h"

// How the engine steps: W <- weightDecayFactor * W + (learningRate / n) * gradient sum of a
// mini-batch of n samples.
struct TrainingParameters {
  double learningRate = 0.0;
  double weightDecayFactor = 1.0;
};

class TrainingEngine {
 public:
  // Copies the layers (weights[k]: n(k+1) rows x n(k) columns, biases[k]: n(k+1)). The blocks a
  // mini-batch works in are allocated by the first training step that needs them, for no more
  // samples than it has: evaluation never needs them. Matrices that break their shape
  // invariant, or a layer k that takes other than n(k) inputs, throw std::out_of_range.
  TrainingEngine(const std::vector<Matrix>& weights, const std::vector<Vector>& biases,
                 const TrainingParameters& parameters, ThreadPool& pool,
                 const LayerKernels& kernels = BestKernels());

  // The rate of the steps from now on (a schedule lowers it between epochs).
  void SetLearningRate(double learningRate) { learningRate_ = learningRate; }

  // One gradient-descent step over samples [first, end), as the plain per-sample step.
  // A sample with fewer pixels than the input layer or a target shorter than the output layer
  // throws std::out_of_range("invalid vector subscript") before anything changes.
  void TrainMiniBatch(const ImageSet& samples, size_t first, size_t end);
  // The steps over consecutive mini-batches of batchSize samples (the last may be shorter)
  // through the whole set, in set order; the same check first. batchSize 0 does nothing.
  void TrainEpoch(const ImageSet& samples, uint32_t batchSize);

  // Number of samples whose largest output sits at the index of their target's largest entry
  // (ties to the lower index, as ArgMax), in blocks of samples on all of the pool's threads
  // (FeedForwardInBlocks). Short pixel vectors throw as above.
  double CountCorrect(const ImageSet& samples) const;

  // Writes the weights and biases back into rows shaped as those the engine was made from.
  void CopyTo(std::vector<Matrix>& weights, std::vector<Vector>& biases) const;

  // The most threads that training a network of these weights keeps busy: one per unit of
  // rows of its widest layer, the smallest share a thread is dealt. More would find no rows to
  // work on in any phase and only add to every barrier.
  static uint32_t ThreadsWorthUsing(const std::vector<Matrix>& weights,
                                    const LayerKernels& kernels = BestKernels());

  uint32_t InputSize() const;   // n(0), or 0 without layers
  uint32_t OutputSize() const;  // n(L-1), or 0 without layers
  ThreadPool& Pool() const { return pool_; }

  // Seconds per phase for each of the pool's threads, added up by training since the engine
  // was made or last reset; all zero unless built with MNIST_MLP_PHASE_TIMERS.
  const std::vector<PhaseTimes>& PhaseSeconds() const { return phaseTimes_; }
  void ResetPhaseSeconds() { std::fill(phaseTimes_.begin(), phaseTimes_.end(), PhaseTimes{}); }

  // The layers as they stand, to classify with (its Packed layers are the engine's own).
  const ForwardNetwork& Network() const { return network_; }

 private:
  struct Layer {
    uint32_t inputCount = 0;
    uint32_t outputCount = 0;
    size_t stride = 0;          // padded inputCount: the row length of weights and of inputs
    size_t outputStride = 0;    // padded outputCount: the row length of this layer's outputs
    double* weights = nullptr;  // outputCount rows x stride, in network_
    double* biases = nullptr;   // outputCount, in network_
    // batch rows x outputStride each: the forward pass of the mini-batches of even and odd
    // index, and the derivative of the log-likelihood by the weighted inputs.
    AlignedBuffer activations[2];
    AlignedBuffer deltas;
    // The error this layer carries back to the one below is summed over rows [0, halfSplit)
    // and [halfSplit, outputCount) apart, then added (see TrainOnThread): errorHalves[h],
    // batch rows x stride, holds the sums of half h.
    size_t halfSplit = 0;
    AlignedBuffer errorHalves[2];
  };

  // One thread's view of a run of consecutive mini-batches of batchSize samples over
  // [first, end) of samples (the last mini-batch may be shorter).
  struct BatchRun {
    const ImageSet& samples;
    size_t first;
    size_t end;
    size_t batchSize;
    size_t batchCount;
    uint32_t threadIndex;
    uint32_t threadCount;
    size_t FirstSample(size_t batch) const { return first + batch * batchSize; }
    size_t SampleCount(size_t batch) const { return std::min(batchSize, end - FirstSample(batch)); }
  };

  void AllocateBatchBlocks(size_t batchCapacity);
  void CheckSamples(const ImageSet& samples, size_t first, size_t end, bool withTargets) const;
  // Runs the mini-batches of [first, end) on every thread of the pool.
  void TrainBatches(const ImageSet& samples, size_t first, size_t end, size_t batchSize);
  // One thread's part of TrainBatches; every thread of the pool runs it (see the .cpp).
  void TrainOnThread(const BatchRun& run);

  // The phases of TrainOnThread, each for this thread's share of the work.
  void Gather(const BatchRun& run, size_t batch);
  void Forward(const BatchRun& run, size_t k, size_t batch, Share rows);
  void CarryErrorsBack(const BatchRun& run, size_t batch, bool gatherNext);
  void ErrorHalves(const BatchRun& run, size_t k, size_t batch);
  void DeltasBelow(const BatchRun& run, size_t k, size_t batch);
  void Update(const BatchRun& run, size_t k, size_t batch, Share rows);
  void UpdateLayers(const BatchRun& run, size_t batch);
  void UpdateAndForwardNext(const BatchRun& run, size_t batch);

  Share RowsOf(const BatchRun& run, size_t k) const;  // this thread's rows of layer k
  Share HalfOf(size_t k, size_t half) const;          // rows of half 0 or 1 of layer k
  const double* InputsOf(size_t k, size_t batch) const;
  PhaseTimes& TimesOf(const BatchRun& run) { return phaseTimes_[run.threadIndex]; }
  void TimedBarrier(const BatchRun& run);

  ThreadPool& pool_;
  const LayerKernels& kernels_;
  size_t rowUnit_;  // rows per unit when a layer's rows are dealt among threads
  double learningRate_ = 0.0;
  double weightDecayFactor_ = 0.0;
  ForwardNetwork network_;  // the weights and biases
  std::vector<Layer> layers_;
  size_t batchCapacity_ = 0;
  AlignedBuffer inputs_[2];             // batch rows x layers_[0].stride: gathered pixels, by parity
  std::vector<PhaseTimes> phaseTimes_;  // one per thread of the pool
};
