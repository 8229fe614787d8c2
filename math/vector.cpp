// Element access and arithmetic of Vector.
#include "math/vector.h"

#include <stdexcept>

namespace {
[[noreturn]] void ThrowSubscript() { throw std::out_of_range("invalid vector subscript"); }
}  // namespace

const double& ElementAt(const Vector& v, size_t index) {
  if (index >= v.size()) ThrowSubscript();
  return v[index];
}

double& ElementAt(Vector& v, size_t index) {
  if (index >= v.size()) ThrowSubscript();
  return v[index];
}

const double& ElementAt(std::span<const double> v, size_t index) {
  if (index >= v.size()) ThrowSubscript();
  return v[index];
}

Vector operator+(const Vector& a, const Vector& b) {
  Vector result(a.size(), 0.0);
  for (size_t i = 0; i < a.size(); ++i) result[i] = a[i] + ElementAt(b, i);
  return result;
}

Vector operator-(const Vector& a, const Vector& b) {
  Vector result(a.size(), 0.0);
  for (size_t i = 0; i < a.size(); ++i) result[i] = a[i] - ElementAt(b, i);
  return result;
}

Vector& operator+=(Vector& a, const Vector& b) {
  for (size_t i = 0; i < a.size(); ++i) a[i] = ElementAt(b, i) + a[i];
  return a;
}

Vector operator*(const Vector& v, double s) {
  Vector result(v.size(), 0.0);
  for (size_t i = 0; i < v.size(); ++i) result[i] = v[i] * s;
  return result;
}
