// The layer loops for AVX2 and FMA, compiled for those instructions only inside this file
// (the rest of the program runs on any x86-64) and chosen at run time.
#include "engine/kernels.h"

// The target pragmas below are GCC's; other compilers (clang builds the fuzzers) get the
// portable loops: the same arithmetic, without the vector instructions.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)

#include <immintrin.h>

#include <algorithm>
#include <cstddef>
#include <numeric>

#pragma GCC push_options
#pragma GCC target("avx2,fma")

namespace {

#include "engine/kernels_simd.h"

// 16 vector registers of 4 doubles.
struct Avx2 {
  using V = __m256d;
  static constexpr size_t kLanes = 4;
  static constexpr int kForwardRows = 3;  // 3 x 4 sums + 3 weights + 1 input = 16 registers
  static constexpr int kForwardSamples = 4;
  static constexpr size_t kForwardColumnBlock =
      256;  // columns: 3 rows and 10 samples of 256 (26 KiB) stay in the level-1 cache
  static constexpr int kErrorVectors = 2;  // 2 x 5 sums + 2 weights + 1 delta
  static constexpr int kErrorSamples = 5;
  static constexpr int kUpdateRows = 2;  // 2 x 5 scaled deltas + 2 weights + 1 input
  static constexpr int kUpdateSamples = 5;

  static V Zero() { return _mm256_setzero_pd(); }
  static V Set(double x) { return _mm256_set1_pd(x); }
  static V Load(const double* p) { return _mm256_load_pd(p); }
  static V LoadUnaligned(const double* p) { return _mm256_loadu_pd(p); }
  static void Store(double* p, V v) { _mm256_store_pd(p, v); }
  static void StoreUnaligned(double* p, V v) { _mm256_storeu_pd(p, v); }
  static V Broadcast(const double* p) { return _mm256_broadcast_sd(p); }
  static V Multiply(V a, V b) { return _mm256_mul_pd(a, b); }
  static V MultiplyAdd(V a, V b, V c) { return _mm256_fmadd_pd(a, b, c); }
  // (l0 + l2) + (l1 + l3): one fixed order for every element.
  static double Sum(V v) {
    const __m128d halves = _mm_add_pd(_mm256_castpd256_pd128(v), _mm256_extractf128_pd(v, 1));
    return _mm_cvtsd_f64(_mm_add_sd(halves, _mm_unpackhi_pd(halves, halves)));
  }

  struct Math {
    using Value = __m256d;
    static Value Set(double x) { return _mm256_set1_pd(x); }
    static Value Add(Value a, Value b) { return _mm256_add_pd(a, b); }
    static Value Multiply(Value a, Value b) { return _mm256_mul_pd(a, b); }
    static Value Divide(Value a, Value b) { return _mm256_div_pd(a, b); }
    static Value MultiplyAdd(Value a, Value b, Value c) { return _mm256_fmadd_pd(a, b, c); }
    static Value Round(Value x) { return _mm256_round_pd(x, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC); }
    static Value Min(Value a, Value b) { return _mm256_min_pd(a, b); }
    static Value Max(Value a, Value b) { return _mm256_max_pd(a, b); }
    static Value PowerOfTwo(Value n) {
      const __m256d shifted = _mm256_add_pd(n, _mm256_set1_pd(0x1.8p52 + 1023));
      return _mm256_castsi256_pd(_mm256_slli_epi64(_mm256_castpd_si256(shifted), 52));
    }
  };
};

}  // namespace

#pragma GCC pop_options

const LayerKernels* Avx2Kernels() {
  // Only addresses are taken here, outside the target region: nothing of AVX2 runs before the
  // processor has been asked.
  static const LayerKernels kernels{"AVX2+FMA",    std::lcm(Avx2::kForwardRows, Avx2::kUpdateRows),
                                    Forward<Avx2>, BackError<Avx2>,
                                    Update<Avx2>,  SigmoidInPlace<Avx2>};
  static const bool supported = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return supported ? &kernels : nullptr;
}

#else

const LayerKernels* Avx2Kernels() { return nullptr; }

#endif
