#include "network/training_engine.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <stdexcept>

#include "network/activation.h"

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

TrainingEngine::TrainingEngine(const NeuralNetwork& network, ThreadPool& pool,
                               const LayerKernels& kernels)
    : pool_(pool),
      kernels_(kernels),
      learningRate_(network.learningRate),
      weightDecayFactor_(network.weightDecayFactor) {
  for (size_t k = 0; k < network.weights.size(); ++k) {
    const Matrix& matrix = network.weights[k];
    Layer layer;
    layer.inputCount = matrix.columnCount;
    layer.outputCount = matrix.rowCount;
    layer.stride = RoundUpToStrideUnit(layer.inputCount);
    layer.outputStride = RoundUpToStrideUnit(layer.outputCount);
    layer.weights = AlignedBuffer(layer.outputCount * layer.stride);
    layer.biases = AlignedBuffer(layer.outputCount);
    // The plain code would throw on these shapes (or read past a row); refuse them up front.
    if (k >= network.biases.size() || matrix.data.size() != matrix.rowCount ||
        (k > 0 && layer.inputCount != layers_.back().outputCount)) {
      ThrowSubscript();
    }
    for (size_t r = 0; r < layer.outputCount; ++r) {
      const Vector& row = RowAt(matrix, r);
      if (row.size() < layer.inputCount) ThrowSubscript();
      std::copy(row.begin(), row.begin() + layer.inputCount, layer.weights.data() + r * layer.stride);
      layer.biases.data()[r] = ElementAt(network.biases[k], r);
    }
    layers_.push_back(std::move(layer));
  }
  AllocateBatchBlocks(std::max<uint32_t>(network.batchSize, 1));
}

void TrainingEngine::AllocateBatchBlocks(size_t batchCapacity) {
  batchCapacity_ = batchCapacity;
  if (layers_.empty()) return;
  for (AlignedBuffer& inputs : inputs_) inputs = AlignedBuffer(batchCapacity * layers_[0].stride);
  for (Layer& layer : layers_) {
    for (AlignedBuffer& activations : layer.activations) activations = AlignedBuffer(batchCapacity * layer.outputStride);
    layer.deltas = AlignedBuffer(batchCapacity * layer.outputStride);
  }
}

uint32_t TrainingEngine::InputSize() const { return layers_.empty() ? 0 : layers_.front().inputCount; }

uint32_t TrainingEngine::OutputSize() const { return layers_.empty() ? 0 : layers_.back().outputCount; }

size_t TrainingEngine::OutputStride() const { return layers_.empty() ? 0 : layers_.back().outputStride; }

void TrainingEngine::CopyTo(NeuralNetwork& network) const {
  for (size_t k = 0; k < layers_.size(); ++k) {
    const Layer& layer = layers_[k];
    for (size_t r = 0; r < layer.outputCount; ++r) {
      const double* row = layer.weights.data() + r * layer.stride;
      std::copy(row, row + layer.inputCount, network.weights[k].data[r].begin());
      network.biases[k][r] = layer.biases.data()[r];
    }
  }
}

void TrainingEngine::CheckSamples(const ImageSet& samples, size_t first, size_t end,
                                  bool withTargets) const {
  if (layers_.empty()) return;
  for (size_t p = first; p < end; ++p) {
    if (samples[p].pixels.size() < InputSize()) ThrowSubscript();
    if (withTargets && samples[p].target.size() < OutputSize()) ThrowSubscript();
  }
}

void TrainingEngine::TrainMiniBatch(const ImageSet& samples, size_t first, size_t end) {
  if (first >= end || layers_.empty()) return;
  CheckSamples(samples, first, end, true);
  if (end - first > batchCapacity_) AllocateBatchBlocks(end - first);
  pool_.Run([&](uint32_t threadIndex) { TrainOnThread(samples, first, end, end - first, threadIndex); });
}

void TrainingEngine::TrainEpoch(const ImageSet& samples, uint32_t batchSize) {
  if (batchSize == 0 || samples.empty() || layers_.empty()) return;
  CheckSamples(samples, 0, samples.size(), true);
  if (batchSize > batchCapacity_) AllocateBatchBlocks(batchSize);
  pool_.Run([&](uint32_t threadIndex) { TrainOnThread(samples, 0, samples.size(), batchSize, threadIndex); });
}

