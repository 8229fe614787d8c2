// Vector and matrix arithmetic: the left operand fixes the shape; a short right operand throws.
#include "math/matrix.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

void ExpectSubscriptError(const std::function<void()>& operation) {
  try {
    operation();
    FAIL() << "no exception";
  } catch (const std::out_of_range& error) {
    EXPECT_STREQ(error.what(), "invalid vector subscript");
  }
}

TEST(VectorArithmetic, LeftOperandFixesTheShapeAndAShortRightOneThrows) {
  const Vector three{1, 2, 3};
  const Vector five{10, 20, 30, 40, 50};
  EXPECT_EQ(three + five, (Vector{11, 22, 33}));
  EXPECT_EQ(three - five, (Vector{-9, -18, -27}));
  EXPECT_EQ(three * 2.0, (Vector{2, 4, 6}));
  ExpectSubscriptError([&] { (void)(five + three); });
  ExpectSubscriptError([&] { (void)(five - three); });
  Vector accumulated = five;
  ExpectSubscriptError([&] { accumulated += three; });
  EXPECT_EQ(accumulated, (Vector{11, 22, 33, 40, 50}));  // updated in place up to the missing one
}

TEST(MatrixArithmetic, ShapesProductsDifferencesAndScaling) {
  const Matrix empty(3, 2);
  EXPECT_EQ(empty.data, (std::vector<Vector>{{0, 0, 0}, {0, 0, 0}}));  // the column count comes first
  EXPECT_TRUE(Matrix(3, 0).data.empty());
  Matrix m(3, 2);
  m.data = {{1, 2, 3}, {4, 5, 6}};
  EXPECT_EQ(m * Vector({1, 10, 100, 1000}), (Vector{321, 654}));  // the extra element is ignored
  ExpectSubscriptError([&] { (void)(m * Vector{1, 2}); });
  Matrix b(3, 3);
  b.data = {{1, 1, 1}, {2, 2, 2}, {9, 9, 9}};
  EXPECT_EQ((m - b).data, (std::vector<Vector>{{0, 1, 2}, {2, 3, 4}}));  // b's extra row is ignored
  EXPECT_EQ((m * 0.5).data, (std::vector<Vector>{{0.5, 1, 1.5}, {2, 2.5, 3}}));
  ExpectSubscriptError([&] { (void)(b - m); });
}

}  // namespace
