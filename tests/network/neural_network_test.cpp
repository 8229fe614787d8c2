#include "network/neural_network.h"

#include <gtest/gtest.h>

#include "math/activation.h"
#include "network/random.h"

namespace {

TEST(NetworkShape, DefaultLayersGiveFiveMatrices) {
  const NeuralNetwork network = NeuralNetwork::WithLayers({784, 500, 300, 200, 100, 10}, 0.5, 1.0);
  const std::vector<std::pair<uint32_t, uint32_t>> shapes{
      {500, 784}, {300, 500}, {200, 300}, {100, 200}, {10, 100}};
  ASSERT_EQ(network.weights.size(), 5u);
  for (size_t k = 0; k < 5; ++k) {
    EXPECT_EQ(network.weights[k].rowCount, shapes[k].first);
    EXPECT_EQ(network.weights[k].columnCount, shapes[k].second);
    EXPECT_EQ(network.biases[k].size(), shapes[k].first);
    EXPECT_EQ(network.activations[k], Vector(shapes[k].first, 0.0));
    EXPECT_EQ(network.weightedInputs[k], Vector(shapes[k].first, 0.0));
  }
  EXPECT_EQ(network.batchSize, 10u);
  EXPECT_EQ(network.epochCount, 300u);
  EXPECT_EQ(network.InputSize(), 784u);
  EXPECT_EQ(network.OutputSize(), 10u);

  double sum = 0.0;
  double squares = 0.0;
  size_t count = 0;
  for (const Matrix& m : network.weights) {
    for (const Vector& row : m.data) {
      for (double w : row) {
        sum += w;
        squares += w * w;
        ++count;
      }
    }
  }
  EXPECT_EQ(count, 623000u);
  EXPECT_NEAR(sum / count, 0.0, 0.01);
  EXPECT_NEAR(squares / count, 1.0, 0.01);
}

TEST(NetworkShape, FewerThanTwoSizesGiveNoLayers) {
  EXPECT_TRUE(NeuralNetwork::WithLayers({5}, 0.5, 1.0).weights.empty());
  const NeuralNetwork small = NeuralNetwork::WithLayers({3, 2}, 0.5, 1.0);
  ASSERT_EQ(small.weights.size(), 1u);
  EXPECT_EQ(small.weights[0].rowCount, 2u);
  EXPECT_EQ(small.weights[0].columnCount, 3u);
}

TEST(FeedForward, CachesEveryLayerAndRepeats) {
  ResetRandomSeeds(11);
  NeuralNetwork network = NeuralNetwork::WithLayers({4, 3, 2}, 0.5, 1.0);
  const Vector input{0.1, 0.2, 0.3, 0.4};
  const Vector output = network.FeedForward(input);
  EXPECT_EQ(network.FeedForward(input), output);
  EXPECT_EQ(network.weightedInputs[0], network.weights[0] * input + network.biases[0]);
  EXPECT_EQ(network.activations[0], Sigmoid(network.weightedInputs[0]));
  EXPECT_EQ(network.weightedInputs[1], network.weights[1] * network.activations[0] + network.biases[1]);
  EXPECT_EQ(output, network.activations[1]);
  for (double value : output) {
    EXPECT_GE(value, 0.0);
    EXPECT_LE(value, 1.0);
  }
  EXPECT_THROW(network.FeedForward({0.1, 0.2}), std::out_of_range);
}

TEST(CountCorrect, CountsArgMaxMatchesWithTiesToTheLowerDigit) {
  NeuralNetwork network = NeuralNetwork::WithLayers({1, 2}, 0.5, 1.0);
  network.weights[0].data = {{0.0}, {0.0}};
  network.biases[0] = {0.0, 0.0};  // both outputs 0.5: a tie, so the answer is digit 0
  const ImageSet samples{{{1.0}, {1.0, 0.0}}, {{1.0}, {0.0, 1.0}}, {{0.0}, {1.0, 0.0}}};
  EXPECT_EQ(network.CountCorrect(samples), 2.0);
  EXPECT_EQ(network.CountCorrect({}), 0.0);
}

}  // namespace