// Mini-batch i of the range runs in these phases, separated by barriers (L layers):
//   errors: for k = L-1 down to 1, the error of layer k back into the deltas of layer k-1
//     (split by columns, in whole cache lines); the first of these phases also gathers the
//     pixels of mini-batch i+1 (split by sample) into the other input block;
//   fused: for k = 0 ... L-1, the update of layer k by mini-batch i and, row by row right
//     after it, the forward pass of mini-batch i+1 through those rows (split by rows), so that
//     the large matrices are read from memory once per step rather than twice;
// after a first phase that gathers mini-batch 0 and its forward phases, and with updates only
// for the last mini-batch. Inputs and activations are double-buffered by the parity of the
// mini-batch: the update of mini-batch i reads its own while i+1 is being written. Layer k's
// error reads its weights before they change, and the fused update and forward of a row are
// done by the same thread, so no element is read while another thread writes it.
//
// A thread's share depends only on the shapes and the thread count, and each element is
// written by exactly one thread with the kernels' fixed order of operations: the results are
// those of mini-batches done one after the other, whatever the thread count.
void TrainingEngine::TrainOnThread(const ImageSet& samples, size_t first, size_t end, size_t batchSize,
                                   uint32_t threadIndex) {
  const uint32_t threadCount = pool_.ThreadCount();
  const size_t layerCount = layers_.size();
  const size_t batchCount = (end - first + batchSize - 1) / batchSize;
  auto batchFirst = [&](size_t batch) { return first + batch * batchSize; };
  auto batchSamples = [&](size_t batch) { return std::min(batchSize, end - batchFirst(batch)); };

  auto gather = [&](size_t batch) {
    const Share share = ShareOf(batchSamples(batch), 1, threadIndex, threadCount);
    double* inputs = inputs_[batch % 2].data();
    for (size_t s = share.begin; s < share.end; ++s) {
      const double* pixels = samples[batchFirst(batch) + s].pixels.data();
      std::copy(pixels, pixels + layers_[0].inputCount, inputs + s * layers_[0].stride);
    }
  };
  auto inputsOf = [&](size_t k, size_t batch) -> const double* {
    return k == 0 ? inputs_[batch % 2].data() : layers_[k - 1].activations[batch % 2].data();
  };
  auto rowsOf = [&](size_t k) { return ShareOf(layers_[k].outputCount, kernels_.rowUnit, threadIndex, threadCount); };

  // Rows [rowBegin, rowEnd) of layer k for mini-batch `batch`: weighted inputs, activations
  // and, at the output layer, the deltas t - a (the exact simplification of the output error).
  auto forward = [&](size_t k, size_t batch, size_t rowBegin, size_t rowEnd) {
    Layer& layer = layers_[k];
    const size_t sampleCount = batchSamples(batch);
    double* activations = layer.activations[batch % 2].data();
    kernels_.forward(layer.weights.data(), layer.stride, layer.inputCount, layer.biases.data(), rowBegin,
                     rowEnd, inputsOf(k, batch), sampleCount, activations, layer.outputStride);
    for (size_t s = 0; s < sampleCount; ++s) {
      kernels_.sigmoid(activations + s * layer.outputStride + rowBegin, rowEnd - rowBegin);
    }
    if (k + 1 == layerCount) {
      for (size_t s = 0; s < sampleCount; ++s) {
        const double* target = samples[batchFirst(batch) + s].target.data();
        const double* row = activations + s * layer.outputStride;
        double* deltas = layer.deltas.data() + s * layer.outputStride;
        for (size_t r = rowBegin; r < rowEnd; ++r) deltas[r] = target[r] - row[r];
      }
    }
  };
  // The gradient step of mini-batch `batch` on rows [rowBegin, rowEnd) of layer k.
  auto update = [&](size_t k, size_t batch, size_t rowBegin, size_t rowEnd) {
    Layer& layer = layers_[k];
    const size_t sampleCount = batchSamples(batch);
    const double step = learningRate_ / static_cast<double>(sampleCount);
    const double* deltas = layer.deltas.data();
    kernels_.update(layer.weights.data(), layer.stride, layer.inputCount, rowBegin, rowEnd, inputsOf(k, batch),
                    deltas, layer.outputStride, sampleCount, step, weightDecayFactor_);
    // Biases as the plain step does it: (sum of the deltas in sample order) * step, added.
    for (size_t r = rowBegin; r < rowEnd; ++r) {
      double sum = 0.0;
      for (size_t s = 0; s < sampleCount; ++s) sum = deltas[s * layer.outputStride + r] + sum;
      layer.biases.data()[r] = layer.biases.data()[r] + sum * step;
    }
  };

  gather(0);
  pool_.Barrier();
  for (size_t k = 0; k < layerCount; ++k) {
    const Share rows = rowsOf(k);
    forward(k, 0, rows.begin, rows.end);
    pool_.Barrier();
  }
  for (size_t batch = 0; batch < batchCount; ++batch) {
    const bool last = batch + 1 == batchCount;
    for (size_t k = layerCount - 1; k >= 1; --k) {
      if (k == layerCount - 1 && !last) gather(batch + 1);
      const Layer& layer = layers_[k];
      Layer& lower = layers_[k - 1];
      const Share columns = ShareOf(layer.stride, kStrideUnit, threadIndex, threadCount);
      kernels_.backError(layer.weights.data(), layer.stride, layer.outputCount, columns.begin, columns.end,
                         layer.deltas.data(), layer.outputStride, batchSamples(batch),
                         lower.activations[batch % 2].data(), lower.deltas.data());
      pool_.Barrier();
    }
    if (last) {
      for (size_t k = 0; k < layerCount; ++k) {
        const Share rows = rowsOf(k);
        update(k, batch, rows.begin, rows.end);
      }
      pool_.Barrier();
      break;
    }
    if (layerCount == 1) {  // no error phase took the gather
      gather(batch + 1);
      pool_.Barrier();
    }
    for (size_t k = 0; k < layerCount; ++k) {
      const Share rows = rowsOf(k);
      // A few rows at a time, so that they are still in the cache for the forward pass.
      const size_t chunk = 2 * kernels_.rowUnit;
      for (size_t row = rows.begin; row < rows.end; row += chunk) {
        const size_t rowEnd = std::min(row + chunk, rows.end);
        update(k, batch, row, rowEnd);
        forward(k, batch + 1, row, rowEnd);
      }
      pool_.Barrier();
    }
  }
}

