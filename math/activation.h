// The logistic activation of the network's neurons and the classifier's decision rule.
#pragma once

#include <cstdint>
#include <span>

#include "math/vector.h"

double Sigmoid(double x);            // 1 / (exp(-x) + 1); exactly 0.0 or 1.0 when saturated
Vector Sigmoid(const Vector& v);     // element-wise
double SigmoidDerivative(double z);  // slope at the weighted input z: (1 - s) * s

// Index of the first largest element: ties go to the lowest index, NaN never wins, and a
// vector of fewer than two elements gives 0.
uint32_t ArgMax(std::span<const double> v);
inline uint32_t ArgMax(const Vector& v) { return ArgMax(std::span<const double>(v)); }
