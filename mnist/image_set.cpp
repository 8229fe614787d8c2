// The IDX loader: read both headers, check the sizes they claim, read the bytes as far as the
// files hold them, convert them to samples.
#include "mnist/image_set.h"

#include <fstream>
#include <limits>

#include "io/byte_order.h"
#include "io/stream.h"

namespace {

constexpr const char* kHeadersMessage = "Failed to read MNIST image and/or label file headers.";
constexpr const char* kImageDataMessage = "Failed to read image data from disk.";
constexpr const char* kLabelDataMessage = "Failed to read label data from disk.";

struct Headers {
  uint32_t imageMagic, imageCount, rowCount, columnCount;
  uint32_t labelMagic, labelCount;
};

bool ReadHeaders(std::istream& imageFile, std::istream& labelFile, Headers* headers) {
  unsigned char image[16];
  unsigned char label[8];
  if (!ReadBytes(imageFile, image, sizeof image) || !ReadBytes(labelFile, label, sizeof label)) return false;
  *headers = {DecodeBigEndian32(image),      DecodeBigEndian32(image + 4), DecodeBigEndian32(image + 8),
              DecodeBigEndian32(image + 12), DecodeBigEndian32(label),     DecodeBigEndian32(label + 4)};
  return true;
}

// Checks what the headers claim against each other. The pixel count is taken in 64 bits (two
// 32-bit factors cannot overflow it, the third is checked); whether the files hold that many
// bytes is for the reads to find out.
bool CheckHeaders(const Headers& headers, uint64_t* pixelsPerImage, std::string* errorMessage) {
  if (headers.imageMagic != ImageFileMagic || headers.labelMagic != LabelFileMagic) {
    return ReportError(errorMessage, "Invalid MNIST data file(s) detected.");
  }
  if (headers.imageCount != headers.labelCount)
    return ReportError(errorMessage, "Image and label count mismatch.");
  if (headers.imageCount == 0) return true;
  if (headers.rowCount == 0 || headers.columnCount == 0) {
    return ReportError(errorMessage, "MNIST image file declares images without pixels.");
  }
  *pixelsPerImage = uint64_t{headers.rowCount} * headers.columnCount;
  if (*pixelsPerImage > std::numeric_limits<uint64_t>::max() / headers.imageCount) {
    return ReportError(errorMessage, kImageDataMessage);
  }
  return true;
}

// One sample per image: pixel bytes scaled to 0..1, the label as a one-hot target.
void AppendSamples(const std::vector<unsigned char>& pixelBytes, const std::vector<unsigned char>& labelBytes,
                   uint64_t pixelsPerImage, ImageSet* set) {
  const unsigned char* imageBytes = pixelBytes.data();
  for (size_t k = 0; k < labelBytes.size(); ++k, imageBytes += pixelsPerImage) {
    ImageSample sample{Vector(pixelsPerImage, 0.0), Vector(DigitCount, 0.0)};
    for (uint64_t i = 0; i < pixelsPerImage; ++i) sample.pixels[i] = imageBytes[i] / 255.0;
    sample.target[labelBytes[k]] = 1.0;
    set->push_back(std::move(sample));
  }
}

}  // namespace

bool LoadImageSet(const std::string& imagePath, const std::string& labelPath, ImageSet* set,
                  std::string* errorMessage) {
  if (imagePath.empty() || labelPath.empty() || set == nullptr) {
    return ReportError(errorMessage, "Invalid inputs to LoadImageSet.");
  }
  std::ifstream imageFile(imagePath, std::ios::binary);
  std::ifstream labelFile(labelPath, std::ios::binary);
  if (StreamFailed(imageFile) || StreamFailed(labelFile))
    return ReportError(errorMessage, "Failed to open data files.");
  return LoadImageSet(imageFile, labelFile, set, errorMessage);
}

bool LoadImageSet(std::istream& imageFile, std::istream& labelFile, ImageSet* set,
                  std::string* errorMessage) {
  if (set == nullptr) return ReportError(errorMessage, "Invalid inputs to LoadImageSet.");
  Headers headers{};
  if (!ReadHeaders(imageFile, labelFile, &headers)) return ReportError(errorMessage, kHeadersMessage);
  uint64_t pixelsPerImage = 0;
  if (!CheckHeaders(headers, &pixelsPerImage, errorMessage)) return false;
  if (headers.imageCount == 0) return true;

  // Read only as far as the files hold what the headers claim: a file that is too short is
  // not read at all, and a pipe fills the buffers as its data arrive.
  std::vector<unsigned char> pixelBytes;
  const uint64_t pixelCount = pixelsPerImage * headers.imageCount;
  if (ReadUpTo(imageFile, pixelCount, &pixelBytes) < pixelCount)
    return ReportError(errorMessage, kImageDataMessage);
  std::vector<unsigned char> labelBytes;
  if (ReadUpTo(labelFile, headers.imageCount, &labelBytes) < headers.imageCount)
    return ReportError(errorMessage, kLabelDataMessage);
  for (unsigned char label : labelBytes) {
    if (label >= DigitCount)
      return ReportError(errorMessage, "MNIST label file holds a label outside 0 to 9.");
  }

  AppendSamples(pixelBytes, labelBytes, pixelsPerImage, set);
  return true;
}
