// Construction, row access and arithmetic of Matrix.
#include "math/matrix.h"

#include <stdexcept>

Matrix::Matrix(uint32_t columnCount, uint32_t rowCount) : columnCount(columnCount), rowCount(rowCount) {
  // Row by row, without a prototype row to copy: a matrix without rows must not allocate its
  // column count, which a network file can set to 2^32 - 1 for a layer of zero neurons.
  data.reserve(rowCount);
  for (uint32_t r = 0; r < rowCount; ++r) data.emplace_back(columnCount, 0.0);
}

namespace {
[[noreturn]] void ThrowSubscript() { throw std::out_of_range("invalid vector subscript"); }
}  // namespace

const Vector& RowAt(const Matrix& m, size_t row) {
  if (row >= m.data.size()) ThrowSubscript();
  return m.data[row];
}

Matrix operator-(const Matrix& a, const Matrix& b) {
  Matrix result(a.columnCount, a.rowCount);
  for (size_t r = 0; r < result.rowCount; ++r) {
    const Vector& right = RowAt(b, r);
    result.data[r] = RowAt(a, r) - right;
  }
  return result;
}

Matrix operator*(const Matrix& a, double s) {
  Matrix result(a.columnCount, a.rowCount);
  for (size_t r = 0; r < result.rowCount; ++r) result.data[r] = RowAt(a, r) * s;
  return result;
}

Vector operator*(const Matrix& m, std::span<const double> v) {
  Vector result(m.rowCount, 0.0);
  for (size_t i = 0; i < m.rowCount; ++i) {
    const Vector& row = RowAt(m, i);
    double sum = 0.0;
    for (size_t j = 0; j < row.size(); ++j) sum += ElementAt(v, j) * row[j];
    result[i] = sum;
  }
  return result;
}
