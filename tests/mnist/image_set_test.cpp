// The IDX loader: scaled pixels and one-hot targets, every refusal with its message, and a set
// that is left exactly as it was on any failure, from files and from pipes alike.
#include "mnist/image_set.h"

#include "test_support.h"

namespace {

class ImageSetTest : public ::testing::Test {
 protected:
  TemporaryFolder folder;
  std::string images = folder.Path("images");
  std::string labels = folder.Path("labels");
  ImageSet set;
  std::string message;

  // Loads the files, and the same bytes from pipes (which cannot tell their length): both
  // must give the same result, message and samples.
  bool Load(const Bytes& imageBytes, const Bytes& labelBytes) {
    WriteFile(images, imageBytes);
    WriteFile(labels, labelBytes);
    ImageSet pipeSet = set;
    std::string pipeMessage = message;
    UnseekableStream imagePipe(std::string(imageBytes.begin(), imageBytes.end()));
    UnseekableStream labelPipe(std::string(labelBytes.begin(), labelBytes.end()));
    const bool fromPipes = LoadImageSet(imagePipe, labelPipe, &pipeSet, &pipeMessage);
    const bool loaded = LoadImageSet(images, labels, &set, &message);
    EXPECT_EQ(fromPipes, loaded);
    EXPECT_EQ(pipeMessage, message);
    EXPECT_EQ(pipeSet.size(), set.size());
    return loaded;
  }
};

TEST_F(ImageSetTest, AppendsScaledPixelsAndOneHotTargetsIgnoringTrailingBytes) {
  set.push_back({{0.5}, {1.0}});
  Bytes labelBytes = LabelFileBytes({7, 0});
  labelBytes.push_back(4);
  ASSERT_TRUE(Load(ImageFileBytes(2, 1, 3, {0, 128, 255, 1, 2, 3, 99}), labelBytes));
  EXPECT_TRUE(message.empty());
  ASSERT_EQ(set.size(), 3u);
  EXPECT_EQ(ToVector(set[1].pixels), (Vector{0.0, 128 / 255.0, 1.0}));
  EXPECT_EQ(ToVector(set[1].target), (Vector{0, 0, 0, 0, 0, 0, 0, 1, 0, 0}));
  EXPECT_EQ(ToVector(set[2].pixels), (Vector{1 / 255.0, 2 / 255.0, 3 / 255.0}));
  EXPECT_EQ(set[2].target[0], 1.0);
  EXPECT_TRUE(Load(ImageFileBytes(0, 28, 28, {}), LabelFileBytes({})));  // no images: nothing added
  EXPECT_EQ(set.size(), 3u);
  EXPECT_FALSE(LoadImageSet(images, "", &set, &message));
  EXPECT_EQ(message, "Invalid inputs to LoadImageSet.");
}

TEST_F(ImageSetTest, MalformedFilesReportTheirMessageAndLeaveTheSetUnchanged) {
  const std::string headers = "Failed to read MNIST image and/or label file headers.";
  const struct {
    Bytes imageBytes, labelBytes;
    std::string expected;
  } cases[] = {
      {{0, 0, 8, 3, 0, 0}, LabelFileBytes({1}), headers},
      {ImageFileBytes(1, 1, 1, {1}), {0, 0, 8, 1}, headers},
      {LabelFileBytes(Bytes(8, 1)), ImageFileBytes(8, 1, 1, Bytes(8, 1)),
       "Invalid MNIST data file(s) detected."},
      {ImageFileBytes(2, 1, 1, {1, 2}), LabelFileBytes({1}), "Image and label count mismatch."},
      {ImageFileBytes(2, 1, 1, {1, 2}), LabelFileBytes({3, 10}),
       "MNIST label file holds a label outside 0 to 9."},
      {ImageFileBytes(2, 0, 28, {}), LabelFileBytes({1, 2}),
       "MNIST image file declares images without pixels."},
      // 65536^3 overflows 32 and 48 bits alike; the file holds one byte, so nothing is allocated.
      {ImageFileBytes(65536, 65536, 65536, {1}), LabelFileBytes(Bytes(65536, 1)),
       "Failed to read image data from disk."},
  };
  for (const auto& c : cases) {
    set = {{{0.5}, {1.0}}};
    message = "previous content";
    EXPECT_FALSE(Load(c.imageBytes, c.labelBytes));
    EXPECT_EQ(message, c.expected);
    EXPECT_EQ(set.size(), 1u) << c.expected;
  }
}

TEST_F(ImageSetTest, EveryTruncationOfAValidPairFailsWithTheStageItStopsAt) {
  const Bytes images = ImageFileBytes(2, 2, 2, {1, 2, 3, 4, 5, 6, 7, 8}), labels = LabelFileBytes({1, 2});
  for (const bool cutImages : {true, false}) {
    const Bytes& whole = cutImages ? images : labels;
    for (size_t length = 0; length < whole.size(); ++length) {
      const Bytes cut(whole.begin(), whole.begin() + long(length));
      EXPECT_FALSE(cutImages ? Load(cut, labels) : Load(images, cut));
      EXPECT_EQ(message, length < (cutImages ? 16u : 8u)
                             ? "Failed to read MNIST image and/or label file headers."
                         : cutImages ? "Failed to read image data from disk."
                                     : "Failed to read label data from disk.")
          << length;
    }
  }
  EXPECT_TRUE(set.empty());
}

}  // namespace
