// The real mnist-mlp on a full disk: no file may grow past a limit while --combine and --train
// save. The failed save must be reported, the exit status must say so, and the file that was
// there before must stay byte for byte.
#include <gtest/gtest.h>

#include "test_support.h"

namespace {

TEST(SaveFaults, SavesOnAFullDiskAreReportedAndKeepTheOldFile) {
  TemporaryFolder folder;
  WriteDigitFiles(folder.Path("train-images.idx3-ubyte"), folder.Path("train-labels.idx1-ubyte"), 20);
  WriteDigitFiles(folder.Path("t10k-images.idx3-ubyte"), folder.Path("t10k-labels.idx1-ubyte"), 10);
  // 88,926 bytes, listed twice below.
  std::ofstream(folder.Path("a.net"), std::ios::binary)
      << RecordOf(NeuralNetwork::WithLayers({100, 100, 10}, 0.5, 1.0));
  const Bytes previous{0x42, 0x42, 1, 0, 0, 0, 9, 9};
  WriteFile(folder.Path("e.ens"), previous);
  WriteFile(folder.Path("t.net"), previous);
  const size_t entries = folder.EntryCount();

  const ChildResult combine = RunProgram(folder, {"--combine", "e.ens", "a.net", "a.net"}, {}, 50'000);
  EXPECT_EQ(combine.output, "Failed to write layer weights to disk.\n");
  EXPECT_EQ(combine.exitCode, 1);
  // The 784-500-300-200-100-10 record takes 4,992,938 bytes.
  const ChildResult train = RunProgram(folder, {"--train", "t.net"}, {{"MNIST_MLP_EPOCHS", "1"}}, 1'000'000);
  EXPECT_PRED_FORMAT2(testing::IsSubstring, ".\nFailed to write layer weights to disk.\n\nTraining took ",
                      train.output);
  EXPECT_EQ(train.exitCode, 1);

  EXPECT_EQ(ReadFile(folder.Path("e.ens")), previous);
  EXPECT_EQ(ReadFile(folder.Path("t.net")), previous);
  EXPECT_EQ(folder.EntryCount(), entries) << "no temporary file is left behind";
}

}  // namespace
