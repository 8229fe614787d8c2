// The layer loops with AVX2 and FMA intrinsics, compiled for those instructions only inside
// this file (the rest of the program runs on any x86-64) and chosen at run time.
//
// Each loop works on a register tile sized so that the 16 vector registers hold the partial
// sums and the operands reused across the tile, and each FMA needs at most one fresh load:
//   forward     3 rows x 4 samples of 4-lane partial sums, over all columns;
//   back error  8 columns x 5 samples, over all rows;
//   update      4 columns of 2 rows, taking 5 samples at a time, in column blocks that keep
//               the inputs in the level-1 cache.
// Every element has a single accumulator and the same sequence of operations whatever tile
// it falls in, so the tile shape and the split among threads never change a result.
#include "network/kernels.h"

#if defined(__x86_64__) && defined(__GNUC__)

#include <immintrin.h>

#include <algorithm>

#pragma GCC push_options
#pragma GCC target("avx2,fma")

namespace {

constexpr size_t kLanes = 4;

size_t RoundUpToLanes(size_t count) { return (count + kLanes - 1) / kLanes * kLanes; }

// Keeps a loaded vector in a register: without it GCC folds the load into every FMA that
// uses it, which doubles or triples the loads of a tile.
inline __m256d Pinned(__m256d v) {
  asm("" : "+x"(v));
  return v;
}

// (l0 + l2) + (l1 + l3): one fixed order for every element.
inline double HorizontalSum(__m256d v) {
  const __m128d halves = _mm_add_pd(_mm256_castpd256_pd128(v), _mm256_extractf128_pd(v, 1));
  return _mm_cvtsd_f64(_mm_add_sd(halves, _mm_unpackhi_pd(halves, halves)));
}

template <int R, int S>
inline void ForwardTile(const double* weights, size_t stride, size_t columns, const double* biases,
                        size_t row, const double* inputs, double* weightedInputs,
                        size_t outputStride) {
  __m256d sums[R][S];
#pragma GCC unroll 16
  for (int r = 0; r < R; ++r) {
#pragma GCC unroll 16
    for (int s = 0; s < S; ++s) sums[r][s] = _mm256_setzero_pd();
  }
  const double* rows = weights + row * stride;
  for (size_t c = 0; c < columns; c += kLanes) {
    __m256d w[R];
#pragma GCC unroll 16
    for (int r = 0; r < R; ++r) w[r] = _mm256_load_pd(rows + r * stride + c);
#pragma GCC unroll 16
    for (int s = 0; s < S; ++s) {
      const __m256d x = Pinned(_mm256_load_pd(inputs + s * stride + c));
#pragma GCC unroll 16
      for (int r = 0; r < R; ++r) sums[r][s] = _mm256_fmadd_pd(w[r], x, sums[r][s]);
    }
  }
#pragma GCC unroll 16
  for (int r = 0; r < R; ++r) {
#pragma GCC unroll 16
    for (int s = 0; s < S; ++s) {
      weightedInputs[s * outputStride + row + r] = HorizontalSum(sums[r][s]) + biases[row + r];
    }
  }
}

template <int R>
inline void ForwardRows(const double* weights, size_t stride, size_t columns, const double* biases,
                        size_t row, const double* inputs, size_t sampleCount,
                        double* weightedInputs, size_t outputStride) {
  size_t s = 0;
  for (; s + 4 <= sampleCount; s += 4) {
    ForwardTile<R, 4>(weights, stride, columns, biases, row, inputs + s * stride,
                      weightedInputs + s * outputStride, outputStride);
  }
  const double* x = inputs + s * stride;
  double* z = weightedInputs + s * outputStride;
  switch (sampleCount - s) {
    case 3: ForwardTile<R, 3>(weights, stride, columns, biases, row, x, z, outputStride); break;
    case 2: ForwardTile<R, 2>(weights, stride, columns, biases, row, x, z, outputStride); break;
    case 1: ForwardTile<R, 1>(weights, stride, columns, biases, row, x, z, outputStride); break;
    default: break;
  }
}

void Forward(const double* weights, size_t stride, size_t columnCount, const double* biases,
             size_t rowBegin, size_t rowEnd, const double* inputs, size_t sampleCount,
             double* weightedInputs, size_t outputStride) {
  const size_t columns = RoundUpToLanes(columnCount);
  size_t r = rowBegin;
  for (; r + 3 <= rowEnd; r += 3) {
    ForwardRows<3>(weights, stride, columns, biases, r, inputs, sampleCount, weightedInputs,
                   outputStride);
  }
  if (rowEnd - r == 2) {
    ForwardRows<2>(weights, stride, columns, biases, r, inputs, sampleCount, weightedInputs,
                   outputStride);
  } else if (rowEnd - r == 1) {
    ForwardRows<1>(weights, stride, columns, biases, r, inputs, sampleCount, weightedInputs,
                   outputStride);
  }
}

template <int S>
inline void BackErrorTile(const double* weights, size_t stride, size_t rowCount, size_t column,
                          const double* deltas, size_t outputStride,
                          const double* lowerActivations, double* lowerDeltas) {
  __m256d sums[2][S];
#pragma GCC unroll 16
  for (int s = 0; s < S; ++s) sums[0][s] = sums[1][s] = _mm256_setzero_pd();
  for (size_t r = 0; r < rowCount; ++r) {
    const double* row = weights + r * stride + column;
    const __m256d w0 = _mm256_load_pd(row);
    const __m256d w1 = _mm256_load_pd(row + kLanes);
#pragma GCC unroll 16
    for (int s = 0; s < S; ++s) {
      const __m256d delta = _mm256_broadcast_sd(deltas + s * outputStride + r);
      sums[0][s] = _mm256_fmadd_pd(w0, delta, sums[0][s]);
      sums[1][s] = _mm256_fmadd_pd(w1, delta, sums[1][s]);
    }
  }
  const __m256d one = _mm256_set1_pd(1.0);
#pragma GCC unroll 16
  for (int s = 0; s < S; ++s) {
#pragma GCC unroll 2
    for (int half = 0; half < 2; ++half) {
      const size_t at = s * stride + column + half * kLanes;
      const __m256d a = _mm256_load_pd(lowerActivations + at);
      const __m256d slope = _mm256_mul_pd(_mm256_sub_pd(one, a), a);
      _mm256_store_pd(lowerDeltas + at, _mm256_mul_pd(sums[half][s], slope));
    }
  }
}

void BackError(const double* weights, size_t stride, size_t rowCount, size_t columnBegin,
               size_t columnEnd, const double* deltas, size_t outputStride, size_t sampleCount,
               const double* lowerActivations, double* lowerDeltas) {
  for (size_t column = columnBegin; column < columnEnd; column += 2 * kLanes) {
    size_t s = 0;
    for (; s + 5 <= sampleCount; s += 5) {
      BackErrorTile<5>(weights, stride, rowCount, column, deltas + s * outputStride, outputStride,
                       lowerActivations + s * stride, lowerDeltas + s * stride);
    }
    const double* d = deltas + s * outputStride;
    const double* a = lowerActivations + s * stride;
    double* e = lowerDeltas + s * stride;
    switch (sampleCount - s) {
      case 4: BackErrorTile<4>(weights, stride, rowCount, column, d, outputStride, a, e); break;
      case 3: BackErrorTile<3>(weights, stride, rowCount, column, d, outputStride, a, e); break;
      case 2: BackErrorTile<2>(weights, stride, rowCount, column, d, outputStride, a, e); break;
      case 1: BackErrorTile<1>(weights, stride, rowCount, column, d, outputStride, a, e); break;
      default: break;
    }
  }
}

// Adds S samples' steps to R rows over columns [first, last); the first group of samples
// also applies the decay (skipped when it is 1.0, which changes nothing).
template <int R, int S>
inline void UpdateTile(double* weights, size_t stride, size_t row, size_t first, size_t last,
                       const double* inputs, const double* deltas, size_t outputStride,
                       double step, const __m256d* decay) {
  __m256d scaledDeltas[R][S];
#pragma GCC unroll 16
  for (int r = 0; r < R; ++r) {
#pragma GCC unroll 16
    for (int s = 0; s < S; ++s) scaledDeltas[r][s] = _mm256_set1_pd(deltas[s * outputStride + row + r] * step);
  }
  double* rows = weights + row * stride;
  for (size_t c = first; c < last; c += kLanes) {
    __m256d w[R];
#pragma GCC unroll 16
    for (int r = 0; r < R; ++r) {
      w[r] = _mm256_load_pd(rows + r * stride + c);
      if (decay != nullptr) w[r] = _mm256_mul_pd(w[r], *decay);
    }
#pragma GCC unroll 16
    for (int s = 0; s < S; ++s) {
      const __m256d x = Pinned(_mm256_load_pd(inputs + s * stride + c));
#pragma GCC unroll 16
      for (int r = 0; r < R; ++r) w[r] = _mm256_fmadd_pd(scaledDeltas[r][s], x, w[r]);
    }
#pragma GCC unroll 16
    for (int r = 0; r < R; ++r) _mm256_store_pd(rows + r * stride + c, w[r]);
  }
}

template <int R>
inline void UpdateRows(double* weights, size_t stride, size_t row, size_t first, size_t last,
                       const double* inputs, const double* deltas, size_t outputStride,
                       size_t sampleCount, double step, const __m256d* decay) {
  size_t s = 0;
  for (; s + 5 <= sampleCount; s += 5) {
    UpdateTile<R, 5>(weights, stride, row, first, last, inputs + s * stride,
                     deltas + s * outputStride, outputStride, step, s == 0 ? decay : nullptr);
  }
  const double* x = inputs + s * stride;
  const double* d = deltas + s * outputStride;
  const __m256d* g = s == 0 ? decay : nullptr;
  switch (sampleCount - s) {
    case 4: UpdateTile<R, 4>(weights, stride, row, first, last, x, d, outputStride, step, g); break;
    case 3: UpdateTile<R, 3>(weights, stride, row, first, last, x, d, outputStride, step, g); break;
    case 2: UpdateTile<R, 2>(weights, stride, row, first, last, x, d, outputStride, step, g); break;
    case 1: UpdateTile<R, 1>(weights, stride, row, first, last, x, d, outputStride, step, g); break;
    default: break;
  }
}

// 10 samples x 256 columns of inputs (20 KiB) stay in the level-1 cache while every row of
// the block is updated.
constexpr size_t kUpdateColumnBlock = 256;

void Update(double* weights, size_t stride, size_t columnCount, size_t rowBegin, size_t rowEnd,
            const double* inputs, const double* deltas, size_t outputStride, size_t sampleCount,
            double step, double decay) {
  const size_t columns = RoundUpToLanes(columnCount);
  const __m256d decayVector = _mm256_set1_pd(decay);
  const __m256d* decayOrNone = decay == 1.0 ? nullptr : &decayVector;
  for (size_t first = 0; first < columns; first += kUpdateColumnBlock) {
    const size_t last = std::min(columns, first + kUpdateColumnBlock);
    size_t r = rowBegin;
    for (; r + 2 <= rowEnd; r += 2) {
      UpdateRows<2>(weights, stride, r, first, last, inputs, deltas, outputStride, sampleCount,
                    step, decayOrNone);
    }
    if (r < rowEnd) {
      UpdateRows<1>(weights, stride, r, first, last, inputs, deltas, outputStride, sampleCount,
                    step, decayOrNone);
    }
  }
}

}  // namespace

#pragma GCC pop_options

const LayerKernels* Avx2Kernels() {
  static const LayerKernels kernels{"AVX2+FMA", Forward, BackError, Update};
  static const bool supported = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return supported ? &kernels : nullptr;
}

#else

const LayerKernels* Avx2Kernels() { return nullptr; }

#endif
