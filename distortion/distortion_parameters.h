// What MNIST_MLP_DISTORTION asks for: the kind of distortion of the training images and its
// parameters, as text and as a value. The text is a kind, optionally followed by a colon and
// comma-separated name=value pairs, such as "elastic:alpha=34,sigma=4,rotate=15"; a parameter
// that is not given keeps its default, and the kind decides which parameters apply.
#pragma once

#include <optional>
#include <string>
#include <string_view>

enum class DistortionKind {
  None,     // the images as they are
  Affine,   // a random rotation, scale per axis and shear
  Elastic,  // the affine part plus a smoothed random displacement of every pixel
};

struct DistortionParameters {
  DistortionKind kind = DistortionKind::None;
  double rotate = 10.0;  // degrees: the angle is drawn uniformly from [-rotate, rotate]
  double scale = 10.0;   // percent: each axis's factor is drawn from [1 - scale/100, 1 + scale/100]
  double shear = 10.0;   // degrees: the shear angle is drawn from [-shear, shear]
  double alpha = 34.0;   // pixels of displacement per unit of the smoothed field (elastic)
  double sigma = 4.0;    // pixels: the standard deviation of the field's Gaussian (elastic)

  bool operator==(const DistortionParameters&) const = default;
};

// Upper limits of the parameters: beyond them a digit no longer looks like one (or, for
// sigma, the field's smoothing no longer fits the field the images are warped by).
inline constexpr double kMaxRotateDegrees = 180.0;
inline constexpr double kMaxScalePercent = 50.0;
inline constexpr double kMaxShearDegrees = 60.0;
inline constexpr double kMaxAlpha = 1000.0;
inline constexpr double kMaxSigma = 10.0;

// The parameters of a text such as "none", "affine", "affine:rotate=5" or
// "elastic:alpha=34,sigma=4,rotate=15,scale=15,shear=15"; nothing for an unknown kind, an
// unknown or repeated name, a parameter of another kind (alpha for affine), or a value that is
// not a plain decimal number within its limits (sigma above 0, the others from 0).
std::optional<DistortionParameters> ParseDistortion(std::string_view text);

// The text that parses back to the parameters, every parameter of the kind spelled out:
// "none", "affine:rotate=10,scale=10,shear=10", "elastic:alpha=34,sigma=4,rotate=10,...".
std::string DistortionText(const DistortionParameters& parameters);
