// The engine's copy of the layers, its per-thread schedule of a mini-batch, and the batched
// evaluation of one or several engines.
#include "engine/training_engine.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <stdexcept>

#include "math/activation.h"

namespace {

constexpr size_t kAlignment = 64;  // bytes: one cache line, and whole AVX-512 vectors

size_t RoundUpToStrideUnit(size_t count) { return (count + kStrideUnit - 1) / kStrideUnit * kStrideUnit; }

[[noreturn]] void ThrowSubscript() { throw std::out_of_range("invalid vector subscript"); }

}  // namespace

AlignedBuffer::AlignedBuffer(size_t count) {
  const size_t bytes = std::max<size_t>(RoundUpToStrideUnit(count) * sizeof(double), kAlignment);
  auto* values = static_cast<double*>(std::aligned_alloc(kAlignment, bytes));
  if (values == nullptr) throw std::bad_alloc();
  std::fill(values, values + bytes / sizeof(double), 0.0);
  values_.reset(values);
}

void AlignedBuffer::Free::operator()(double* values) const { std::free(values); }

TrainingEngine::TrainingEngine(const std::vector<Matrix>& weights, const std::vector<Vector>& biases,
                               const TrainingParameters& parameters, ThreadPool& pool,
                               const LayerKernels& kernels)
    : pool_(pool),
      kernels_(kernels),
      learningRate_(parameters.learningRate),
      weightDecayFactor_(parameters.weightDecayFactor),
      phaseTimes_(pool.ThreadCount()) {
  // One buffer holds every layer's weights, each matrix a whole number of cache lines, and
  // after them all biases back to back (the kernels read biases one at a time): a buffer per
  // part would cost an aligned allocation per layer, many times the values of a small layer.
  size_t weightCount = 0;
  size_t biasCount = 0;
  for (const Matrix& matrix : weights) {
    weightCount += size_t{matrix.rowCount} * RoundUpToStrideUnit(matrix.columnCount);
    biasCount += matrix.rowCount;
  }
  parameters_ = AlignedBuffer(weightCount + biasCount);
  double* nextWeights = parameters_.data();
  double* nextBiases = parameters_.data() + weightCount;
  layers_.reserve(weights.size());
  for (size_t k = 0; k < weights.size(); ++k) {
    const Matrix& matrix = weights[k];
    Layer layer;
    layer.inputCount = matrix.columnCount;
    layer.outputCount = matrix.rowCount;
    layer.stride = RoundUpToStrideUnit(layer.inputCount);
    layer.outputStride = RoundUpToStrideUnit(layer.outputCount);
    layer.weights = nextWeights;
    layer.biases = nextBiases;
    nextWeights += layer.outputCount * layer.stride;
    nextBiases += layer.outputCount;
    // The middle row, rounded to whole kernel tiles.
    layer.halfSplit = std::min<size_t>(
        layer.outputCount, (layer.outputCount + kernels.rowUnit) / (2 * kernels.rowUnit) * kernels.rowUnit);
    // The plain code would throw on these shapes (or read past a row); refuse them up front.
    if (k >= biases.size() || matrix.data.size() != matrix.rowCount ||
        (k > 0 && layer.inputCount != layers_.back().outputCount)) {
      ThrowSubscript();
    }
    for (size_t r = 0; r < layer.outputCount; ++r) {
      const Vector& row = RowAt(matrix, r);
      if (row.size() < layer.inputCount) ThrowSubscript();
      std::copy(row.begin(), row.begin() + layer.inputCount, layer.weights + r * layer.stride);
      layer.biases[r] = ElementAt(biases[k], r);
    }
    widestOutputStride_ = std::max(widestOutputStride_, layer.outputStride);
    layers_.push_back(std::move(layer));
  }
}

void TrainingEngine::AllocateBatchBlocks(size_t batchCapacity) {
  batchCapacity_ = batchCapacity;
  if (layers_.empty()) return;
  for (AlignedBuffer& inputs : inputs_) inputs = AlignedBuffer(batchCapacity * layers_[0].stride);
  for (Layer& layer : layers_) {
    for (AlignedBuffer& activations : layer.activations)
      activations = AlignedBuffer(batchCapacity * layer.outputStride);
    layer.deltas = AlignedBuffer(batchCapacity * layer.outputStride);
    for (AlignedBuffer& errors : layer.errorHalves) errors = AlignedBuffer(batchCapacity * layer.stride);
  }
}

