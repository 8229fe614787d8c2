// Range reduction, then Taylor series by Horner's rule (see portable_functions.h). Built with
// -ffp-contract=off: a fused multiply-add where one processor has it would change the bits.
#include "math/portable_functions.h"

#include <cmath>

namespace {

// pi / 2 and ln 2 in two parts each, the first with 33 significant bits, so that n times the
// first part is exact for |n| below 2^20.
constexpr double kHalfPiHigh = 0x1.921fb544p0;
constexpr double kHalfPiLow = 0x1.0b4611a626331p-34;
constexpr double kTwoOverPi = 0x1.45f306dc9c883p-1;
constexpr double kLn2High = 0x1.62e42feep-1;
constexpr double kLn2Low = 0x1.a39ef35793c76p-33;
constexpr double kLog2E = 0x1.71547652b82fep0;

// 1 / k! for k = 0 .. 19.
constexpr double kInverseFactorials[20] = {1.0,
                                           1.0,
                                           1.0 / 2.0,
                                           1.0 / 6.0,
                                           1.0 / 24.0,
                                           1.0 / 120.0,
                                           1.0 / 720.0,
                                           1.0 / 5040.0,
                                           1.0 / 40320.0,
                                           1.0 / 362880.0,
                                           1.0 / 3628800.0,
                                           1.0 / 39916800.0,
                                           1.0 / 479001600.0,
                                           1.0 / 6227020800.0,
                                           1.0 / 87178291200.0,
                                           1.0 / 1307674368000.0,
                                           1.0 / 20922789888000.0,
                                           1.0 / 355687428096000.0,
                                           1.0 / 6402373705728000.0,
                                           1.0 / 121645100408832000.0};

// sin r and cos r for |r| <= pi / 4: the series to degree 19 and 18, whose next terms are
// below 1e-19.
double SinOfReduced(double r) {
  const double square = r * r;
  double sum = kInverseFactorials[19];
  for (int k = 17; k >= 1; k -= 2) sum = kInverseFactorials[k] - square * sum;
  return r * sum;
}

double CosOfReduced(double r) {
  const double square = r * r;
  double sum = kInverseFactorials[18];
  for (int k = 16; k >= 0; k -= 2) sum = kInverseFactorials[k] - square * sum;
  return sum;
}

// x = n pi/2 + r with |r| <= pi/4 (about): returns r, and n modulo 4 in `quadrant`.
double Reduce(double x, int& quadrant) {
  const double n = std::nearbyint(x * kTwoOverPi);
  quadrant = static_cast<int>(static_cast<long long>(n) & 3);
  return (x - n * kHalfPiHigh) - n * kHalfPiLow;
}

// sin(x + quarterTurns pi/2): each quarter turn moves x one quadrant on.
double SinOfQuarterTurnsOn(double x, int quarterTurns) {
  int quadrant = 0;
  const double r = Reduce(x, quadrant);
  switch ((quadrant + quarterTurns) & 3) {
    case 0:
      return SinOfReduced(r);
    case 1:
      return CosOfReduced(r);
    case 2:
      return -SinOfReduced(r);
    default:
      return -CosOfReduced(r);
  }
}

}  // namespace

double PortableSin(double x) { return SinOfQuarterTurnsOn(x, 0); }

double PortableCos(double x) { return SinOfQuarterTurnsOn(x, 1); }  // cos x = sin(x + pi/2)

double PortableTan(double x) {
  int quadrant = 0;
  const double r = Reduce(x, quadrant);
  const double sin = SinOfReduced(r);
  const double cos = CosOfReduced(r);
  return quadrant % 2 == 0 ? sin / cos : -cos / sin;
}

// 2^n e^r with n = round(x / ln 2), |r| <= ln(2) / 2, e^r by its series to degree 13
// (truncation below 1e-17 relative); 2^n applied in two halves by ldexp, which is exact, so
// that results near the bottom of the range round once, as subnormals.
double PortableExp(double x) {
  if (std::isnan(x)) return x;
  if (x > 709.8) return HUGE_VAL;
  if (x < -745.2) return 0.0;
  const double n = std::nearbyint(x * kLog2E);
  const double r = (x - n * kLn2High) - n * kLn2Low;
  double sum = kInverseFactorials[13];
  for (int k = 12; k >= 0; --k) sum = kInverseFactorials[k] + r * sum;
  const int exponent = static_cast<int>(n);
  return std::ldexp(std::ldexp(sum, exponent - exponent / 2), exponent / 2);
}
