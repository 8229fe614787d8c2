#include "mnist/image_set.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

class ImageSetTest : public ::testing::Test {
 protected:
  TemporaryFolder folder;
  std::string images = folder.Path("images");
  std::string labels = folder.Path("labels");
  ImageSet set;
  std::string message;

  bool Load() { return LoadImageSet(images, labels, &set, &message); }
  void WriteTwoImages() {
    WriteBytes(images, ImageFileBytes(2, 1, 3, {0, 128, 255, 1, 2, 3}));
    WriteBytes(labels, LabelFileBytes({7, 0}));
  }
};

TEST_F(ImageSetTest, LoadsScaledPixelsAndOneHotTargets) {
  WriteTwoImages();
  ASSERT_TRUE(Load());
  EXPECT_TRUE(message.empty());
  ASSERT_EQ(set.size(), 2u);
  EXPECT_EQ(set[0].pixels, (Vector{0.0, 128 / 255.0, 1.0}));
  EXPECT_EQ(set[0].target, (Vector{0, 0, 0, 0, 0, 0, 0, 1, 0, 0}));
  EXPECT_EQ(set[1].pixels, (Vector{1 / 255.0, 2 / 255.0, 3 / 255.0}));
  EXPECT_EQ(set[1].target[0], 1.0);
}

TEST_F(ImageSetTest, AppendsAfterExistingSamples) {
  WriteTwoImages();
  ASSERT_TRUE(Load());
  ASSERT_TRUE(Load());
  ASSERT_EQ(set.size(), 4u);
  EXPECT_EQ(set[2].pixels, set[0].pixels);
}

TEST_F(ImageSetTest, IgnoresTrailingBytes) {
  WriteBytes(images, ImageFileBytes(1, 1, 2, {10, 20, 99, 99}));
  Bytes labelBytes = LabelFileBytes({3});
  labelBytes.push_back(4);
  WriteBytes(labels, labelBytes);
  ASSERT_TRUE(Load());
  EXPECT_EQ(set.size(), 1u);
}

struct MalformedCase {
  const char* name;
  Bytes imageBytes;
  Bytes labelBytes;
  const char* expectedMessage;
};

void PrintTo(const MalformedCase& c, std::ostream* os) { *os << c.name; }

class MalformedFiles : public ImageSetTest, public ::testing::WithParamInterface<MalformedCase> {};

TEST_P(MalformedFiles, ReportTheirMessageAndLeaveTheSetUnchanged) {
  const MalformedCase& c = GetParam();
  WriteBytes(images, c.imageBytes);
  WriteBytes(labels, c.labelBytes);
  set.push_back({{0.5}, {1.0}});
  message = "previous content";
  EXPECT_FALSE(Load());
  EXPECT_EQ(message, c.expectedMessage);
  EXPECT_EQ(set.size(), 1u);
}

Bytes Truncated(Bytes bytes, size_t length) {
  bytes.resize(length);
  return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    ImageSet, MalformedFiles,
    ::testing::Values(
        MalformedCase{"ShortImageHeader", Bytes{0, 0, 8, 3, 0, 0}, LabelFileBytes({1}),
                      "Failed to read MNIST image and/or label file headers."},
        MalformedCase{"ShortLabelHeader", ImageFileBytes(1, 1, 1, {1}), Bytes{0, 0, 8, 1},
                      "Failed to read MNIST image and/or label file headers."},
        MalformedCase{"SwappedFiles", LabelFileBytes(Bytes(8, 1)), ImageFileBytes(8, 1, 1, Bytes(8, 1)),
                      "Invalid MNIST data file(s) detected."},
        MalformedCase{"CountMismatch", ImageFileBytes(2, 1, 1, {1, 2}), LabelFileBytes({1}),
                      "Image and label count mismatch."},
        MalformedCase{"PixelsCutShort", Truncated(ImageFileBytes(2, 2, 2, Bytes(8, 1)), 20),
                      LabelFileBytes({1, 2}), "Failed to read image data from disk."},
        MalformedCase{"LabelsCutShort", ImageFileBytes(2, 1, 1, {1, 2}), Truncated(LabelFileBytes({1, 2}), 9),
                      "Failed to read label data from disk."},
        MalformedCase{"LabelOutOfRange", ImageFileBytes(2, 1, 1, {1, 2}), LabelFileBytes({3, 10}),
                      "MNIST label file holds a label outside 0 to 9."},
        MalformedCase{"ImagesWithoutPixels", ImageFileBytes(2, 0, 28, {}), LabelFileBytes({1, 2}),
                      "MNIST image file declares images without pixels."},
        // 65536 x 65536 x 65536 overflows 32 bits and 48 bits alike; the file holds 1 byte.
        MalformedCase{"HugeDeclaredSize", ImageFileBytes(65536, 65536, 65536, {1}),
                      LabelFileBytes(Bytes(65536, 1)), "Failed to read image data from disk."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ImageSetTest, MissingLabelFileFailsToOpen) {
  WriteBytes(images, ImageFileBytes(1, 1, 1, {1}));
  EXPECT_FALSE(Load());
  EXPECT_EQ(message, "Failed to open data files.");
}

TEST_F(ImageSetTest, EmptyNamesOrNoSetAreInvalidInputs) {
  EXPECT_FALSE(LoadImageSet("", labels, &set, &message));
  EXPECT_EQ(message, "Invalid inputs to LoadImageSet.");
  message.clear();
  EXPECT_FALSE(LoadImageSet(images, labels, nullptr, &message));
  EXPECT_EQ(message, "Invalid inputs to LoadImageSet.");
  EXPECT_FALSE(LoadImageSet(images, "", &set, nullptr));  // no message string: silent
}

TEST_F(ImageSetTest, ZeroImagesLoadAsAnEmptySet) {
  WriteBytes(images, ImageFileBytes(0, 28, 28, {}));
  WriteBytes(labels, LabelFileBytes({}));
  EXPECT_TRUE(Load());
  EXPECT_TRUE(set.empty());
  EXPECT_TRUE(message.empty());
}

TEST_F(ImageSetTest, EveryTruncationOfAValidPairFailsCleanly) {
  const Bytes fullImages = ImageFileBytes(2, 2, 2, {1, 2, 3, 4, 5, 6, 7, 8});
  const Bytes fullLabels = LabelFileBytes({1, 2});
  WriteBytes(labels, fullLabels);
  for (size_t length = 0; length < fullImages.size(); ++length) {
    WriteBytes(images, Truncated(fullImages, length));
    message.clear();
    EXPECT_FALSE(Load()) << length;
    EXPECT_EQ(message, length < 16 ? "Failed to read MNIST image and/or label file headers."
                                   : "Failed to read image data from disk.")
        << length;
  }
  WriteBytes(images, fullImages);
  for (size_t length = 0; length < fullLabels.size(); ++length) {
    WriteBytes(labels, Truncated(fullLabels, length));
    message.clear();
    EXPECT_FALSE(Load()) << length;
    EXPECT_EQ(message, length < 8 ? "Failed to read MNIST image and/or label file headers."
                                  : "Failed to read label data from disk.")
        << length;
  }
  EXPECT_TRUE(set.empty());
}

}  // namespace
