// The preparation of a digit, step by step (see the header for the why of each step).
#include "image/digit_preparation.h"

#include <algorithm>
#include <cassert>
#include <cmath>

namespace {

// Less difference than this between paper and ink (in grey levels of 0..1; 0.1 is about 25
// of 255) is taken as a blank picture rather than stretched into noise.
constexpr float kMinimumContrast = 0.1f;
// The paper's own level is estimated in cells of an eighth of the picture's longer side: larger
// than a stroke, smaller than a shadow's soft edge.
constexpr uint32_t kCellsAcross = 8;
// MNIST's pen, as the width of its strokes in the 20-pixel box (twice the ink's area over its
// edge length, measured on the test set: median 2.06, tenth percentile 1.48). Thinner strokes
// are widened to kPenWidth before scaling, as they would otherwise fade to a faint grey.
constexpr double kPenWidth = 2.0;
constexpr double kThinnestPen = 1.5;

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

// The paper's darkness (on the ink's scale: 0 white paper, 1 ink) under uneven light, per pixel:
// in each cell the level that a tenth of its pixels are lighter than, interpolated between cell
// centres. A cell that a thick stroke covers (darker than the paper at the picture's border by
// three quarters of the way to the ink; no shadow is that dark) takes the lightest paper of the
// cells around it that are not covered, or the border's paper.
std::vector<float> PaperDarkness(const std::vector<float>& darkness, uint32_t width, uint32_t height,
                                 float borderPaper, float inkDarkness) {
  const uint32_t cell = std::max<uint32_t>(1, (std::max(width, height) + kCellsAcross - 1) / kCellsAcross);
  const uint32_t columns = (width + cell - 1) / cell, rows = (height + cell - 1) / cell;
  std::vector<float> cells(size_t{columns} * rows);
  std::vector<float> values;
  for (uint32_t r = 0; r < rows; ++r) {
    for (uint32_t c = 0; c < columns; ++c) {
      values.clear();
      for (uint32_t y = r * cell; y < std::min(height, (r + 1) * cell); ++y)
        for (uint32_t x = c * cell; x < std::min(width, (c + 1) * cell); ++x)
          values.push_back(darkness[size_t{y} * width + x]);
      const auto tenth = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 10);
      std::nth_element(values.begin(), tenth, values.end());
      cells[size_t{r} * columns + c] = *tenth;
    }
  }
  const float covered = borderPaper + 0.75f * (inkDarkness - borderPaper);
  std::vector<float> lightest(cells);
  for (uint32_t r = 0; r < rows; ++r) {
    for (uint32_t c = 0; c < columns; ++c) {
      if (cells[size_t{r} * columns + c] < covered) continue;
      float least = borderPaper;
      bool found = false;
      for (uint32_t nr = r > 0 ? r - 1 : 0; nr <= std::min(rows - 1, r + 1); ++nr) {
        for (uint32_t nc = c > 0 ? c - 1 : 0; nc <= std::min(columns - 1, c + 1); ++nc) {
          const float neighbour = cells[size_t{nr} * columns + nc];
          if (neighbour >= covered || (found && neighbour >= least)) continue;
          least = neighbour;
          found = true;
        }
      }
      lightest[size_t{r} * columns + c] = least;
    }
  }
  // Bilinear between cell centres; beyond the outer centres the outer cells' values hold.
  struct Place {
    uint32_t low, high;
    float part;
  };
  const auto places = [cell](uint32_t length, uint32_t count) {
    std::vector<Place> result(length);
    for (uint32_t position = 0; position < length; ++position) {
      const float at = std::clamp((static_cast<float>(position) + 0.5f) / static_cast<float>(cell) - 0.5f,
                                  0.0f, static_cast<float>(count - 1));
      const auto low = static_cast<uint32_t>(at);
      result[position] = {low, std::min(count - 1, low + 1), at - static_cast<float>(low)};
    }
    return result;
  };
  const std::vector<Place> across = places(width, columns), down = places(height, rows);
  std::vector<float> paper(darkness.size());
  for (uint32_t y = 0; y < height; ++y) {
    const float* top = &lightest[size_t{down[y].low} * columns];
    const float* bottom = &lightest[size_t{down[y].high} * columns];
    const float fy = down[y].part;
    for (uint32_t x = 0; x < width; ++x) {
      const Place& p = across[x];
      paper[size_t{y} * width + x] = (top[p.low] * (1 - p.part) + top[p.high] * p.part) * (1 - fy) +
                                     (bottom[p.low] * (1 - p.part) + bottom[p.high] * p.part) * fy;
    }
  }
  return paper;
}

