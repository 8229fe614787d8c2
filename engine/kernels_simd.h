// The vector layer loops, written once over an instruction-set description `Isa` and
// instantiated by kernels_avx2.cpp, kernels_avx512.cpp and kernels_wasm.cpp. Include it only
// inside an anonymous namespace and (on x86) a `#pragma GCC target` region, after every system
// header, so that every function here is compiled for that instruction set and for no other file.
//
// An Isa provides the vector type V of kLanes doubles, its operations (Zero, Set, Load,
// LoadUnaligned, Store, StoreUnaligned, Broadcast, Multiply, MultiplyAdd, Sum), a Math for
// the sigmoid, and the register tiles:
//   forward     kForwardRows rows x up to kForwardSamples samples of lane-wise partial sums,
//               kForwardColumnBlock columns at a time, the sums kept in memory between blocks;
//   back error  kErrorVectors vectors of columns x up to kErrorSamples samples, over the rows
//               asked for;
//   update      kUpdateRows rows x one vector of columns, up to kUpdateSamples samples at a
//               time, in column blocks that keep the inputs in the level-1 cache.
// Tiles are sized so that the registers hold the partial sums and the operands reused across
// the tile, and each FMA needs at most one fresh load. Every element has a single
// accumulator and the same sequence of operations whatever tile it falls in, so tile shapes
// and the split among threads never change a result.
#pragma once

// Keeps a loaded vector in a register: without it GCC folds the load into every FMA that
// uses it, which multiplies the loads of a tile.
template <class V>
inline V Pin(V v) {
#if defined(__x86_64__)
  asm("" : "+v"(v));
#endif
  return v;
}

template <class Isa>
size_t RoundUpToLanes(size_t count) {
  return (count + Isa::kLanes - 1) / Isa::kLanes * Isa::kLanes;
}

// Calls f.template operator()<N>() for the runtime count n in 1 ... Max.
template <int Max, class F>
inline void WithCount(size_t n, F&& f) {
  if constexpr (Max >= 1) {
    if (n == static_cast<size_t>(Max)) {
      f.template operator()<Max>();
    } else {
      WithCount<Max - 1>(n, f);
    }
  }
}

// Splits count items into groups of at most maxGroup, as even as possible (10 by 4 gives
// 4 + 3 + 3): a small last group would leave too few independent sums to hide FMA latency.
inline size_t NextGroup(size_t remaining, size_t maxGroup) {
  const size_t groupCount = (remaining + maxGroup - 1) / maxGroup;
  return (remaining + groupCount - 1) / groupCount;
}

// The forward tile's inner loop: adds columns [first, last) of R rows times S samples to the
// lane-wise sums, each lane in column order.
template <class Isa, int R, int S>
inline void AddColumns(const double* rows, size_t stride, size_t first, size_t last, const double* inputs,
                       typename Isa::V (&sums)[R][S]) {
  using V = typename Isa::V;
  for (size_t c = first; c < last; c += Isa::kLanes) {
    V w[R];
#pragma GCC unroll 16
    for (int r = 0; r < R; ++r) w[r] = Isa::Load(rows + r * stride + c);
#pragma GCC unroll 16
    for (int s = 0; s < S; ++s) {
      const V x = Pin(Isa::Load(inputs + s * stride + c));
#pragma GCC unroll 16
      for (int r = 0; r < R; ++r) sums[r][s] = Isa::MultiplyAdd(w[r], x, sums[r][s]);
    }
  }
}

// R rows times S samples over all columns, the sums in registers from start to end: rows that
// fit the level-1 cache need no blocks.
template <class Isa, int R, int S>
inline void ForwardWholeRows(const double* weights, size_t stride, size_t columns, const double* biases,
                             size_t row, const double* inputs, double* weightedInputs, size_t outputStride) {
  using V = typename Isa::V;
  V sums[R][S];
#pragma GCC unroll 16
  for (int r = 0; r < R; ++r) {
#pragma GCC unroll 16
    for (int s = 0; s < S; ++s) sums[r][s] = Isa::Zero();
  }
  AddColumns<Isa, R, S>(weights + row * stride, stride, 0, columns, inputs, sums);
#pragma GCC unroll 16
  for (int r = 0; r < R; ++r) {
#pragma GCC unroll 16
    for (int s = 0; s < S; ++s) {
      weightedInputs[s * outputStride + row + r] = Isa::Sum(sums[r][s]) + biases[row + r];
    }
  }
}