uint32_t TrainingEngine::InputSize() const { return layers_.empty() ? 0 : layers_.front().inputCount; }

uint32_t TrainingEngine::OutputSize() const { return layers_.empty() ? 0 : layers_.back().outputCount; }

size_t TrainingEngine::OutputStride() const { return layers_.empty() ? 0 : layers_.back().outputStride; }

void TrainingEngine::CopyTo(std::vector<Matrix>& weights, std::vector<Vector>& biases) const {
  for (size_t k = 0; k < layers_.size(); ++k) {
    const Layer& layer = layers_[k];
    for (size_t r = 0; r < layer.outputCount; ++r) {
      const double* row = layer.weights + r * layer.stride;
      std::copy(row, row + layer.inputCount, weights[k].data[r].begin());
      biases[k][r] = layer.biases[r];
    }
  }
}

void TrainingEngine::CheckSamples(const ImageSet& samples, size_t first, size_t end, bool withTargets) const {
  if (layers_.empty()) return;
  for (size_t p = first; p < end; ++p) {
    if (samples[p].pixels.size() < InputSize()) ThrowSubscript();
    if (withTargets && samples[p].target.size() < OutputSize()) ThrowSubscript();
  }
}

void TrainingEngine::TrainMiniBatch(const ImageSet& samples, size_t first, size_t end) {
  if (first >= end || layers_.empty()) return;
  CheckSamples(samples, first, end, true);
  TrainBatches(samples, first, end, end - first);
}

void TrainingEngine::TrainEpoch(const ImageSet& samples, uint32_t batchSize) {
  if (batchSize == 0 || samples.empty() || layers_.empty()) return;
  CheckSamples(samples, 0, samples.size(), true);
  TrainBatches(samples, 0, samples.size(), batchSize);
}

void TrainingEngine::TrainEpochPart(const ImageSet& samples, size_t first, size_t end, uint32_t batchSize) {
  end = std::min(end, samples.size());
  if (batchSize == 0 || first >= end || layers_.empty()) return;
  CheckSamples(samples, first, end, true);
  TrainBatches(samples, first, end, batchSize);
}

void TrainingEngine::TrainBatches(const ImageSet& samples, size_t first, size_t end, size_t batchSize) {
  const size_t largestBatch = std::min(batchSize, end - first);
  if (largestBatch > batchCapacity_) AllocateBatchBlocks(largestBatch);
  const size_t batchCount = (end - first + batchSize - 1) / batchSize;
  pool_.Run([&](uint32_t threadIndex) {
    TrainOnThread({samples, first, end, batchSize, batchCount, threadIndex, pool_.ThreadCount()});
  });
}

// Mini-batch i of the range runs in these phases, separated by barriers (L layers):
//   errors: for k = L-1 down to 1, the deltas of layer k from the error halves of layer k+1
//     (below), then layer k's two error halves; the first of these phases also gathers the
//     pixels of mini-batch i+1 (split by sample) into the other input block;
//   fused: for k = 0 ... L-1, the update of layer k by mini-batch i and, a few rows at a time
//     right after it, the forward pass of mini-batch i+1 through those rows, so that the large
//     matrices are read from memory once per step rather than twice (phase 0 first forms the
//     deltas of layer 0);
// after a first phase that gathers mini-batch 0 and its forward phases, and with updates only
// for the last mini-batch. Inputs and activations are double-buffered by the parity of the
// mini-batch: the update of mini-batch i reads its own while i+1 is being written.
//
// Rows: layer 0 is dealt among all threads; every other layer is cut into two fixed halves,
// the first for thread 0 and the second for thread 1 (both for a single thread). The error a
// layer carries back is summed separately over each half of its rows, by the thread that
// owns them, and the two sums are added by the thread that owns the rows below. So every row
// of weights is read and written by one thread only, and between processors only the small
// error sums and activations travel: a cache line written by one processor and read by
// another is slow, and the weights are the bulk of the data.
//
// A thread's share depends only on the shapes and the thread count, and each element is
// written by exactly one thread with a fixed order of operations: the results are those of
// mini-batches done one after the other, whatever the thread count.
void TrainingEngine::TrainOnThread(const BatchRun& run) {
  Gather(run, 0);
  TimedBarrier(run);
  for (size_t k = 0; k < layers_.size(); ++k) {
    Forward(run, k, 0, RowsOf(run, k));
    TimedBarrier(run);
  }
  for (size_t batch = 0; batch < run.batchCount; ++batch) {
    const bool last = batch + 1 == run.batchCount;
    CarryErrorsBack(run, batch, !last);
    if (last) {
      UpdateLayers(run, batch);
    } else {
      UpdateAndForwardNext(run, batch);
    }
  }
}

