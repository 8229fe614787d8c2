// The compact sample storage and the IDX loader: read both headers, check the sizes they
// claim, read the bytes as far as the files hold them, straight into the set's storage.
#include "mnist/image_set.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <limits>
#include <optional>
#include <stdexcept>

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
// bytes is for the reads to find out. An image of 2^32 pixels or more (4 GiB of pixel bytes,
// which no network's input layer could take) is refused as a file that lacks them would be.
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
  if (*pixelsPerImage > std::numeric_limits<uint32_t>::max())
    return ReportError(errorMessage, kImageDataMessage);
  if (*pixelsPerImage > std::numeric_limits<uint64_t>::max() / headers.imageCount) {
    return ReportError(errorMessage, kImageDataMessage);
  }
  return true;
}

// The ten one-hot targets that every loaded sample shares: row d holds 1.0 at d.
constexpr auto kOneHotRows = [] {
  std::array<std::array<double, DigitCount>, DigitCount> rows{};
  for (uint32_t digit = 0; digit < DigitCount; ++digit) rows[digit][digit] = 1.0;
  return rows;
}();

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
  return set->AppendIdxSamples(imageFile, labelFile, headers.imageCount, pixelsPerImage, errorMessage);
}

// Reads only as far as the files hold what the headers claim: an image file that is known to be
// too short is not read at all, and a pipe is read a chunk at a time as its data arrive, so
// that memory follows the bytes that really came. When both files are known to hold enough,
// the storage is reserved at once, exactly: growing by doubling would need up to three times
// the final size while the old block is copied into the new one.
bool ImageSet::AppendIdxSamples(std::istream& imageFile, std::istream& labelFile, uint32_t imageCount,
                                uint64_t pixelsPerImage, std::string* errorMessage) {
  const size_t pixelsBefore = pixels_.size();
  const size_t samplesBefore = entries_.size();
  const auto fail = [&](const char* message) {
    pixels_.resize(pixelsBefore);
    entries_.resize(samplesBefore);
    return ReportError(errorMessage, message);
  };
  const uint64_t pixelCount = pixelsPerImage * imageCount;
  const std::optional<uint64_t> imageBytes = RemainingBytes(imageFile);
  const std::optional<uint64_t> labelBytes = RemainingBytes(labelFile);
  if (imageBytes && *imageBytes < pixelCount) return fail(kImageDataMessage);
  if (imageBytes && labelBytes && *labelBytes >= imageCount) {
    pixels_.reserve(pixelsBefore + pixelCount);
    entries_.reserve(samplesBefore + imageCount);
  }

  std::vector<unsigned char> chunk;
  for (uint64_t done = 0; done < pixelCount; done += chunk.size()) {
    const uint64_t wanted = std::min<uint64_t>(kReadChunkBytes, pixelCount - done);
    if (ReadUpTo(imageFile, wanted, &chunk) < wanted) return fail(kImageDataMessage);
    const size_t start = pixels_.size();
    pixels_.resize(start + chunk.size());
    for (size_t i = 0; i < chunk.size(); ++i) pixels_[start + i] = chunk[i] / 255.0;
  }
  // A label out of range is reported only once all labels are known to be there: a file that
  // is also cut short reports that first.
  bool labelsInRange = true;
  uint64_t pixelOffset = pixelsBefore;
  for (uint64_t done = 0; done < imageCount; done += chunk.size()) {
    const uint64_t wanted = std::min<uint64_t>(kReadChunkBytes, imageCount - done);
    if (ReadUpTo(labelFile, wanted, &chunk) < wanted) return fail(kLabelDataMessage);
    for (unsigned char label : chunk) {
      labelsInRange = labelsInRange && label < DigitCount;
      entries_.push_back({pixelOffset, static_cast<uint32_t>(pixelsPerImage), label});
      pixelOffset += pixelsPerImage;
    }
  }
  if (!labelsInRange) return fail("MNIST label file holds a label outside 0 to 9.");
  return true;
}

ImageSet::ImageSet(std::initializer_list<ImageSample> samples) {
  for (const ImageSample& sample : samples) push_back(sample);
}

ImageSet::ImageSet(const_iterator first, const_iterator last) {
  for (size_t i = first.index_; i < last.index_; ++i) {
    const uint32_t reference = first.set_->entries_[i].targetReference;
    const SampleView sample = (*first.set_)[i];
    Append(sample.pixels, reference < DigitCount ? reference : PoolTarget(sample.target));
  }
}

SampleView ImageSet::operator[](size_t index) const {
  const Entry& entry = entries_[index];
  const std::span<const double> pixels(pixels_.data() + entry.pixelOffset, entry.pixelCount);
  if (entry.targetReference < DigitCount) return {pixels, kOneHotRows[entry.targetReference]};
  const PooledTarget& target = pooledTargets_[entry.targetReference - DigitCount];
  return {pixels, {targetValues_.data() + target.offset, target.count}};
}

void ImageSet::push_back(const ImageSample& sample) {
  if (sample.pixels.size() > std::numeric_limits<uint32_t>::max())
    throw std::length_error("ImageSet: a sample of 2^32 pixels or more");
  Append(sample.pixels, PoolTarget(sample.target));
}

// Values first, the entry last: whatever throws, the samples stay as they were (values that
// no entry names are never seen).
void ImageSet::Append(std::span<const double> pixels, uint32_t targetReference) {
  const uint64_t pixelOffset = pixels_.size();
  pixels_.insert(pixels_.end(), pixels.begin(), pixels.end());
  entries_.push_back({pixelOffset, static_cast<uint32_t>(pixels.size()), targetReference});
}

uint32_t ImageSet::PoolTarget(std::span<const double> target) {
  if (pooledTargets_.size() >= std::numeric_limits<uint32_t>::max() - DigitCount)
    throw std::length_error("ImageSet: more than 2^32 - 11 pooled targets");
  pooledTargets_.push_back({targetValues_.size(), target.size()});
  targetValues_.insert(targetValues_.end(), target.begin(), target.end());
  return static_cast<uint32_t>(DigitCount + pooledTargets_.size() - 1);
}
