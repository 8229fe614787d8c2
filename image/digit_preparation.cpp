// The preparation of a digit, step by step (see the header for the why of each step).
#include "image/digit_preparation.h"

#include <algorithm>
#include <cassert>
#include <cmath>

namespace {

// Less difference than this between paper and ink (in grey levels of 0..1; 0.1 is about 25
// of 255) is taken as a blank picture rather than stretched into noise.
constexpr float kMinimumContrast = 0.1f;
// Ink strength ramps from 0 to 1 between these fractions of the paper-to-ink difference.
// Cutting the faint third makes a photo's uneven paper and JPEG's ringing around strokes count
// as paper, so they neither widen the crop nor add grey; MNIST's own digits were bilevel
// scans before they were scaled down, and the scaling makes the grey edges again.
constexpr float kInkStart = 1.0f / 3.0f;
constexpr float kInkFull = 2.0f / 3.0f;

float Median(std::vector<float> values) {
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

float PaperLevel(const GreyImage& picture) {
  std::vector<float> border;
  const uint32_t w = picture.width, h = picture.height;
  for (uint32_t y = 0; y < h; ++y) {
    const bool edgeRow = y == 0 || y + 1 == h;
    for (uint32_t x = 0; x < w; x += (edgeRow || x + 1 == w) ? 1 : w - 1) {
      border.push_back(picture.levels[size_t{y} * w + x]);
      if (w == 1) break;
    }
  }
  return Median(std::move(border));
}

// Resamples n values spaced `stride` apart into m values: value o is the mean of the input
// over [o n/m, (o+1) n/m), partly covered input pixels counting by the part covered.
void ResampleLine(const float* input, size_t n, size_t stride, float* output, size_t m, size_t outputStride) {
  const double scale = static_cast<double>(n) / static_cast<double>(m);
  for (size_t o = 0; o < m; ++o) {
    const double start = static_cast<double>(o) * scale;
    const double end = static_cast<double>(o + 1) * scale;
    double sum = 0.0;
    for (size_t k = static_cast<size_t>(start); k < n && static_cast<double>(k) < end; ++k) {
      const double covered =
          std::min(end, static_cast<double>(k + 1)) - std::max(start, static_cast<double>(k));
      sum += input[k * stride] * covered;
    }
    output[o * outputStride] = static_cast<float>(sum / (end - start));
  }
}

}  // namespace

bool FindInk(const GreyImage& picture, InkMap* ink, std::string* errorMessage) {
  assert(picture.levels.size() == size_t{picture.width} * picture.height);
  const char* blank = "no ink found (the picture is blank or has too little contrast)";
  if (picture.levels.empty()) {
    *errorMessage = blank;
    return false;
  }
  const float paper = PaperLevel(picture);
  const auto [darkest, lightest] = std::minmax_element(picture.levels.begin(), picture.levels.end());
  const bool darkInk = paper - *darkest >= *lightest - paper;
  const float contrast = darkInk ? paper - *darkest : *lightest - paper;
  if (contrast < kMinimumContrast) {
    *errorMessage = blank;
    return false;
  }
  InkMap map{picture.width, picture.height, std::vector<float>(picture.levels.size())};
  for (size_t i = 0; i < map.ink.size(); ++i) {
    const float strength = (darkInk ? paper - picture.levels[i] : picture.levels[i] - paper) / contrast;
    map.ink[i] = std::clamp((strength - kInkStart) / (kInkFull - kInkStart), 0.0f, 1.0f);
  }
  *ink = std::move(map);
  return true;
}

InkMap CropToInk(const InkMap& map) {
  uint32_t left = map.width, right = 0, top = map.height, bottom = 0;
  for (uint32_t y = 0; y < map.height; ++y) {
    for (uint32_t x = 0; x < map.width; ++x) {
      if (map.ink[size_t{y} * map.width + x] <= 0.0f) continue;
      left = std::min(left, x);
      right = std::max(right, x);
      top = std::min(top, y);
      bottom = std::max(bottom, y);
    }
  }
  assert(left <= right && top <= bottom);
  InkMap cropped{right - left + 1, bottom - top + 1, {}};
  cropped.ink.reserve(size_t{cropped.width} * cropped.height);
  for (uint32_t y = top; y <= bottom; ++y) {
    const auto row = map.ink.begin() + static_cast<std::ptrdiff_t>(size_t{y} * map.width);
    cropped.ink.insert(cropped.ink.end(), row + left, row + right + 1);
  }
  return cropped;
}

InkMap ScaleLongerSideTo(const InkMap& map, uint32_t side) {
  const uint32_t longer = std::max(map.width, map.height);
  const auto scaled = [&](uint32_t length) {
    const double exact = static_cast<double>(length) * side / longer;
    return std::max<uint32_t>(1, static_cast<uint32_t>(std::lround(exact)));
  };
  const uint32_t width = scaled(map.width), height = scaled(map.height);
  // Rows first: a large picture shrinks to `width` columns before the columns are resampled.
  std::vector<float> rows(size_t{map.height} * width);
  for (uint32_t y = 0; y < map.height; ++y) {
    ResampleLine(&map.ink[size_t{y} * map.width], map.width, 1, &rows[size_t{y} * width], width, 1);
  }
  InkMap result{width, height, std::vector<float>(size_t{width} * height)};
  for (uint32_t x = 0; x < width; ++x)
    ResampleLine(&rows[x], map.height, width, &result.ink[x], height, width);
  return result;
}

Vector CentreByMass(const InkMap& map) {
  double mass = 0.0, sumX = 0.0, sumY = 0.0;
  for (uint32_t y = 0; y < map.height; ++y) {
    for (uint32_t x = 0; x < map.width; ++x) {
      const double value = map.ink[size_t{y} * map.width + x];
      mass += value;
      sumX += value * (x + 0.5);  // a pixel's mass sits at its centre
      sumY += value * (y + 0.5);
    }
  }
  // MNIST's digits have their centre of mass at pixel index 14 in both directions, that is
  // half a pixel right of and below the field's middle (measured on its test set: mean 14.0,
  // spread 0.3). Half a pixel the other way costs several points of accuracy.
  const double centre = kDigitSide / 2.0 + 0.5;
  const long left = mass > 0.0 ? std::lround(centre - sumX / mass) : 0;
  const long top = mass > 0.0 ? std::lround(centre - sumY / mass) : 0;
  Vector field(size_t{kDigitSide} * kDigitSide, 0.0);
  for (uint32_t y = 0; y < map.height; ++y) {
    for (uint32_t x = 0; x < map.width; ++x) {
      const long fieldX = left + x, fieldY = top + y;
      if (fieldX < 0 || fieldY < 0 || fieldX >= long{kDigitSide} || fieldY >= long{kDigitSide}) continue;
      field[static_cast<size_t>(fieldY * kDigitSide + fieldX)] =
          std::clamp(static_cast<double>(map.ink[size_t{y} * map.width + x]), 0.0, 1.0);
    }
  }
  return field;
}

bool PrepareDigit(const GreyImage& picture, Vector* pixels, std::string* errorMessage) {
  InkMap ink;
  if (!FindInk(picture, &ink, errorMessage)) return false;
  *pixels = CentreByMass(ScaleLongerSideTo(CropToInk(ink), kInkBoxSide));
  return true;
}
