// The environment settings: a valid value is taken, anything else falls back to the default.
#include "settings/settings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

namespace {

TEST(Settings, ValidValuesAreTakenAndAnythingElseGivesTheDefault) {
  const uint32_t hardware = std::max(1u, std::thread::hardware_concurrency());
  setenv("MNIST_MLP_EPOCHS", "7", 1);
  setenv("MNIST_MLP_SEED", "0", 1);
  setenv("MNIST_MLP_THREADS", "300", 1);
  EXPECT_EQ(EpochCountSetting(), 7u);
  EXPECT_EQ(SeedSetting(), 0u);
  EXPECT_EQ(ThreadCountSetting(), kMaxThreadCount);
  for (const char* invalid : {"", "two", "2x", " 2", "-1", "0x10", "99999999999"}) {
    for (const char* name : {"MNIST_MLP_EPOCHS", "MNIST_MLP_SEED", "MNIST_MLP_THREADS"})
      setenv(name, invalid, 1);
    EXPECT_EQ(EpochCountSetting(), kDefaultEpochCount) << invalid;
    EXPECT_EQ(SeedSetting(), std::nullopt) << invalid;
    EXPECT_EQ(ThreadCountSetting(), hardware) << invalid;
  }
  setenv("MNIST_MLP_EPOCHS", "0", 1);
  setenv("MNIST_MLP_THREADS", "0", 1);
  EXPECT_EQ(EpochCountSetting(), kDefaultEpochCount);
  EXPECT_EQ(ThreadCountSetting(), hardware);
  for (const char* name : {"MNIST_MLP_EPOCHS", "MNIST_MLP_SEED", "MNIST_MLP_THREADS"}) unsetenv(name);
  EXPECT_EQ(SeedSetting(), std::nullopt);
}

}  // namespace
