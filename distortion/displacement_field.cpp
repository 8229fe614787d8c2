// The smoothed random fields of the elastic distortion (see displacement_field.h).
#include "distortion/displacement_field.h"

#include <cassert>
#include <cmath>

#include "distortion/split_mix.h"
#include "math/portable_functions.h"

namespace {

// Weights for offsets -radius .. radius, summing to 1.
std::vector<float> GaussianWeights(double sigma, uint32_t radius) {
  std::vector<double> weights(2 * radius + 1);
  double sum = 0.0;
  for (uint32_t i = 0; i < weights.size(); ++i) {
    const double offset = static_cast<double>(i) - radius;
    weights[i] = PortableExp(-offset * offset / (2.0 * sigma * sigma));  // the same bits everywhere
    sum += weights[i];
  }
  std::vector<float> normalised;
  for (const double weight : weights) normalised.push_back(static_cast<float>(weight / sum));
  return normalised;
}

// values[i * stride] for i in 0 .. period-1, smoothed in place with wrapping. The line is first
// copied with `radius` values of wrap-around on both sides, so that the sum runs without any
// index arithmetic and the compiler can vectorise it.
void SmoothLine(float* values, size_t stride, uint32_t period, const std::vector<float>& weights,
                std::vector<float>& extended, std::vector<float>& sums) {
  const uint32_t radius = static_cast<uint32_t>(weights.size() / 2);
  for (uint32_t i = 0; i < period + 2 * radius; ++i)
    extended[i] = values[size_t{(i + period - radius % period) % period} * stride];
  std::fill(sums.begin(), sums.end(), 0.0f);
  for (size_t k = 0; k < weights.size(); ++k) {
    const float weight = weights[k];
    const float* shifted = extended.data() + k;
    for (uint32_t i = 0; i < period; ++i) sums[i] += weight * shifted[i];
  }
  for (uint32_t i = 0; i < period; ++i) values[size_t{i} * stride] = sums[i];
}

void Smooth(std::vector<float>& component, uint32_t period, const std::vector<float>& weights) {
  std::vector<float> extended(period + weights.size());
  std::vector<float> sums(period);
  for (uint32_t y = 0; y < period; ++y)
    SmoothLine(component.data() + size_t{y} * period, 1, period, weights, extended, sums);
  for (uint32_t x = 0; x < period; ++x)
    SmoothLine(component.data() + x, period, period, weights, extended, sums);
}

}  // namespace

DisplacementField::DisplacementField(uint32_t period)
    : period_(period), x_(size_t{period} * period), y_(size_t{period} * period) {
  assert(period > 0);
}

void DisplacementField::DrawSmoothed(double sigma, uint64_t seed) {
  const auto radius = static_cast<uint32_t>(std::ceil(3.0 * sigma));
  assert(sigma > 0.0 && radius < period_);
  SplitMix random(seed);
  for (float& value : x_) value = static_cast<float>(random.Symmetric(1.0));
  for (float& value : y_) value = static_cast<float>(random.Symmetric(1.0));
  const std::vector<float> weights = GaussianWeights(sigma, radius);
  Smooth(x_, period_, weights);
  Smooth(y_, period_, weights);
}
