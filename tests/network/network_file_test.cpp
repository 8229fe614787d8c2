#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <limits>
#include <sstream>

#include "network/neural_network.h"
#include "network/random.h"
#include "test_support.h"

namespace {

std::string Record(const NeuralNetwork& network) {
  std::ostringstream stream;
  std::string message;
  network.Save(stream, &message);
  EXPECT_EQ(message, "");
  return stream.str();
}

std::string LoadMessage(const std::string& bytes, NeuralNetwork* network = nullptr) {
  NeuralNetwork local;
  std::istringstream stream(bytes);
  std::string message;
  (network != nullptr ? *network : local).Load(stream, &message);
  return message;
}

// Layer sizes 2 and 1, weights 0.25 and -1.0, bias 2.0.
NeuralNetwork ExampleNetwork() {
  NeuralNetwork network = NeuralNetwork::WithLayers({2, 1}, 0.5, 1.0);
  network.weights[0].data = {{0.25, -1.0}};
  network.biases[0] = {2.0};
  return network;
}

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void ExpectSameParameters(const NeuralNetwork& a, const NeuralNetwork& b) {
  ASSERT_EQ(a.weights.size(), b.weights.size());
  for (size_t k = 0; k < a.weights.size(); ++k) {
    ASSERT_EQ(a.weights[k].rowCount, b.weights[k].rowCount);
    ASSERT_EQ(a.weights[k].columnCount, b.weights[k].columnCount);
    for (size_t r = 0; r < a.weights[k].rowCount; ++r) {
      for (size_t c = 0; c < a.weights[k].columnCount; ++c) {
        ASSERT_TRUE(SameBits(a.weights[k].data[r][c], b.weights[k].data[r][c]));
      }
    }
    ASSERT_EQ(a.biases[k].size(), b.biases[k].size());
    for (size_t i = 0; i < a.biases[k].size(); ++i) ASSERT_TRUE(SameBits(a.biases[k][i], b.biases[k][i]));
  }
}

TEST(NetworkRecord, ExampleMatchesItsGoldenBytes) {
  const Bytes golden{0x42, 0x42,                                                              // magic
                     0,    0,    0, 0, 0,    0,    0xE0, 0x3F,                                // 0.5
                     0,    0,    0, 0, 0,    0,    0xF0, 0x3F,                                // 1.0
                     0x0A, 0,    0, 0, 0x2C, 0x01, 0,    0,                                   // 10, 300
                     2,    0,    0, 0, 0,    0,    0,    0,                                   // two layers
                     2,    0,    0, 0, 1,    0,    0,    0,                                   // sizes 2, 1
                     0,    0,    0, 0, 0,    0,    0xD0, 0x3F, 0, 0, 0, 0, 0, 0, 0xF0, 0xBF,  // 0.25, -1
                     0,    0,    0, 0, 0,    0,    0,    0x40};                               // 2.0
  const std::string record = Record(ExampleNetwork());
  EXPECT_EQ(Bytes(record.begin(), record.end()), golden);
}

TEST(NetworkRecord, DefaultLayoutRoundTripsThroughAFile) {
  TemporaryFolder folder;
  ResetRandomSeeds(1);
  NeuralNetwork network = NeuralNetwork::WithLayers({784, 500, 300, 200, 100, 10}, 0.5, 1.0);
  std::string message;
  network.SaveFile(folder.Path("net"), &message);
  ASSERT_EQ(message, "");
  EXPECT_EQ(ReadBytes(folder.Path("net")).size(), 4992938u);

  NeuralNetwork loaded(folder.Path("net"));
  ExpectSameParameters(network, loaded);
  EXPECT_EQ(loaded.learningRate, 0.5);
  EXPECT_EQ(loaded.activations[4], Vector(10, 0.0));
  EXPECT_EQ(loaded.weightedInputs[0], Vector(500, 0.0));
}

TEST(NetworkRecord, EveryFieldAndSpecialValueRoundTripsFromMidStream) {
  NeuralNetwork network = NeuralNetwork::WithLayers({3, 2, 2}, 0.125, 0.999);
  network.batchSize = 7;
  network.epochCount = 123456;
  network.weights[0].data[0] = {std::numeric_limits<double>::quiet_NaN(), -0.0,
                                std::numeric_limits<double>::infinity()};
  network.biases[1] = {-std::numeric_limits<double>::infinity(), std::numeric_limits<double>::denorm_min()};
  std::istringstream stream("prefix" + Record(network) + "trailing");
  stream.seekg(6);
  NeuralNetwork loaded;
  std::string message;
  loaded.Load(stream, &message);
  ASSERT_EQ(message, "");
  ExpectSameParameters(network, loaded);
  EXPECT_EQ(loaded.learningRate, 0.125);
  EXPECT_EQ(loaded.weightDecayFactor, 0.999);
  EXPECT_EQ(loaded.batchSize, 7u);
  EXPECT_EQ(loaded.epochCount, 123456u);
  std::string rest;
  stream >> rest;
  EXPECT_EQ(rest, "trailing");  // the load stops right after the last bias
}

TEST(NetworkRecord, EveryTruncationGivesTheMessageOfItsRegion) {
  const std::string record = Record(NeuralNetwork::WithLayers({3, 2, 2}, 0.5, 1.0));
  const size_t sizesStart = 34, weightsStart = 34 + 3 * 4, biasesStart = weightsStart + 8 * (6 + 4);
  ASSERT_EQ(record.size(), biasesStart + 8 * 4);
  for (size_t length = 0; length < record.size(); ++length) {
    const char* expected = length < sizesStart     ? "Failed to read neural network header from disk."
                           : length < weightsStart ? "Failed to read neural network layer sizes from disk."
                           : length < biasesStart  ? "Failed to read layer weights from disk."
                                                   : "Failed to read layer biases from disk.";
    EXPECT_EQ(LoadMessage(record.substr(0, length)), expected) << length;
  }
}

TEST(NetworkRecord, WrongMagicLeavesTheNetworkUnchanged) {
  std::string record = Record(ExampleNetwork());
  record[1] = 0x43;
  NeuralNetwork network;
  EXPECT_EQ(LoadMessage(record, &network), "Invalid neural network file format detected.");
  EXPECT_EQ(network.learningRate, 0.0);
  EXPECT_TRUE(network.weights.empty());
}

std::string HeaderWithLayers(uint64_t layerCount, const std::vector<uint32_t>& sizes) {
  std::string record = Record(ExampleNetwork()).substr(0, 34);
  std::memcpy(record.data() + 26, &layerCount, 8);
  for (uint32_t size : sizes) record.append(reinterpret_cast<const char*>(&size), 4);
  return record;
}

TEST(NetworkRecord, ZeroOrOneLayerLoadsWithoutLayers) {
  NeuralNetwork network;
  EXPECT_EQ(LoadMessage(HeaderWithLayers(0, {}), &network), "");
  EXPECT_TRUE(network.weights.empty());
  EXPECT_EQ(network.batchSize, 10u);
  EXPECT_EQ(LoadMessage(HeaderWithLayers(1, {784})), "");
}

TEST(NetworkRecord, ImpossibleSizesAreRefusedBeforeAllocating) {
  EXPECT_EQ(LoadMessage(HeaderWithLayers(uint64_t{1} << 32, {784, 10})),
            "Failed to read neural network layer sizes from disk.");
  EXPECT_EQ(LoadMessage(HeaderWithLayers(3'000'000'000u, {784, 10})),
            "Failed to read neural network layer sizes from disk.");
  EXPECT_EQ(LoadMessage(HeaderWithLayers(2, {1u << 31, 1u << 31}) + std::string(64, '\0')),
            "Failed to read layer weights from disk.");
  EXPECT_EQ(LoadMessage(HeaderWithLayers(3, {4294967295u, 4294967295u, 4294967295u})),
            "Failed to read layer weights from disk.");
  // Weights present, biases promised for a billion neurons.
  EXPECT_EQ(LoadMessage(HeaderWithLayers(2, {0, 1'000'000'000u})), "Failed to read layer biases from disk.");
}

// Sizes are checked against the bytes present before anything is allocated, so an absurd
// claim costs next to nothing: well under the 16 MB allowed here.
TEST(NetworkRecord, HugeClaimsAreRefusedWithLittleMemory) {
  const std::vector<std::pair<std::string, const char*>> claims{
      // 2^31 x 2^31 weights (32 EiB), the file holding 64 bytes of them.
      {HeaderWithLayers(2, {1u << 31, 1u << 31}) + std::string(64, '\0'),
       "Failed to read layer weights from disk."},
      // A layer of no neurons after an input of 2^32 - 1: a matrix without rows, which once
      // allocated a row of its column count anyway (kept in fuzz/regression/network_file).
      {HeaderWithLayers(2, {4294967295u, 0}), "Failed to read layer biases from disk."},
      {HeaderWithLayers(4294967295u, {784, 10}), "Failed to read neural network layer sizes from disk."}};
  for (const auto& [record, expected] : claims) {
    std::string message;
    const long long growth = PeakMemoryGrowth([&] { message = LoadMessage(record); });
    if (growth < 0) GTEST_SKIP() << "the peak resident size cannot be reset here";
    EXPECT_EQ(message, expected);
    EXPECT_LT(growth, 16 << 20) << expected;
  }
}

TEST(NetworkRecord, EmptyLayersCannotBeSavedOrLoaded) {
  std::string message;
  std::ostringstream sink;
  NeuralNetwork::WithLayers({2, 0, 2}, 0.5, 1.0).Save(sink, &message);
  EXPECT_EQ(message, "Failed to write layer weights to disk.");
  NeuralNetwork::WithLayers({2, 2, 0}, 0.5, 1.0).Save(sink, &message);
  EXPECT_EQ(message, "Failed to write layer biases to disk.");
  NeuralNetwork::WithLayers({0, 2}, 0.5, 1.0).Save(sink, &message);
  EXPECT_EQ(message, "Failed to write layer weights to disk.");
  EXPECT_EQ(LoadMessage(HeaderWithLayers(2, {0, 2}) + std::string(16, '\0')),
            "Failed to read layer weights from disk.");
  EXPECT_EQ(LoadMessage(HeaderWithLayers(2, {2, 0})), "Failed to read layer biases from disk.");
}

TEST(NetworkRecord, FailedStreamGivesTheHeaderMessage) {
  std::ostringstream stream;
  stream.setstate(std::ios::badbit);
  std::string message = "old";
  ExampleNetwork().Save(stream, &message);
  EXPECT_EQ(message, "Failed to write neural network header to disk.");
}

TEST(NetworkFile, MissingFileIsReportedAndLeavesZeroFields) {
  TemporaryFolder folder;
  testing::internal::CaptureStdout();
  const NeuralNetwork network(folder.Path("missing"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Failed to read neural network header from disk.\n");
  EXPECT_EQ(network.learningRate, 0.0);
  EXPECT_EQ(network.epochCount, 0u);
  EXPECT_TRUE(network.weights.empty());
}

TEST(NetworkFile, FailedSaveKeepsThePreviousFile) {
  TemporaryFolder folder;
  const std::string path = folder.Path("net");
  WriteBytes(path, {1, 2, 3});
  std::string message;
  NeuralNetwork::WithLayers({2, 0}, 0.5, 1.0).SaveFile(path, &message);
  EXPECT_EQ(message, "Failed to write layer biases to disk.");
  EXPECT_EQ(ReadBytes(path), (Bytes{1, 2, 3}));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.Root()), {}), 1);
}

}  // namespace
