// The logistic function at its centre and in saturation; the decision rule on ties and NaN.
#include "math/activation.h"

#include <gtest/gtest.h>

#include <limits>

TEST(Sigmoid, CentreAndSaturation) {
  EXPECT_EQ(Sigmoid(0.0), 0.5);
  EXPECT_EQ(SigmoidDerivative(0.0), 0.25);
  EXPECT_EQ(Sigmoid(-1000.0), 0.0);  // exp overflows to infinity
  EXPECT_EQ(Sigmoid(1000.0), 1.0);
  EXPECT_EQ(SigmoidDerivative(-1000.0), 0.0);
  EXPECT_EQ(SigmoidDerivative(1000.0), 0.0);
  EXPECT_EQ(Sigmoid(Vector{0.0, 1000.0}), (Vector{0.5, 1.0}));
}

TEST(ArgMax, FirstLargestWinsAndNanNeverDoes) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(ArgMax({0.1, 0.9, 0.9}), 1u);
  EXPECT_EQ(ArgMax({5.0}), 0u);
  EXPECT_EQ(ArgMax(Vector{}), 0u);
  EXPECT_EQ(ArgMax({nan, 1.0}), 0u);
  EXPECT_EQ(ArgMax({1.0, nan, 2.0}), 2u);
}