// Copies the pixels of mini-batch `batch` (this thread's samples) into its input block.
void TrainingEngine::Gather(const BatchRun& run, size_t batch) {
  const PhaseScope timer(TimesOf(run), Phase::kGather);
  const Share share = ShareOf(run.SampleCount(batch), 1, run.threadIndex, run.threadCount);
  double* inputs = inputs_[batch % 2].data();
  for (size_t s = share.begin; s < share.end; ++s) {
    const double* pixels = run.samples[run.FirstSample(batch) + s].pixels.data();
    std::copy(pixels, pixels + layers_[0].inputCount, inputs + s * layers_[0].stride);
  }
}

// Rows `rows` of layer k for mini-batch `batch`: weighted inputs, activations and, at the
// output layer, the deltas t - a (the exact simplification of the output error).
void TrainingEngine::Forward(const BatchRun& run, size_t k, size_t batch, Share rows) {
  Layer& layer = layers_[k];
  const size_t sampleCount = run.SampleCount(batch);
  double* activations = layer.activations[batch % 2].data();
  {
    const PhaseScope timer(TimesOf(run), Phase::kForward);
    kernels_.forward(layer.weights, layer.stride, layer.inputCount, layer.biases, rows.begin, rows.end,
                     InputsOf(k, batch), sampleCount, activations, layer.outputStride);
  }
  {
    const PhaseScope timer(TimesOf(run), Phase::kSigmoid);
    for (size_t s = 0; s < sampleCount; ++s) {
      kernels_.sigmoid(activations + s * layer.outputStride + rows.begin, rows.end - rows.begin);
    }
  }
  if (k + 1 < layers_.size()) return;
  const PhaseScope timer(TimesOf(run), Phase::kOutputDeltas);
  for (size_t s = 0; s < sampleCount; ++s) {
    const double* target = run.samples[run.FirstSample(batch) + s].target.data();
    const double* row = activations + s * layer.outputStride;
    double* deltas = layer.deltas.data() + s * layer.outputStride;
    for (size_t r = rows.begin; r < rows.end; ++r) deltas[r] = target[r] - row[r];
  }
}

// The error phases, top layer first, one barrier each, then this thread's deltas of layer 0.
// The first phase also gathers the next mini-batch when there is one.
void TrainingEngine::CarryErrorsBack(const BatchRun& run, size_t batch, bool gatherNext) {
  const size_t layerCount = layers_.size();
  for (size_t k = layerCount - 1; k >= 1; --k) {
    if (k == layerCount - 1 && gatherNext) Gather(run, batch + 1);
    if (k + 1 < layerCount) DeltasBelow(run, k + 1, batch);
    ErrorHalves(run, k, batch);
    TimedBarrier(run);
  }
  if (layerCount >= 2) DeltasBelow(run, 1, batch);
  if (layerCount == 1 && gatherNext) {  // no error phase took the gather
    Gather(run, batch + 1);
    TimedBarrier(run);
  }
}

