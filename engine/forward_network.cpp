// The classifying network's packed layers, its forward pass, and the blocks on many threads.
#include "engine/forward_network.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <stdexcept>

namespace {

constexpr size_t kAlignment = 64;  // bytes: one cache line, and whole AVX-512 vectors

size_t RoundUpToStrideUnit(size_t count) { return (count + kStrideUnit - 1) / kStrideUnit * kStrideUnit; }

}  // namespace

AlignedBuffer::AlignedBuffer(size_t count) {
  const size_t bytes = std::max<size_t>(RoundUpToStrideUnit(count) * sizeof(double), kAlignment);
  auto* values = static_cast<double*>(std::aligned_alloc(kAlignment, bytes));
  if (values == nullptr) throw std::bad_alloc();
  std::fill(values, values + bytes / sizeof(double), 0.0);
  values_.reset(values);
}

void AlignedBuffer::Free::operator()(double* values) const { std::free(values); }

ForwardNetwork::ForwardNetwork(std::span<const uint32_t> layerSizes, const LayerKernels& kernels)
    : kernels_(&kernels) {
  if (layerSizes.size() < 2) return;
  // One buffer holds every layer's weights, each matrix a whole number of cache lines, and
  // after them all biases back to back (the kernels read biases one at a time): a buffer per
  // part would cost an aligned allocation per layer, many times the values of a small layer.
  size_t weightCount = 0;
  size_t biasCount = 0;
  layers_.reserve(layerSizes.size() - 1);
  for (size_t k = 1; k < layerSizes.size(); ++k) {
    layers_.push_back({layerSizes[k - 1], layerSizes[k], weightCount, biasCount});
    weightCount += size_t{layerSizes[k]} * RoundUpToStrideUnit(layerSizes[k - 1]);
    biasCount += layerSizes[k];
    widestOutputStride_ = std::max(widestOutputStride_, RoundUpToStrideUnit(layerSizes[k]));
  }
  for (Layer& layer : layers_) layer.biasOffset += weightCount;
  parameters_ = AlignedBuffer(weightCount + biasCount);
}

ForwardNetwork::ForwardNetwork(std::span<const uint32_t> layerSizes, std::span<const double> weights,
                               std::span<const double> biases, const LayerKernels& kernels)
    : ForwardNetwork(layerSizes, kernels) {
  size_t weightCount = 0;
  size_t biasCount = 0;
  for (const Layer& layer : layers_) {
    weightCount += size_t{layer.outputCount} * layer.inputCount;
    biasCount += layer.outputCount;
  }
  if (weights.size() != weightCount || biases.size() != biasCount) {
    throw std::invalid_argument("weights or biases of another length than the layer sizes need");
  }
  for (size_t k = 0; k < layers_.size(); ++k) {
    for (size_t r = 0; r < layers_[k].outputCount; ++r) {
      std::span<double> row = WeightRow(k, r);
      std::copy_n(weights.begin(), row.size(), row.begin());
      weights = weights.subspan(row.size());
    }
    std::span<double> layerBiases = Biases(k);
    std::copy_n(biases.begin(), layerBiases.size(), layerBiases.begin());
    biases = biases.subspan(layerBiases.size());
  }
}

uint32_t ForwardNetwork::InputSize() const { return layers_.empty() ? 0 : layers_.front().inputCount; }

uint32_t ForwardNetwork::OutputSize() const { return layers_.empty() ? 0 : layers_.back().outputCount; }

ForwardNetwork::PackedLayer ForwardNetwork::Packed(size_t k) {
  const Layer& layer = layers_.at(k);
  return {layer.inputCount, layer.outputCount, RoundUpToStrideUnit(layer.inputCount),
          parameters_.data() + layer.weightOffset, parameters_.data() + layer.biasOffset};
}

std::span<double> ForwardNetwork::WeightRow(size_t k, size_t r) {
  const PackedLayer layer = Packed(k);
  if (r >= layer.outputCount) throw std::out_of_range("no such row");
  return {layer.weights + r * layer.stride, layer.inputCount};
}

std::span<const double> ForwardNetwork::WeightRow(size_t k, size_t r) const {
  return const_cast<ForwardNetwork*>(this)->WeightRow(k, r);
}

std::span<double> ForwardNetwork::Biases(size_t k) {
  const PackedLayer layer = Packed(k);
  return {layer.biases, layer.outputCount};
}

std::span<const double> ForwardNetwork::Biases(size_t k) const {
  return const_cast<ForwardNetwork*>(this)->Biases(k);
}

size_t ForwardNetwork::OutputStride() const { return RoundUpToStrideUnit(OutputSize()); }

