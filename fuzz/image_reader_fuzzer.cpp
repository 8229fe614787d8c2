// The path from a picture file's bytes to a network input that mnist-lab classify takes:
// DecodeImage, then PrepareDigit. The pixel limit is lowered to a million so that a small
// input cannot ask for more memory than the fuzzer allows; the checks before decoding are the
// same at any limit.
//
// Checked besides the sanitizers: a failure gives a message of a known kind; a decoded
// picture holds width x height levels in 0..1; a prepared digit is 784 values in 0..1, and
// preparing fails only for want of ink.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "image/digit_preparation.h"
#include "image/image_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  GreyImage picture;
  std::string message;
  if (!DecodeImage(data, size, &picture, &message, uint64_t{1} << 20)) {
    Require(message == "not a PNG, JPEG, PGM or BMP image" ||
                message.rfind("a damaged or cut-short ", 0) == 0 ||
                message.find(" pixels, more than the ") != std::string::npos,
            "a failed decode gives a known message");
    return 0;
  }
  Require(picture.width > 0 && picture.height > 0 &&
              picture.levels.size() == uint64_t{picture.width} * picture.height,
          "a decoded picture holds width x height levels");
  for (float level : picture.levels) Require(level >= 0.0f && level <= 1.0f, "levels lie in 0..1");

  Vector pixels;
  if (!PrepareDigit(picture, &pixels, &message)) {
    Require(message.rfind("no ink found", 0) == 0, "preparing fails only for want of ink");
    return 0;
  }
  Require(pixels.size() == kDigitSide * kDigitSide, "a prepared digit has 28 x 28 values");
  for (double value : pixels) Require(value >= 0.0 && value <= 1.0, "prepared values lie in 0..1");
  return 0;
}
