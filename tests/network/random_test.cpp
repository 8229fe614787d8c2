#include "network/random.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "network/neural_network.h"

namespace {

TEST(RandomSeeds, NeverRepeatWithinAProcess) {
  std::set<uint32_t> seeds;
  for (int i = 0; i < 100000; ++i) seeds.insert(NextRandomSeed());
  EXPECT_EQ(seeds.size(), 100000u);
}

TEST(RandomSeeds, BackToBackFillsDiffer) {
  // Filled within the same clock tick, rows must still differ, or their neurons never could.
  Vector first(8);
  Vector second(8);
  FillRandomNormal(first);
  FillRandomNormal(second);
  EXPECT_NE(first, second);
}

TEST(RandomSeeds, AFixedBaseRepeatsTheWholeNetwork) {
  ResetRandomSeeds(7);
  const NeuralNetwork a = NeuralNetwork::WithLayers({5, 4, 3}, 0.5, 1.0);
  ResetRandomSeeds(7);
  const NeuralNetwork b = NeuralNetwork::WithLayers({5, 4, 3}, 0.5, 1.0);
  ResetRandomSeeds(8);
  const NeuralNetwork c = NeuralNetwork::WithLayers({5, 4, 3}, 0.5, 1.0);
  EXPECT_EQ(a.weights[1].data, b.weights[1].data);
  EXPECT_EQ(a.biases, b.biases);
  EXPECT_NE(a.weights[1].data, c.weights[1].data);
}

TEST(FillRandomNormal, GivesStandardNormalValues) {
  Vector values(200000);
  FillRandomNormal(values);
  double sum = 0.0;
  double squares = 0.0;
  for (double v : values) {
    sum += v;
    squares += v * v;
  }
  const double mean = sum / values.size();
  EXPECT_NEAR(mean, 0.0, 0.01);
  EXPECT_NEAR(std::sqrt(squares / values.size() - mean * mean), 1.0, 0.01);
}

}  // namespace
