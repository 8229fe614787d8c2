// The geometry of one distorted image: each output pixel (x, y) takes the value found at
//   source = centre + linear * ((x, y) - centre) + alpha * field(x + offsetX, y + offsetY)
// in the source image, by bilinear interpolation, with 0 (the background) outside it. The
// centre is ((side - 1) / 2, (side - 1) / 2). Every output value is a weighted mean of source
// values and is kept within [0, 1], the range of the loader's pixels, against rounding.
#pragma once

#include <cstdint>
#include <span>

#include "distortion/displacement_field.h"

struct ImageWarp {
  // linear[0] maps the offset from the centre to the source's x, linear[1] to its y.
  double linear[2][2] = {{1.0, 0.0}, {0.0, 1.0}};
  const DisplacementField* field = nullptr;  // none: no displacement
  double alpha = 0.0;
  uint32_t offsetX = 0;
  uint32_t offsetY = 0;
};

// A rotation by `rotate` degrees, a shear by `shear` degrees and a scaling of the axes by
// scaleX and scaleY, applied to the offset from the centre in that order from the right:
// rotation * shear * scaling.
ImageWarp AffineWarp(double rotate, double shear, double scaleX, double scaleY);

// source and output: side x side values, row after row. The identity warp gives the source
// back exactly.
void WarpImage(std::span<const double> source, uint32_t side, const ImageWarp& warp,
               std::span<double> output);
