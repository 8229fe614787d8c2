// Image files in memory: decoding a PNG, JPEG, PGM/PPM or BMP file of any size into grey
// levels, and encoding pixels as a PNG file. Both work on bytes, never on file names, and
// keep no state between calls.
//
// Every size read from a file is untrusted: the header is read first, and nothing is decoded
// (allocated) when a side exceeds 65,536, the pixel count exceeds the caller's limit or the
// decoded samples would take more than kMaxDecodedBytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A picture as grey levels. Invariant: levels holds width x height values, row after row,
// each in 0 (black) .. 1 (white).
struct GreyImage {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<float> levels;
};

// About the size of a 64-megapixel photo.
inline constexpr uint64_t kMaxImagePixels = uint64_t{1} << 26;
// The decoded samples of the largest picture accepted: 64 megapixels of 8-bit RGBA, 32 of 16-bit
// RGBA. The decoder holds the raw rows and the samples at once, and the grey levels take 4 bytes
// a pixel: decoding peaks at about twice this plus twice the file (docs/reliability.md).
inline constexpr uint64_t kMaxDecodedBytes = uint64_t{1} << 28;

// What the first bytes of a file (its header; the whole file will do) tell about the picture.
// False, with *errorMessage set as DecodeImage sets it, for an unknown format or a picture
// that DecodeImage would refuse for its size. Otherwise true and *pixelCount is the picture's
// pixel count, or 0 when the bytes end before the size can be read.
bool CheckImageHeader(const unsigned char* bytes, size_t byteCount, uint64_t* pixelCount,
                      std::string* errorMessage, uint64_t maxPixels = kMaxImagePixels);
// The largest file a picture of this many pixels can take: 16-bit RGBA samples stored without
// compression, and a megabyte of room for the rest (metadata, a colour profile).
uint64_t MaxImageFileBytes(uint64_t pixelCount);

// Decodes the file's bytes into *image and returns true. Colour becomes luma; transparent
// parts are shown over white paper, as an image viewer on a white page shows them; 16-bit
// samples are reduced to 8. On failure returns false, leaves *image alone and sets
// *errorMessage to a phrase in lower case that follows the file's name ("photo.txt: not a
// PNG, JPEG, PGM or BMP image"): an unknown format, a damaged or cut-short file, too many
// pixels.
bool DecodeImage(const unsigned char* bytes, size_t byteCount, GreyImage* image, std::string* errorMessage,
                 uint64_t maxPixels = kMaxImagePixels);

// The grey levels of width x height pixels of `channels` bytes each (1 grey, 2 grey and alpha,
// 3 RGB, 4 RGBA), given row after row, as DecodeImage makes them from a file's pixels: colour
// becomes luma, transparent parts are shown over white paper. A canvas's pixels (RGBA) come
// out exactly as those of the PNG file it saves. Precondition: channels is 1 to 4.
GreyImage GreyLevels(const unsigned char* pixels, uint32_t width, uint32_t height, uint32_t channels);

// The PNG file of width x height pixels of `channels` bytes each (1 grey, 3 RGB), given row
// after row in `pixels`. Precondition: pixels.size() == width * height * channels.
std::vector<unsigned char> EncodePng(uint32_t width, uint32_t height, uint32_t channels,
                                     const std::vector<unsigned char>& pixels);
