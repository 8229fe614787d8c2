// Turning a picture of one handwritten digit into the 28 x 28 input of a network trained on
// MNIST, the way MNIST's digits were prepared: find the ink, crop to it, widen strokes thinner
// than MNIST's pen, scale its longer side to 20 pixels with anti-aliasing (each new pixel the
// average of the area it covers), and place it in a 28 x 28 field with its centre of mass at
// the centre.
//
// The steps are separate functions so that a page can show each stage; PrepareDigit runs them
// in order. Nothing here allocates more than a few copies of the picture's pixel count.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/image_file.h"
#include "math/vector.h"

inline constexpr uint32_t kDigitSide = 28;   // the field, in pixels
inline constexpr uint32_t kInkBoxSide = 20;  // the longer side of the ink after scaling

// Ink strength per pixel. Invariant: ink holds width x height values, row after row, each in
// 0 (paper) .. 1 (full ink).
struct InkMap {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<float> ink;
};

// The ink of a picture, dark on light or light on dark: the paper is the median grey of the
// picture's outermost pixels, and the ink is whichever of the darkest or lightest pixel lies
// further from it. Uneven light is flattened first: each pixel is measured against the paper's
// level around it (estimated from the lightest paper of cells an eighth of the picture wide),
// as the part of the paper's lightness it takes away. The threshold between paper and ink is
// Otsu's for that measure; strength grows from 0 there to 1 halfway to the ink's mean. Returns
// false with "no ink found..." in *errorMessage when the picture has almost no contrast.
bool FindInk(const GreyImage& picture, InkMap* ink, std::string* errorMessage);

// The map with strokes thinner than MNIST's pen (after scaling its longer side to kInkBoxSide)
// widened to that pen, and room for them added around it; a map of wider strokes unchanged.
InkMap WidenThinStrokes(const InkMap& map);

// The smallest rectangle holding every pixel with ink. Precondition: some ink.
InkMap CropToInk(const InkMap& map);

// The map resampled so that its longer side is `side` pixels and the shorter one keeps the
// aspect ratio (at least 1 pixel); every new pixel is the mean of the area it covers.
InkMap ScaleLongerSideTo(const InkMap& map, uint32_t side);

// A kDigitSide x kDigitSide field, row after row, values 0..1, holding the map moved by whole
// pixels so that its centre of mass is nearest the field's centre; what falls outside is cut.
Vector CentreByMass(const InkMap& map);

// All the steps: the network input for a picture of a digit in *pixels (784 values), or false
// with FindInk's message.
bool PrepareDigit(const GreyImage& picture, Vector* pixels, std::string* errorMessage);
