// The network file is the only result of hours of training, so whatever fails during a save (a
// full disk, stood in for by a file-size limit in a child; the process killed), the file on disk
// is the old one or a complete new one.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "test_support.h"

namespace {

TEST(SaveFaults, FullDiskReportsItsStageAndKeepsThePreviousFileByteForByte) {
  // 160,000 bytes of weights and 1,600 of biases: far more than a stream buffer, so a write
  // that fails part-way shows in the region that was being written.
  const NeuralNetwork network = NeuralNetwork::WithLayers({100, 100, 100}, 0.5, 1.0);
  const std::string record = RecordOf(network);
  const Bytes previous{'o', 'l', 'd', 0, 1, 2};
  const std::pair<rlim_t, std::string> cases[] = {
      {0, "Failed to write layer weights to disk."},
      {100'000, "Failed to write layer weights to disk."},
      {record.size() - 1, "Failed to write layer biases to disk."},  // only the final flush fails
      {record.size(), ""}};
  for (const auto& [limit, expected] : cases) {
    TemporaryFolder folder;
    const std::string path = folder.Path("net");
    WriteFile(path, previous);
    std::string message;  // written in the child, which prints it
    const ChildResult child =
        RunInChild([&] { return network.SaveFile(path, &message), (std::cout << message), 0; }, limit);
    EXPECT_EQ(child.output, expected) << limit;
    EXPECT_EQ(ReadFile(path), expected.empty() ? Bytes(record.begin(), record.end()) : previous) << limit;
    EXPECT_EQ(folder.EntryCount(), 1u) << limit << ": the temporary file is removed";
  }
}

// Trains in a child that saves after every epoch (no test set) and kills it at random moments:
// even runs start without a network file, odd runs replace the one the run before left. A file
// that is there must load completely.
TEST(SaveFaults, TrainingKilledWhileSavingLeavesNoPartialNetworkFile) {
  TemporaryFolder folder;
  const std::string path = folder.Path("net");
  ImageSet samples = RandomSamples(1, 64, 10, 1);
  std::mt19937 moments(20240607);
  int killedInsideSave = 0;
  for (int run = 0; run < 24; ++run) {
    for (const auto& entry : std::filesystem::directory_iterator(folder.Root()))
      if (run % 2 == 0 || entry.path() != path) std::filesystem::remove(entry.path());
    std::cout.flush();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      NeuralNetwork network = NeuralNetwork::WithLayers({64, 256, 10}, 0.5, 1.0);
      network.epochCount = 1'000'000;
      network.Train(path, samples, nullptr);
      _exit(0);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(moments() % 50'000));
    int status = 0;
    ASSERT_TRUE(kill(child, SIGKILL) == 0 && waitpid(child, &status, 0) == child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "run " << run << " ended by itself";

    const bool exists = std::filesystem::exists(path);
    killedInsideSave += folder.EntryCount() > (exists ? 1u : 0u);  // its temporary file is left
    // Not there: killed before the first save was complete.
    EXPECT_TRUE(!exists || NeuralNetwork(path).OutputSize() == 10u) << "run " << run;
  }
  if (killedInsideSave == 0) GTEST_SKIP() << "no kill landed inside a save this time: nothing was proven";
}

}  // namespace
