#include "ensemble/model_file.h"

#include "math/activation.h"
#include "network/random.h"
#include "test_support.h"

namespace {

std::unique_ptr<Model> ModelOf(const std::string& bytes, std::string* message) {
  std::istringstream input(bytes);
  return Model::Read(input, 2, message);
}
std::unique_ptr<Model> ModelOf(const Bytes& bytes, std::string* message) {
  return ModelOf(std::string(bytes.begin(), bytes.end()), message);
}

// Whether the member holds the network's layers, value for value.
bool HoldsLayersOf(const ForwardNetwork& member, const NeuralNetwork& network) {
  if (member.LayerCount() != network.weights.size()) return false;
  for (size_t k = 0; k < member.LayerCount(); ++k) {
    for (size_t r = 0; r < network.weights[k].rowCount; ++r) {
      if (!std::ranges::equal(member.WeightRow(k, r), network.weights[k].data[r])) return false;
    }
    if (!std::ranges::equal(member.Biases(k), network.biases[k])) return false;
  }
  return true;
}

}  // namespace

TEST(ModelFile, TellsNetworkFromEnsembleByContentAndReportsOtherFilesInTheirOwnWords) {
  ResetRandomSeeds(3);
  // 0.5 reads as a member count of 0; 0.3 as a large count, followed by no record's magic.
  const NeuralNetwork half = NeuralNetwork::WithLayers({6, 4, 3}, 0.5, 1.0);
  const NeuralNetwork other = NeuralNetwork::WithLayers({6, 5, 4, 3}, 0.3, 1.0);  // depths may differ
  std::string message;
  for (const NeuralNetwork& network : {half, other}) {
    const std::unique_ptr<Model> model = ModelOf(RecordOf(network), &message);
    ASSERT_NE(model, nullptr) << message;
    EXPECT_EQ(model->Kind(), ModelKind::Network);
    EXPECT_TRUE(HoldsLayersOf(model->Member(0), network));
  }
  const std::unique_ptr<Model> model = ModelOf(EnsembleBytes(2, RecordOf(half) + RecordOf(other)), &message);
  ASSERT_NE(model, nullptr) << message;
  EXPECT_EQ(model->Kind(), ModelKind::Ensemble);
  EXPECT_EQ(model->MemberCount(), 2u);
  EXPECT_TRUE(HoldsLayersOf(model->Member(1), other));

  EXPECT_EQ(ModelOf("BM not a model", &message), nullptr);
  EXPECT_EQ(message, "Neither a network file nor an ensemble file: it does not begin with the bytes 42 42.");
  const std::string record = RecordOf(half);
  EXPECT_EQ(ModelOf(record.substr(0, record.size() - 1), &message), nullptr);
  EXPECT_EQ(message, "Failed to read layer biases from disk.");
}

TEST(ModelFile, OutputsAreTheMembersAndTheMeanThatCountCorrectCounts) {
  ResetRandomSeeds(4);
  const std::vector<NeuralNetwork> members{NeuralNetwork::WithLayers({8, 5, 4}, 0.5, 1.0),
                                           NeuralNetwork::WithLayers({8, 3, 4}, 0.5, 1.0)};
  std::string message;
  const std::unique_ptr<Model> model =
      ModelOf(EnsembleBytes(2, RecordOf(members[0]) + RecordOf(members[1])), &message);
  const ImageSet samples = RandomSamples(101, 8, 4, 5);
  const SetOutputs outputs = model->Outputs(samples);
  double correct = 0;
  for (size_t s = 0; s < samples.size(); ++s) {
    correct += ArgMax(outputs.mean[s]) == ArgMax(samples[s].target);
    for (size_t m = 0; m < members.size(); ++m) {
      const Vector expected = NeuralNetwork(members[m]).FeedForward(samples[s].pixels);
      for (size_t i = 0; i < 4; ++i) EXPECT_NEAR(outputs.members[m][s][i], expected[i], 1e-12);
    }
  }
  EXPECT_EQ(correct, model->CountCorrect(samples));
}
