#include "ensemble/network_ensemble.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <sstream>

#include "math/activation.h"
#include "network/random.h"
#include "test_support.h"

namespace {

bool SameBits(const Vector& a, const Vector& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

bool SameParameters(const NeuralNetwork& a, const NeuralNetwork& b) {
  if (a.weights.size() != b.weights.size() || a.learningRate != b.learningRate ||
      a.weightDecayFactor != b.weightDecayFactor || a.batchSize != b.batchSize ||
      a.epochCount != b.epochCount) {
    return false;
  }
  for (size_t k = 0; k < a.weights.size(); ++k) {
    if (!SameBits(a.biases[k], b.biases[k]) || a.weights[k].rowCount != b.weights[k].rowCount) return false;
    for (size_t r = 0; r < a.weights[k].rowCount; ++r) {
      if (!SameBits(a.weights[k].data[r], b.weights[k].data[r])) return false;
    }
  }
  return true;
}

// One input, outputs Sigmoid(bias) whatever the input: weights 0.
NeuralNetwork ConstantNetwork(const Vector& logits) {
  NeuralNetwork network = NeuralNetwork::WithLayers({1, static_cast<uint32_t>(logits.size())}, 0.5, 1.0);
  for (Vector& row : network.weights[0].data) row = {0.0};
  network.biases[0] = logits;
  return network;
}

std::string Record(const NeuralNetwork& network) {
  std::ostringstream stream;
  network.Save(stream, nullptr);
  return stream.str();
}

std::string LoadMessage(const std::string& path, NetworkEnsemble& ensemble) {
  std::string message;
  ensemble.Load(path, &message);
  return message;
}

Bytes EnsembleBytes(uint32_t memberCount, const std::string& records) {
  Bytes bytes{0x42, 0x42};
  for (int shift = 0; shift < 32; shift += 8)
    bytes.push_back(static_cast<unsigned char>(memberCount >> shift));
  bytes.insert(bytes.end(), records.begin(), records.end());
  return bytes;
}

TEST(NetworkEnsembleEvaluate, EnsembleOfOneEqualsItsNetwork) {
  ResetRandomSeeds(3);
  NetworkEnsemble ensemble{{NeuralNetwork::WithLayers({4, 3, 2}, 0.5, 1.0)}};
  NeuralNetwork alone = ensemble.networks[0];
  const ImageSample sample{{0.1, 0.9, 0.4, 0.0}, {1.0, 0.0}};
  EXPECT_TRUE(SameBits(ensemble.Evaluate(sample), alone.FeedForward(sample.pixels)));
}

TEST(NetworkEnsembleEvaluate, AddsMembersInOrderAndDividesOnce) {
  ResetRandomSeeds(4);
  NetworkEnsemble ensemble;
  for (int i = 0; i < 3; ++i) ensemble.networks.push_back(NeuralNetwork::WithLayers({4, 5, 3}, 0.5, 1.0));
  const ImageSample sample{{0.3, 0.2, 0.7, 1.0}, {0.0, 0.0, 1.0}};
  std::vector<Vector> outputs;
  for (NeuralNetwork network : ensemble.networks) outputs.push_back(network.FeedForward(sample.pixels));
  Vector expected(3);
  for (size_t i = 0; i < 3; ++i)
    expected[i] = (((0.0 + outputs[0][i]) + outputs[1][i]) + outputs[2][i]) / 3.0;
  EXPECT_TRUE(SameBits(ensemble.Evaluate(sample), expected));
  EXPECT_TRUE(SameBits(ensemble.Evaluate(sample), expected));  // the members' caches carry nothing over
}

TEST(NetworkEnsembleCountCorrect, TakesTheLargestMeanNotTheMajorityVote) {
  // Two members lean to digit 0 a little, one is sure of digit 1: the mean picks 1.
  NetworkEnsemble ensemble{
      {ConstantNetwork({0.2, -0.2}), ConstantNetwork({0.2, -0.2}), ConstantNetwork({-9.0, 9.0})}};
  const ImageSet digitOne{{{0.5}, {0.0, 1.0}}};
  EXPECT_EQ(ensemble.CountCorrect(digitOne), 1.0);
  EXPECT_EQ(ensemble.networks[0].CountCorrect(digitOne), 0.0);
  EXPECT_EQ(ensemble.CountCorrect({}), 0.0);
}

TEST(NetworkEnsembleCountCorrect, TiesGoToTheLowestIndex) {
  NetworkEnsemble ensemble{{ConstantNetwork({-1.0, 2.0, 2.0}), ConstantNetwork({-1.0, 1.0, 1.0})}};
  EXPECT_EQ(ensemble.CountCorrect({{{0.0}, {0.0, 1.0, 0.0}}}), 1.0);
  EXPECT_EQ(ensemble.CountCorrect({{{0.0}, {0.0, 0.0, 1.0}}}), 0.0);
}

TEST(NetworkEnsembleCountCorrect, CountsWhatEvaluateCountsSampleBySample) {
  // Members with different hidden layers, and more samples than one evaluation block.
  ResetRandomSeeds(31);
  NetworkEnsemble ensemble{{NeuralNetwork::WithLayers({6, 5, 4}, 0.5, 1.0),
                            NeuralNetwork::WithLayers({6, 9, 7, 4}, 0.5, 1.0),
                            NeuralNetwork::WithLayers({6, 3, 4}, 0.5, 1.0)}};
  ImageSet samples;
  for (int i = 0; i < 53; ++i) {
    Vector pixels(6);
    for (int p = 0; p < 6; ++p) pixels[p] = ((i * 7 + p * 13) % 17) / 17.0;
    Vector target(4, 0.0);
    target[(i * 5) % 4] = 1.0;
    samples.push_back({pixels, target});
  }
  double expected = 0.0;
  for (const ImageSample& sample : samples) {
    if (ArgMax(sample.target) == ArgMax(ensemble.Evaluate(sample))) expected += 1.0;
  }
  ASSERT_GT(expected, 0.0);
  ASSERT_LT(expected, 53.0);
  EXPECT_EQ(ensemble.CountCorrect(samples), expected);
}

TEST(EnsembleFile, OneMemberIsTheHeaderThenItsRecord) {
  TemporaryFolder folder;
  NeuralNetwork member = NeuralNetwork::WithLayers({2, 1}, 0.5, 1.0);
  NetworkEnsemble ensemble{{member}};
  std::string message;
  ensemble.Save(folder.Path("e"), &message);
  EXPECT_EQ(message, "");
  const Bytes bytes = ReadBytes(folder.Path("e"));
  EXPECT_EQ(bytes.size(), 72u);
  EXPECT_EQ(bytes, EnsembleBytes(1, Record(member)));
}

TEST(EnsembleFile, TwoDefaultNetworksRoundTripInOrderBitForBit) {
  TemporaryFolder folder;
  ResetRandomSeeds(11);
  NetworkEnsemble saved;
  for (double rate : {0.5, 0.25})
    saved.networks.push_back(NeuralNetwork::WithLayers({784, 500, 300, 200, 100, 10}, rate, 1.0));
  std::string message;
  saved.Save(folder.Path("e"), &message);
  ASSERT_EQ(message, "");
  EXPECT_EQ(std::filesystem::file_size(folder.Path("e")), 9985882u);

  NetworkEnsemble loaded;
  EXPECT_EQ(LoadMessage(folder.Path("e"), loaded), "");
  ASSERT_EQ(loaded.networks.size(), 2u);
  EXPECT_TRUE(SameParameters(loaded.networks[0], saved.networks[0]));
  EXPECT_TRUE(SameParameters(loaded.networks[1], saved.networks[1]));
  EXPECT_EQ(loaded.networks[1].learningRate, 0.25);
  EXPECT_EQ(loaded.networks[0].activations[4], Vector(10, 0.0));
  EXPECT_EQ(loaded.networks[0].weightedInputs[0], Vector(500, 0.0));
}

TEST(EnsembleFile, HeaderFailuresGiveTheirMessagesAndChangeNothing) {
  TemporaryFolder folder;
  const std::string network = Record(NeuralNetwork::WithLayers({2, 1}, 0.5, 1.0));
  const std::string kRead = "Failed to read neural network ensemble header from disk.";
  const std::string kInvalid = "Invalid neural network ensemble file format detected.";
  const std::vector<std::pair<Bytes, std::string>> cases{
      {{}, kRead},
      {{0x42, 0x42, 1, 0, 0}, kRead},
      {EnsembleBytes(0, ""), kInvalid},
      {Bytes(network.begin(), network.end()), kInvalid},  // a network file: 0.5's low half is 0
      {{0x42, 0x43, 1, 0, 0, 0}, kInvalid},
  };
  for (const auto& [bytes, expected] : cases) {
    WriteBytes(folder.Path("e"), bytes);
    NetworkEnsemble ensemble{{ConstantNetwork({1.0})}};
    EXPECT_EQ(LoadMessage(folder.Path("e"), ensemble), expected) << bytes.size() << " bytes";
    EXPECT_EQ(ensemble.networks.size(), 1u);
  }
  NetworkEnsemble ensemble;
  EXPECT_EQ(LoadMessage(folder.Path("missing"), ensemble), kRead);
}

TEST(EnsembleFile, BytesAfterTheLastRecordAreIgnored) {
  TemporaryFolder folder;
  const NeuralNetwork member = NeuralNetwork::WithLayers({3, 2}, 0.5, 1.0);
  Bytes bytes = EnsembleBytes(1, Record(member));
  bytes.insert(bytes.end(), {1, 2, 3});
  WriteBytes(folder.Path("e"), bytes);
  NetworkEnsemble ensemble;
  EXPECT_EQ(LoadMessage(folder.Path("e"), ensemble), "");
  ASSERT_EQ(ensemble.networks.size(), 1u);
  EXPECT_TRUE(SameParameters(ensemble.networks[0], member));
}

TEST(EnsembleFile, EveryTruncationFailsTheWholeLoad) {
  TemporaryFolder folder;
  const std::string first = Record(NeuralNetwork::WithLayers({3, 2}, 0.5, 1.0));
  const Bytes whole = EnsembleBytes(2, first + Record(NeuralNetwork::WithLayers({3, 4, 2}, 0.5, 1.0)));
  for (size_t length = 0; length < whole.size(); ++length) {
    WriteBytes(folder.Path("e"), Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length)));
    NetworkEnsemble ensemble;
    const std::string message = LoadMessage(folder.Path("e"), ensemble);
    if (length < 6) {
      EXPECT_EQ(message, "Failed to read neural network ensemble header from disk.") << length;
    } else {
      const std::string member = length < 6 + first.size() ? "member 1 of 2" : "member 2 of 2";
      EXPECT_NE(message.find(member + " could not be read: Failed to read"), std::string::npos)
          << length << ": " << message;
    }
    EXPECT_TRUE(ensemble.networks.empty());
  }
  NetworkEnsemble ensemble;
  WriteBytes(folder.Path("e"), EnsembleBytes(3, first + first));  // count larger than the records
  EXPECT_EQ(LoadMessage(folder.Path("e"), ensemble),
            "Neural network ensemble member 3 of 3 could not be read: Failed to read neural network "
            "header from disk.");
  EXPECT_TRUE(ensemble.networks.empty());
}

