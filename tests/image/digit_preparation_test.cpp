#include "image/digit_preparation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>

namespace {

// A picture of paper with an ink rectangle, and of a "7"-like shape for shape tests.
GreyImage Picture(uint32_t width, uint32_t height, float paper, float ink, uint32_t left, uint32_t top,
                  uint32_t inkWidth, uint32_t inkHeight, bool seven = false) {
  GreyImage picture{width, height, std::vector<float>(size_t{width} * height, paper)};
  for (uint32_t y = top; y < top + inkHeight; ++y) {
    for (uint32_t x = left; x < left + inkWidth; ++x) {
      const bool stroke = !seven || y < top + inkHeight / 5 ||
                          x + (y - top) * inkWidth / inkHeight / 2 >= left + inkWidth - inkWidth / 4;
      if (stroke) picture.levels[size_t{y} * width + x] = ink;
    }
  }
  return picture;
}

Vector Prepared(const GreyImage& picture) {
  Vector pixels;
  std::string message;
  EXPECT_TRUE(PrepareDigit(picture, &pixels, &message)) << message;
  return pixels;
}

}  // namespace

TEST(DigitPreparation, InkIsCroppedScaledToTwentyAndCentredByMass) {
  const Vector pixels = Prepared(Picture(300, 200, 0.9f, 0.1f, 17, 150, 120, 40));
  ASSERT_EQ(pixels.size(), 784u);
  double mass = 0, x = 0, y = 0;
  size_t inked = 0;
  for (size_t i = 0; i < pixels.size(); ++i) {
    mass += pixels[i];
    x += pixels[i] * double(i % 28);
    y += pixels[i] * double(i / 28);
    inked += pixels[i] > 0.0;
  }
  EXPECT_EQ(inked, 20u * 7u);  // 120 x 40 keeps its aspect: 20 x 6.67, rounded to 7 rows
  EXPECT_NEAR(x / mass, 14.0, 0.5);
  EXPECT_NEAR(y / mass, 14.0, 0.5);
  // An upside-down T: its heavy bar puts the centre of mass low, so the stem runs up past the
  // field's top edge, and what fits is kept up to the first row.
  GreyImage tee = Picture(100, 100, 1.0f, 0.0f, 0, 70, 100, 30);
  for (uint32_t y = 0; y < 70; ++y) std::fill_n(&tee.levels[y * 100 + 45], 10, 0.0f);
  const Vector teePixels = Prepared(tee);
  EXPECT_GT(*std::max_element(teePixels.begin(), teePixels.begin() + 28), 0.5);
}

TEST(DigitPreparation, NeitherColoursNorSizeNorPlaceNorShadingMatter) {
  const Vector reference = Prepared(Picture(100, 100, 1.0f, 0.0f, 10, 10, 50, 80, true));
  std::vector<GreyImage> variants{Picture(400, 300, 0.1f, 0.8f, 200, 20, 150, 240, true),  // light on dark
                                  Picture(60, 90, 0.7f, 0.2f, 5, 5, 50, 80, true)};        // grey, tight
  GreyImage shaded = Picture(300, 300, 0.95f, 0.05f, 100, 50, 100, 160, true);
  for (uint32_t i = 0; i < shaded.levels.size(); ++i) {
    if (shaded.levels[i] > 0.5f) shaded.levels[i] -= 0.25f * float(i % 300) / 300.0f;  // light from the left
  }
  variants.push_back(shaded);
  // A photo's corner in shadow (the light falls to 40% there, on paper and ink alike) and a
  // speck of dirt in the opposite corner: neither is ink.
  GreyImage cornered = Picture(300, 300, 0.95f, 0.05f, 100, 50, 100, 160, true);
  for (uint32_t i = 0; i < cornered.levels.size(); ++i)
    cornered.levels[i] *= 0.4f + 0.6f * std::min(1.0f, float(i % 300 + i / 300) / 200.0f);
  cornered.levels[298 * 300 + 298] = 0.0f;
  variants.push_back(cornered);
  // Nor which edge of the picture the ink touches: the seven against the right and bottom edges,
  // and turned half round against the left and top, keep the same ink.
  GreyImage edged = Picture(60, 90, 1.0f, 0.0f, 10, 10, 50, 80, true), turned = edged;
  std::reverse(turned.levels.begin(), turned.levels.end());
  const Vector edgedPixels = Prepared(edged), turnedPixels = Prepared(turned);
  EXPECT_NEAR(std::accumulate(edgedPixels.begin(), edgedPixels.end(), 0.0),
              std::accumulate(turnedPixels.begin(), turnedPixels.end(), 0.0), 0.1);
  for (const GreyImage& variant : variants) {
    const Vector pixels = Prepared(variant);
    double difference = 0;
    for (size_t i = 0; i < pixels.size(); ++i) difference += std::fabs(pixels[i] - reference[i]);
    EXPECT_LT(difference, 10.0) << variant.width << " x " << variant.height;  // of 784 pixels
  }
}

TEST(DigitPreparation, BlankAndDegeneratePictures) {
  Vector pixels;
  std::string message;
  for (const GreyImage& blank :
       {Picture(50, 50, 0.8f, 0.75f, 10, 10, 5, 5), Picture(1, 1, 0.0f, 1.0f, 0, 0, 0, 0)}) {
    EXPECT_FALSE(PrepareDigit(blank, &pixels, &message));
    EXPECT_EQ(message, "no ink found (the picture is blank or has too little contrast)");
  }
  // A 1 x 5000 line becomes a line of 20 pixels drawn with MNIST's pen, 2 pixels wide (a thin
  // stroke is widened before it is scaled, not left to fade into grey); a lone dot, whose longer
  // side is 1 pixel, the whole 20 x 20 box.
  for (const GreyImage& thin :
       {Picture(5000, 1, 1.0f, 0.0f, 1000, 0, 2000, 1), Picture(1, 5000, 1.0f, 0.0f, 0, 9, 1, 2000),
        Picture(9, 9, 1.0f, 0.0f, 4, 4, 1, 1)}) {
    const Vector prepared = Prepared(thin);
    double mass = 0;
    for (double value : prepared) mass += value;
    EXPECT_NEAR(mass, thin.width == 9 ? 400.0 : 40.0, 0.5);
  }
}
