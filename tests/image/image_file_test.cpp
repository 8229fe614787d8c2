#include "image/image_file.h"

#include <gtest/gtest.h>
#include <stb/stb_image_write.h>

#include "test_support.h"

namespace {

GreyImage Decoded(const Bytes& file, std::string* message = nullptr, uint64_t maxPixels = kMaxImagePixels) {
  GreyImage image;
  std::string ignored;
  EXPECT_EQ(DecodeImage(file.data(), file.size(), &image, message ? message : &ignored, maxPixels), !message);
  return image;
}

}  // namespace

TEST(ImageFile, DecodesEveryAcceptedKindToGreyLevels) {
  const std::vector<unsigned char> grey{0, 51, 255, 102};
  const std::vector<unsigned char> png = EncodePng(2, 2, 1, grey);
  EXPECT_EQ(Decoded(Bytes(png.begin(), png.end())).levels, (std::vector<float>{0.0f, 0.2f, 1.0f, 0.4f}));
  // 16 bits: the high byte counts. Grey and alpha: transparency shows white paper.
  EXPECT_EQ(Decoded(PngFile(2, 1, 16, 0, {0x33, 0xff, 0xff, 0x00})).levels, (std::vector<float>{0.2f, 1.0f}));
  const GreyImage alpha = Decoded(PngFile(3, 1, 8, 4, {0, 255, 0, 0, 0, 128}));
  EXPECT_EQ(alpha.levels[0], 0.0f);
  EXPECT_EQ(alpha.levels[1], 1.0f);
  EXPECT_NEAR(alpha.levels[2], 0.5f, 0.01f);
  Bytes pgm{'P', '5', ' ', '2', ' ', '1', ' ', '2', '5', '5', '\n', 51, 255};
  EXPECT_EQ(Decoded(pgm).levels, (std::vector<float>{0.2f, 1.0f}));
  Bytes bmp, jpeg;
  const auto append = [](void* to, void* data, int size) {
    static_cast<Bytes*>(to)->insert(static_cast<Bytes*>(to)->end(), static_cast<unsigned char*>(data),
                                    static_cast<unsigned char*>(data) + size);
  };
  stbi_write_bmp_to_func(append, &bmp, 2, 2, 1, grey.data());
  stbi_write_jpg_to_func(append, &jpeg, 2, 2, 1, grey.data(), 100);
  EXPECT_EQ(Decoded(bmp).levels, (std::vector<float>{0.0f, 0.2f, 1.0f, 0.4f}));
  const GreyImage fromJpeg = Decoded(jpeg);
  ASSERT_EQ(fromJpeg.levels.size(), 4u);
  for (size_t i = 0; i < 4; ++i) EXPECT_NEAR(fromJpeg.levels[i], grey[i] / 255.0f, 0.1f);
}

TEST(ImageFile, RefusesForeignDamagedAndHugeFilesBeforeDecoding) {
  std::string message;
  Decoded(Bytes{'h', 'e', 'l', 'l', 'o'}, &message);
  EXPECT_EQ(message, "not a PNG, JPEG, PGM or BMP image");
  const Bytes png = PngFile(4, 4, 8, 0, Bytes(16, 7));
  for (size_t length : {size_t{8}, size_t{20}, png.size() / 2, png.size() - 12}) {
    Decoded(Bytes(png.begin(), png.begin() + static_cast<long>(length)), &message);
    EXPECT_EQ(message.rfind("a damaged or cut-short PNG file (", 0), 0u) << length << ": " << message;
  }
  Decoded(PngFile(4, 4, 8, 0, Bytes(16, 7)), &message, 15);
  EXPECT_EQ(message, "4 x 4 pixels, more than the 15 accepted");
}
