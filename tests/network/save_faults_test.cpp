// Saving a network when the disk fails: a write that fails part-way (a file-size limit in a
// child process stands in for a full disk), a folder that does not exist, and a training run
// killed at random moments while it saves. The saved file is the only result of hours of
// training, so it must always be either the old file or a complete new one.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <random>
#include <thread>

#include "network/neural_network.h"
#include "network/random.h"
#include "test_support.h"

namespace {

size_t EntryCount(const TemporaryFolder& folder) {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(folder.Root()), {}));
}

// 160,000 bytes of weights and 1,600 of biases: far more than a stream buffer, so a write
// that fails part-way shows in the region of the record that was being written.
NeuralNetwork HundredWideNetwork() {
  ResetRandomSeeds(3);
  return NeuralNetwork::WithLayers({100, 100, 100}, 0.5, 1.0);
}
constexpr rlim_t kHundredWideRecordSize = 34 + 3 * 4 + 8 * 20000 + 8 * 200;

struct FullDiskCase {
  rlim_t fileSizeLimit;
  const char* expectedMessage;
};

class FullDisk : public ::testing::TestWithParam<FullDiskCase> {};

TEST_P(FullDisk, FailedSaveReportsItsStageAndKeepsThePreviousFileByteForByte) {
  TemporaryFolder folder;
  const std::string path = folder.Path("net");
  const Bytes previous{'o', 'l', 'd', 0, 1, 2};
  WriteBytes(path, previous);
  const NeuralNetwork network = HundredWideNetwork();

  const ChildResult child = RunInChild(
      [&] {
        std::string message;
        network.SaveFile(path, &message);
        std::cout << message;
        return message.empty() ? 0 : 1;
      },
      GetParam().fileSizeLimit);

  EXPECT_EQ(child.exitCode, 1);
  EXPECT_EQ(child.output, GetParam().expectedMessage);
  EXPECT_EQ(ReadBytes(path), previous);
  EXPECT_EQ(EntryCount(folder), 1u) << "the temporary file is removed";
}

INSTANTIATE_TEST_SUITE_P(NetworkFile, FullDisk,
                         ::testing::Values(FullDiskCase{0, "Failed to write layer weights to disk."},
                                           FullDiskCase{100'000, "Failed to write layer weights to disk."},
                                           // Only the last byte does not fit: the final flush fails.
                                           FullDiskCase{kHundredWideRecordSize - 1,
                                                        "Failed to write layer biases to disk."}),
                         [](const auto& info) { return "Limit" + std::to_string(info.param.fileSizeLimit); });

TEST(SaveFaults, SaveThatJustFitsTheLimitSucceeds) {
  TemporaryFolder folder;
  const std::string path = folder.Path("net");
  const NeuralNetwork network = HundredWideNetwork();
  const ChildResult child = RunInChild(
      [&] {
        std::string message;
        network.SaveFile(path, &message);
        std::cout << message;
        return message.empty() ? 0 : 1;
      },
      kHundredWideRecordSize);
  EXPECT_EQ(child.exitCode, 0) << child.output;
  EXPECT_EQ(ReadBytes(path).size(), kHundredWideRecordSize);
}

TEST(SaveFaults, SaveIntoAMissingFolderReportsTheHeaderMessageAndCreatesNothing) {
  TemporaryFolder folder;
  std::string message;
  HundredWideNetwork().SaveFile(folder.Path("missing/net"), &message);
  EXPECT_EQ(message, "Failed to write neural network header to disk.");
  EXPECT_EQ(EntryCount(folder), 0u);
}

// Trains in a child that saves after every epoch (no test set) and kills it at a random
// moment, again and again: even runs start without a network file, odd runs replace the one
// the run before left. Each kill must leave the network file absent (killed before the first
// save finished) or complete and loadable; a temporary file left beside it shows that the
// kill landed inside a save.
TEST(SaveFaults, TrainingKilledWhileSavingLeavesNoPartialNetworkFile) {
  TemporaryFolder folder;
  const std::string path = folder.Path("net");
  const std::vector<uint32_t> layerSizes{64, 256, 10};
  const size_t recordSize = 34 + 3 * 4 + 8 * (64 * 256 + 256 * 10) + 8 * (256 + 10);
  ImageSet samples{{Vector(64, 0.5), Vector{0, 0, 0, 1, 0, 0, 0, 0, 0, 0}}};

  std::mt19937 moments(20240607);
  std::uniform_int_distribution<int> delayMicroseconds(0, 50'000);
  int absent = 0, complete = 0, killedInsideSave = 0;
  constexpr int kKills = 24;
  for (int run = 0; run < kKills; ++run) {
    for (const auto& entry : std::filesystem::directory_iterator(folder.Root())) {
      if (run % 2 == 0 || entry.path() != path) std::filesystem::remove(entry.path());
    }
    std::cout.flush();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ResetRandomSeeds(static_cast<uint32_t>(run));
      NeuralNetwork network = NeuralNetwork::WithLayers(layerSizes, 0.5, 1.0);
      network.epochCount = 1'000'000;
      network.Train(path, samples, nullptr);
      _exit(0);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(delayMicroseconds(moments)));
    ASSERT_EQ(kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "run " << run << " ended before the kill";

    killedInsideSave += EntryCount(folder) > (std::filesystem::exists(path) ? 1u : 0u);
    if (!std::filesystem::exists(path)) {
      ++absent;
      continue;
    }
    ++complete;
    EXPECT_EQ(std::filesystem::file_size(path), recordSize) << "run " << run;
    NeuralNetwork loaded;
    std::string message;
    loaded.LoadFile(path, &message);
    EXPECT_EQ(message, "") << "run " << run;
    EXPECT_EQ(loaded.InputSize(), 64u);
    EXPECT_EQ(loaded.OutputSize(), 10u);
  }
  std::cout << kKills << " kills: " << absent << " left no file, " << complete << " a complete network; "
            << killedInsideSave << " landed inside a save\n";
  EXPECT_EQ(absent + complete, kKills);
  EXPECT_GT(killedInsideSave, 0) << "no kill hit a save: the test proves nothing";
}

}  // namespace
