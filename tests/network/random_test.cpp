// The seed sequence behind every random engine. MNIST_MLP_SEED is read once per process, so its
// repeatability across runs is checked on the real binary (tests/app).
#include "network/random.h"

#include <gtest/gtest.h>

#include <set>

#include "test_support.h"

namespace {

TEST(RandomSeeds, NeverRepeatWithinAProcess) {
  std::set<uint32_t> seeds;
  for (int i = 0; i < 100000; ++i) seeds.insert(NextRandomSeed());
  EXPECT_EQ(seeds.size(), 100000u);
}

TEST(RandomSeeds, AFixedBaseRepeatsTheWholeNetworkAndAnotherBaseChangesIt) {
  auto build = [](uint32_t base) {
    ResetRandomSeeds(base);
    return NeuralNetwork::WithLayers({5, 4, 3}, 0.5, 1.0);
  };
  EXPECT_TRUE(SameParameters(build(7), build(7)));
  EXPECT_FALSE(SameParameters(build(7), build(8)));
}

}  // namespace