// Adds columns [first, last) of R rows times S samples to the partial sums sums[s * R + r]
// (one lane per column residue, each in column order), kept in memory between column blocks.
template <class Isa, int R, int S>
inline void ForwardTile(const double* rows, size_t stride, size_t first, size_t last, const double* inputs,
                        typename Isa::V* sums) {
  using V = typename Isa::V;
  V partial[R][S];
#pragma GCC unroll 16
  for (int r = 0; r < R; ++r) {
#pragma GCC unroll 16
    for (int s = 0; s < S; ++s) partial[r][s] = sums[s * R + r];
  }
  AddColumns<Isa, R, S>(rows, stride, first, last, inputs, partial);
#pragma GCC unroll 16
  for (int r = 0; r < R; ++r) {
#pragma GCC unroll 16
    for (int s = 0; s < S; ++s) sums[s * R + r] = partial[r][s];
  }
}

// Up to this many samples share the partial sums of a tile of rows, so that wide rows can be
// taken in column blocks (Isa::kForwardColumnBlock) whose weights stay in the level-1 cache
// while every sample group passes over them.
constexpr size_t kForwardSampleBlock = 20;

// Forward for rows longer than two column blocks: each tile of rows takes up to
// kForwardSampleBlock samples through the columns a block at a time.
template <class Isa>
void ForwardInBlocks(const double* weights, size_t stride, size_t columns, const double* biases,
                     size_t rowBegin, size_t rowEnd, const double* inputs, size_t sampleCount,
                     double* weightedInputs, size_t outputStride) {
  using V = typename Isa::V;
  // Blocks of even width: a narrow last block would cost its loop and sums for little work.
  const size_t blockCount = (columns + Isa::kForwardColumnBlock - 1) / Isa::kForwardColumnBlock;
  const size_t block = RoundUpToLanes<Isa>((columns + blockCount - 1) / blockCount);
  V sums[Isa::kForwardRows * kForwardSampleBlock];
  for (size_t row = rowBegin; row < rowEnd;) {
    const size_t rows = std::min<size_t>(Isa::kForwardRows, rowEnd - row);
    for (size_t sampleFirst = 0; sampleFirst < sampleCount; sampleFirst += kForwardSampleBlock) {
      const size_t samples = std::min(kForwardSampleBlock, sampleCount - sampleFirst);
      std::fill(sums, sums + rows * samples, Isa::Zero());
      for (size_t first = 0; first < columns; first += block) {
        const size_t last = std::min(columns, first + block);
        for (size_t s = 0; s < samples;) {
          const size_t group = NextGroup(samples - s, Isa::kForwardSamples);
          WithCount<Isa::kForwardRows>(rows, [&]<int R>() {
            WithCount<Isa::kForwardSamples>(group, [&]<int S>() {
              ForwardTile<Isa, R, S>(weights + row * stride, stride, first, last,
                                     inputs + (sampleFirst + s) * stride, sums + s * R);
            });
          });
          s += group;
        }
      }
      for (size_t s = 0; s < samples; ++s) {
        for (size_t r = 0; r < rows; ++r) {
          weightedInputs[(sampleFirst + s) * outputStride + row + r] =
              Isa::Sum(sums[s * rows + r]) + biases[row + r];
        }
      }
    }
    row += rows;
  }
}

