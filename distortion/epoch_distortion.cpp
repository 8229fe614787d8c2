// Random warps of one epoch (see epoch_distortion.h).
#include "distortion/epoch_distortion.h"

#include "distortion/split_mix.h"

namespace {

// Streams of the fields and of the images are kept apart by the top bit of their index.
constexpr uint64_t kFieldStreams = uint64_t{1} << 63;

}  // namespace

EpochDistortion::EpochDistortion(const DistortionParameters& parameters, uint32_t side, uint64_t seed)
    : parameters_(parameters), side_(side), seed_(seed) {
  if (parameters.kind == DistortionKind::Elastic)
    fields_.assign(kFieldCount, DisplacementField(kFieldPeriod));
}

void EpochDistortion::DrawField(size_t index) {
  fields_[index].DrawSmoothed(parameters_.sigma, StreamSeed(seed_, kFieldStreams | index));
}

ImageWarp EpochDistortion::WarpOf(uint64_t imageIndex) const {
  if (parameters_.kind == DistortionKind::None) return ImageWarp();
  SplitMix random(StreamSeed(seed_, imageIndex & ~kFieldStreams));
  const double rotate = random.Symmetric(parameters_.rotate);
  const double shear = random.Symmetric(parameters_.shear);
  const double scaleX = 1.0 + random.Symmetric(parameters_.scale / 100.0);
  const double scaleY = 1.0 + random.Symmetric(parameters_.scale / 100.0);
  ImageWarp warp = AffineWarp(rotate, shear, scaleX, scaleY);
  if (!fields_.empty()) {
    warp.field = &fields_[random.Below(static_cast<uint32_t>(fields_.size()))];
    warp.alpha = parameters_.alpha;
    warp.offsetX = random.Below(kFieldPeriod);
    warp.offsetY = random.Below(kFieldPeriod);
  }
  return warp;
}

void EpochDistortion::Distort(std::span<const double> source, uint64_t imageIndex,
                              std::span<double> output) const {
  WarpImage(source, side_, WarpOf(imageIndex), output);
}

void DistortSamples(const ImageSet& source, const EpochDistortion& distortion, ImageSet& distorted,
                    size_t first, size_t end) {
  for (size_t i = first; i < end; ++i) distortion.Distort(source[i].pixels, i, distorted.PixelsToRedraw(i));
}
