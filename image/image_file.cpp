// Decoding through stb_image (stb_codecs.cpp compiles it), with the checks stb leaves to us.
#include "image/image_file.h"

#include <stb/stb_image.h>
#include <stb/stb_image_write.h>

#include <algorithm>
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

// Whether every Huffman table in the JPEG's DHT segments defines at most 256 codes. Debian's
// stb_image 2.27 writes past its tables for more (found by fuzzing; later stb versions check
// this themselves), so such files are refused before stb sees them. Walks the segments,
// skipping entropy-coded data, in which a 0xFF byte is followed by 0x00 or a restart marker.
bool JpegHuffmanTablesFit(const unsigned char* bytes, size_t byteCount) {
  size_t at = 2;  // after the start-of-image marker
  while (at + 1 < byteCount) {
    if (bytes[at] != 0xff) {  // entropy-coded data after a start of scan
      ++at;
      continue;
    }
    const unsigned char marker = bytes[at + 1];
    if (marker == 0xff || marker == 0x00 || marker == 0x01 || (marker >= 0xd0 && marker <= 0xd7)) {
      at += marker == 0xff ? 1 : 2;  // fill byte, stuffed zero, or a marker without a length
      continue;
    }
    if (marker == 0xd9 || at + 3 >= byteCount) return true;  // end of image, or cut short
    const size_t segmentLength = size_t{bytes[at + 2]} << 8 | bytes[at + 3];
    // The tables are read as stb reads them: while the segment's length lasts, zeros past the
    // end of the file, stopping at a table class or number it refuses.
    const auto byteAt = [&](size_t p) { return p < byteCount ? bytes[p] : 0; };
    size_t table = at + 4;
    for (long remaining = static_cast<long>(segmentLength) - 2; marker == 0xc4 && remaining > 0;) {
      if ((byteAt(table) >> 4) > 1 || (byteAt(table) & 15) > 3) break;
      size_t codes = 0;
      for (size_t i = 1; i <= 16; ++i) codes += byteAt(table + i);
      if (codes > 256) return false;
      table += 17 + codes;
      remaining -= static_cast<long>(17 + codes);
    }
    const size_t end = std::min(byteCount, at + 2 + segmentLength);
    at = end;
  }
  return true;
}

// Whether every PNG chunk up to IEND lies within the file, and no image data chunk is empty.
// stb allocates room for an image data chunk's declared length before it reads the chunk, so
// one byte of length field could ask for 2 GB; and it copies an empty first one from a null
// buffer (undefined behaviour; encoders do not write empty ones).
bool PngChunksFit(const unsigned char* bytes, size_t byteCount) {
  for (size_t at = 8; at + 8 <= byteCount;) {
    const uint64_t length = uint64_t{bytes[at]} << 24 | uint32_t{bytes[at + 1]} << 16 |
                            uint32_t{bytes[at + 2]} << 8 | bytes[at + 3];
    if (length + 12 > byteCount - at) return false;
    if (length == 0 && std::memcmp(bytes + at + 4, "IDAT", 4) == 0) return false;
    if (std::memcmp(bytes + at + 4, "IEND", 4) == 0) return true;
    at += 12 + length;
  }
  return true;  // cut short between chunks: stb says so
}

