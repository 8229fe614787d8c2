// The three loops that carry almost all of the arithmetic of training and evaluation, for one
// layer and a block of samples, in four builds: portable C++, AVX2+FMA, AVX-512 and, for the
// page that trains in the browser, WebAssembly SIMD128; the fastest one the processor runs
// chosen at run time.
//
// Layout (all arrays owned by the caller, 64-byte aligned):
//   weights  rowCount rows of `stride` doubles; row r holds the weights into neuron r. The
//            columns from columnCount up to `stride` are zero padding and stay zero.
//   samples  one row per sample, `stride` doubles (inputs, errors) or `outputStride` doubles
//            (weighted inputs, deltas), zero-padded likewise.
// `stride` and `outputStride` are multiples of kStrideUnit.
//
// Every output element is computed by one fixed sequence of operations that depends only on
// the layer's shape and the sample count, never on which rows or columns one call covers. So
// a layer split among threads at any boundary gives bit-identical results. (The builds
// differ from each other in rounding.)
#pragma once

#include <cstddef>

inline constexpr size_t kStrideUnit = 8;  // doubles: one 64-byte cache line

struct LayerKernels {
  const char* name;
  // Rows per unit when a layer's rows are dealt among threads for forward and update: whole
  // tiles of both, so that no thread but the last runs a narrower, slower tile. Any unit
  // gives the same results.
  size_t rowUnit;

  // weightedInputs[s][r] = (sum over c < columnCount of weights[r][c] * inputs[s][c]) +
  // biases[r], for rows [rowBegin, rowEnd) and samples s < sampleCount.
  void (*forward)(const double* weights, size_t stride, size_t columnCount, const double* biases,
                  size_t rowBegin, size_t rowEnd, const double* inputs, size_t sampleCount,
                  double* weightedInputs, size_t outputStride);

  // The errors carried back by rows [rowBegin, rowEnd): for columns c in [columnBegin,
  // columnEnd), a multiple of kStrideUnit apart and at most `stride`, and samples s,
  //   errors[s][c] = sum over r in [rowBegin, rowEnd), in order, of weights[r][c] * deltas[s][r].
  void (*backError)(const double* weights, size_t stride, size_t rowBegin, size_t rowEnd, size_t columnBegin,
                    size_t columnEnd, const double* deltas, size_t outputStride, size_t sampleCount,
                    double* errors);

  // The gradient step for rows [rowBegin, rowEnd), every column c < columnCount: starting
  // from weights[r][c] * decay (exactly weights[r][c] when decay is 1.0), add
  // (deltas[s][r] * step) * inputs[s][c] for s = 0 ... sampleCount - 1, one sample at a time.
  void (*update)(double* weights, size_t stride, size_t columnCount, size_t rowBegin, size_t rowEnd,
                 const double* inputs, const double* deltas, size_t outputStride, size_t sampleCount,
                 double step, double decay);

  // values[i] = 1 / (exp(-values[i]) + 1) for i < count, exactly 0.0 or 1.0 when saturated.
  // The vector build computes exp itself to within about one unit in the last place.
  void (*sigmoid)(double* values, size_t count);
};

// Plain C++ loops for any x86-64 (or other) processor.
const LayerKernels& PortableKernels();
// AVX2 and FMA vector loops, or null when this processor lacks them.
const LayerKernels* Avx2Kernels();
// AVX-512 vector loops, or null when this processor lacks them.
const LayerKernels* Avx512Kernels();
// WebAssembly's 128-bit SIMD loops (the page's training build), or null in any other build.
const LayerKernels* WasmSimdKernels();
// The fastest set this processor runs, chosen once.
const LayerKernels& BestKernels();
