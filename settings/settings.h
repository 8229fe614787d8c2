// The environment settings of mnist-mlp, read in one place. Each function reads its variable
// when called; a variable that is unset, or does not hold a valid value, gives the default.
//
//   MNIST_MLP_EPOCHS   positive integer: training epochs instead of 300
//   MNIST_MLP_SEED     unsigned 32-bit integer: the base of every random seed (repeatable runs)
//   MNIST_MLP_THREADS  positive integer: threads for training and evaluation, at most 256
#pragma once

#include <cstdint>
#include <optional>

inline constexpr uint32_t kDefaultEpochCount = 300;
inline constexpr uint32_t kMaxThreadCount = 256;

// MNIST_MLP_EPOCHS when it holds a positive number, otherwise kDefaultEpochCount.
uint32_t EpochCountSetting();

// MNIST_MLP_SEED when it holds an unsigned 32-bit number, otherwise nothing (seed from the clock).
std::optional<uint32_t> SeedSetting();

// MNIST_MLP_THREADS when it holds a positive number (capped at kMaxThreadCount), otherwise the
// hardware's thread count (at least 1).
uint32_t ThreadCountSetting();
