// NumPy arrays checked on their way into the library. Every refusal is a Python exception that
// names the argument: TypeError for an element type we do not take, ValueError for a shape or a
// value. Arrays of any memory layout are accepted; they are copied into rows when needed.
#pragma once

#include <pybind11/numpy.h>

#include <cstdint>
#include <vector>

#include "math/matrix.h"

namespace py = pybind11;

// Rows of network inputs: count rows of width doubles, row after row, in `values` (C order),
// which also keeps the memory alive.
struct InputRows {
  py::array_t<double> values;
  size_t count = 0;
  size_t width = 0;
  const double* data() const { return values.data(); }
};

// An array whose first axis counts the inputs and whose other axes hold `width` values each
// ((n, 784) or (n, 28, 28)): floating values as float64, uint8 pixel bytes divided by 255.0 as
// the MNIST loader divides them. Refuses other element types, other widths, NaN and infinity.
InputRows ToInputRows(const py::handle& x, size_t width, const char* name);

// Digit labels (n,) of any integer type, each 0..9, as bytes.
std::vector<uint8_t> ToLabels(const py::handle& y, size_t count, const char* name);

// A float64 copy of a 2-D array as a matrix of its rows, or of a 1-D array as a vector.
Matrix ToMatrix(const py::handle& values, const char* name);
Vector ToVector(const py::handle& values, const char* name);

// New NumPy arrays holding a copy of the values.
py::array_t<double> MatrixArray(const Matrix& matrix);
py::array_t<double> VectorArray(const Vector& vector);