size_t TrainingEngine::EvaluationScratchSize() const {
  if (layers_.empty()) return 0;
  size_t widest = 0;
  for (const Layer& layer : layers_) widest = std::max(widest, layer.outputStride);
  return kEvaluationBlock * (layers_[0].stride + 2 * widest);
}

const double* TrainingEngine::FeedForwardBlock(const ImageSet& samples, size_t first, size_t count,
                                               double* scratch) const {
  if (layers_.empty()) return scratch;
  const size_t inputStride = layers_[0].stride;
  double* inputs = scratch;
  double* outputs = scratch + kEvaluationBlock * inputStride;
  double* spare = outputs + (EvaluationScratchSize() - kEvaluationBlock * inputStride) / 2;
  for (size_t s = 0; s < count; ++s) {
    const double* pixels = samples[first + s].pixels.data();
    std::copy(pixels, pixels + layers_[0].inputCount, inputs + s * inputStride);
  }
  for (const Layer& layer : layers_) {
    // A wider lower layer may have left values in the padding of this layer's rows; the
    // padding of an input row must be zero because the kernels read it.
    kernels_.forward(layer.weights.data(), layer.stride, layer.inputCount, layer.biases.data(), 0,
                     layer.outputCount, inputs, count, outputs, layer.outputStride);
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

double CountCorrectOfMeanOutput(const std::vector<const TrainingEngine*>& engines,
                                const ImageSet& samples) {
  if (engines.empty() || samples.empty()) return 0.0;
  const size_t outputCount = engines.front()->OutputSize();
  for (const TrainingEngine* engine : engines) {
    if (engine->OutputSize() < outputCount) ThrowSubscript();
    for (const ImageSample& sample : samples) {
      if (sample.pixels.size() < engine->InputSize()) ThrowSubscript();
    }
  }
  const double memberCount = static_cast<double>(engines.size());
  const size_t blockSize = TrainingEngine::kEvaluationBlock;
  const size_t blockCount = (samples.size() + blockSize - 1) / blockSize;
  ThreadPool& pool = engines.front()->Pool();
  const uint32_t threadCount = pool.ThreadCount();

  // Everything the threads use is allocated here, so that no allocation can fail inside them.
  struct ThreadState {
    std::vector<AlignedBuffer> scratch;  // one per engine
    std::vector<const double*> outputs;  // one per engine: its output rows for the block
    Vector mean;
    double correct = 0.0;
  };
  std::vector<ThreadState> states(threadCount);
  for (ThreadState& state : states) {
    for (const TrainingEngine* engine : engines) state.scratch.emplace_back(engine->EvaluationScratchSize());
    state.outputs.resize(engines.size());
    state.mean.resize(outputCount);
  }

  // Blocks are claimed one at a time rather than dealt out, so that a thread the system
  // deschedules holds up nothing: a sample's outputs do not depend on the thread that
  // computes them, and the count does not depend on the order.
  std::atomic<size_t> nextBlock{0};
  pool.Run([&](uint32_t threadIndex) {
    ThreadState& state = states[threadIndex];
    for (size_t block = nextBlock.fetch_add(1); block < blockCount; block = nextBlock.fetch_add(1)) {
      const size_t first = block * blockSize;
      const size_t count = std::min(blockSize, samples.size() - first);
      for (size_t e = 0; e < engines.size(); ++e) {
        state.outputs[e] = engines[e]->FeedForwardBlock(samples, first, count, state.scratch[e].data());
      }
      for (size_t s = 0; s < count; ++s) {
        std::fill(state.mean.begin(), state.mean.end(), 0.0);
        for (size_t e = 0; e < engines.size(); ++e) {
          const double* output = state.outputs[e] + s * engines[e]->OutputStride();
          for (size_t i = 0; i < outputCount; ++i) state.mean[i] = state.mean[i] + output[i];
        }
        for (double& value : state.mean) value = value / memberCount;
        if (ArgMax(samples[first + s].target) == ArgMax(state.mean)) state.correct += 1.0;
      }
    }
  });
  double correct = 0.0;
  for (const ThreadState& state : states) correct += state.correct;
  return correct;
}