template <class Isa>
void Forward(const double* weights, size_t stride, size_t columnCount, const double* biases, size_t rowBegin,
             size_t rowEnd, const double* inputs, size_t sampleCount, double* weightedInputs,
             size_t outputStride) {
  const size_t columns = RoundUpToLanes<Isa>(columnCount);
  // Rows of up to two blocks run whole: their tile still mostly fits the level-1 cache, and
  // blocks would cost more in sums kept in memory than they save.
  if (columns > 2 * Isa::kForwardColumnBlock) {
    ForwardInBlocks<Isa>(weights, stride, columns, biases, rowBegin, rowEnd, inputs, sampleCount,
                         weightedInputs, outputStride);
    return;
  }
  for (size_t row = rowBegin; row < rowEnd;) {
    const size_t rows = std::min<size_t>(Isa::kForwardRows, rowEnd - row);
    for (size_t s = 0; s < sampleCount;) {
      const size_t group = NextGroup(sampleCount - s, Isa::kForwardSamples);
      WithCount<Isa::kForwardRows>(rows, [&]<int R>() {
        WithCount<Isa::kForwardSamples>(group, [&]<int S>() {
          ForwardWholeRows<Isa, R, S>(weights, stride, columns, biases, row, inputs + s * stride,
                                      weightedInputs + s * outputStride, outputStride);
        });
      });
      s += group;
    }
    row += rows;
  }
}

template <class Isa, int C, int S>
inline void BackErrorTile(const double* weights, size_t stride, size_t rowBegin, size_t rowEnd, size_t column,
                          const double* deltas, size_t outputStride, double* errors) {
  using V = typename Isa::V;
  V sums[C][S];
#pragma GCC unroll 16
  for (int c = 0; c < C; ++c) {
#pragma GCC unroll 16
    for (int s = 0; s < S; ++s) sums[c][s] = Isa::Zero();
  }
  for (size_t r = rowBegin; r < rowEnd; ++r) {
    const double* row = weights + r * stride + column;
    V w[C];
#pragma GCC unroll 16
    for (int c = 0; c < C; ++c) w[c] = Isa::Load(row + c * Isa::kLanes);
#pragma GCC unroll 16
    for (int s = 0; s < S; ++s) {
      const V delta = Pin(Isa::Broadcast(deltas + s * outputStride + r));
#pragma GCC unroll 16
      for (int c = 0; c < C; ++c) sums[c][s] = Isa::MultiplyAdd(w[c], delta, sums[c][s]);
    }
  }
#pragma GCC unroll 16
  for (int s = 0; s < S; ++s) {
#pragma GCC unroll 16
    for (int c = 0; c < C; ++c) Isa::Store(errors + s * stride + column + c * Isa::kLanes, sums[c][s]);
  }
}

template <class Isa>
void BackError(const double* weights, size_t stride, size_t rowBegin, size_t rowEnd, size_t columnBegin,
               size_t columnEnd, const double* deltas, size_t outputStride, size_t sampleCount,
               double* errors) {
  for (size_t column = columnBegin; column < columnEnd;) {
    const size_t vectors = std::min<size_t>(Isa::kErrorVectors, (columnEnd - column) / Isa::kLanes);
    for (size_t s = 0; s < sampleCount;) {
      const size_t group = NextGroup(sampleCount - s, Isa::kErrorSamples);
      WithCount<Isa::kErrorVectors>(vectors, [&]<int C>() {
        WithCount<Isa::kErrorSamples>(group, [&]<int S>() {
          BackErrorTile<Isa, C, S>(weights, stride, rowBegin, rowEnd, column, deltas + s * outputStride,
                                   outputStride, errors + s * stride);
        });
      });
      s += group;
    }
    column += vectors * Isa::kLanes;
  }
}

