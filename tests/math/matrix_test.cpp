// Vector and matrix arithmetic: the left operand fixes the shape; a short right operand throws.
#include "math/matrix.h"

#include <gtest/gtest.h>

#include <stdexcept>

TEST(Arithmetic, LeftOperandFixesTheShapeAndAShortRightOneThrows) {
  const Vector three{1, 2, 3};
  EXPECT_EQ(three - Vector({10, 20, 30, 40}), (Vector{-9, -18, -27}));
  Vector accumulated{10, 20, 30, 40, 50};
  EXPECT_THROW(accumulated += three, std::out_of_range);
  EXPECT_EQ(accumulated, (Vector{11, 22, 33, 40, 50}));  // updated in place up to the missing one
  EXPECT_EQ(Matrix(3, 2).data, (std::vector<Vector>{{0, 0, 0}, {0, 0, 0}}));  // the column count comes first
  Matrix m(3, 2);
  m.data = {{1, 2, 3}, {4, 5, 6}};
  EXPECT_EQ(m * Vector({1, 10, 100, 1000}), (Vector{321, 654}));  // the extra element is ignored
  Matrix b(3, 3);
  b.data = {{1, 1, 1}, {2, 2, 2}, {9, 9, 9}};
  EXPECT_EQ(((m - b) * 2.0).data, (std::vector<Vector>{{0, 2, 4}, {4, 6, 8}}));  // b's extra row is ignored
  try {
    (void)(m * Vector{1, 2});
    FAIL() << "no exception";
  } catch (const std::out_of_range& error) {
    EXPECT_STREQ(error.what(), "invalid vector subscript");
  }
  EXPECT_THROW((void)(b - m), std::out_of_range);
}
