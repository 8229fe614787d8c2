// Drawing the digit grid, with a 3 x 5 pixel font for the labels.
#include "lab/digit_grid.h"

#include <algorithm>
#include <cassert>

#include "image/image_file.h"

namespace {

constexpr uint32_t kDigitSide = 28;
constexpr uint32_t kZoom = 2;  // screen pixels per digit pixel
constexpr uint32_t kCellWidth = kDigitSide * kZoom + 8;
constexpr uint32_t kLabelTop = kDigitSide * kZoom + 6;
constexpr uint32_t kCellHeight = kLabelTop + 5 * kZoom + 6;
constexpr uint32_t kGlyphAdvance = 4 * kZoom;  // 3 columns and a gap

// Rows of a 3 x 5 glyph, top first; bit 2 is the left column.
struct Glyph {
  char character;
  unsigned char rows[5];
};
constexpr Glyph kGlyphs[] = {
    {'0', {7, 5, 5, 5, 7}}, {'1', {2, 6, 2, 2, 7}}, {'2', {7, 1, 7, 4, 7}}, {'3', {7, 1, 3, 1, 7}},
    {'4', {5, 5, 7, 1, 1}}, {'5', {7, 4, 7, 1, 7}}, {'6', {7, 4, 7, 5, 7}}, {'7', {7, 1, 2, 2, 2}},
    {'8', {7, 5, 7, 5, 7}}, {'9', {7, 5, 7, 1, 7}}, {'%', {5, 1, 2, 4, 5}}, {'.', {0, 0, 0, 0, 2}},
    {':', {0, 2, 0, 2, 0}}, {'>', {4, 2, 1, 2, 4}}, {'#', {5, 7, 5, 7, 5}}, {'?', {7, 1, 3, 0, 2}},
    {' ', {0, 0, 0, 0, 0}},
};

const Glyph& GlyphOf(char character) {
  for (const Glyph& glyph : kGlyphs) {
    if (glyph.character == character) return glyph;
  }
  return GlyphOf('?');
}

class Canvas {
 public:
  Canvas(uint32_t width, uint32_t height)
      : width_(width), height_(height), rgb_(size_t{width} * height * 3, 0) {}

  void Set(uint32_t x, uint32_t y, Colour colour) {
    if (x >= width_ || y >= height_) return;
    unsigned char* pixel = &rgb_[(size_t{y} * width_ + x) * 3];
    pixel[0] = colour.red;
    pixel[1] = colour.green;
    pixel[2] = colour.blue;
  }
  void Block(uint32_t x, uint32_t y, uint32_t side, Colour colour) {
    for (uint32_t dy = 0; dy < side; ++dy) {
      for (uint32_t dx = 0; dx < side; ++dx) Set(x + dx, y + dy, colour);
    }
  }
  std::string Png() const {
    const std::vector<unsigned char> file = EncodePng(width_, height_, 3, rgb_);
    return std::string(file.begin(), file.end());
  }

 private:
  uint32_t width_, height_;
  std::vector<unsigned char> rgb_;
};

void DrawDigit(Canvas& canvas, uint32_t left, uint32_t top, const Vector& pixels) {
  for (uint32_t y = 0; y < kDigitSide; ++y) {
    for (uint32_t x = 0; x < kDigitSide; ++x) {
      const size_t index = size_t{y} * kDigitSide + x;
      const double value = index < pixels.size() ? std::clamp(pixels[index], 0.0, 1.0) : 0.0;
      const auto level = static_cast<unsigned char>(value * 255.0 + 0.5);
      canvas.Block(left + x * kZoom, top + y * kZoom, kZoom, {level, level, level});
    }
  }
}

void DrawLabel(Canvas& canvas, uint32_t left, uint32_t top, const std::vector<LabelPart>& label) {
  uint32_t x = left;
  for (const LabelPart& part : label) {
    for (char character : part.text) {
      if (x + kGlyphAdvance > left + kCellWidth - 4) return;  // the label starts 4 pixels in
      const Glyph& glyph = GlyphOf(character);
      for (uint32_t row = 0; row < 5; ++row) {
        for (uint32_t column = 0; column < 3; ++column) {
          if (glyph.rows[row] & (4 >> column)) {
            canvas.Block(x + column * kZoom, top + row * kZoom, kZoom, part.colour);
          }
        }
      }
      x += kGlyphAdvance;
    }
  }
}

}  // namespace

std::string DigitGridPng(const std::vector<GridDigit>& digits, uint32_t columns) {
  assert(!digits.empty() && columns >= 1);
  columns = std::min<uint32_t>(columns, static_cast<uint32_t>(digits.size()));
  const uint32_t rows = static_cast<uint32_t>((digits.size() + columns - 1) / columns);
  Canvas canvas(columns * kCellWidth, rows * kCellHeight);
  for (size_t i = 0; i < digits.size(); ++i) {
    const uint32_t left = static_cast<uint32_t>(i % columns) * kCellWidth;
    const uint32_t top = static_cast<uint32_t>(i / columns) * kCellHeight;
    DrawDigit(canvas, left + 4, top + 2, digits[i].pixels);
    DrawLabel(canvas, left + 4, top + kLabelTop, digits[i].label);
  }
  return canvas.Png();
}
