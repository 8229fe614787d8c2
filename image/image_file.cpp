// Decoding through stb_image (stb_codecs.cpp compiles it), with the checks stb leaves to us.
#include "image/image_file.h"

#include <stb/stb_image.h>
#include <stb/stb_image_write.h>

#include <cassert>
#include <climits>
#include <cstring>
#include <memory>

namespace {

// The format a file's first bytes announce, or nullptr. stb accepts binary PNM only (P5, P6).
const char* FormatName(const unsigned char* bytes, size_t byteCount) {
  const auto startsWith = [&](const char* magic, size_t length) {
    return byteCount >= length && std::memcmp(bytes, magic, length) == 0;
  };
  if (startsWith("\x89PNG\r\n\x1a\n", 8)) return "PNG";
  if (startsWith("\xff\xd8", 2)) return "JPEG";
  if (startsWith("BM", 2)) return "BMP";
  if (startsWith("P5", 2) || startsWith("P6", 2)) return "PGM";
  return nullptr;
}

struct FreeStbImage {
  void operator()(unsigned char* pixels) const { stbi_image_free(pixels); }
};

}  // namespace

bool DecodeImage(const unsigned char* bytes, size_t byteCount, GreyImage* image, std::string* errorMessage,
                 uint64_t maxPixels) {
  const char* format = FormatName(bytes, byteCount);
  if (format == nullptr) {
    *errorMessage = "not a PNG, JPEG, PGM or BMP image";
    return false;
  }
  const std::string damaged = std::string("a damaged or cut-short ") + format + " file";
  if (byteCount > INT_MAX) {
    *errorMessage = "too large a file (over 2 GB)";
    return false;
  }
  const int length = static_cast<int>(byteCount);
  int width = 0, height = 0, channels = 0;
  if (!stbi_info_from_memory(bytes, length, &width, &height, &channels)) {
    *errorMessage = damaged + " (" + stbi_failure_reason() + ")";
    return false;
  }
  const uint64_t pixelCount = uint64_t(width) * uint64_t(height);
  if (width <= 0 || height <= 0 || pixelCount > maxPixels) {
    *errorMessage = std::to_string(width) + " x " + std::to_string(height) + " pixels, more than the " +
                    std::to_string(maxPixels) + " accepted";
    return false;
  }
  // Two channels, grey and alpha, whatever the file holds: stb converts colour to luma and
  // gives opaque alpha to files without it.
  std::unique_ptr<unsigned char, FreeStbImage> pixels(
      stbi_load_from_memory(bytes, length, &width, &height, &channels, 2));
  if (pixels == nullptr) {
    *errorMessage = damaged + " (" + stbi_failure_reason() + ")";
    return false;
  }
  GreyImage decoded;
  decoded.width = static_cast<uint32_t>(width);
  decoded.height = static_cast<uint32_t>(height);
  decoded.levels.resize(pixelCount);
  for (uint64_t i = 0; i < pixelCount; ++i) {
    const float grey = pixels.get()[2 * i] / 255.0f;
    const float alpha = pixels.get()[2 * i + 1] / 255.0f;
    decoded.levels[i] = grey * alpha + (1.0f - alpha);  // over white paper
  }
  *image = std::move(decoded);
  return true;
}

std::vector<unsigned char> EncodePng(uint32_t width, uint32_t height, uint32_t channels,
                                     const std::vector<unsigned char>& pixels) {
  assert(pixels.size() == size_t{width} * height * channels);
  std::vector<unsigned char> file;
  const auto append = [](void* context, void* data, int size) {
    auto* output = static_cast<std::vector<unsigned char>*>(context);
    const auto* begin = static_cast<const unsigned char*>(data);
    output->insert(output->end(), begin, begin + size);
  };
  stbi_write_png_to_func(append, &file, static_cast<int>(width), static_cast<int>(height),
                         static_cast<int>(channels), pixels.data(), static_cast<int>(width * channels));
  return file;
}
