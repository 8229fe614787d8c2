// The layer loops in plain C++: correct everywhere, and the baseline the vector build is
// measured against. The loops are ordered so that the compiler can vectorise across
// independent elements without changing any element's order of summation.
#include <algorithm>
#include <cstdint>

#include "engine/kernels.h"

namespace {

#include "engine/sigmoid_math.h"

void Forward(const double* weights, size_t stride, size_t columnCount, const double* biases, size_t rowBegin,
             size_t rowEnd, const double* inputs, size_t sampleCount, double* weightedInputs,
             size_t outputStride) {
  for (size_t r = rowBegin; r < rowEnd; ++r) {
    const double* row = weights + r * stride;
    for (size_t s = 0; s < sampleCount; ++s) {
      const double* input = inputs + s * stride;
      double sum = 0.0;
      for (size_t c = 0; c < columnCount; ++c) sum += row[c] * input[c];
      weightedInputs[s * outputStride + r] = sum + biases[r];
    }
  }
}

void BackError(const double* weights, size_t stride, size_t rowBegin, size_t rowEnd, size_t columnBegin,
               size_t columnEnd, const double* deltas, size_t outputStride, size_t sampleCount,
               double* errors) {
  for (size_t s = 0; s < sampleCount; ++s) {
    double* sums = errors + s * stride;
    std::fill(sums + columnBegin, sums + columnEnd, 0.0);
    for (size_t r = rowBegin; r < rowEnd; ++r) {
      const double* row = weights + r * stride;
      const double delta = deltas[s * outputStride + r];
      for (size_t c = columnBegin; c < columnEnd; ++c) sums[c] += row[c] * delta;
    }
  }
}

void Update(double* weights, size_t stride, size_t columnCount, size_t rowBegin, size_t rowEnd,
            const double* inputs, const double* deltas, size_t outputStride, size_t sampleCount, double step,
            double decay) {
  for (size_t r = rowBegin; r < rowEnd; ++r) {
    double* row = weights + r * stride;
    if (decay != 1.0) {
      for (size_t c = 0; c < columnCount; ++c) row[c] *= decay;
    }
    for (size_t s = 0; s < sampleCount; ++s) {
      const double scaledDelta = deltas[s * outputStride + r] * step;
      const double* input = inputs + s * stride;
      for (size_t c = 0; c < columnCount; ++c) row[c] += scaledDelta * input[c];
    }
  }
}

// The engine's own exp rather than the C library's: libraries round differently (glibc even
// by processor), and the page's WebAssembly must compute what this computes.
void SigmoidInPlace(double* values, size_t count) {
  for (size_t i = 0; i < count; ++i) values[i] = Sigmoid<PlainMath>(values[i]);
}

}  // namespace

const LayerKernels& PortableKernels() {
  static const LayerKernels kernels{"portable", 1, Forward, BackError, Update, SigmoidInPlace};
  return kernels;
}

const LayerKernels& BestKernels() {
  static const LayerKernels& best = Avx512Kernels() != nullptr     ? *Avx512Kernels()
                                    : Avx2Kernels() != nullptr     ? *Avx2Kernels()
                                    : WasmSimdKernels() != nullptr ? *WasmSimdKernels()
                                                                   : PortableKernels();
  return best;
}
