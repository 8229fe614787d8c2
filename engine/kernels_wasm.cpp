// The layer loops for WebAssembly's 128-bit SIMD, for the page that trains in the browser:
// two doubles a vector. WebAssembly has no fused multiply-add, so MultiplyAdd is a multiply,
// then an add, each rounded.
#include "engine/kernels.h"

#if defined(__wasm_simd128__)

#include <wasm_simd128.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numeric>

namespace {

#include "engine/kernels_simd.h"

struct Wasm128 {
  using V = v128_t;
  static constexpr size_t kLanes = 2;
  // Smaller tiles than AVX2's 3 x 4 and 2 x 5 on the same 16 registers: V8 keeps one as its
  // scratch register and each product needs one of its own before the add, so those tiles
  // spilled. In node these took 2/3 of the time in the forward pass and about 5 % less in the
  // update (scripts/bench-page).
  static constexpr int kForwardRows = 2;
  static constexpr int kForwardSamples = 4;
  static constexpr size_t kForwardColumnBlock = 256;
  static constexpr int kErrorVectors = 2;
  static constexpr int kErrorSamples = 4;
  static constexpr int kUpdateRows = 3;
  static constexpr int kUpdateSamples = 3;

  static V Zero() { return wasm_f64x2_splat(0.0); }
  static V Set(double x) { return wasm_f64x2_splat(x); }
  static V Load(const double* p) { return wasm_v128_load(p); }
  static V LoadUnaligned(const double* p) { return wasm_v128_load(p); }
  static void Store(double* p, V v) { wasm_v128_store(p, v); }
  static void StoreUnaligned(double* p, V v) { wasm_v128_store(p, v); }
  static V Broadcast(const double* p) { return wasm_v128_load64_splat(p); }
  static V Multiply(V a, V b) { return wasm_f64x2_mul(a, b); }
  static V MultiplyAdd(V a, V b, V c) { return wasm_f64x2_add(wasm_f64x2_mul(a, b), c); }
  static double Sum(V v) { return wasm_f64x2_extract_lane(v, 0) + wasm_f64x2_extract_lane(v, 1); }

  // The operations of ScalarMath (kernels_simd.h) lane by lane, so that the vector lanes and
  // the scalar tail of a row agree bit for bit.
  struct Math {
    using Value = v128_t;
    static Value Set(double x) { return wasm_f64x2_splat(x); }
    static Value Add(Value a, Value b) { return wasm_f64x2_add(a, b); }
    static Value Multiply(Value a, Value b) { return wasm_f64x2_mul(a, b); }
    static Value Divide(Value a, Value b) { return wasm_f64x2_div(a, b); }
    static Value MultiplyAdd(Value a, Value b, Value c) { return wasm_f64x2_add(wasm_f64x2_mul(a, b), c); }
    static Value Round(Value x) { return wasm_f64x2_nearest(x); }
    static Value Min(Value a, Value b) { return wasm_f64x2_pmin(b, a); }
    static Value Max(Value a, Value b) { return wasm_f64x2_pmax(b, a); }
    static Value PowerOfTwo(Value n) {
      const v128_t shifted = wasm_f64x2_add(n, wasm_f64x2_splat(0x1.8p52 + 1023));
      return wasm_i64x2_shl(shifted, 52);
    }
  };
};

}  // namespace

const LayerKernels* WasmSimdKernels() {
  static const LayerKernels kernels{
      "WebAssembly SIMD128", std::lcm(Wasm128::kForwardRows, Wasm128::kUpdateRows),
      Forward<Wasm128>,      BackError<Wasm128>,
      Update<Wasm128>,       SigmoidInPlace<Wasm128>};
  return &kernels;
}

#else

const LayerKernels* WasmSimdKernels() { return nullptr; }

#endif
