#include "mnist/image_set.h"

#include <fstream>
#include <limits>

namespace {

uint32_t DecodeBigEndian32(const unsigned char* bytes) {
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
         uint32_t{bytes[3]};
}

bool Fail(std::string* errorMessage, const char* message) {
  if (errorMessage != nullptr) *errorMessage = message;
  return false;
}

bool StreamFailed(const std::istream& stream) { return stream.fail() || stream.bad(); }

// Bytes between the current read position and the end of the file, or 0 if unknown.
uint64_t RemainingBytes(std::istream& stream) {
  const std::streampos here = stream.tellg();
  if (here < 0) return 0;
  stream.seekg(0, std::ios::end);
  const std::streampos end = stream.tellg();
  stream.seekg(here);
  if (end < here) return 0;
  return static_cast<uint64_t>(end - here);
}

}  // namespace

bool LoadImageSet(const std::string& imagePath, const std::string& labelPath, ImageSet* set,
                  std::string* errorMessage) {
  if (imagePath.empty() || labelPath.empty() || set == nullptr) {
    return Fail(errorMessage, "Invalid inputs to LoadImageSet.");
  }

  std::ifstream imageFile(imagePath, std::ios::binary);
  std::ifstream labelFile(labelPath, std::ios::binary);
  if (StreamFailed(imageFile) || StreamFailed(labelFile)) {
    return Fail(errorMessage, "Failed to open data files.");
  }

  unsigned char imageHeader[16];
  unsigned char labelHeader[8];
  imageFile.read(reinterpret_cast<char*>(imageHeader), sizeof imageHeader);
  if (StreamFailed(imageFile)) {
    return Fail(errorMessage, "Failed to read MNIST image and/or label file headers.");
  }
  labelFile.read(reinterpret_cast<char*>(labelHeader), sizeof labelHeader);
  if (StreamFailed(labelFile)) {
    return Fail(errorMessage, "Failed to read MNIST image and/or label file headers.");
  }

  const uint32_t imageMagic = DecodeBigEndian32(imageHeader);
  const uint32_t imageCount = DecodeBigEndian32(imageHeader + 4);
  const uint32_t rowCount = DecodeBigEndian32(imageHeader + 8);
  const uint32_t columnCount = DecodeBigEndian32(imageHeader + 12);
  const uint32_t labelMagic = DecodeBigEndian32(labelHeader);
  const uint32_t labelCount = DecodeBigEndian32(labelHeader + 4);

  if (imageMagic != ImageFileMagic || labelMagic != LabelFileMagic) {
    return Fail(errorMessage, "Invalid MNIST data file(s) detected.");
  }
  if (imageCount != labelCount) {
    return Fail(errorMessage, "Image and label count mismatch.");
  }
  if (imageCount == 0) return true;
  if (rowCount == 0 || columnCount == 0) {
    return Fail(errorMessage, "MNIST image file declares images without pixels.");
  }

  // The header is untrusted: the product is taken in 64 bits (two 32-bit factors cannot
  // overflow it, the third is checked), and nothing is allocated until the files are known
  // to hold every byte the header promises.
  const uint64_t pixelsPerImage = uint64_t{rowCount} * columnCount;
  if (pixelsPerImage > std::numeric_limits<uint64_t>::max() / imageCount ||
      pixelsPerImage * imageCount > RemainingBytes(imageFile)) {
    return Fail(errorMessage, "Failed to read image data from disk.");
  }
  const uint64_t pixelByteCount = pixelsPerImage * imageCount;
  if (imageCount > RemainingBytes(labelFile)) {
    // The pixel bytes are present (checked above), so the labels are what is short.
    return Fail(errorMessage, "Failed to read label data from disk.");
  }

  std::vector<unsigned char> pixelBytes(pixelByteCount);
  imageFile.read(reinterpret_cast<char*>(pixelBytes.data()),
                 static_cast<std::streamsize>(pixelByteCount));
  if (StreamFailed(imageFile)) return Fail(errorMessage, "Failed to read image data from disk.");

  std::vector<unsigned char> labelBytes(imageCount);
  labelFile.read(reinterpret_cast<char*>(labelBytes.data()), imageCount);
  if (StreamFailed(labelFile)) return Fail(errorMessage, "Failed to read label data from disk.");

  for (unsigned char label : labelBytes) {
    if (label >= DigitCount) {
      return Fail(errorMessage, "MNIST label file holds a label outside 0 to 9.");
    }
  }

  const unsigned char* imageBytes = pixelBytes.data();
  for (uint32_t k = 0; k < imageCount; ++k, imageBytes += pixelsPerImage) {
    ImageSample sample{Vector(pixelsPerImage, 0.0), Vector(DigitCount, 0.0)};
    for (uint64_t i = 0; i < pixelsPerImage; ++i) sample.pixels[i] = imageBytes[i] / 255.0;
    sample.target[labelBytes[k]] = 1.0;
    set->push_back(std::move(sample));
  }
  return true;
}
