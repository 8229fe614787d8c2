// Building a network from its seeds, its forward pass and the count of correct answers.
// MNIST_MLP_SEED is read once per process, so its repeatability across runs is checked on the
// real binary (tests/app).
#include <set>

#include "network/random.h"
#include "test_support.h"

namespace {

double Logistic(double z) { return 1.0 / (1.0 + std::exp(-z)); }

// No two engines of a process share a seed, and a fixed base repeats the whole network.
TEST(NetworkShape, DefaultLayersHaveTheirShapesAndDistinctStandardNormalNeuronsFromTheirSeeds) {
  std::set<uint32_t> seeds;
  for (int i = 0; i < 100000; ++i) seeds.insert(NextRandomSeed());
  EXPECT_EQ(seeds.size(), 100000u);
  const std::vector<uint32_t> sizes{784, 500, 300, 200, 100, 10};
  const auto build = [&](uint32_t base) {
    ResetRandomSeeds(base);
    return NeuralNetwork::WithLayers(sizes, 0.5, 1.0);
  };
  const NeuralNetwork network = build(4);
  EXPECT_TRUE(SameParameters(build(4), network));
  EXPECT_FALSE(SameParameters(build(5), network));
  ASSERT_EQ(network.weights.size(), 5u);
  double sum = 0.0, squares = 0.0, count = 0.0;
  for (size_t k = 0; k < 5; ++k) {
    const Matrix& weights = network.weights[k];
    EXPECT_EQ(std::tuple(weights.rowCount, weights.columnCount, network.biases[k].size()),
              std::tuple(sizes[k + 1], sizes[k], size_t{sizes[k + 1]}));
    EXPECT_NE(network.biases[k], Vector(sizes[k + 1], 0.0)) << "biases are drawn too";
    // Neurons that start alike learn alike: every row and bias needs its own draws.
    std::set<Vector> rows(weights.data.begin(), weights.data.end());
    rows.insert(network.biases[k]);
    EXPECT_EQ(rows.size(), sizes[k + 1] + 1u);
    for (const Vector& row : rows)
      for (double w : row) sum += w, squares += w * w, ++count;
  }
  EXPECT_NEAR(sum / count, 0.0, 0.01);
  EXPECT_NEAR(squares / count, 1.0, 0.01);
  EXPECT_EQ(std::tuple(network.InputSize(), network.OutputSize()), std::tuple(784u, 10u));
  EXPECT_TRUE(NeuralNetwork::WithLayers({5}, 0.5, 1.0).weights.empty());
}

TEST(FeedForward, ComputesAndCachesEveryLayerFromThePreviousOne) {
  NeuralNetwork network = NeuralNetwork::WithLayers({2, 2, 1}, 0.5, 1.0);
  network.weights[0].data = {{1.0, -1.0}, {0.5, 0.0}};
  network.biases[0] = {0.0, -1.0};
  network.weights[1].data = {{2.0, -2.0}};
  network.biases[1] = {0.5};
  const Vector output = network.FeedForward(Vector{3.0, 1.0, 9.0});  // an input's tail is ignored
  EXPECT_EQ(network.weightedInputs[0], (Vector{2.0, 0.5}));
  const double z = 2.0 * Logistic(2.0) - 2.0 * Logistic(0.5) + 0.5;
  EXPECT_NEAR(network.weightedInputs[1][0], z, 1e-15);
  EXPECT_NEAR(output[0], Logistic(z), 1e-15);
  EXPECT_EQ(network.activations[1], output);
  EXPECT_THROW(network.FeedForward(Vector{0.1}), std::out_of_range);
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
