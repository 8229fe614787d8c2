#include "image/image_file.h"

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
  const Bytes grey{0, 51, 255, 102};
  EXPECT_EQ(Decoded(EncodePng(2, 2, 1, grey)).levels, (std::vector<float>{0.0f, 0.2f, 1.0f, 0.4f}));
  EXPECT_EQ(Decoded({'P', '5', ' ', '2', ' ', '1', ' ', '2', '5', '5', '\n', 51, 255}).levels,
            (std::vector<float>{0.2f, 1.0f}));
  // 16 bits, which stb does not write: a 2 x 1 PNG of grey 0x33ff and 0xff00 in a stored deflate
  // block. The high byte counts.
  const Bytes deep{0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44,
                   0x52, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x10, 0x00, 0x00, 0x00, 0x00, 0x81,
                   0xd9, 0xfc, 0x15, 0x00, 0x00, 0x00, 0x10, 0x49, 0x44, 0x41, 0x54, 0x78, 0x01, 0x01, 0x05,
                   0x00, 0xfa, 0xff, 0x00, 0x33, 0xff, 0xff, 0x00, 0x05, 0xcc, 0x02, 0x32, 0x3d, 0x8e, 0x7e,
                   0x33, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};
  EXPECT_EQ(Decoded(deep).levels, (std::vector<float>{0.2f, 1.0f}));
  // Grey and alpha: transparency shows white paper.
  Bytes greyAlpha, bmp, jpeg;
  const Bytes greyAlphaPixels{0, 255, 0, 0, 0, 128};
  stbi_write_png_to_func(AppendBytes, &greyAlpha, 3, 1, 2, greyAlphaPixels.data(), 6);
  EXPECT_EQ(Decoded(greyAlpha).levels, (std::vector<float>{0.0f, 1.0f, 1.0f - 128 / 255.0f}));
  stbi_write_bmp_to_func(AppendBytes, &bmp, 2, 2, 1, grey.data());
  stbi_write_jpg_to_func(AppendBytes, &jpeg, 2, 2, 1, grey.data(), 100);
  EXPECT_EQ(Decoded(bmp).levels, (std::vector<float>{0.0f, 0.2f, 1.0f, 0.4f}));
  const GreyImage fromJpeg = Decoded(jpeg);
  ASSERT_EQ(fromJpeg.levels.size(), 4u);
  for (size_t i = 0; i < 4; ++i) EXPECT_NEAR(fromJpeg.levels[i], grey[i] / 255.0f, 0.1f);
}

TEST(ImageFile, RefusesForeignDamagedAndHugeFilesBeforeDecoding) {
  std::string message;
  Decoded(Bytes{'h', 'e', 'l', 'l', 'o'}, &message);
  EXPECT_EQ(message, "not a PNG, JPEG, PGM or BMP image");
  const Bytes png = EncodePng(4, 4, 1, Bytes(16, 7));
  for (size_t length : {size_t{8}, size_t{20}, png.size() / 2, png.size() - 12}) {
    Decoded(Bytes(png.begin(), png.begin() + static_cast<long>(length)), &message);
    EXPECT_EQ(message.rfind("a damaged or cut-short PNG file (", 0), 0u) << length << ": " << message;
  }
  Decoded(png, &message, 15);
  EXPECT_EQ(message, "4 x 4 pixels, more than the 15 accepted");
  Bytes jpeg{0xff, 0xd8, 0xff, 0xc4, 0x00, 0x13, 0x00};  // a table of 16 x 17 codes
  jpeg.insert(jpeg.end(), 16, 17);
  const std::string pgm = "P5\n# 12345678\n9999999 1\n255\n";
  const std::pair<Bytes, std::string> refused[] = {
      {jpeg, "a damaged or cut-short JPEG file (a Huffman table with more than 256 codes)"},
      {Bytes(pgm.begin(), pgm.end()),
       "a damaged or cut-short PGM file (a header number of more than 6 digits)"},
      {PngHeader(100000, 3, 8, 0), "100000 x 3 pixels, more than the 65536 accepted on a side"},
      {PngHeader(3, 65537, 8, 0), "3 x 65537 pixels, more than the 65536 accepted on a side"},
      {PngHeader(8192, 8193, 8, 0), "8192 x 8193 pixels, more than the 67108864 accepted"},
      {PngHeader(5793, 5793, 16, 6),
       "5793 x 5793 pixels of 4 channels at 16 bits need 257 MiB to decode, more than the 256 MiB accepted"},
  };
  uint64_t pixelCount = 1;
  for (const auto& [file, expected] : refused) {
    Decoded(file, &message);
    EXPECT_EQ(message, expected);
    // Sizes are refused from the header alone; a header cut short does not tell.
    if (expected.find("pixels") == std::string::npos) continue;
    EXPECT_FALSE(CheckImageHeader(file.data(), file.size(), &pixelCount, &message));
    EXPECT_EQ(message, expected);
    EXPECT_TRUE(CheckImageHeader(file.data(), 20, &pixelCount, &message));
    EXPECT_EQ(pixelCount, 0u);
  }
  const Bytes fits = PngHeader(5792, 5792, 16, 6);
  EXPECT_TRUE(CheckImageHeader(fits.data(), fits.size(), &pixelCount, &message));
  EXPECT_EQ(pixelCount, 5792u * 5792u);
  EXPECT_EQ(MaxImageFileBytes(pixelCount), pixelCount * 8 + 1048576);
}
