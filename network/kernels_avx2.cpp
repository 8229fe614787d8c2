// The layer loops with AVX2 and FMA intrinsics, compiled for those instructions only inside
// this file (the rest of the program runs on any x86-64) and chosen at run time.
//
// Each loop works on a register tile sized so that the 16 vector registers hold the partial
// sums and the operands reused across the tile, and each FMA needs at most one fresh load:
//   forward     3 rows x 4 samples of 4-lane partial sums, over all columns;
//   back error  8 columns x 5 samples, over all rows;
//   update      4 columns of 2 rows, taking 5 samples at a time, in column blocks that keep
//               the inputs in the level-1 cache;
//   sigmoid     4 lanes, exp by range reduction and a polynomial.
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

// Samples in groups of at most 4, as even as possible (10 = 4 + 3 + 3): a group of 2 leaves
// too few independent sums to hide the FMA latency.
template <int R>
inline void ForwardRows(const double* weights, size_t stride, size_t columns, const double* biases,
                        size_t row, const double* inputs, size_t sampleCount,
                        double* weightedInputs, size_t outputStride) {
  size_t s = 0;
  while (s < sampleCount) {
    const size_t remaining = sampleCount - s;
    const size_t groupCount = (remaining + 3) / 4;
    const size_t group = (remaining + groupCount - 1) / groupCount;
    const double* x = inputs + s * stride;
    double* z = weightedInputs + s * outputStride;
    switch (group) {
      case 4: ForwardTile<R, 4>(weights, stride, columns, biases, row, x, z, outputStride); break;
      case 3: ForwardTile<R, 3>(weights, stride, columns, biases, row, x, z, outputStride); break;
      case 2: ForwardTile<R, 2>(weights, stride, columns, biases, row, x, z, outputStride); break;
      default: ForwardTile<R, 1>(weights, stride, columns, biases, row, x, z, outputStride); break;
    }
    s += group;
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

// The logistic function 1 / (exp(-z) + 1) with exp computed as 2^n * e^r, n = round(x / ln 2),
// |r| <= ln(2) / 2, e^r by its Taylor series to degree 13 (truncation below 1e-17 relative).
// Written once for 4-lane vectors and for scalars with the same correctly rounded operations in
// the same order, so an element gets the same bits in a vector or in the scalar tail.
struct VectorMath {
  using Value = __m256d;
  static Value Set(double x) { return _mm256_set1_pd(x); }
  static Value Add(Value a, Value b) { return _mm256_add_pd(a, b); }
  static Value Multiply(Value a, Value b) { return _mm256_mul_pd(a, b); }
  static Value Divide(Value a, Value b) { return _mm256_div_pd(a, b); }
  static Value MultiplyAdd(Value a, Value b, Value c) { return _mm256_fmadd_pd(a, b, c); }
  static Value Round(Value x) { return _mm256_round_pd(x, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC); }
  static Value Min(Value a, Value b) { return _mm256_min_pd(a, b); }
  static Value Max(Value a, Value b) { return _mm256_max_pd(a, b); }
  // 2^n for whole n in [-1022, 1023], built from the exponent bits.
  static Value PowerOfTwo(Value n) {
    const __m256d shifted = _mm256_add_pd(n, _mm256_set1_pd(0x1.8p52 + 1023));  // n + 1023 in the low bits
    return _mm256_castsi256_pd(_mm256_slli_epi64(_mm256_castpd_si256(shifted), 52));
  }
};

struct ScalarMath {
  using Value = double;
  static Value Set(double x) { return x; }
  static Value Add(Value a, Value b) { return a + b; }
  static Value Multiply(Value a, Value b) { return a * b; }
  static Value Divide(Value a, Value b) { return a / b; }
  static Value MultiplyAdd(Value a, Value b, Value c) {
    return _mm_cvtsd_f64(_mm_fmadd_sd(_mm_set_sd(a), _mm_set_sd(b), _mm_set_sd(c)));
  }
  static Value Round(Value x) {
    return _mm_cvtsd_f64(_mm_round_sd(_mm_setzero_pd(), _mm_set_sd(x), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
  }
  // min/max with the operand order of the vector instructions (the second operand on NaN).
  static Value Min(Value a, Value b) { return _mm_cvtsd_f64(_mm_min_sd(_mm_set_sd(a), _mm_set_sd(b))); }
  static Value Max(Value a, Value b) { return _mm_cvtsd_f64(_mm_max_sd(_mm_set_sd(a), _mm_set_sd(b))); }
  static Value PowerOfTwo(Value n) {
    const __m128d shifted = _mm_add_sd(_mm_set_sd(n), _mm_set_sd(0x1.8p52 + 1023));
    return _mm_cvtsd_f64(_mm_castsi128_pd(_mm_slli_epi64(_mm_castpd_si128(shifted), 52)));
  }
};

template <class M>
inline typename M::Value Sigmoid(typename M::Value z) {
  using V = typename M::Value;
  // exp(-z): beyond these bounds exp is 0 or infinite in double precision, and clamping keeps
  // 2^n representable; the two-part split of the exponent reaches the subnormal results.
  // NaN passes through the min and max (second operand) and stays NaN.
  const V x = M::Min(M::Set(709.8), M::Max(M::Set(-745.2), M::Multiply(z, M::Set(-1.0))));
  const V n = M::Round(M::Multiply(x, M::Set(0x1.71547652b82fep0)));  // x / ln 2
  V r = M::MultiplyAdd(n, M::Set(-0x1.62e42fefa39efp-1), x);          // x - n ln 2, in two parts
  r = M::MultiplyAdd(n, M::Set(-0x1.abc9e3b39803fp-56), r);
  // Taylor coefficients 1/k! for k = 13 down to 0, by Horner's rule.
  constexpr double kInverseFactorials[14] = {
      1.0 / 6227020800.0, 1.0 / 479001600.0, 1.0 / 39916800.0, 1.0 / 3628800.0, 1.0 / 362880.0,
      1.0 / 40320.0,      1.0 / 5040.0,      1.0 / 720.0,      1.0 / 120.0,     1.0 / 24.0,
      1.0 / 6.0,          0.5,               1.0,              1.0};
  V p = M::Set(kInverseFactorials[0]);
#pragma GCC unroll 16
  for (int k = 1; k < 14; ++k) p = M::MultiplyAdd(p, r, M::Set(kInverseFactorials[k]));
  // 2^n = 2^(n - h) * 2^h with h = round(n / 2): each factor stays a normal number.
  const V half = M::Round(M::Multiply(n, M::Set(0.5)));
  const V exponential = M::Multiply(M::Multiply(p, M::PowerOfTwo(M::Add(n, M::Multiply(half, M::Set(-1.0))))),
                                    M::PowerOfTwo(half));
  // For z below about -709.78 the product overflows to infinity, and 1 / (inf + 1) is 0.
  return M::Divide(M::Set(1.0), M::Add(exponential, M::Set(1.0)));
}

void SigmoidInPlace(double* values, size_t count) {
  size_t i = 0;
  for (; i + kLanes <= count; i += kLanes) {
    _mm256_storeu_pd(values + i, Sigmoid<VectorMath>(_mm256_loadu_pd(values + i)));
  }
  for (; i < count; ++i) values[i] = Sigmoid<ScalarMath>(values[i]);
}

}  // namespace

#pragma GCC pop_options

const LayerKernels* Avx2Kernels() {
  static const LayerKernels kernels{"AVX2+FMA", Forward, BackError, Update, SigmoidInPlace};
  static const bool supported = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return supported ? &kernels : nullptr;
}

#else

const LayerKernels* Avx2Kernels() { return nullptr; }

#endif
