// Bilinear resampling of an image through a warp (see image_warp.h).
#include "distortion/image_warp.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <numbers>
#include <vector>

#include "math/portable_functions.h"

namespace {

double Radians(double degrees) { return degrees * std::numbers::pi / 180.0; }

}  // namespace

ImageWarp AffineWarp(double rotate, double shear, double scaleX, double scaleY) {
  // The portable functions: the same warp from the same seed in mnist-mlp and in the page.
  const double c = PortableCos(Radians(rotate));
  const double s = PortableSin(Radians(rotate));
  const double t = PortableTan(Radians(shear));
  // [c -s; s c] * [1 t; 0 1] * [scaleX 0; 0 scaleY]
  ImageWarp warp;
  warp.linear[0][0] = c * scaleX;
  warp.linear[0][1] = (c * t - s) * scaleY;
  warp.linear[1][0] = s * scaleX;
  warp.linear[1][1] = (s * t + c) * scaleY;
  return warp;
}

// The source is copied into a frame of zeros, one pixel wide on the left and top and two on
// the right and bottom, and every position is clamped to [-1, side] on both axes: a position
// outside the image then reads zeros with no test per neighbour (at -1 the weight of the
// image's edge pixel is 0). A row's positions are computed first, in a loop the compiler
// vectorises, and then read in a loop of plain loads.
void WarpImage(std::span<const double> source, uint32_t side, const ImageWarp& warp,
               std::span<double> output) {
  assert(source.size() == size_t{side} * side && output.size() == source.size());
  const size_t width = size_t{side} + 3;
  std::vector<double> framed(width * width + 4 * size_t{side}, 0.0);
  for (size_t y = 0; y < side; ++y)
    std::copy_n(source.data() + y * side, side, framed.data() + (y + 1) * width + 1);
  double* positionsX = framed.data() + width * width;
  double* positionsY = positionsX + side;
  double* offsets = positionsY + side;               // of the pixel above and left of each position
  const double* origin = framed.data() + width + 1;  // pixel (0, 0)
  const double centre = (static_cast<double>(side) - 1.0) / 2.0;
  const double highest = side;
  const uint32_t period = warp.field != nullptr ? warp.field->Period() : 1;
  for (uint32_t y = 0; y < side; ++y) {
    const double dy = static_cast<double>(y) - centre;
    const double rowX = centre + warp.linear[0][1] * dy;
    const double rowY = centre + warp.linear[1][1] * dy;
    for (uint32_t x = 0; x < side; ++x) {
      const double dx = static_cast<double>(x) - centre;
      positionsX[x] = rowX + warp.linear[0][0] * dx;
      positionsY[x] = rowY + warp.linear[1][0] * dx;
    }
    if (warp.field != nullptr) {
      const float* fieldX = warp.field->RowX(y + warp.offsetY);
      const float* fieldY = warp.field->RowY(y + warp.offsetY);
      // The row's window of the field in runs that do not wrap, each a loop the compiler vectorises.
      for (uint32_t x = 0; x < side;) {
        const uint32_t column = (warp.offsetX + x) % period;
        const uint32_t runEnd = std::min(side, x + (period - column));
        for (uint32_t i = 0; i < runEnd - x; ++i) {
          positionsX[x + i] += warp.alpha * fieldX[column + i];
          positionsY[x + i] += warp.alpha * fieldY[column + i];
        }
        x = runEnd;
      }
    }
    for (uint32_t x = 0; x < side; ++x) {
      const double sourceX = std::min(std::max(positionsX[x], -1.0), highest);
      const double sourceY = std::min(std::max(positionsY[x], -1.0), highest);
      // Truncating a value of at least 0 is its floor.
      const double left = static_cast<double>(static_cast<int32_t>(sourceX + 1.0)) - 1.0;
      const double top = static_cast<double>(static_cast<int32_t>(sourceY + 1.0)) - 1.0;
      positionsX[x] = sourceX - left;
      positionsY[x] = sourceY - top;
      offsets[x] = top * static_cast<double>(width) + left;
    }
    double* row = output.data() + size_t{y} * side;
    for (uint32_t x = 0; x < side; ++x) {
      const double* above = origin + static_cast<int64_t>(offsets[x]);
      const double* below = above + width;
      const double weightX = positionsX[x];
      // a + w (b - a) rather than (1 - w) a + w b: a weight of 0 gives a exactly.
      const double upper = above[0] + weightX * (above[1] - above[0]);
      const double lower = below[0] + weightX * (below[1] - below[0]);
      row[x] = std::min(std::max(upper + positionsY[x] * (lower - upper), 0.0), 1.0);
    }
  }
}
