// The network record: its exact bytes, a round trip of every field, and the refusal of every
// damaged or hostile record, without allocating for sizes that a record only claims.
#include <cstring>
#include <limits>

#include "test_support.h"

namespace {

// The load's message for the bytes, read from memory and, as from a pipe, from a stream that
// cannot tell its length: both must agree.
std::string LoadMessage(const std::string& bytes) {
  std::istringstream stream(bytes);
  std::string message;
  NeuralNetwork().Load(stream, &message);
  UnseekableStream pipe(bytes);
  std::string pipeMessage;
  NeuralNetwork().Load(pipe, &pipeMessage);
  EXPECT_EQ(pipeMessage, message) << "from a stream that cannot seek";
  return message;
}

// The header of a 2-1 network with another layer count, followed by the given sizes.
std::string HeaderWithLayers(uint64_t layerCount, const std::vector<uint32_t>& sizes) {
  std::string record = RecordOf(NeuralNetwork::WithLayers({2, 1}, 0.5, 1.0)).substr(0, 34);
  std::memcpy(record.data() + 26, &layerCount, 8);
  for (uint32_t size : sizes) record.append(reinterpret_cast<const char*>(&size), 4);
  return record;
}

constexpr const char* kHeader = "Failed to read neural network header from disk.";
constexpr const char* kSizes = "Failed to read neural network layer sizes from disk.";
constexpr const char* kWeights = "Failed to read layer weights from disk.";
constexpr const char* kBiases = "Failed to read layer biases from disk.";

// In order, little-endian: magic 0x4242, rate 0.5, decay 1.0, batch size 10, 300 epochs, two
// layers of sizes 2 and 1, weights 0.25 and -1.0, bias 2.0.
TEST(NetworkRecord, ExampleMatchesItsGoldenBytes) {
  const Bytes golden{0x42, 0x42, 0, 0, 0, 0,    0,    0, 0xE0, 0x3F, 0, 0, 0, 0, 0,    0,    0xF0,
                     0x3F, 0x0A, 0, 0, 0, 0x2C, 0x01, 0, 0,    2,    0, 0, 0, 0, 0,    0,    0,
                     2,    0,    0, 0, 1, 0,    0,    0, 0,    0,    0, 0, 0, 0, 0xD0, 0x3F, 0,
                     0,    0,    0, 0, 0, 0xF0, 0xBF, 0, 0,    0,    0, 0, 0, 0, 0x40};
  NeuralNetwork network = NeuralNetwork::WithLayers({2, 1}, 0.5, 1.0);
  network.weights[0].data = {{0.25, -1.0}};
  network.biases[0] = {2.0};
  const std::string record = RecordOf(network);
  EXPECT_EQ(Bytes(record.begin(), record.end()), golden);
}

TEST(NetworkRecord, EveryFieldAndSpecialValueRoundTripsFromMidStream) {
  NeuralNetwork network = NeuralNetwork::WithLayers({3, 5, 2}, 0.125, 0.999);
  network.batchSize = 7;
  network.epochCount = 123456;
  network.weights[0].data[0] = {std::numeric_limits<double>::quiet_NaN(), -0.0,
                                std::numeric_limits<double>::infinity()};
  network.biases[1] = {-std::numeric_limits<double>::infinity(), std::numeric_limits<double>::denorm_min()};
  std::istringstream stream("prefix" + RecordOf(network) + "trailing");
  stream.seekg(6);
  const NeuralNetwork loaded(stream);
  EXPECT_TRUE(SameParameters(loaded, network));
  EXPECT_EQ(loaded.weightedInputs, network.weightedInputs);  // the cache is sized for a forward pass
  // The load stops right after the last bias.
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(stream), {}), "trailing");
}

TEST(NetworkRecord, EveryTruncationGivesTheMessageOfItsRegion) {
  const std::string record = RecordOf(NeuralNetwork::WithLayers({3, 2, 2}, 0.5, 1.0));
  const size_t sizesStart = 34, weightsStart = 34 + 3 * 4, biasesStart = weightsStart + 8 * (6 + 4);
  for (size_t length = 0; length < record.size(); ++length) {
    const char* expected = length < sizesStart     ? kHeader
                           : length < weightsStart ? kSizes
                           : length < biasesStart  ? kWeights
                                                   : kBiases;
    EXPECT_EQ(LoadMessage(record.substr(0, length)), expected) << length;
  }
}

// A hostile file or pipe must cost next to nothing: sizes are checked against the bytes present
// (and against 64-bit overflow) before anything is allocated, and a pipe is read only as far
// as bytes arrive.
TEST(NetworkRecord, DamagedHeadersImpossibleSizesAndEmptyLayersAreRefusedBeforeAllocating) {
  std::string wrongMagic = HeaderWithLayers(0, {});
  wrongMagic[1] = 0x43;
  const std::pair<std::string, const char*> claims[] = {
      {wrongMagic, "Invalid neural network file format detected."},
      {HeaderWithLayers(0, {}), ""},  // no layers, or only an input: valid, without weights
      {HeaderWithLayers(1, {784}), ""},
      {HeaderWithLayers(uint64_t{1} << 32, {784, 10}), kSizes},
      {HeaderWithLayers(4294967295u, {784, 10}), kSizes},
      {HeaderWithLayers(2, {1u << 31, 1u << 31}) + std::string(64, '\0'), kWeights},
      {HeaderWithLayers(2, {1u << 28, 1u << 28}), kWeights},
      // Four matrices of 2^59 weights: only their sum overflows a 64-bit byte count.
      {HeaderWithLayers(5, {1u << 30, 1u << 29, 1u << 30, 1u << 29, 1u << 30}), kWeights},
      // 256 MiB: no overflow, so only the check against the bytes present refuses it.
      {HeaderWithLayers(2, {4096, 8192}), kWeights},
      {HeaderWithLayers(2, {0, 1'000'000'000u}), kWeights},
      // A matrix without rows once allocated a row of its column count anyway.
      {HeaderWithLayers(2, {4294967295u, 0}), kBiases},
      // Layers without neurons, which Save cannot write either (they could not be loaded back).
      {HeaderWithLayers(2, {0, 2}) + std::string(16, '\0'), kWeights},
      {HeaderWithLayers(2, {2, 0}), kBiases},
      // Cut short as well: reading stops at the empty weight row before any byte is missing.
      {HeaderWithLayers(2, {0, 2}), kWeights},
      {HeaderWithLayers(3, {2, 0, 1}), kWeights}};
  // The first loads are the ones measured: memory they freed may be reused without growth later.
  const long long growth = PeakMemoryGrowth([&] {
    for (const auto& [record, expected] : claims) EXPECT_EQ(LoadMessage(record), expected) << expected;
  });
  std::ostringstream sink;
  std::string weights, biases;
  NeuralNetwork::WithLayers({2, 0, 2}, 0.5, 1.0).Save(sink, &weights);
  NeuralNetwork::WithLayers({2, 2, 0}, 0.5, 1.0).Save(sink, &biases);
  EXPECT_EQ(weights, "Failed to write layer weights to disk.");
  EXPECT_EQ(biases, "Failed to write layer biases to disk.");
  if (growth < 0) GTEST_SKIP() << "messages checked; the peak resident size cannot be reset here";
  EXPECT_LT(growth, 16 << 20);
}

TEST(NetworkFile, MissingFileIsReportedOnStandardOutput) {
  testing::internal::CaptureStdout();
  EXPECT_TRUE(NeuralNetwork(TemporaryFolder().Path("missing")).weights.empty());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(kHeader) + "\n");
}

}  // namespace
