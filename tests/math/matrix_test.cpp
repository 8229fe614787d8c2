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

TEST(VectorArithmetic, LeftOperandFixesTheShape) {
  const Vector three{1, 2, 3};
  const Vector five{10, 20, 30, 40, 50};
  EXPECT_EQ(three + five, (Vector{11, 22, 33}));
  EXPECT_EQ(three - five, (Vector{-9, -18, -27}));
  EXPECT_EQ(three * 2.0, (Vector{2, 4, 6}));
  Vector sum = three;
  sum += five;
  EXPECT_EQ(sum, (Vector{11, 22, 33}));
  EXPECT_TRUE((Vector{} + Vector{}).empty());
}

TEST(VectorArithmetic, ShortRightOperandThrows) {
  const Vector five{1, 2, 3, 4, 5};
  const Vector three{1, 2, 3};
  ExpectSubscriptError([&] { (void)(five + three); });
  ExpectSubscriptError([&] { (void)(five - three); });
  Vector accumulated = five;
  ExpectSubscriptError([&] { accumulated += three; });
  // Elements before the missing one were already updated in place.
  EXPECT_EQ(accumulated, (Vector{2, 4, 6, 4, 5}));
}

TEST(MatrixShape, ColumnCountComesFirst) {
  const Matrix m(3, 2);
  EXPECT_EQ(m.rowCount, 2u);
  EXPECT_EQ(m.columnCount, 3u);
  ASSERT_EQ(m.data.size(), 2u);
  EXPECT_EQ(m.data[1], (Vector{0, 0, 0}));
  EXPECT_EQ(Matrix(0, 2).data, (std::vector<Vector>{{}, {}}));
  EXPECT_TRUE(Matrix(3, 0).data.empty());
}

TEST(MatrixArithmetic, ProductSumsRowTimesVector) {
  Matrix m(3, 2);
  m.data = {{1, 2, 3}, {4, 5, 6}};
  EXPECT_EQ(m * Vector({1, 10, 100, 1000}), (Vector{321, 654}));  // extra element ignored
  ExpectSubscriptError([&] { (void)(m * Vector{1, 2}); });
  EXPECT_TRUE((Matrix(3, 0) * Vector{1, 2, 3}).empty());
  EXPECT_EQ(Matrix(0, 2) * Vector{}, (Vector{0, 0}));  // empty rows never read the vector
}

TEST(MatrixArithmetic, SubtractionAndScalingWorkRowByRow) {
  Matrix a(2, 2);
  a.data = {{5, 6}, {7, 8}};
  Matrix b(2, 3);
  b.data = {{1, 1}, {2, 2}, {9, 9}};
  const Matrix difference = a - b;  // b's extra row is ignored
  EXPECT_EQ(difference.data, (std::vector<Vector>{{4, 5}, {5, 6}}));
  EXPECT_EQ(difference.rowCount, 2u);
  EXPECT_EQ((a * 0.5).data, (std::vector<Vector>{{2.5, 3}, {3.5, 4}}));
  ExpectSubscriptError([&] { (void)(b - a); });  // a has fewer rows than b
}

}  // namespace