// The error sums of this thread's halves of layer k >= 1, over all of its columns.
void TrainingEngine::ErrorHalves(const BatchRun& run, size_t k, size_t batch) {
  const PhaseScope timer(TimesOf(run), Phase::kBackError);
  Layer& layer = layers_[k];
  for (size_t half = 0; half < 2; ++half) {
    if (run.threadCount > 1 && half != run.threadIndex) continue;
    const Share rows = HalfOf(k, half);
    kernels_.backError(layer.weights, layer.stride, rows.begin, rows.end, 0, layer.stride,
                       layer.deltas.data(), layer.outputStride, run.SampleCount(batch),
                       layer.errorHalves[half].data());
  }
}

// The deltas of this thread's rows of layer k - 1: (first half's error + second half's error
// of layer k) times the slope of the sigmoid, (1 - a) a.
void TrainingEngine::DeltasBelow(const BatchRun& run, size_t k, size_t batch) {
  const PhaseScope timer(TimesOf(run), Phase::kDeltasBelow);
  const Layer& upper = layers_[k];
  Layer& lower = layers_[k - 1];
  const Share rows = RowsOf(run, k - 1);
  for (size_t s = 0; s < run.SampleCount(batch); ++s) {
    const double* first = upper.errorHalves[0].data() + s * upper.stride;
    const double* second = upper.errorHalves[1].data() + s * upper.stride;
    const double* activations = lower.activations[batch % 2].data() + s * lower.outputStride;
    double* deltas = lower.deltas.data() + s * lower.outputStride;
    for (size_t r = rows.begin; r < rows.end; ++r) {
      deltas[r] = (first[r] + second[r]) * ((1.0 - activations[r]) * activations[r]);
    }
  }
}

// The gradient step of mini-batch `batch` on rows `rows` of layer k.
void TrainingEngine::Update(const BatchRun& run, size_t k, size_t batch, Share rows) {
  const PhaseScope timer(TimesOf(run), Phase::kUpdate);
  Layer& layer = layers_[k];
  const size_t sampleCount = run.SampleCount(batch);
  const double step = learningRate_ / static_cast<double>(sampleCount);
  const double* deltas = layer.deltas.data();
  kernels_.update(layer.weights, layer.stride, layer.inputCount, rows.begin, rows.end, InputsOf(k, batch),
                  deltas, layer.outputStride, sampleCount, step, weightDecayFactor_);
  // Biases as the plain step does it: (sum of the deltas in sample order) * step, added.
  for (size_t r = rows.begin; r < rows.end; ++r) {
    double sum = 0.0;
    for (size_t s = 0; s < sampleCount; ++s) sum = deltas[s * layer.outputStride + r] + sum;
    layer.biases[r] = layer.biases[r] + sum * step;
  }
}

// The last mini-batch: its update of every layer, then one barrier.
void TrainingEngine::UpdateLayers(const BatchRun& run, size_t batch) {
  for (size_t k = 0; k < layers_.size(); ++k) Update(run, k, batch, RowsOf(run, k));
  TimedBarrier(run);
}

// For each layer, a few rows at a time: the update by mini-batch `batch`, then the next
// mini-batch's forward pass through the same rows while they are in the cache.
void TrainingEngine::UpdateAndForwardNext(const BatchRun& run, size_t batch) {
  const size_t chunk = 2 * kernels_.rowUnit;
  for (size_t k = 0; k < layers_.size(); ++k) {
    const Share rows = RowsOf(run, k);
    {
      const PhaseScope timer(TimesOf(run), Phase::kFused);
      for (size_t row = rows.begin; row < rows.end; row += chunk) {
        const Share part{row, std::min(row + chunk, rows.end)};
        Update(run, k, batch, part);
        Forward(run, k, batch + 1, part);
      }
    }
    TimedBarrier(run);
  }
}

void TrainingEngine::TimedBarrier(const BatchRun& run) {
  const PhaseScope timer(TimesOf(run), Phase::kBarrier);
  pool_.Barrier();
}

Share TrainingEngine::RowsOf(const BatchRun& run, size_t k) const {
  if (k == 0) return ShareOf(layers_[0].outputCount, kernels_.rowUnit, run.threadIndex, run.threadCount);
  if (run.threadCount == 1) return {0, layers_[k].outputCount};
  return run.threadIndex < 2 ? HalfOf(k, run.threadIndex) : Share{0, 0};
}

