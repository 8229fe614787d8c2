// MNIST samples in memory and the loader that reads them from a pair of IDX files.
//
// IDX image file (all header words 32-bit unsigned, most significant byte first):
//   0   magic 2051 (ImageFileMagic)
//   4   image count N
//   8   row count R
//   12  column count C
//   16  N x R x C pixel bytes, image after image, row after row
// IDX label file:
//   0   magic 2049 (LabelFileMagic)
//   4   label count, must equal N
//   8   N label bytes, each a digit 0..9
// Bytes after the last image or label are ignored.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "math/vector.h"

inline constexpr uint32_t ImageFileMagic = 2051;
inline constexpr uint32_t LabelFileMagic = 2049;
inline constexpr uint32_t DigitCount = 10;

// One example: the pixels scaled to 0..1 and the label as a one-hot target.
struct ImageSample {
  Vector pixels;  // R x C values, pixel byte / 255.0, in file order
  Vector target;  // DigitCount values: 1.0 at the label, 0.0 elsewhere
};

using ImageSet = std::vector<ImageSample>;

// Appends the N samples of the two files to *set and returns true.
// On failure returns false, leaves *set exactly as it was and, when errorMessage is
// given, replaces its content with one sentence saying what went wrong. A header with
// N = 0 succeeds and appends nothing.
bool LoadImageSet(const std::string& imagePath, const std::string& labelPath, ImageSet* set,
                  std::string* errorMessage);
// The same from two streams at their start, which may be pipes (read only as far as their data
// arrive); "Failed to open data files." is the caller's to report.
bool LoadImageSet(std::istream& imageFile, std::istream& labelFile, ImageSet* set, std::string* errorMessage);
