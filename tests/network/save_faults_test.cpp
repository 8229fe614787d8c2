// The network file is the only result of hours of training, so whatever fails during a save (a
// full disk, stood in for by a file-size limit in a child), the file on disk is the old one or a
// complete new one. Training's own saves are checked so on the real binary (tests/app), and the
// atomic replacement that makes a killed save harmless in tests/io.
#include "test_support.h"

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
