// The layer loops for AVX-512, compiled for those instructions only inside this file and
// chosen at run time where the processor has them. Twice the lanes and registers of AVX2, so
// twice the arithmetic per instruction where the FMA units are 512 bits wide.
#include "engine/kernels.h"

// The target pragmas below are GCC's; other compilers (clang builds the fuzzers) get the
// portable loops: the same arithmetic, without the vector instructions.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)

#include <immintrin.h>

#include <algorithm>
#include <cstddef>
#include <numeric>

#pragma GCC push_options
#pragma GCC target("avx512f,avx2,fma")
// GCC 12's own avx512fintrin.h seeds several intrinsics with _mm512_undefined_pd(), which it
// then reports as (maybe) used uninitialised; the values are fully defined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

namespace {

#include "engine/kernels_simd.h"

// 32 vector registers of 8 doubles.
struct Avx512 {
  using V = __m512d;
  static constexpr size_t kLanes = 8;
  static constexpr int kForwardRows = 4;  // 4 x 5 sums + 4 weights + 1 input = 25 registers
  static constexpr int kForwardSamples = 5;
  static constexpr size_t kForwardColumnBlock =
      4096;  // columns: whole rows of every layer here; 32 registers already leave the loads to spare
  static constexpr int kErrorVectors = 4;  // 4 x 5 sums + 4 weights + 1 delta
  static constexpr int kErrorSamples = 5;
  static constexpr int kUpdateRows = 4;  // 4 x 5 scaled deltas + 4 weights + 1 input
  static constexpr int kUpdateSamples = 5;

  static V Zero() { return _mm512_setzero_pd(); }
  static V Set(double x) { return _mm512_set1_pd(x); }
  static V Load(const double* p) { return _mm512_load_pd(p); }
  static V LoadUnaligned(const double* p) { return _mm512_loadu_pd(p); }
  static void Store(double* p, V v) { _mm512_store_pd(p, v); }
  static void StoreUnaligned(double* p, V v) { _mm512_storeu_pd(p, v); }
  static V Broadcast(const double* p) { return _mm512_set1_pd(*p); }
  static V Multiply(V a, V b) { return _mm512_mul_pd(a, b); }
  static V MultiplyAdd(V a, V b, V c) { return _mm512_fmadd_pd(a, b, c); }
  // ((l0 + l4) + (l2 + l6)) + ((l1 + l5) + (l3 + l7)): one fixed order for every element.
  static double Sum(V v) {
    const __m256d quarters = _mm256_add_pd(_mm512_castpd512_pd256(v), _mm512_extractf64x4_pd(v, 1));
    const __m128d halves = _mm_add_pd(_mm256_castpd256_pd128(quarters), _mm256_extractf128_pd(quarters, 1));
    return _mm_cvtsd_f64(_mm_add_sd(halves, _mm_unpackhi_pd(halves, halves)));
  }

  struct Math {
    using Value = __m512d;
    static Value Set(double x) { return _mm512_set1_pd(x); }
    static Value Add(Value a, Value b) { return _mm512_add_pd(a, b); }
    static Value Multiply(Value a, Value b) { return _mm512_mul_pd(a, b); }
    static Value Divide(Value a, Value b) { return _mm512_div_pd(a, b); }
    static Value MultiplyAdd(Value a, Value b, Value c) { return _mm512_fmadd_pd(a, b, c); }
    static Value Round(Value x) {
      return _mm512_roundscale_pd(x, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    }
    static Value Min(Value a, Value b) { return _mm512_min_pd(a, b); }
    static Value Max(Value a, Value b) { return _mm512_max_pd(a, b); }
    static Value PowerOfTwo(Value n) {
      const __m512d shifted = _mm512_add_pd(n, _mm512_set1_pd(0x1.8p52 + 1023));
      return _mm512_castsi512_pd(_mm512_slli_epi64(_mm512_castpd_si512(shifted), 52));
    }
  };
};

}  // namespace

#pragma GCC diagnostic pop
#pragma GCC pop_options

const LayerKernels* Avx512Kernels() {
  // Only addresses are taken here, outside the target region.
  static const LayerKernels kernels{"AVX-512",       std::lcm(Avx512::kForwardRows, Avx512::kUpdateRows),
                                    Forward<Avx512>, BackError<Avx512>,
                                    Update<Avx512>,  SigmoidInPlace<Avx512>};
  static const bool supported =
      __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return supported ? &kernels : nullptr;
}

#else

const LayerKernels* Avx512Kernels() { return nullptr; }

#endif
