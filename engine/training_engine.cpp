// The engine's copy of the layers, its per-thread schedule of a mini-batch, and the batched
// evaluation of one or several engines.
#include "engine/training_engine.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <numeric>
#include <stdexcept>

#include "math/activation.h"

namespace {

size_t RoundUpToStrideUnit(size_t count) { return (count + kStrideUnit - 1) / kStrideUnit * kStrideUnit; }

// Rows are dealt in whole kernel tiles that are also whole cache lines: a thread's rows of one
// layer are then the columns of the next whose error sums it makes (see TrainOnThread), and
// no two threads write into one cache line of them.
size_t RowUnitOf(const LayerKernels& kernels) { return std::lcm(kernels.rowUnit, kStrideUnit); }

[[noreturn]] void ThrowSubscript() { throw std::out_of_range("invalid vector subscript"); }

}  // namespace

TrainingEngine::TrainingEngine(const std::vector<Matrix>& weights, const std::vector<Vector>& biases,
                               const TrainingParameters& parameters, ThreadPool& pool,
                               const LayerKernels& kernels)
    : pool_(pool),
      kernels_(kernels),
      rowUnit_(RowUnitOf(kernels)),
      learningRate_(parameters.learningRate),
      weightDecayFactor_(parameters.weightDecayFactor),
      phaseTimes_(pool.ThreadCount()) {
  // The plain code would throw on these shapes (or read past a row); refuse them up front.
  std::vector<uint32_t> sizes;
  for (size_t k = 0; k < weights.size(); ++k) {
    const Matrix& matrix = weights[k];
    if (k >= biases.size() || matrix.data.size() != matrix.rowCount || biases[k].size() < matrix.rowCount ||
        (k > 0 && matrix.columnCount != sizes.back())) {
      ThrowSubscript();
    }
    for (const Vector& row : matrix.data) {
      if (row.size() < matrix.columnCount) ThrowSubscript();
    }
    if (k == 0) sizes.push_back(matrix.columnCount);
    sizes.push_back(matrix.rowCount);
  }
  network_ = ForwardNetwork(sizes, kernels);
  layers_.reserve(weights.size());
  for (size_t k = 0; k < weights.size(); ++k) {
    const ForwardNetwork::PackedLayer packed = network_.Packed(k);
    Layer layer;
    layer.inputCount = packed.inputCount;
    layer.outputCount = packed.outputCount;
    layer.stride = packed.stride;
    layer.outputStride = RoundUpToStrideUnit(layer.outputCount);
    layer.weights = packed.weights;
    layer.biases = packed.biases;
    // The middle row, rounded to whole kernel tiles: where the error sums are cut in two. The
    // results depend on it, so it depends on nothing but the shape and the kernel set.
    layer.halfSplit = std::min<size_t>(
        layer.outputCount, (layer.outputCount + kernels.rowUnit) / (2 * kernels.rowUnit) * kernels.rowUnit);
    for (size_t r = 0; r < layer.outputCount; ++r) {
      std::copy_n(weights[k].data[r].begin(), layer.inputCount, layer.weights + r * layer.stride);
      layer.biases[r] = biases[k][r];
    }
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

uint32_t TrainingEngine::ThreadsWorthUsing(const std::vector<Matrix>& weights, const LayerKernels& kernels) {
  const size_t unit = RowUnitOf(kernels);
  size_t units = 1;
  for (const Matrix& matrix : weights) units = std::max<size_t>(units, (matrix.rowCount + unit - 1) / unit);
  return static_cast<uint32_t>(std::min<size_t>(units, UINT32_MAX));
}

uint32_t TrainingEngine::InputSize() const { return layers_.empty() ? 0 : layers_.front().inputCount; }

uint32_t TrainingEngine::OutputSize() const { return layers_.empty() ? 0 : layers_.back().outputCount; }

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
// Rows: every layer's rows are dealt among all threads in whole units of rowUnit_ (whole
// kernel tiles and whole cache lines), and each thread updates and carries forward only its
// own rows. The error a layer carries back is summed in two fixed halves of its rows
// (halfSplit), each half in row order, and the two sums added: an order of operations that no
// thread count changes. The threads share that work by columns: a thread sums both halves over
// the columns that are its own rows of the layer below, so it computes the deltas of those
// rows from sums it made itself, without waiting for the others.
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

// The error phases, top layer first: the error sums of layer k and the deltas of layer k - 1
// on this thread's columns, then a barrier so that every delta of layer k - 1 is there for the
// next phase. The deltas of layer 0 are only used by this thread's update, which needs no
// barrier; the first phase also gathers the next mini-batch when there is one, which the
// next forward pass may only read after a barrier.
void TrainingEngine::CarryErrorsBack(const BatchRun& run, size_t batch, bool gatherNext) {
  if (gatherNext) Gather(run, batch + 1);
  for (size_t k = layers_.size() - 1; k >= 1; --k) {
    ErrorHalves(run, k, batch);
    DeltasBelow(run, k, batch);
    if (k >= 2) TimedBarrier(run);
  }
  if (gatherNext && layers_.size() <= 2) TimedBarrier(run);
}

// The error sums of both halves of layer k >= 1 over the columns that are this thread's rows
// of layer k - 1 (the last share also takes the zero padding up to the stride).
void TrainingEngine::ErrorHalves(const BatchRun& run, size_t k, size_t batch) {
  const PhaseScope timer(TimesOf(run), Phase::kBackError);
  Layer& layer = layers_[k];
  const Share columns = RowsOf(run, k - 1);
  if (columns.begin == columns.end) return;
  const size_t columnEnd = columns.end == layer.inputCount ? layer.stride : columns.end;
  for (size_t half = 0; half < 2; ++half) {
    const Share rows = HalfOf(k, half);
    kernels_.backError(layer.weights, layer.stride, rows.begin, rows.end, columns.begin, columnEnd,
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

// The last mini-batch: its update of every layer, then one barrier. Layer 0 goes first, and
// the layers above only after a barrier: until every thread has summed the errors of layer 1,
// its weights are still being read.
void TrainingEngine::UpdateLayers(const BatchRun& run, size_t batch) {
  Update(run, 0, batch, RowsOf(run, 0));
  TimedBarrier(run);
  if (layers_.size() == 1) return;
  for (size_t k = 1; k < layers_.size(); ++k) Update(run, k, batch, RowsOf(run, k));
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
  return ShareOf(layers_[k].outputCount, rowUnit_, run.threadIndex, run.threadCount);
}

Share TrainingEngine::HalfOf(size_t k, size_t half) const {
  const size_t split = layers_[k].halfSplit;
  return half == 0 ? Share{0, split} : Share{split, layers_[k].outputCount};
}

const double* TrainingEngine::InputsOf(size_t k, size_t batch) const {
  return k == 0 ? inputs_[batch % 2].data() : layers_[k - 1].activations[batch % 2].data();
}

double TrainingEngine::CountCorrect(const ImageSet& samples) const {
  CheckSamples(samples, 0, samples.size(), false);
  if (layers_.empty()) return 0.0;
  // One count per thread; the total does not depend on which thread counted what.
  std::vector<double> counts(pool_.ThreadCount(), 0.0);
  const ForwardNetwork* member = &network_;
  const size_t outputCount = OutputSize();
  FeedForwardInBlocks(
      {&member, 1}, samples.size(), [&](size_t s) { return samples[s].pixels.data(); }, pool_,
      [&](uint32_t threadIndex, size_t first, size_t count, size_t, const double* outputs) {
        for (size_t s = 0; s < count; ++s) {
          const std::span<const double> output(outputs + s * network_.OutputStride(), outputCount);
          if (ArgMax(samples[first + s].target) == ArgMax(output)) counts[threadIndex] += 1.0;
        }
      });
  double correct = 0.0;
  for (double count : counts) correct += count;
  return correct;
}