// Otsu's threshold of values in 0..1: the level that best splits them into two classes (the
// largest variance between the classes' means), with the mean of the class above it.
struct Split {
  float threshold = 0.0f;
  float upperMean = 0.0f;
  float lowerMean = 0.0f;
};
Split OtsuSplit(const std::vector<float>& values) {
  constexpr int kBins = 256;
  std::vector<uint32_t> counts(kBins, 0);  // whole counts: no chain of floating-point adds per bin
  for (float value : values)
    ++counts[static_cast<size_t>(std::clamp(value, 0.0f, 1.0f) * (kBins - 1) + 0.5f)];
  const std::vector<double> count(counts.begin(), counts.end());
  double total = 0.0, sum = 0.0;
  for (int b = 0; b < kBins; ++b) {
    total += count[b];
    sum += b * count[b];
  }
  double below = 0.0, belowSum = 0.0, best = -1.0;
  Split split;
  for (int b = 0; b + 1 < kBins; ++b) {
    below += count[b];
    belowSum += b * count[b];
    const double above = total - below;
    if (below == 0.0 || above == 0.0) continue;
    const double lowerMean = belowSum / below, upperMean = (sum - belowSum) / above;
    const double between = below * above * (upperMean - lowerMean) * (upperMean - lowerMean);
    if (between > best) {
      best = between;
      split = {static_cast<float>((b + 0.5) / (kBins - 1)), static_cast<float>(upperMean / (kBins - 1)),
               static_cast<float>(lowerMean / (kBins - 1))};
    }
  }
  return split;
}

// The stroke width of the ink at half strength or more: twice its area over the length of its
// edge (for a stroke of width w and length L: 2 w L / 2 L).
double StrokeWidth(const InkMap& map) {
  double area = 0.0, edges = 0.0;
  const auto inked = [&](int64_t x, int64_t y) {
    return x >= 0 && y >= 0 && x < int64_t{map.width} && y < int64_t{map.height} &&
           map.ink[static_cast<size_t>(y) * map.width + static_cast<size_t>(x)] >= 0.5f;
  };
  for (int64_t y = 0; y < int64_t{map.height}; ++y) {
    for (int64_t x = 0; x < int64_t{map.width}; ++x) {
      if (!inked(x, y)) continue;
      area += 1.0;
      edges += !inked(x - 1, y) + !inked(x + 1, y) + !inked(x, y - 1) + !inked(x, y + 1);
    }
  }
  return edges > 0.0 ? 2.0 * area / edges : 0.0;
}

// Each value becomes the largest within `radius` along one direction (n values `stride` apart),
// in time independent of the radius (van Herk and Gil-Werman): in blocks of the window's width,
// the running maximum from each block's start (ahead) and from its end (behind); a window
// spans at most two blocks, so its maximum is behind[first] or ahead[last].
void WidenLine(float* values, size_t n, size_t stride, uint32_t radius, std::vector<float>& ahead,
               std::vector<float>& behind) {
  const size_t window = 2 * size_t{radius} + 1;
  ahead.assign(n, 0.0f);
  behind.assign(n, 0.0f);
  for (size_t i = 0; i < n; ++i)
    ahead[i] = i % window == 0 ? values[i * stride] : std::max(ahead[i - 1], values[i * stride]);
  for (size_t i = n; i-- > 0;)
    behind[i] = (i + 1) % window == 0 || i + 1 == n ? values[i * stride]
                                                    : std::max(behind[i + 1], values[i * stride]);
  for (size_t i = 0; i < n; ++i) {
    const size_t first = i > radius ? i - radius : 0, last = std::min(n - 1, i + radius);
    // Within one block the window is cut by an end of the line: it starts the block or ends it.
    if (first / window != last / window) {
      values[i * stride] = std::max(behind[first], ahead[last]);
    } else {
      values[i * stride] = first % window == 0 ? ahead[last] : behind[first];
    }
  }
}

// The ink widened by `radius` pixels on every side (a square pen).
InkMap Widen(InkMap map, uint32_t radius) {
  // Room for the wider strokes at the borders.
  InkMap wide{map.width + 2 * radius, map.height + 2 * radius, {}};
  wide.ink.assign(size_t{wide.width} * wide.height, 0.0f);
  for (uint32_t y = 0; y < map.height; ++y)
    std::copy_n(&map.ink[size_t{y} * map.width], map.width,
                &wide.ink[size_t{y + radius} * wide.width + radius]);
  std::vector<float> ahead, behind;
  for (uint32_t y = 0; y < wide.height; ++y)
    WidenLine(&wide.ink[size_t{y} * wide.width], wide.width, 1, radius, ahead, behind);
  for (uint32_t x = 0; x < wide.width; ++x)
    WidenLine(&wide.ink[x], wide.height, wide.width, radius, ahead, behind);
  return wide;
}