Share TrainingEngine::HalfOf(size_t k, size_t half) const {
  const size_t split = layers_[k].halfSplit;
  return half == 0 ? Share{0, split} : Share{split, layers_[k].outputCount};
}

const double* TrainingEngine::InputsOf(size_t k, size_t batch) const {
  return k == 0 ? inputs_[batch % 2].data() : layers_[k - 1].activations[batch % 2].data();
}

size_t TrainingEngine::EvaluationBlockSize() const {
  if (layers_.empty()) return kEvaluationBlock;
  const size_t perSample = EvaluationScratchSize(1);
  return std::clamp<size_t>(kEvaluationScratch / perSample, 1, kEvaluationBlock);
}

size_t TrainingEngine::EvaluationScratchSize(size_t count) const {
  if (layers_.empty()) return 0;
  return count * (layers_[0].stride + 2 * widestOutputStride_);
}

const double* TrainingEngine::FeedForwardBlock(const ImageSet& samples, size_t first, size_t count,
                                               double* scratch) const {
  if (layers_.empty()) return scratch;
  // Inputs, then two blocks of the widest outputs that the layers write in turn.
  const size_t inputStride = layers_[0].stride;
  double* inputs = scratch;
  double* outputs = scratch + count * inputStride;
  double* spare = outputs + count * widestOutputStride_;
  for (size_t s = 0; s < count; ++s) {
    const double* pixels = samples[first + s].pixels.data();
    std::copy(pixels, pixels + layers_[0].inputCount, inputs + s * inputStride);
  }
  for (const Layer& layer : layers_) {
    // A wider lower layer may have left values in the padding of this layer's rows; the
    // padding of an input row must be zero because the kernels read it.
    kernels_.forward(layer.weights, layer.stride, layer.inputCount, layer.biases, 0, layer.outputCount,
                     inputs, count, outputs, layer.outputStride);
    for (size_t s = 0; s < count; ++s) {
      double* row = outputs + s * layer.outputStride;
      kernels_.sigmoid(row, layer.outputCount);
      std::fill(row + layer.outputCount, row + layer.outputStride, 0.0);
    }
    inputs = outputs;
    std::swap(outputs, spare);
  }
  return inputs;
}

double TrainingEngine::CountCorrect(const ImageSet& samples) const {
  return CountCorrectOfMeanOutput({this}, samples);
}

