// A field of displacements in pixels on a period x period grid, two components per point,
// periodic: a window of it anywhere, wrapping at the edges, is a field of the same statistics,
// so that one field drawn serves many images.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class DisplacementField {
 public:
  // All displacements 0. period > 0.
  explicit DisplacementField(uint32_t period);

  uint32_t Period() const { return period_; }
  // The components at (x mod period, y mod period).
  float X(uint32_t x, uint32_t y) const { return x_[Index(x, y)]; }
  float Y(uint32_t x, uint32_t y) const { return y_[Index(x, y)]; }
  void Set(uint32_t x, uint32_t y, float dx, float dy) {
    x_[Index(x, y)] = dx;
    y_[Index(x, y)] = dy;
  }
  // The components of row y (mod period): period values each.
  const float* RowX(uint32_t y) const { return &x_[Index(0, y)]; }
  const float* RowY(uint32_t y) const { return &y_[Index(0, y)]; }

  // The elastic field of one draw: every component an independent uniform value in [-1, 1)
  // from the seed, then smoothed by a Gaussian of standard deviation sigma pixels (cut at
  // 3 sigma, weights summing to 1), along the rows and then along the columns, wrapping.
  // 0 < sigma and 3 sigma < period.
  void DrawSmoothed(double sigma, uint64_t seed);

 private:
  size_t Index(uint32_t x, uint32_t y) const { return size_t{y % period_} * period_ + x % period_; }

  uint32_t period_;
  std::vector<float> x_;  // period rows of period values
  std::vector<float> y_;
};
