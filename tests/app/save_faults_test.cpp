// The real mnist-mlp binary on a full disk: a child process whose files may not grow past a
// limit runs --combine and --train. The failed save must be reported, the exit status must
// say so, and the file that was there before must stay byte for byte.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "network/neural_network.h"
#include "network/random.h"
#include "test_support.h"

namespace {

ChildResult RunProgram(const TemporaryFolder& folder, std::vector<std::string> arguments,
                       rlim_t fileSizeLimit) {
  return RunInChild(
      [&] {
        arguments.insert(arguments.begin(), "mnist-mlp");
        std::vector<char*> argv;
        for (std::string& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        setenv("MNIST_MLP_EPOCHS", "1", 1);
        setenv("MNIST_MLP_SEED", "5", 1);
        if (chdir(folder.Root().c_str()) == 0) execv(MNIST_MLP_BINARY, argv.data());
        return 127;
      },
      fileSizeLimit);
}

size_t EntryCount(const TemporaryFolder& folder) {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(folder.Root()), {}));
}

// count 28 x 28 images, image i of digit i % 10 with a band of ink that depends on the digit.
void WriteImageFiles(const TemporaryFolder& folder, const std::string& imageName,
                     const std::string& labelName, uint32_t count) {
  Bytes pixels;
  Bytes labels;
  for (uint32_t i = 0; i < count; ++i) {
    labels.push_back(static_cast<unsigned char>(i % 10));
    for (uint32_t p = 0; p < 784; ++p) pixels.push_back(p / 28 * 10 / 28 == i % 10 ? 200 : 10);
  }
  WriteBytes(folder.Path(imageName), ImageFileBytes(count, 28, 28, pixels));
  WriteBytes(folder.Path(labelName), LabelFileBytes(labels));
}

TEST(CombineCommand, SaveOnAFullDiskIsReportedAndKeepsTheOldEnsembleFile) {
  TemporaryFolder folder;
  ResetRandomSeeds(2);
  for (const char* name : {"a.net", "b.net"}) {  // 88,926 bytes each
    std::string message;
    NeuralNetwork::WithLayers({100, 100, 10}, 0.5, 1.0).SaveFile(folder.Path(name), &message);
    ASSERT_EQ(message, "");
  }
  const Bytes previous{0x42, 0x42, 1, 0, 0, 0, 9, 9};
  WriteBytes(folder.Path("e.ens"), previous);

  const ChildResult child = RunProgram(folder, {"--combine", "e.ens", "a.net", "b.net"}, 50'000);
  EXPECT_EQ(child.output, "Failed to write layer weights to disk.\n");
  EXPECT_EQ(child.exitCode, 1);
  EXPECT_EQ(ReadBytes(folder.Path("e.ens")), previous);
  EXPECT_EQ(EntryCount(folder), 3u) << "the temporary file is removed";

  // The same command with room enough succeeds.
  const ChildResult roomy = RunProgram(folder, {"--combine", "e.ens", "a.net", "b.net"}, 200'000);
  EXPECT_EQ(roomy.output, "");
  EXPECT_EQ(roomy.exitCode, 0);
  EXPECT_EQ(ReadBytes(folder.Path("e.ens")).size(), 6u + 2 * 88'926);
}

TEST(TrainCommand, EpochSaveOnAFullDiskIsReportedAndKeepsTheOldNetworkFile) {
  TemporaryFolder folder;
  WriteImageFiles(folder, "train-images.idx3-ubyte", "train-labels.idx1-ubyte", 20);
  WriteImageFiles(folder, "t10k-images.idx3-ubyte", "t10k-labels.idx1-ubyte", 10);
  const Bytes previous{1, 2, 3, 4};
  WriteBytes(folder.Path("a.net"), previous);

  // The record of the 784-500-300-200-100-10 network takes 4,992,938 bytes.
  const ChildResult child = RunProgram(folder, {"--train", "a.net"}, 1'000'000);
  EXPECT_NE(child.output.find("Epoch 0 accuracy: "), std::string::npos) << child.output;
  EXPECT_NE(child.output.find(".\nFailed to write layer weights to disk.\n"), std::string::npos)
      << child.output;
  EXPECT_EQ(child.exitCode, 1);
  EXPECT_EQ(ReadBytes(folder.Path("a.net")), previous);
  EXPECT_EQ(EntryCount(folder), 5u) << "the temporary file is removed";
}

}  // namespace