size_t ForwardNetwork::BlockSize() const {
  if (layers_.empty()) return kBlock;
  return std::clamp<size_t>(kScratch / ScratchSize(1), 1, kBlock);
}

size_t ForwardNetwork::ScratchSize(size_t count) const {
  if (layers_.empty()) return 0;
  return count * (RoundUpToStrideUnit(InputSize()) + 2 * widestOutputStride_);
}

const double* ForwardNetwork::FeedForwardBlock(const std::function<const double*(size_t)>& inputOf,
                                               size_t first, size_t count, double* scratch) const {
  if (layers_.empty()) return scratch;
  // Inputs, then two blocks of the widest outputs that the layers write in turn.
  const size_t inputStride = RoundUpToStrideUnit(InputSize());
  double* inputs = scratch;
  double* outputs = scratch + count * inputStride;
  double* spare = outputs + count * widestOutputStride_;
  for (size_t s = 0; s < count; ++s) {
    const double* input = inputOf(first + s);
    double* row = inputs + s * inputStride;
    // The padding too: the kernels read it, and an earlier block may have left outputs there.
    std::fill(std::copy(input, input + InputSize(), row), row + inputStride, 0.0);
  }
  for (const Layer& layer : layers_) {
    const size_t stride = RoundUpToStrideUnit(layer.inputCount);
    const size_t outputStride = RoundUpToStrideUnit(layer.outputCount);
    // A wider lower layer may have left values in the padding of this layer's rows; the
    // padding of an input row must be zero because the kernels read it.
    kernels_->forward(parameters_.data() + layer.weightOffset, stride, layer.inputCount,
                      parameters_.data() + layer.biasOffset, 0, layer.outputCount, inputs, count, outputs,
                      outputStride);
    for (size_t s = 0; s < count; ++s) {
      double* row = outputs + s * outputStride;
      kernels_->sigmoid(row, layer.outputCount);
      std::fill(row + layer.outputCount, row + outputStride, 0.0);
    }
    inputs = outputs;
    std::swap(outputs, spare);
  }
  return inputs;
}

void ForwardNetwork::Classify(std::span<const double> inputs, std::span<double> outputs) const {
  const size_t inputSize = InputSize();
  const size_t outputSize = OutputSize();
  const size_t count = inputSize == 0 ? 0 : inputs.size() / inputSize;
  if (inputSize == 0 || inputs.size() != count * inputSize || outputs.size() != count * outputSize) {
    throw std::invalid_argument("inputs not whole, or outputs of another length than the inputs need");
  }
  const size_t blockSize = BlockSize();
  AlignedBuffer scratch(ScratchSize(blockSize));
  const auto inputOf = [&](size_t i) { return inputs.data() + i * inputSize; };
  for (size_t first = 0; first < count; first += blockSize) {
    const size_t blockCount = std::min(blockSize, count - first);
    const double* rows = FeedForwardBlock(inputOf, first, blockCount, scratch.data());
    for (size_t s = 0; s < blockCount; ++s) {
      std::copy_n(rows + s * OutputStride(), outputSize, outputs.begin() + (first + s) * outputSize);
    }
  }
}

void FeedForwardInBlocks(std::span<const ForwardNetwork* const> members, size_t inputCount,
                         const std::function<const double*(size_t)>& inputOf, ThreadPool& pool,
                         const BlockOutputsVisitor& visit) {
  if (members.empty() || inputCount == 0) return;
  size_t blockSize = ForwardNetwork::kBlock;
  size_t scratchSize = 0;
  for (const ForwardNetwork* member : members) blockSize = std::min(blockSize, member->BlockSize());
  for (const ForwardNetwork* member : members)
    scratchSize = std::max(scratchSize, member->ScratchSize(blockSize));
  const size_t blockCount = (inputCount + blockSize - 1) / blockSize;
  const auto workerCount = static_cast<uint32_t>(std::min<size_t>(pool.ThreadCount(), blockCount));
  // Allocated here, so that no allocation can fail inside the threads. The members take
  // turns in one scratch block per thread.
  std::vector<AlignedBuffer> scratches;
  for (uint32_t t = 0; t < workerCount; ++t) scratches.emplace_back(scratchSize);
  std::atomic<size_t> nextBlock{0};
  pool.Run([&](uint32_t threadIndex) {
    if (threadIndex >= workerCount) return;
    double* scratch = scratches[threadIndex].data();
    for (size_t block = nextBlock.fetch_add(1); block < blockCount; block = nextBlock.fetch_add(1)) {
      const size_t first = block * blockSize;
      const size_t count = std::min(blockSize, inputCount - first);
      for (size_t m = 0; m < members.size(); ++m) {
        visit(threadIndex, first, count, m, members[m]->FeedForwardBlock(inputOf, first, count, scratch));
      }
    }
  });
}
