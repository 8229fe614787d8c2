// Checking and copying NumPy arrays for the module.
#include "python/array_input.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace {

std::string Named(const char* name, const std::string& problem) { return std::string(name) + " " + problem; }

std::string ShapeText(const py::array& array) {
  std::string text = "(";
  for (py::ssize_t axis = 0; axis < array.ndim(); ++axis) {
    text += (axis > 0 ? ", " : "") + std::to_string(array.shape(axis));
  }
  return text + (array.ndim() == 1 ? ",)" : ")");
}

// The argument as a C-ordered float64 array of `axes` axes; integers and booleans are refused,
// since numbers of another meaning (pixel bytes in an int64 array) would pass unscaled.
py::array_t<double> Float64Array(const py::handle& values, py::ssize_t axes, const char* name) {
  const py::array array = py::array::ensure(values);
  if (!array) throw py::type_error(Named(name, "must be a NumPy array (or convertible to one)"));
  if (array.dtype().kind() != 'f') {
    throw py::type_error(
        Named(name, "must hold floating-point values, not " + py::str(array.dtype()).cast<std::string>()));
  }
  if (array.ndim() != axes) {
    throw py::value_error(
        Named(name, "must have " + std::to_string(axes) + " axes, not shape " + ShapeText(array)));
  }
  return py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(array);
}

}  // namespace

InputRows ToInputRows(const py::handle& x, size_t width, const char* name) {
  const py::array array = py::array::ensure(x);
  if (!array) throw py::type_error(Named(name, "must be a NumPy array (or convertible to one)"));
  if (array.ndim() < 2) {
    throw py::value_error(Named(name, "must have one row per image, shape (n, " + std::to_string(width) +
                                          "), not " + ShapeText(array)));
  }
  size_t rowWidth = 1;
  for (py::ssize_t axis = 1; axis < array.ndim(); ++axis) rowWidth *= static_cast<size_t>(array.shape(axis));
  if (rowWidth != width) {
    throw py::value_error(Named(name, "has " + std::to_string(rowWidth) + " values per image, shape " +
                                          ShapeText(array) + ", but the network takes " +
                                          std::to_string(width)));
  }
  InputRows rows;
  rows.count = static_cast<size_t>(array.shape(0));
  rows.width = width;
  const char kind = array.dtype().kind();
  if (kind == 'u' && array.itemsize() == 1) {
    const auto bytes = py::array_t<uint8_t, py::array::c_style | py::array::forcecast>::ensure(array);
    rows.values = py::array_t<double>({rows.count, width});
    double* out = rows.values.mutable_data();
    const uint8_t* in = bytes.data();
    for (size_t i = 0; i < rows.count * width; ++i) out[i] = in[i] / 255.0;
    return rows;
  }
  if (kind != 'f') {
    throw py::type_error(Named(name, "must hold float64 values in 0..1 or uint8 pixels, not " +
                                         py::str(array.dtype()).cast<std::string>()));
  }
  rows.values = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(array);
  const double* values = rows.values.data();
  for (size_t i = 0; i < rows.count * width; ++i) {
    if (!std::isfinite(values[i])) {
      throw py::value_error(
          Named(name, "holds NaN or an infinite value in image " + std::to_string(i / width)));
    }
  }
  return rows;
}

std::vector<uint8_t> ToLabels(const py::handle& y, size_t count, const char* name) {
  const py::array array = py::array::ensure(y);
  if (!array || (array.dtype().kind() != 'i' && array.dtype().kind() != 'u')) {
    throw py::type_error(Named(name, "must be an array of integer digit labels"));
  }
  if (array.ndim() != 1 || static_cast<size_t>(array.shape(0)) != count) {
    throw py::value_error(Named(name, "must have shape (" + std::to_string(count) +
                                          ",), one label per image, not " + ShapeText(array)));
  }
  const auto labels = py::array_t<int64_t, py::array::c_style | py::array::forcecast>::ensure(array);
  std::vector<uint8_t> digits(count);
  for (size_t i = 0; i < count; ++i) {
    const int64_t label = labels.data()[i];
    if (label < 0 || label > 9) {
      throw py::value_error(Named(name, "holds " + std::to_string(label) + " at " + std::to_string(i) +
                                            "; labels are digits 0 to 9"));
    }
    digits[i] = static_cast<uint8_t>(label);
  }
  return digits;
}

Matrix ToMatrix(const py::handle& values, const char* name) {
  const py::array_t<double> array = Float64Array(values, 2, name);
  const auto limit = static_cast<py::ssize_t>(std::numeric_limits<uint32_t>::max());
  if (array.shape(0) == 0 || array.shape(1) == 0 || array.shape(0) > limit || array.shape(1) > limit) {
    throw py::value_error(
        Named(name, "must have 1 to 2^32 - 1 rows and columns, not shape " + ShapeText(array)));
  }
  Matrix matrix(static_cast<uint32_t>(array.shape(1)), static_cast<uint32_t>(array.shape(0)));
  for (uint32_t row = 0; row < matrix.rowCount; ++row) {
    std::memcpy(matrix.data[row].data(), array.data(row, 0), matrix.columnCount * sizeof(double));
  }
  return matrix;
}

Vector ToVector(const py::handle& values, const char* name) {
  const py::array_t<double> array = Float64Array(values, 1, name);
  return Vector(array.data(), array.data() + array.shape(0));
}

py::array_t<double> MatrixArray(const Matrix& matrix) {
  py::array_t<double> array({size_t{matrix.rowCount}, size_t{matrix.columnCount}});
  for (uint32_t row = 0; row < matrix.rowCount; ++row) {
    std::copy(matrix.data[row].begin(), matrix.data[row].end(), array.mutable_data(row, 0));
  }
  return array;
}

py::array_t<double> VectorArray(const Vector& vector) {
  py::array_t<double> array(vector.size());
  std::copy(vector.begin(), vector.end(), array.mutable_data());
  return array;
}
