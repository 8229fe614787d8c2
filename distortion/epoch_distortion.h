// The distortions of one epoch's training images. Each image index gets a warp drawn from the
// epoch's seed and the index alone, so a distorted set is the same whatever the order in which,
// or the thread on which, its images are made. Elastic distortions take their displacements
// from a bank of smoothed periodic fields drawn once per epoch (each image a random window of
// a random field): smoothing a field per image would cost more than the epoch's training.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "distortion/displacement_field.h"
#include "distortion/distortion_parameters.h"
#include "distortion/image_warp.h"
#include "mnist/image_set.h"

class EpochDistortion {
 public:
  // Fields per epoch and their period in pixels: 64 fields of 64 x 64 hold about 4,000
  // windows whose displacements are unrelated at sigma 4 (a field correlates over about
  // 2 sigma), and drawing them costs about 1 % of an epoch.
  static constexpr size_t kFieldCount = 64;
  static constexpr uint32_t kFieldPeriod = 64;

  // Images of side x side pixels. The fields are allocated, not drawn: call DrawField for
  // every index below FieldCount() before the first Distort.
  EpochDistortion(const DistortionParameters& parameters, uint32_t side, uint64_t seed);

  size_t FieldCount() const { return fields_.size(); }  // 0 unless elastic
  // Draws field `index`; the fields are independent, so different threads may draw different ones.
  void DrawField(size_t index);

  // The warp of image `imageIndex` (it points into this object's fields).
  ImageWarp WarpOf(uint64_t imageIndex) const;
  // output = the distorted source (side x side values each).
  void Distort(std::span<const double> source, uint64_t imageIndex, std::span<double> output) const;

 private:
  DistortionParameters parameters_;
  uint32_t side_;
  uint64_t seed_;
  std::vector<DisplacementField> fields_;
};

// For i in [first, end): the pixels of distorted[i] become the distortion of source[i] as image
// index i. The two sets hold the same number of samples, each of side x side pixels.
void DistortSamples(const ImageSet& source, const EpochDistortion& distortion, ImageSet& distorted,
                    size_t first, size_t end);
