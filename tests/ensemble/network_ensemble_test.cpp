// The ensemble: the mean of its members in order, counted the same one by one and in blocks,
// and the ensemble file with every refusal and truncation (failed saves: tests/app/hardening).
#include "ensemble/network_ensemble.h"

#include <cstring>

#include "math/activation.h"
#include "network/random.h"
#include "test_support.h"

namespace {

// One input; outputs Sigmoid(logits) whatever the input.
NeuralNetwork ConstantNetwork(const Vector& logits) {
  NeuralNetwork network = NeuralNetwork::WithLayers({1, static_cast<uint32_t>(logits.size())}, 0.5, 1.0);
  for (Vector& row : network.weights[0].data) row = {0.0};
  network.biases[0] = logits;
  return network;
}

// Saves `ensemble` as `name` (bytes written first if given), or loads it; returns the message.
std::string SaveOrLoad(const TemporaryFolder& folder, NetworkEnsemble& ensemble, const Bytes* bytes,
                       bool save = false, const std::string& name = "e") {
  if (bytes) WriteFile(folder.Path(name), *bytes);
  std::string message;
  save ? ensemble.Save(folder.Path(name), &message) : ensemble.Load(folder.Path(name), &message);
  return message;
}

TEST(NetworkEnsemble, EvaluateIsTheMeanInMemberOrderAndCountCorrectCountsIt) {
  // Members with different hidden layers, and more samples than one evaluation block.
  ResetRandomSeeds(31);
  NetworkEnsemble ensemble{{NeuralNetwork::WithLayers({6, 5, 4}, 0.5, 1.0),
                            NeuralNetwork::WithLayers({6, 9, 7, 4}, 0.5, 1.0),
                            NeuralNetwork::WithLayers({6, 3, 4}, 0.5, 1.0)}};
  const ImageSet samples = RandomSamples(53, 6, 4, 5);
  double expected = 0.0;
  for (const SampleView sample : samples) {
    Vector mean(4, 0.0);  // added in member order from 0.0, then divided once
    for (NeuralNetwork network : ensemble.networks) mean += network.FeedForward(sample.pixels);
    for (double& value : mean) value = value / 3.0;
    const Vector evaluated = ensemble.Evaluate(sample);
    ASSERT_EQ(std::memcmp(evaluated.data(), mean.data(), sizeof(double) * 4), 0);
    expected += ArgMax(sample.target) == ArgMax(evaluated);
  }
  ASSERT_TRUE(expected > 0.0 && expected < 53.0) << expected;
  EXPECT_EQ(ensemble.CountCorrect(samples), expected);
}

TEST(NetworkEnsemble, CountCorrectTakesTheLargestMeanWithTiesToTheLowerDigit) {
  // Two members lean to digit 0 a little, one is sure of digit 1: the mean, not a vote, wins.
  NetworkEnsemble ensemble{
      {ConstantNetwork({0.2, -0.2}), ConstantNetwork({0.2, -0.2}), ConstantNetwork({-9, 9})}};
  const ImageSet digitOne{{{0.5}, {0.0, 1.0}}};
  EXPECT_EQ(ensemble.CountCorrect(digitOne), 1.0);
  EXPECT_EQ(ensemble.networks[0].CountCorrect(digitOne), 0.0);
  EXPECT_EQ(ensemble.CountCorrect({}), 0.0);
  NetworkEnsemble tied{{ConstantNetwork({-1.0, 2.0, 2.0}), ConstantNetwork({-1.0, 1.0, 1.0})}};
  EXPECT_EQ(tied.CountCorrect({{{0.0}, {0.0, 1.0, 0.0}}}), 1.0);
  EXPECT_EQ(tied.CountCorrect({{{0.0}, {0.0, 0.0, 1.0}}}), 0.0);
}

TEST(EnsembleFile, IsAHeaderThenTheRecordsAndRoundTripsBitForBit) {
  TemporaryFolder folder;
  ResetRandomSeeds(11);
  NetworkEnsemble saved{{NeuralNetwork::WithLayers({784, 500, 300, 200, 100, 10}, 0.5, 1.0),
                         NeuralNetwork::WithLayers({784, 500, 300, 200, 100, 10}, 0.25, 1.0)}};
  ASSERT_EQ(SaveOrLoad(folder, saved, nullptr, true), "");
  Bytes bytes = ReadFile(folder.Path("e"));
  EXPECT_EQ(bytes, EnsembleBytes(2, RecordOf(saved.networks[0]) + RecordOf(saved.networks[1])));

  bytes.insert(bytes.end(), {1, 2, 3});  // bytes after the last record are ignored
  // A pipe is read a megabyte at a time, and no member may take a byte of the next.
  UnseekableStream pipe(std::string(bytes.begin(), bytes.end()));
  NetworkEnsemble fromFile, fromPipe;
  std::string message;
  fromPipe.Load(pipe, &message);
  EXPECT_EQ(SaveOrLoad(folder, fromFile, &bytes) + message, "");
  for (const NetworkEnsemble* loaded : {&fromFile, &fromPipe}) {
    ASSERT_EQ(loaded->networks.size(), 2u);
    EXPECT_TRUE(SameParameters(loaded->networks[0], saved.networks[0]));
    EXPECT_TRUE(SameParameters(loaded->networks[1], saved.networks[1]));
  }
  EXPECT_EQ(fromFile.networks[0].activations[4], Vector(10, 0.0));
}

// A claim of four billion members in a file that holds one fails at the second record: no
// count is trusted for an allocation.
TEST(EnsembleFile, BadHeadersOverstatedCountsAndMembersThatCannotClassifyTogetherAreRefused) {
  TemporaryFolder folder;
  const std::string member = RecordOf(NeuralNetwork::WithLayers({3, 2}, 0.5, 1.0));
  NeuralNetwork noLayers;
  noLayers.learningRate = 0.5;
  const std::string invalid = "Invalid neural network ensemble file format detected.";
  const std::string second = "Neural network ensemble member 2 of 2 ";
  const std::vector<std::pair<Bytes, std::string>> cases{
      {EnsembleBytes(0, ""), invalid},
      {Bytes(member.begin(), member.end()), invalid},  // a network file: 0.5's low half is 0
      {{0x42, 0x43, 1, 0, 0, 0}, invalid},
      {EnsembleBytes(2, member + RecordOf(NeuralNetwork::WithLayers({4, 2}, 0.5, 1.0))),
       second + "has 4 inputs and 2 outputs, unlike the first member's 3 and 2."},
      {EnsembleBytes(2, member + RecordOf(NeuralNetwork::WithLayers({3, 5, 3}, 0.5, 1.0))),
       second + "has 3 inputs and 3 outputs, unlike the first member's 3 and 2."},
      {EnsembleBytes(2, member + RecordOf(noLayers)), second + "has no layers."},
      {EnsembleBytes(4'000'000'000u, member),
       "Neural network ensemble member 2 of 4000000000 could not be read: Failed to read neural network "
       "header from disk."},
  };
  const long long growth = PeakMemoryGrowth([&] {
    for (const auto& [bytes, expected] : cases) {
      NetworkEnsemble ensemble;
      EXPECT_EQ(SaveOrLoad(folder, ensemble, &bytes), expected);
      EXPECT_TRUE(ensemble.networks.empty());
    }
  });
  if (growth < 0) GTEST_SKIP() << "messages checked; the peak resident size cannot be reset here";
  EXPECT_LT(growth, 16 << 20);
}

TEST(EnsembleFile, EveryTruncationFailsTheWholeLoad) {
  TemporaryFolder folder;
  const std::string first = RecordOf(NeuralNetwork::WithLayers({3, 2}, 0.5, 1.0));
  const Bytes whole = EnsembleBytes(2, first + RecordOf(NeuralNetwork::WithLayers({3, 4, 2}, 0.5, 1.0)));
  for (size_t length = 0; length < whole.size(); ++length) {
    NetworkEnsemble ensemble;
    const Bytes cut(whole.begin(), whole.begin() + long(length));
    const std::string message = SaveOrLoad(folder, ensemble, &cut);
    if (length < 6) {
      EXPECT_EQ(message, "Failed to read neural network ensemble header from disk.") << length;
    } else {
      const std::string member = length < 6 + first.size() ? "member 1 of 2" : "member 2 of 2";
      EXPECT_NE(message.find(member + " could not be read: Failed to read"), std::string::npos) << length;
    }
    EXPECT_TRUE(ensemble.networks.empty());
  }
}

// Memory follows the bytes of the file: a deep network of one-neuron layers, thousands of
// one-neuron members and more threads than the work can use each cost a bounded multiple of the
// file's size, not kilobytes per layer, per member or per thread.
TEST(EnsembleFile, LoadingAndCountingTakeMemoryInProportionToTheFile) {
  TemporaryFolder folder;
  NetworkEnsemble deep{{NeuralNetwork::WithLayers(std::vector<uint32_t>(50'001, 1), 0.5, 1.0)}},
      many{std::vector<NeuralNetwork>(20'000, NeuralNetwork::WithLayers({1, 1}, 0.5, 1.0))},
      wide{std::vector<NeuralNetwork>(2, NeuralNetwork::WithLayers({784, 100, 10}, 0.5, 1.0))};
  ASSERT_EQ(SaveOrLoad(folder, deep, nullptr, true, "deep") +
                SaveOrLoad(folder, many, nullptr, true, "many") +
                SaveOrLoad(folder, wide, nullptr, true, "wide"),
            "");
  const ImageSet samples = RandomSamples(50, 784, 10, 3);
  for (const char* name : {"deep", "many", "wide"}) {
    const long long fileSize = static_cast<long long>(std::filesystem::file_size(folder.Path(name)));
    const long long growth = PeakMemoryGrowth([&] {
      NetworkEnsemble ensemble;
      EXPECT_EQ(SaveOrLoad(folder, ensemble, nullptr, false, name), "");
      ensemble.CountCorrect(samples, 256);
    });
    if (growth < 0) GTEST_SKIP() << "the peak resident size cannot be reset here";
#ifndef __SANITIZE_ADDRESS__  // its red zones and quarantine multiply small allocations
    EXPECT_LT(growth, 30 * fileSize + (4 << 20)) << name << ": " << growth / 1024 << " KiB";
#else
    static_cast<void>(fileSize);
#endif
  }
}

}  // namespace
