#include "image/image_file.h"

#include <gtest/gtest.h>
#include <stb/stb_image_write.h>

#include "test_support.h"

namespace {

// A PNG file of the given bit depth and colour type (0 grey, 4 grey and alpha, ...) holding
// `samples`: the rows' bytes without their filter bytes, in one stored deflate block (so at
// most 65,535 bytes). Built by hand because stb writes neither 16-bit nor grey-and-alpha files.
Bytes PngFile(uint32_t width, uint32_t height, unsigned char bitDepth, unsigned char colourType,
              const Bytes& samples) {
  Bytes file{0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  const auto chunk = [&](const char* type, const Bytes& data) {
    AppendBigEndian32(file, static_cast<uint32_t>(data.size()));
    Bytes body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    file.insert(file.end(), body.begin(), body.end());
    uint32_t crc = 0xffffffffu;
    for (unsigned char byte : body) {
      crc ^= byte;
      for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    AppendBigEndian32(file, ~crc);
  };
  Bytes header;
  AppendBigEndian32(header, width);
  AppendBigEndian32(header, height);
  header.insert(header.end(), {bitDepth, colourType, 0, 0, 0});
  chunk("IHDR", header);
  Bytes raw;
  const size_t rowBytes = samples.size() / height;
  for (size_t row = 0; row < height; ++row) {
    raw.push_back(0);  // filter: none
    raw.insert(raw.end(), samples.begin() + row * rowBytes, samples.begin() + (row + 1) * rowBytes);
  }
  const auto length = static_cast<uint16_t>(raw.size());
  Bytes zlib{0x78,
             0x01,
             1,
             static_cast<unsigned char>(length),
             static_cast<unsigned char>(length >> 8),
             static_cast<unsigned char>(~length),
             static_cast<unsigned char>(~length >> 8)};
  zlib.insert(zlib.end(), raw.begin(), raw.end());
  uint32_t a = 1, b = 0;
  for (unsigned char byte : raw) a = (a + byte) % 65521, b = (b + a) % 65521;
  AppendBigEndian32(zlib, (b << 16) | a);
  chunk("IDAT", zlib);
  chunk("IEND", {});
  return file;
}

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
  // 16 bits: the high byte counts. Grey and alpha: transparency shows white paper.
  EXPECT_EQ(Decoded(PngFile(2, 1, 16, 0, {0x33, 0xff, 0xff, 0x00})).levels, (std::vector<float>{0.2f, 1.0f}));
  const GreyImage alpha = Decoded(PngFile(3, 1, 8, 4, {0, 255, 0, 0, 0, 128}));
  EXPECT_EQ(alpha.levels[0], 0.0f);
  EXPECT_EQ(alpha.levels[1], 1.0f);
  EXPECT_NEAR(alpha.levels[2], 0.5f, 0.01f);
  Bytes pgm{'P', '5', ' ', '2', ' ', '1', ' ', '2', '5', '5', '\n', 51, 255};
  EXPECT_EQ(Decoded(pgm).levels, (std::vector<float>{0.2f, 1.0f}));
  Bytes bmp, jpeg;
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
  const Bytes png = PngFile(4, 4, 8, 0, Bytes(16, 7));
  for (size_t length : {size_t{8}, size_t{20}, png.size() / 2, png.size() - 12}) {
    Decoded(Bytes(png.begin(), png.begin() + static_cast<long>(length)), &message);
    EXPECT_EQ(message.rfind("a damaged or cut-short PNG file (", 0), 0u) << length << ": " << message;
  }
  Decoded(PngFile(4, 4, 8, 0, Bytes(16, 7)), &message, 15);
  EXPECT_EQ(message, "4 x 4 pixels, more than the 15 accepted");
}