// Adds S samples' steps to R rows over columns [first, last); the first group of samples
// also applies the decay (none when it is 1.0, which would change nothing).
template <class Isa, int R, int S>
inline void UpdateTile(double* weights, size_t stride, size_t row, size_t first, size_t last,
                       const double* inputs, const double* deltas, size_t outputStride, double step,
                       const typename Isa::V* decay) {
  using V = typename Isa::V;
  V scaledDeltas[R][S];
#pragma GCC unroll 16
  for (int r = 0; r < R; ++r) {
#pragma GCC unroll 16
    for (int s = 0; s < S; ++s) scaledDeltas[r][s] = Isa::Set(deltas[s * outputStride + row + r] * step);
  }
  double* rows = weights + row * stride;
  for (size_t c = first; c < last; c += Isa::kLanes) {
    V w[R];
#pragma GCC unroll 16
    for (int r = 0; r < R; ++r) {
      w[r] = Isa::Load(rows + r * stride + c);
      if (decay != nullptr) w[r] = Isa::Multiply(w[r], *decay);
    }
#pragma GCC unroll 16
    for (int s = 0; s < S; ++s) {
      const V x = Pin(Isa::Load(inputs + s * stride + c));
#pragma GCC unroll 16
      for (int r = 0; r < R; ++r) w[r] = Isa::MultiplyAdd(scaledDeltas[r][s], x, w[r]);
    }
#pragma GCC unroll 16
    for (int r = 0; r < R; ++r) Isa::Store(rows + r * stride + c, w[r]);
  }
}

// 10 samples x 256 columns of inputs (20 KiB) stay in the level-1 cache while every row of
// the block is updated.
constexpr size_t kUpdateColumnBlock = 256;

template <class Isa>
void Update(double* weights, size_t stride, size_t columnCount, size_t rowBegin, size_t rowEnd,
            const double* inputs, const double* deltas, size_t outputStride, size_t sampleCount, double step,
            double decay) {
  const size_t columns = RoundUpToLanes<Isa>(columnCount);
  const typename Isa::V decayVector = Isa::Set(decay);
  const typename Isa::V* decayOrNone = decay == 1.0 ? nullptr : &decayVector;
  for (size_t first = 0; first < columns; first += kUpdateColumnBlock) {
    const size_t last = std::min(columns, first + kUpdateColumnBlock);
    for (size_t row = rowBegin; row < rowEnd;) {
      const size_t rows = std::min<size_t>(Isa::kUpdateRows, rowEnd - row);
      for (size_t s = 0; s < sampleCount;) {
        const size_t group = std::min<size_t>(Isa::kUpdateSamples, sampleCount - s);
        WithCount<Isa::kUpdateRows>(rows, [&]<int R>() {
          WithCount<Isa::kUpdateSamples>(group, [&]<int S>() {
            UpdateTile<Isa, R, S>(weights, stride, row, first, last, inputs + s * stride,
                                  deltas + s * outputStride, outputStride, step,
                                  s == 0 ? decayOrNone : nullptr);
          });
        });
        s += group;
      }
      row += rows;
    }
  }
}

#include "engine/sigmoid_math.h"

// Scalar operations for the tail of a row, matching the vector lanes bit for bit.
#if defined(__wasm__)
// WebAssembly has no fused multiply-add: its vector lanes compute as PlainMath does.
using ScalarMath = PlainMath;
#else
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
    return _mm_cvtsd_f64(
        _mm_round_sd(_mm_setzero_pd(), _mm_set_sd(x), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
  }
  static Value Min(Value a, Value b) { return _mm_cvtsd_f64(_mm_min_sd(_mm_set_sd(a), _mm_set_sd(b))); }
  static Value Max(Value a, Value b) { return _mm_cvtsd_f64(_mm_max_sd(_mm_set_sd(a), _mm_set_sd(b))); }
  // 2^n for whole n in [-1022, 1023]: n + 1023 lands in the low bits of 1.5 * 2^52 + n + 1023,
  // and moves from there into the exponent field.
  static Value PowerOfTwo(Value n) {
    const __m128d shifted = _mm_add_sd(_mm_set_sd(n), _mm_set_sd(0x1.8p52 + 1023));
    return _mm_cvtsd_f64(_mm_castsi128_pd(_mm_slli_epi64(_mm_castpd_si128(shifted), 52)));
  }
};

#endif

template <class Isa>
void SigmoidInPlace(double* values, size_t count) {
  size_t i = 0;
  for (; i + Isa::kLanes <= count; i += Isa::kLanes) {
    Isa::StoreUnaligned(values + i, Sigmoid<typename Isa::Math>(Isa::LoadUnaligned(values + i)));
  }
  for (; i < count; ++i) values[i] = Sigmoid<ScalarMath>(values[i]);
}
