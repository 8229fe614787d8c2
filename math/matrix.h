// Dense row-major matrices of doubles with the few operations the network needs. Every
// operation returns a new value. The left operand fixes the shape of the result; the right
// one only has to be large enough, and an index past its end throws
// std::out_of_range("invalid vector subscript").
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "math/vector.h"

// Invariant: data holds rowCount rows of columnCount elements each.
struct Matrix {
  Matrix() = default;
  // rowCount rows of columnCount zeros; note the column count comes first.
  Matrix(uint32_t columnCount, uint32_t rowCount);

  std::vector<Vector> data;  // data[r][c]: row r, column c
  uint32_t columnCount = 0;
  uint32_t rowCount = 0;
};

// Bounds-checked row access.
const Vector& RowAt(const Matrix& m, size_t row);

Matrix operator-(const Matrix& a, const Matrix& b);
Matrix operator*(const Matrix& a, double s);
// Element i is the left-to-right sum over row i of m.data[i][j] * v[j]; the inner bound is
// the row's actual length, so a longer v has its tail ignored.
Vector operator*(const Matrix& m, std::span<const double> v);
