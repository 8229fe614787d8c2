// The portable sin, cos, tan and exp against the C library's, and at the ends of exp's range.
// That they give the same bits on every system is the page's test (a distorted run in the page
// writes mnist-mlp's network file).
#include "math/portable_functions.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

namespace {

// The largest difference from the library's function over n points of [from, to], in units of
// the larger of |library value| and `floor` times the double's epsilon.
double WorstError(const std::function<double(double)>& portable, double (*library)(double), double from,
                  double to, double floor = 0.0) {
  constexpr int kPoints = 200000;
  double worst = 0.0;
  for (int i = 0; i <= kPoints; ++i) {
    const double x = from + (to - from) * i / kPoints;
    const double expected = library(x);
    const double scale = std::max(std::abs(expected), floor) * std::numeric_limits<double>::epsilon();
    worst = std::max(worst, std::abs(portable(x) - expected) / scale);
  }
  return worst;
}

}  // namespace

TEST(PortableFunctions, AgreeWithTheLibraryToAFewUnitsInTheLastPlace) {
  constexpr double pi = 3.141592653589793;
  // Near their zeros sin and cos are compared against 1e-3: the reduction's error is absolute.
  EXPECT_LT(WorstError(PortableSin, std::sin, -4 * pi, 4 * pi, 1e-3), 2.0);
  EXPECT_LT(WorstError(PortableCos, std::cos, -4 * pi, 4 * pi, 1e-3), 2.0);
  EXPECT_LT(WorstError(PortableTan, std::tan, -1.55, 1.55), 4.0);
  EXPECT_LT(WorstError(PortableExp, std::exp, -700.0, 709.0), 2.0);
  EXPECT_LT(WorstError(PortableExp, std::exp, -5.0, 5.0), 2.0);
}

TEST(PortableFunctions, ExactValuesAndTheEndsOfExpsRange) {
  EXPECT_EQ(PortableSin(0.0), 0.0);
  EXPECT_EQ(PortableCos(0.0), 1.0);
  EXPECT_EQ(PortableTan(0.0), 0.0);
  EXPECT_EQ(PortableExp(0.0), 1.0);
  EXPECT_EQ(PortableExp(-800.0), 0.0);
  EXPECT_EQ(PortableExp(710.0), std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(PortableExp(std::nan(""))));
  // Subnormal results round once, to the library's within one step of the smallest subnormal.
  for (const double x : {-709.0, -720.5, -740.0, -744.4})
    EXPECT_NEAR(PortableExp(x), std::exp(x), 2 * std::numeric_limits<double>::denorm_min()) << x;
}
