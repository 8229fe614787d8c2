// Dense double-precision vectors and row-major matrices with the few operations the network
// needs. Every operation returns a new value except Vector += Vector. The left operand fixes
// the shape of the result; the right operand only has to be long enough, and an index past
// its end throws std::out_of_range("invalid vector subscript").
#pragma once

#include <cstdint>
#include <vector>

#include "mnist/image_set.h"  // Vector

// Invariant: data holds rowCount rows of columnCount elements each.
struct Matrix {
  Matrix() = default;
  // rowCount rows of columnCount zeros; note the column count comes first.
  Matrix(uint32_t columnCount, uint32_t rowCount);

  std::vector<Vector> data;  // data[r][c]: row r, column c
  uint32_t columnCount = 0;
  uint32_t rowCount = 0;
};

// Bounds-checked element access used throughout the network code.
const double& ElementAt(const Vector& v, size_t index);
double& ElementAt(Vector& v, size_t index);
const Vector& RowAt(const Matrix& m, size_t row);

Vector operator+(const Vector& a, const Vector& b);
Vector operator-(const Vector& a, const Vector& b);
Vector& operator+=(Vector& a, const Vector& b);  // a[i] = b[i] + a[i] for every i < size(a)
Vector operator*(const Vector& v, double s);

Matrix operator-(const Matrix& a, const Matrix& b);
Matrix operator*(const Matrix& a, double s);
// Element i is the left-to-right sum over row i of m.data[i][j] * v[j]; the inner bound is
// the row's actual length, so a longer v has its tail ignored.
Vector operator*(const Matrix& m, const Vector& v);