// The mean of each pixel's 3 x 3 neighbourhood (as far as the picture goes): single noisy
// pixels, which a shadow's division by dark paper makes stronger, fall below the threshold.
// Sums along rows, then along columns, each divided by the number of pixels it covered.
std::vector<float> Smoothed(const std::vector<float>& values, uint32_t width, uint32_t height) {
  const auto sumOfThree = [](const float* in, size_t n, size_t stride, float* out) {
    for (size_t i = 0; i < n; ++i) {
      const float left = i > 0 ? in[(i - 1) * stride] : 0.0f, right = i + 1 < n ? in[(i + 1) * stride] : 0.0f;
      out[i * stride] = (left + in[i * stride] + right) / static_cast<float>(1 + (i > 0) + (i + 1 < n));
    }
  };
  std::vector<float> rows(values.size()), smooth(values.size());
  for (uint32_t y = 0; y < height; ++y)
    sumOfThree(&values[size_t{y} * width], width, 1, &rows[size_t{y} * width]);
  for (uint32_t x = 0; x < width; ++x) sumOfThree(&rows[x], height, width, &smooth[x]);
  return smooth;
}

// Removes specks: groups of touching ink pixels (8 neighbours) smaller than a hundredth of the
// largest group. A speck of dirt or noise in a corner would otherwise widen the crop and move
// the digit; a digit's own parts (the bar of a 5, the dot of a pen lifted) are far larger.
void RemoveSpecks(InkMap* map) {
  const uint32_t width = map->width, height = map->height;
  std::vector<uint32_t> group(map->ink.size(), 0);
  std::vector<size_t> sizes{0}, stack;
  for (size_t start = 0; start < map->ink.size(); ++start) {
    if (map->ink[start] <= 0.0f || group[start] != 0) continue;
    const auto label = static_cast<uint32_t>(sizes.size());
    sizes.push_back(0);
    group[start] = label;
    stack.push_back(start);
    while (!stack.empty()) {
      const size_t at = stack.back();
      stack.pop_back();
      ++sizes[label];
      const uint32_t x = static_cast<uint32_t>(at % width), y = static_cast<uint32_t>(at / width);
      for (uint32_t ny = y > 0 ? y - 1 : 0; ny <= std::min(height - 1, y + 1); ++ny) {
        for (uint32_t nx = x > 0 ? x - 1 : 0; nx <= std::min(width - 1, x + 1); ++nx) {
          const size_t next = size_t{ny} * width + nx;
          if (map->ink[next] <= 0.0f || group[next] != 0) continue;
          group[next] = label;
          stack.push_back(next);
        }
      }
    }
  }
  const size_t largest = *std::max_element(sizes.begin(), sizes.end());
  for (size_t i = 0; i < map->ink.size(); ++i)
    if (group[i] != 0 && sizes[group[i]] * 100 < largest) map->ink[i] = 0.0f;
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
  // Ink strength measured from the paper beside it: what a shadow darkens, it darkens on paper
  // and ink alike, so the part of the paper's lightness that the ink takes away is the same
  // in light and in shade.
  std::vector<float> darkness(picture.levels.size());
  for (size_t i = 0; i < darkness.size(); ++i)
    darkness[i] = darkInk ? 1.0f - picture.levels[i] : picture.levels[i];
  const float borderPaper = darkInk ? 1.0f - paper : paper;
  const std::vector<float> paperDarkness =
      PaperDarkness(darkness, picture.width, picture.height, borderPaper, borderPaper + contrast);
  std::vector<float> strength(darkness.size());
  for (size_t i = 0; i < strength.size(); ++i)
    strength[i] =
        std::max(0.0f, darkness[i] - paperDarkness[i]) / std::max(kMinimumContrast, 1.0f - paperDarkness[i]);
  strength = Smoothed(strength, picture.width, picture.height);
  // The threshold between paper and ink comes from the picture (Otsu); strength ramps from 0 there
  // to 1 halfway to the ink's mean, so that paper texture, noise and JPEG's ringing stay paper
  // and the grey edges of strokes keep a part of their grey.
  const Split split = OtsuSplit(strength);
  if (split.upperMean - split.lowerMean < kMinimumContrast) {
    *errorMessage = blank;
    return false;
  }
  const float full = split.threshold + std::max(1e-3f, (split.upperMean - split.threshold) / 2.0f);
  InkMap map{picture.width, picture.height, std::vector<float>(picture.levels.size())};
  for (size_t i = 0; i < map.ink.size(); ++i)
    map.ink[i] = std::clamp((strength[i] - split.threshold) / (full - split.threshold), 0.0f, 1.0f);
  RemoveSpecks(&map);
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

InkMap WidenThinStrokes(const InkMap& map) {
  const double scale = static_cast<double>(kInkBoxSide) / std::max(map.width, map.height);
  const double width = StrokeWidth(map);
  if (width <= 0.0 || width * scale >= kThinnestPen) return map;
  const auto radius = static_cast<uint32_t>(std::lround((kPenWidth / scale - width) / 2.0));
  return radius == 0 ? map : Widen(map, radius);
}

bool PrepareDigit(const GreyImage& picture, Vector* pixels, std::string* errorMessage) {
  InkMap ink;
  if (!FindInk(picture, &ink, errorMessage)) return false;
  *pixels = CentreByMass(ScaleLongerSideTo(WidenThinStrokes(CropToInk(ink)), kInkBoxSide));
  return true;
}
