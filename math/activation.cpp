// The logistic function, its slope and the decision rule.
#include "math/activation.h"

#include <cmath>

double Sigmoid(double x) { return 1.0 / (std::exp(-x) + 1.0); }

Vector Sigmoid(const Vector& v) {
  Vector result(v.size(), 0.0);
  for (size_t i = 0; i < v.size(); ++i) result[i] = Sigmoid(v[i]);
  return result;
}

double SigmoidDerivative(double z) {
  const double s = Sigmoid(z);
  return (1.0 - s) * s;
}

uint32_t ArgMax(std::span<const double> v) {
  if (v.size() < 2) return 0;
  double best = v[0];
  uint32_t index = 0;
  for (uint32_t i = 1; i < v.size(); ++i) {
    if (v[i] > best) {
      best = v[i];
      index = i;
    }
  }
  return index;
}
