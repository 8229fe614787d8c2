// Dense double-precision column vectors: images, targets, biases, activations and gradients.
// Arithmetic returns new values except Vector += Vector. The left operand fixes the length of
// the result; the right one only has to be long enough, and an index past its end throws
// std::out_of_range("invalid vector subscript").
#pragma once

#include <cstddef>
#include <span>
#include <vector>

using Vector = std::vector<double>;

// Bounds-checked element access used throughout the network code.
const double& ElementAt(const Vector& v, size_t index);
double& ElementAt(Vector& v, size_t index);
const double& ElementAt(std::span<const double> v, size_t index);

// A copy of values that live elsewhere (a sample of an image set).
inline Vector ToVector(std::span<const double> values) { return Vector(values.begin(), values.end()); }

Vector operator+(const Vector& a, const Vector& b);
Vector operator-(const Vector& a, const Vector& b);
Vector& operator+=(Vector& a, const Vector& b);  // a[i] = b[i] + a[i] for every i < size(a)
Vector operator*(const Vector& v, double s);
