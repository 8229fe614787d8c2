// The engine's own logistic function, one algorithm for vectors of any width and for scalars,
// and the scalar operations that compute it without fused multiply-adds. Included by
// kernels_simd.h and kernels_portable.cpp inside their anonymous namespaces; it includes
// nothing itself.
#pragma once

// The logistic function 1 / (exp(-z) + 1) with exp computed as 2^n * e^r, n = round(x / ln 2),
// |r| <= ln(2) / 2, e^r by its Taylor series to degree 13 (truncation below 1e-17 relative);
// within a few units in the last place of the library's exp. Written for a Math of vectors
// and for ScalarMath with the same correctly rounded operations in the same order, so that an
// element gets the same bits in a vector lane or in the scalar tail.
template <class M>
inline typename M::Value Sigmoid(typename M::Value z) {
  using V = typename M::Value;
  // exp(-z): beyond these bounds exp is 0 or infinite in double precision, and clamping keeps
  // 2^n representable. NaN passes the min and max (which return their second operand) and
  // stays NaN.
  const V x = M::Min(M::Set(709.8), M::Max(M::Set(-745.2), M::Multiply(z, M::Set(-1.0))));
  const V n = M::Round(M::Multiply(x, M::Set(0x1.71547652b82fep0)));  // x / ln 2
  V r = M::MultiplyAdd(n, M::Set(-0x1.62e42fefa39efp-1), x);          // x - n ln 2, in two parts
  r = M::MultiplyAdd(n, M::Set(-0x1.abc9e3b39803fp-56), r);
  // Taylor coefficients 1/k! for k = 13 down to 0, by Horner's rule.
  constexpr double kInverseFactorials[14] = {1.0 / 6227020800.0,
                                             1.0 / 479001600.0,
                                             1.0 / 39916800.0,
                                             1.0 / 3628800.0,
                                             1.0 / 362880.0,
                                             1.0 / 40320.0,
                                             1.0 / 5040.0,
                                             1.0 / 720.0,
                                             1.0 / 120.0,
                                             1.0 / 24.0,
                                             1.0 / 6.0,
                                             0.5,
                                             1.0,
                                             1.0};
  V p = M::Set(kInverseFactorials[0]);
#pragma GCC unroll 16
  for (int k = 1; k < 14; ++k) p = M::MultiplyAdd(p, r, M::Set(kInverseFactorials[k]));
  // 2^n = 2^(n - h) * 2^h with h = round(n / 2): each factor is a normal number, and the
  // product reaches the subnormal results. For z below about -709.78 it overflows to
  // infinity, and 1 / (inf + 1) is 0.
  const V half = M::Round(M::Multiply(n, M::Set(0.5)));
  const V exponential = M::Multiply(M::Multiply(p, M::PowerOfTwo(M::Add(n, M::Multiply(half, M::Set(-1.0))))),
                                    M::PowerOfTwo(half));
  return M::Divide(M::Set(1.0), M::Add(exponential, M::Set(1.0)));
}

// The sigmoid's operations on doubles, each one correctly rounded IEEE operation (no fused
// multiply-add: build with -ffp-contract=off), so that any compiler for any processor gets the
// same bits: the portable kernels and WebAssembly's. Min and max as x86's, which return b
// unless a is the smaller (larger). Without the fused multiply-add, x - n ln 2 loses up to
// log2|n| bits, a relative 1e-14 in exp(-z) at |z| = 36, beyond which the sigmoid is 1 or tiny.
struct PlainMath {
  using Value = double;
  static Value Set(double x) { return x; }
  static Value Add(Value a, Value b) { return a + b; }
  static Value Multiply(Value a, Value b) { return a * b; }
  static Value Divide(Value a, Value b) { return a / b; }
  static Value MultiplyAdd(Value a, Value b, Value c) { return a * b + c; }
  static Value Round(Value x) { return __builtin_nearbyint(x); }  // to nearest even
  static Value Min(Value a, Value b) { return a < b ? a : b; }
  static Value Max(Value a, Value b) { return a > b ? a : b; }
  static Value PowerOfTwo(Value n) {
    const unsigned long long bits = __builtin_bit_cast(unsigned long long, n + (0x1.8p52 + 1023)) << 52;
    return __builtin_bit_cast(double, bits);
  }
};