// The member count is never trusted for an allocation: a claim of four billion members in a
// file that holds one fails at the second record, with a peak memory rise under 16 MB.
TEST(EnsembleFile, HugeMemberCountIsRefusedWithLittleMemory) {
  TemporaryFolder folder;
  const std::string member = Record(NeuralNetwork::WithLayers({3, 2}, 0.5, 1.0));
  WriteBytes(folder.Path("e"), EnsembleBytes(4'000'000'000u, member));
  NetworkEnsemble ensemble;
  std::string message;
  const long long growth = PeakMemoryGrowth([&] { message = LoadMessage(folder.Path("e"), ensemble); });
  if (growth < 0) GTEST_SKIP() << "the peak resident size cannot be reset here";
  EXPECT_EQ(message,
            "Neural network ensemble member 2 of 4000000000 could not be read: Failed to read "
            "neural network header from disk.");
  EXPECT_LT(growth, 16 << 20);
  EXPECT_TRUE(ensemble.networks.empty());
}

TEST(EnsembleFile, MembersThatCannotClassifyTogetherFailTheLoad) {
  TemporaryFolder folder;
  const std::string member = Record(NeuralNetwork::WithLayers({3, 2}, 0.5, 1.0));
  NeuralNetwork noLayers;
  noLayers.learningRate = 0.5;
  const std::vector<std::pair<std::string, std::string>> cases{
      {Record(NeuralNetwork::WithLayers({4, 2}, 0.5, 1.0)),
       "Neural network ensemble member 2 of 2 has 4 inputs and 2 outputs, unlike the first member's 3 and "
       "2."},
      {Record(NeuralNetwork::WithLayers({3, 5, 3}, 0.5, 1.0)),
       "Neural network ensemble member 2 of 2 has 3 inputs and 3 outputs, unlike the first member's 3 and "
       "2."},
      {Record(noLayers), "Neural network ensemble member 2 of 2 has no layers."},
  };
  for (const auto& [second, expected] : cases) {
    WriteBytes(folder.Path("e"), EnsembleBytes(2, member + second));
    NetworkEnsemble ensemble;
    EXPECT_EQ(LoadMessage(folder.Path("e"), ensemble), expected);
    EXPECT_TRUE(ensemble.networks.empty());
  }
  // Hidden layers may differ.
  WriteBytes(folder.Path("e"),
             EnsembleBytes(2, member + Record(NeuralNetwork::WithLayers({3, 7, 2}, 0.5, 1.0))));
  NetworkEnsemble ensemble;
  EXPECT_EQ(LoadMessage(folder.Path("e"), ensemble), "");
  EXPECT_EQ(ensemble.networks.size(), 2u);
}

TEST(EnsembleFile, FailedSaveLeavesTheOldFileAndNoPartialOne) {
  TemporaryFolder folder;
  WriteBytes(folder.Path("e"), {7, 7, 7});
  NeuralNetwork broken = NeuralNetwork::WithLayers({2, 1}, 0.5, 1.0);
  broken.biases[0].clear();  // a record that cannot be written completely
  NetworkEnsemble ensemble{{NeuralNetwork::WithLayers({2, 1}, 0.5, 1.0), broken}};
  std::string message;
  ensemble.Save(folder.Path("e"), &message);
  EXPECT_EQ(message, "Failed to write layer biases to disk.");
  EXPECT_EQ(ReadBytes(folder.Path("e")), (Bytes{7, 7, 7}));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.Root()), {}), 1);

  for (const std::string& name : {folder.Path("no/such/folder/e"), std::string()}) {
    message.clear();
    ensemble.Save(name, &message);
    EXPECT_EQ(message, "Failed to write neural network ensemble header to disk.");
  }
  EXPECT_FALSE(std::filesystem::exists(folder.Path("no")));
}

}  // namespace
