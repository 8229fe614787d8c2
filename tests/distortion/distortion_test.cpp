// The distortions of training images: where pixels land, the range of the values, the
// repeatability of a seed, and the parameter texts.
#include "distortion/epoch_distortion.h"
#include "test_support.h"

namespace {

constexpr uint32_t kSide = 28;

// A black image with one white pixel at (x, y).
Vector Dot(uint32_t x, uint32_t y) {
  Vector image(kSide * kSide, 0.0);
  image[y * kSide + x] = 1.0;
  return image;
}

Vector Warped(const Vector& source, const ImageWarp& warp) {
  Vector output(source.size(), -1.0);
  WarpImage(source, kSide, warp, output);
  return output;
}

EpochDistortion Drawn(const char* text, uint64_t seed) {
  EpochDistortion distortion(*ParseDistortion(text), kSide, seed);
  for (size_t f = 0; f < distortion.FieldCount(); ++f) distortion.DrawField(f);
  return distortion;
}

}  // namespace

TEST(Distortion, IdentityParametersGiveTheImageBackExactly) {
  const ImageSet images = RandomSamples(5, kSide * kSide, 10, 4);
  for (const char* text :
       {"none", "affine:rotate=0,scale=0,shear=0", "elastic:alpha=0,rotate=0,scale=0,shear=0"}) {
    const EpochDistortion distortion = Drawn(text, 9);
    for (size_t i = 0; i < images.size(); ++i) {
      Vector output(kSide * kSide);
      distortion.Distort(images[i].pixels, i, output);
      EXPECT_TRUE(std::equal(output.begin(), output.end(), images[i].pixels.begin())) << text;
    }
  }
}

TEST(Distortion, ARotationAndAShiftMoveAPixelWhereGeometrySays) {
  // Output (x, y) reads the source at centre + R(90) ((x, y) - centre) = (27 - y, x): the dot
  // at (20, 5) shows at (5, 7).
  const Vector turned = Warped(Dot(20, 5), AffineWarp(90.0, 0.0, 1.0, 1.0));
  for (uint32_t p = 0; p < turned.size(); ++p)
    EXPECT_NEAR(turned[p], p == 7 * kSide + 5 ? 1.0 : 0.0, 1e-12) << p;

  // A field of one pixel to the right everywhere, times 2.5: output x reads source x + 2.5, so
  // the dot at (20, 5) is shared half and half by (17, 5) and (18, 5).
  DisplacementField right(EpochDistortion::kFieldPeriod);
  for (uint32_t y = 0; y < right.Period(); ++y)
    for (uint32_t x = 0; x < right.Period(); ++x) right.Set(x, y, 1.0f, 0.0f);
  ImageWarp shift;
  shift.field = &right;
  shift.alpha = 2.5;
  shift.offsetX = 50;  // a window that wraps round the field's edge
  const Vector shifted = Warped(Dot(20, 5), shift);
  for (uint32_t p = 0; p < shifted.size(); ++p)
    EXPECT_EQ(shifted[p], p == 5 * kSide + 17 || p == 5 * kSide + 18 ? 0.5 : 0.0) << p;
  // Far outside the image everything is background.
  shift.alpha = 1000.0;
  const Vector gone = Warped(Dot(20, 5), shift);
  EXPECT_EQ(*std::max_element(gone.begin(), gone.end()), 0.0);
}

TEST(Distortion, ValuesStayInTheUnitRangeAndASeedGivesTheSameImagesInAnyOrder) {
  const ImageSet images = RandomSamples(40, kSide * kSide, 10, 5);
  const EpochDistortion distortion = Drawn("elastic:alpha=60,sigma=3,rotate=30,scale=30,shear=30", 11);
  const EpochDistortion again = Drawn("elastic:alpha=60,sigma=3,rotate=30,scale=30,shear=30", 11);
  const EpochDistortion other = Drawn("elastic:alpha=60,sigma=3,rotate=30,scale=30,shear=30", 12);
  for (size_t i = images.size(); i-- > 0;) {
    Vector first(kSide * kSide), second(kSide * kSide), third(kSide * kSide);
    distortion.Distort(images[i].pixels, i, first);
    again.Distort(images[i].pixels, i, second);
    other.Distort(images[i].pixels, i, third);
    EXPECT_EQ(first, second);
    EXPECT_NE(first, third);
    EXPECT_FALSE(std::equal(first.begin(), first.end(), images[i].pixels.begin()));
    for (const double value : first) ASSERT_TRUE(value >= 0.0 && value <= 1.0) << value;
  }
}

TEST(Distortion, TheTextOfParametersReadsBackAsThem) {
  for (const char* text : {"none", "affine:rotate=7.5,scale=20,shear=0",
                           "elastic:alpha=36.125,sigma=5.5,rotate=15,scale=15,shear=15"})
    EXPECT_EQ(DistortionText(*ParseDistortion(text)), text);
  EXPECT_EQ(DistortionText(*ParseDistortion("elastic")),
            "elastic:alpha=34,sigma=4,rotate=10,scale=10,shear=10");
  EXPECT_EQ(DistortionText(*ParseDistortion("elastic:sigma=0.1")),
            "elastic:alpha=34,sigma=0.1,rotate=10,scale=10,shear=10");
}