namespace {

// Runs the engines over the samples in blocks on the first engine's pool and calls
// visit(threadIndex, sampleIndex, outputs, mean) for every sample, where outputs[e] points at
// engine e's output row and mean holds the mean of the first engine's output count of
// entries (summed in engine order from 0.0, then divided once). Each sample is visited once;
// visit must not throw nor allocate.
template <typename Visit>
void ForEachMeanOutput(const std::vector<const TrainingEngine*>& engines, const ImageSet& samples,
                       bool withMembers, const Visit& visit) {
  if (engines.empty() || samples.empty()) return;
  const size_t outputCount = engines.front()->OutputSize();
  for (const TrainingEngine* engine : engines) {
    if (engine->OutputSize() < outputCount) ThrowSubscript();
    for (const SampleView sample : samples) {
      if (sample.pixels.size() < engine->InputSize()) ThrowSubscript();
    }
  }
  const double memberCount = static_cast<double>(engines.size());
  size_t blockSize = TrainingEngine::kEvaluationBlock;
  size_t scratchSize = 0;
  for (const TrainingEngine* engine : engines) blockSize = std::min(blockSize, engine->EvaluationBlockSize());
  for (const TrainingEngine* engine : engines)
    scratchSize = std::max(scratchSize, engine->EvaluationScratchSize(blockSize));
  const size_t blockCount = (samples.size() + blockSize - 1) / blockSize;
  ThreadPool& pool = engines.front()->Pool();
  const auto workerCount = static_cast<uint32_t>(std::min<size_t>(pool.ThreadCount(), blockCount));

  // Everything the threads use is allocated here, so that no allocation can fail inside them.
  // The engines take turns in one scratch block; their outputs are summed as they come, and
  // kept per member only when the caller wants to see them.
  struct ThreadState {
    AlignedBuffer scratch;
    Vector sums;        // blockSize rows of outputCount: the outputs added so far
    Vector memberRows;  // with members: engine e's row s at (e * blockSize + s) * outputCount
    std::vector<const double*> outputs;  // with members: one per engine, for the sample visited
    Vector mean;
  };
  std::vector<ThreadState> states(workerCount);
  for (ThreadState& state : states) {
    state.scratch = AlignedBuffer(scratchSize);
    state.sums.resize(blockSize * outputCount);
    if (withMembers) {
      state.memberRows.resize(engines.size() * blockSize * outputCount);
      state.outputs.resize(engines.size());
    }
    state.mean.resize(outputCount);
  }

  // Blocks are claimed one at a time rather than dealt out, so that a thread the system
  // deschedules holds up nothing: a sample's outputs do not depend on the thread that
  // computes them.
  std::atomic<size_t> nextBlock{0};
  pool.Run([&](uint32_t threadIndex) {
    if (threadIndex >= workerCount) return;
    ThreadState& state = states[threadIndex];
    for (size_t block = nextBlock.fetch_add(1); block < blockCount; block = nextBlock.fetch_add(1)) {
      const size_t first = block * blockSize;
      const size_t count = std::min(blockSize, samples.size() - first);
      std::fill(state.sums.begin(), state.sums.end(), 0.0);
      for (size_t e = 0; e < engines.size(); ++e) {
        const double* outputs = engines[e]->FeedForwardBlock(samples, first, count, state.scratch.data());
        for (size_t s = 0; s < count; ++s) {
          double* sum = state.sums.data() + s * outputCount;
          const double* output = outputs + s * engines[e]->OutputStride();
          for (size_t i = 0; i < outputCount; ++i) sum[i] = sum[i] + output[i];
          if (withMembers) {
            std::copy(output, output + outputCount,
                      state.memberRows.data() + (e * blockSize + s) * outputCount);
          }
        }
      }
      for (size_t s = 0; s < count; ++s) {
        const double* sum = state.sums.data() + s * outputCount;
        for (size_t i = 0; i < outputCount; ++i) state.mean[i] = sum[i] / memberCount;
        for (size_t e = 0; e < state.outputs.size(); ++e) {
          state.outputs[e] = state.memberRows.data() + (e * blockSize + s) * outputCount;
        }
        visit(threadIndex, first + s, state.outputs, state.mean);
      }
    }
  });
}

}  // namespace

double CountCorrectOfMeanOutput(const std::vector<const TrainingEngine*>& engines, const ImageSet& samples) {
  if (engines.empty()) return 0.0;
  // One count per thread; the total does not depend on which thread counted what.
  std::vector<double> counts(engines.front()->Pool().ThreadCount(), 0.0);
  ForEachMeanOutput(
      engines, samples, false,
      [&](uint32_t threadIndex, size_t sample, const std::vector<const double*>&, const Vector& mean) {
        if (ArgMax(samples[sample].target) == ArgMax(mean)) counts[threadIndex] += 1.0;
      });
  double correct = 0.0;
  for (double count : counts) correct += count;
  return correct;
}

SetOutputs OutputsOfMeanOutput(const std::vector<const TrainingEngine*>& engines, const ImageSet& samples) {
  SetOutputs result;
  if (engines.empty()) return result;
  const size_t outputCount = engines.front()->OutputSize();
  result.mean.assign(samples.size(), Vector(outputCount, 0.0));
  result.members.assign(engines.size(), std::vector<Vector>(samples.size(), Vector(outputCount, 0.0)));
  ForEachMeanOutput(
      engines, samples, true,
      [&](uint32_t, size_t sample, const std::vector<const double*>& outputs, const Vector& mean) {
        std::copy(mean.begin(), mean.end(), result.mean[sample].begin());
        for (size_t e = 0; e < outputs.size(); ++e) {
          std::copy(outputs[e], outputs[e] + outputCount, result.members[e][sample].begin());
        }
      });
  return result;
}
