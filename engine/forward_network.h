// A network that only classifies: its layers held once, in the engine's layout (every row
// zero-padded to whole cache lines on a 64-byte boundary), and the forward pass of inputs
// into outputs. This is what `--verify`, mnist-lab, the drawing page and other programs
// classify with; training has its own engine (training_engine.h), which keeps its layers in
// one of these.
//
// Weights and biases go in as spans (or are written in place through WeightRow and Biases by a
// file reader), inputs go in as spans, outputs come out into the caller's span. The forward
// pass is the fast engine's, with its vector kernels: outputs agree with the plain
// NeuralNetwork::FeedForward to rounding, and are bit-identical to what the training engine
// evaluates with the same kernels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "engine/kernels.h"
#include "engine/thread_pool.h"

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

class ForwardNetwork {
 public:
  ForwardNetwork() = default;  // no layers
  // Layers of sizes n(0) ... n(L-1), the input layer first, with every weight and bias 0.0
  // until written through WeightRow and Biases. Fewer than two sizes give no layers. The
  // memory follows the sizes: a caller that read them from a file checks first that the file
  // holds that many values.
  explicit ForwardNetwork(std::span<const uint32_t> layerSizes, const LayerKernels& kernels = BestKernels());
  // The same, filled from `weights` (layer after layer, each matrix row after row: n(k+1)
  // rows of n(k) values) and `biases` (layer after layer, n(k+1) values). Throws
  // std::invalid_argument when their lengths are not what the sizes need.
  ForwardNetwork(std::span<const uint32_t> layerSizes, std::span<const double> weights,
                 std::span<const double> biases, const LayerKernels& kernels = BestKernels());

  size_t LayerCount() const { return layers_.size(); }  // weight layers: L - 1
  uint32_t InputSize() const;                           // n(0), or 0 without layers
  uint32_t OutputSize() const;                          // n(L-1), or 0 without layers
  // Row r of weight layer k (0 is the first above the input): n(k) values; and its biases.
  std::span<double> WeightRow(size_t k, size_t r);
  std::span<const double> WeightRow(size_t k, size_t r) const;
  std::span<double> Biases(size_t k);
  std::span<const double> Biases(size_t k) const;

  // The outputs of inputs.size() / InputSize() inputs stored one after another, on the
  // calling thread: OutputSize() values per input into `outputs`. Throws
  // std::invalid_argument when `inputs` is not whole inputs or `outputs` has another length.
  void Classify(std::span<const double> inputs, std::span<double> outputs) const;

  // Blocks, for callers that spread many inputs over threads (FeedForwardInBlocks below):
  // BlockSize() inputs at a time keep the working memory near kScratch doubles (kBlock at
  // most, 1 at least), so that a thread's memory stays small for the widest layers too.
  static constexpr size_t kBlock = 20;
  static constexpr size_t kScratch = 40'960;  // 320 KiB: 20 inputs of MNIST's layers
  size_t BlockSize() const;
  size_t ScratchSize(size_t count) const;  // doubles, for `count` inputs
  size_t OutputStride() const;             // a row of FeedForwardBlock's outputs, padding included
  // The outputs of count inputs, inputOf(first + i) pointing at input i's first InputSize()
  // values: count rows of OutputStride() doubles inside `scratch`, which must hold
  // ScratchSize(count) doubles on a 64-byte boundary.
  const double* FeedForwardBlock(const std::function<const double*(size_t)>& inputOf, size_t first,
                                 size_t count, double* scratch) const;

  // A layer in the engine's layout, for the training engine: `weights` holds outputCount rows
  // of `stride` doubles (the columns from inputCount on are zero and must stay zero).
  struct PackedLayer {
    uint32_t inputCount;
    uint32_t outputCount;
    size_t stride;
    double* weights;
    double* biases;
  };
  PackedLayer Packed(size_t k);
  const LayerKernels& Kernels() const { return *kernels_; }

 private:
  struct Layer {
    uint32_t inputCount;
    uint32_t outputCount;
    size_t weightOffset;  // into parameters_; every layer's weights first, then every bias
    size_t biasOffset;
  };

  const LayerKernels* kernels_ = &PortableKernels();
  AlignedBuffer parameters_;
  std::vector<Layer> layers_;
  size_t widestOutputStride_ = 0;
};

// Called by FeedForwardInBlocks with a member's outputs for a block of inputs: count rows of
// the member's OutputStride() doubles, for inputs first ... first + count - 1.
using BlockOutputsVisitor = std::function<void(uint32_t threadIndex, size_t first, size_t count,
                                               size_t member, const double* outputs)>;

// Feeds inputs 0 ... inputCount - 1 (inputOf(i) points at input i, which has at least every
// member's InputSize() values) through every member, a block of at most ForwardNetwork::kBlock
// inputs at a time on the pool's threads, by no more of them than there are blocks. For each
// block, one thread calls visit for member 0, 1, ... in order before it takes another block.
// Blocks are claimed one at a time rather than dealt out, so that a thread the system
// deschedules holds up nothing: an output does not depend on the thread that computes it.
// Each thread's working memory is one block's, whatever the number of members. Neither
// inputOf nor visit may throw.
void FeedForwardInBlocks(std::span<const ForwardNetwork* const> members, size_t inputCount,
                         const std::function<const double*(size_t)>& inputOf, ThreadPool& pool,
                         const BlockOutputsVisitor& visit);
