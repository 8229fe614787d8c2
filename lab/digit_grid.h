// A PNG picture of digits in a grid, each with a short coloured label under it: the mistakes
// of a report and the digits that show draws. Digits are drawn as the network sees them,
// light ink on black, twice their size.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "math/vector.h"

struct Colour {
  unsigned char red, green, blue;
};

// One piece of a label in one colour. Labels use the characters 0-9 % . : > # ? and space;
// others are drawn as "?". A label longer than 7 characters is cut.
struct LabelPart {
  std::string text;
  Colour colour;
};

struct GridDigit {
  Vector pixels;  // 28 x 28 values in 0..1, row after row
  std::vector<LabelPart> label;
};

// The PNG file of the digits, `columns` to a row (fewer when there are fewer digits).
// Precondition: at least one digit, columns >= 1.
std::string DigitGridPng(const std::vector<GridDigit>& digits, uint32_t columns);