// Whether the width, height and maximum value of a PGM/PPM header have at most 6 digits each.
// stb 2.27 reads them into an int without an overflow check (found by fuzzing); every
// accepted value has at most 5. The header is skipped through as stb skips it: blanks, and
// comments from '#' to the end of the line.
bool PnmHeaderNumbersFit(const unsigned char* bytes, size_t byteCount) {
  const auto blank = [](unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  size_t at = 2;  // after "P5" or "P6"
  for (int number = 0; number < 3; ++number) {
    while (at < byteCount && (blank(bytes[at]) || bytes[at] == '#')) {
      if (bytes[at] != '#') {
        ++at;
        continue;
      }
      while (at < byteCount && bytes[at] != '\n' && bytes[at] != '\r') ++at;
    }
    size_t digits = 0;
    for (; at < byteCount && bytes[at] >= '0' && bytes[at] <= '9'; ++at) ++digits;
    if (digits > 6) return false;
  }
  return true;
}

// Why stb must not see these bytes (each check guards against a fault of stb 2.27 above), or
// nullptr.
const char* StbHazard(const char* format, const unsigned char* bytes, size_t byteCount) {
  if (std::strcmp(format, "PNG") == 0 && !PngChunksFit(bytes, byteCount))
    return "a chunk runs past the end of the file, or an empty image data chunk";
  if (std::strcmp(format, "PGM") == 0 && !PnmHeaderNumbersFit(bytes, byteCount))
    return "a header number of more than 6 digits";
  if (std::strcmp(format, "JPEG") == 0 && !JpegHuffmanTablesFit(bytes, byteCount))
    return "a Huffman table with more than 256 codes";
  return nullptr;
}

constexpr uint32_t kMaxSide = 1u << 16;

// The size in a PNG file's header chunk, read here because stb's own reading refuses large
// sizes without saying them. False when the bytes hold no header chunk.
struct PictureSize {
  uint64_t width = 0, height = 0;
  int channels = 0;
  bool sixteenBits = false;
};
bool PngHeaderSize(const unsigned char* bytes, size_t byteCount, PictureSize* size) {
  if (byteCount < 26 || std::memcmp(bytes + 12, "IHDR", 4) != 0) return false;
  const auto word = [&](size_t at) {
    return uint64_t{bytes[at]} << 24 | uint64_t{bytes[at + 1]} << 16 | uint64_t{bytes[at + 2]} << 8 |
           bytes[at + 3];
  };
  const int channelsOfColourType[7] = {1, 0, 3, 3, 2, 0, 4};  // palette: 3, or 4 with transparency
  size->width = word(16);
  size->height = word(20);
  size->sixteenBits = bytes[24] == 16;
  size->channels = bytes[25] <= 6 ? channelsOfColourType[bytes[25]] : 0;
  return true;
}

// Why a picture of this size is refused, or "" when it is not.
std::string SizeRefusal(uint64_t width, uint64_t height, int channels, bool sixteenBits, uint64_t maxPixels) {
  const uint64_t pixelCount = width * height;
  const std::string size = std::to_string(width) + " x " + std::to_string(height) + " pixels";
  if (width > kMaxSide || height > kMaxSide)
    return size + ", more than the " + std::to_string(kMaxSide) + " accepted on a side";
  if (pixelCount > maxPixels) return size + ", more than the " + std::to_string(maxPixels) + " accepted";
  const uint64_t decodedBytes = pixelCount * uint64_t(channels) * (sixteenBits ? 2 : 1);
  if (decodedBytes > kMaxDecodedBytes) {
    return size + " of " + std::to_string(channels) + " channels at " + (sixteenBits ? "16" : "8") +
           " bits need " + std::to_string((decodedBytes + (1 << 20) - 1) >> 20) +
           " MiB to decode, more than the " + std::to_string(kMaxDecodedBytes >> 20) + " MiB accepted";
  }
  return "";
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
  PictureSize png;
  if (std::strcmp(format, "PNG") == 0 && PngHeaderSize(bytes, byteCount, &png)) {
    const std::string refusal = SizeRefusal(png.width, png.height, png.channels, png.sixteenBits, maxPixels);
    if (!refusal.empty()) {
      *errorMessage = refusal;
      return false;
    }
  }
  if (const char* hazard = StbHazard(format, bytes, byteCount)) {
    *errorMessage = damaged + " (" + hazard + ")";
    return false;
  }
  const int length = static_cast<int>(byteCount);
  int width = 0, height = 0, channels = 0;
  if (!stbi_info_from_memory(bytes, length, &width, &height, &channels)) {
    *errorMessage = damaged + " (" + stbi_failure_reason() + ")";
    return false;
  }
  const std::string refusal = SizeRefusal(uint64_t(width), uint64_t(height), channels,
                                          stbi_is_16_bit_from_memory(bytes, length) != 0, maxPixels);
  if (width <= 0 || height <= 0 || !refusal.empty()) {
    *errorMessage = refusal.empty() ? damaged + " (no pixels)" : refusal;
    return false;
  }
  // The file's own channels: stb's conversion between channel counts mishandles 16-bit PGM
  // files in Debian's version 2.27 (found by fuzzing), so the conversion is done here.
  std::unique_ptr<unsigned char, FreeStbImage> pixels(
      stbi_load_from_memory(bytes, length, &width, &height, &channels, 0));
  if (pixels == nullptr || channels < 1 || channels > 4) {
    *errorMessage = damaged + " (" + (pixels ? "unexpected channels" : stbi_failure_reason()) + ")";
    return false;
  }
  *image = GreyLevels(pixels.get(), static_cast<uint32_t>(width), static_cast<uint32_t>(height),
                      static_cast<uint32_t>(channels));
  return true;
}

bool CheckImageHeader(const unsigned char* bytes, size_t byteCount, uint64_t* pixelCount,
                      std::string* errorMessage, uint64_t maxPixels) {
  *pixelCount = 0;
  const char* format = FormatName(bytes, byteCount);
  if (format == nullptr) {
    *errorMessage = "not a PNG, JPEG, PGM or BMP image";
    return false;
  }
  PictureSize size;
  if (std::strcmp(format, "PNG") == 0) {
    if (!PngHeaderSize(bytes, byteCount, &size)) return true;  // cut short: decoding tells
  } else {
    // A JPEG's size comes after its tables, which stb must not see unchecked.
    int width = 0, height = 0;
    const int length = static_cast<int>(std::min<size_t>(byteCount, INT_MAX));
    if (StbHazard(format, bytes, byteCount) != nullptr ||
        !stbi_info_from_memory(bytes, length, &width, &height, &size.channels) || width <= 0 || height <= 0)
      return true;
    size = {uint64_t(width), uint64_t(height), size.channels, stbi_is_16_bit_from_memory(bytes, length) != 0};
  }
  *errorMessage = SizeRefusal(size.width, size.height, size.channels, size.sixteenBits, maxPixels);
  *pixelCount = size.width * size.height;
  return errorMessage->empty();
}

uint64_t MaxImageFileBytes(uint64_t pixelCount) { return pixelCount * 8 + (uint64_t{1} << 20); }

GreyImage GreyLevels(const unsigned char* pixels, uint32_t width, uint32_t height, uint32_t channels) {
  assert(channels >= 1 && channels <= 4);
  GreyImage image;
  image.width = width;
  image.height = height;
  image.levels.resize(size_t{width} * height);
  const bool colour = channels >= 3, withAlpha = channels == 2 || channels == 4;
  for (size_t i = 0; i < image.levels.size(); ++i) {
    const unsigned char* pixel = pixels + i * channels;
    // Luma with the weights stb uses (ITU-R BT.601 in eighths of 256).
    const float grey =
        (colour ? (pixel[0] * 77 + pixel[1] * 150 + pixel[2] * 29) / 256.0f : pixel[0]) / 255.0f;
    const float alpha = withAlpha ? pixel[channels - 1] / 255.0f : 1.0f;
    image.levels[i] = grey * alpha + (1.0f - alpha);  // over white paper
  }
  return image;
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
