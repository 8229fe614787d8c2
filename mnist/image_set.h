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

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iosfwd>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "math/vector.h"

inline constexpr uint32_t ImageFileMagic = 2051;
inline constexpr uint32_t LabelFileMagic = 2049;
inline constexpr uint32_t DigitCount = 10;

// A sample as a set holds it: read-only views into the set's storage, valid until the set
// next changes (an append may move the storage; Swap does not).
struct SampleView {
  std::span<const double> pixels;
  std::span<const double> target;
};

// One example on its own: the pixels scaled to 0..1 and the label as a one-hot target.
struct ImageSample {
  Vector pixels;  // R x C values, pixel byte / 255.0, in file order
  Vector target;  // DigitCount values: 1.0 at the label, 0.0 elsewhere
  operator SampleView() const { return {pixels, target}; }
};

// Samples stored compactly, for sets of millions of small images: the pixels of all samples
// in one array and per sample one 16-byte entry. The one-hot targets the loader makes share
// one table of the ten rows; any other target is copied into a pool of the set's own.
// Samples are read as SampleViews; a sample's target never changes once appended, and its
// pixels only through PixelsToRedraw (a distorted copy of a training set is redrawn in place
// every epoch, which saves allocating a copy per epoch).
class ImageSet {
 public:
  class const_iterator {
   public:
    const_iterator(const ImageSet* set, size_t index) : set_(set), index_(index) {}
    SampleView operator*() const { return (*set_)[index_]; }
    const_iterator& operator++() {
      ++index_;
      return *this;
    }
    const_iterator operator+(size_t offset) const { return {set_, index_ + offset}; }
    bool operator==(const const_iterator& other) const = default;

   private:
    friend class ImageSet;
    const ImageSet* set_;
    size_t index_;
  };

  ImageSet() = default;
  ImageSet(std::initializer_list<ImageSample> samples);
  // A copy of the samples [first, last) of another set.
  ImageSet(const_iterator first, const_iterator last);

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  SampleView operator[](size_t index) const;
  SampleView front() const { return (*this)[0]; }
  SampleView back() const { return (*this)[size() - 1]; }
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, size()}; }

  // Appends a copy of the sample. A sample of 2^32 or more pixels, or more than about 2^32
  // samples whose targets are pooled, throw std::length_error and leave the samples as they were.
  void push_back(const ImageSample& sample);
  // Exchanges the places of samples i and j (their values stay where they are in memory).
  void Swap(size_t i, size_t j) { std::swap(entries_[i], entries_[j]); }
  // The pixels of sample i, to be overwritten; views of the sample see the new values.
  std::span<double> PixelsToRedraw(size_t index) {
    return {pixels_.data() + entries_[index].pixelOffset, entries_[index].pixelCount};
  }

 private:
  friend bool LoadImageSet(std::istream& imageFile, std::istream& labelFile, ImageSet* set,
                           std::string* errorMessage);
  // Target references below DigitCount name a one-hot row of the shared table; the others
  // name pooledTargets_[reference - DigitCount].
  struct Entry {
    uint64_t pixelOffset;  // into pixels_
    uint32_t pixelCount;
    uint32_t targetReference;
  };
  static_assert(sizeof(Entry) == 16, "what a sample costs besides its pixels");
  struct PooledTarget {
    size_t offset;  // into targetValues_
    size_t count;
  };
  void Append(std::span<const double> pixels, uint32_t targetReference);
  uint32_t PoolTarget(std::span<const double> target);
  // The loader's part: appends imageCount images of pixelsPerImage pixel bytes, then one
  // sample per label byte, reading both streams a bounded chunk at a time.
  bool AppendIdxSamples(std::istream& imageFile, std::istream& labelFile, uint32_t imageCount,
                        uint64_t pixelsPerImage, std::string* errorMessage);

  std::vector<double> pixels_;
  std::vector<Entry> entries_;
  std::vector<double> targetValues_;
  std::vector<PooledTarget> pooledTargets_;
};

// Appends the N samples of the two files to *set and returns true.
// On failure returns false, leaves *set exactly as it was and, when errorMessage is
// given, replaces its content with one sentence saying what went wrong. A header with
// N = 0 succeeds and appends nothing; images of 2^32 pixels or more are refused as missing
// image data.
bool LoadImageSet(const std::string& imagePath, const std::string& labelPath, ImageSet* set,
                  std::string* errorMessage);
// The same from two streams at their start, which may be pipes (read only as far as their data
// arrive); "Failed to open data files." is the caller's to report.
bool LoadImageSet(std::istream& imageFile, std::istream& labelFile, ImageSet* set, std::string* errorMessage);
