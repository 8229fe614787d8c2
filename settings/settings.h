// The environment settings of mnist-mlp, read in one place. An unset variable gives the
// default. A variable that is set must hold a valid value in full (no blanks, signs, hex or
// trailing text): SettingsProblem names the first one that does not, and the program then
// refuses to run. The getters read their variable when called and give the default for an
// invalid value, so library code used without that check stays defined.
//
//   MNIST_MLP_EPOCHS         positive integer: training epochs instead of 300
//   MNIST_MLP_SEED           unsigned 32-bit integer: the base of every random seed
//   MNIST_MLP_THREADS        positive integer: threads for training and evaluation (at most 256)
//   MNIST_MLP_LEARNING_RATE  positive finite number: the step size instead of 0.5
//   MNIST_MLP_BATCH_SIZE     integer from 1 to 10000: samples per mini-batch instead of 10
//   MNIST_MLP_HIDDEN_LAYERS  1 to 100 positive integers separated by commas, such as 800 or
//                            500,300,200,100 (the default): the hidden layer sizes
//   MNIST_MLP_WEIGHT_DECAY   number above 0 and at most 1: the factor every weight is scaled by
//                            at each update instead of 1.0
//   MNIST_MLP_PROGRESS       1 or 0: progress of --train on standard error, or none; unset, it
//                            is shown when standard error is a terminal
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

inline constexpr uint32_t kDefaultEpochCount = 300;
inline constexpr uint32_t kMaxThreadCount = 256;
inline constexpr double kDefaultLearningRate = 0.5;
inline constexpr uint32_t kDefaultBatchSize = 10;
// A mini-batch's working blocks grow with its size; beyond this no gain is left to have.
inline constexpr uint32_t kMaxBatchSize = 10000;
inline constexpr size_t kMaxHiddenLayerCount = 100;
inline constexpr double kDefaultWeightDecay = 1.0;

// One line naming the first variable that is set but invalid, its value and what it
// accepts; nothing when every setting is unset or valid.
std::optional<std::string> SettingsProblem();

// MNIST_MLP_EPOCHS, or kDefaultEpochCount.
uint32_t EpochCountSetting();
// MNIST_MLP_SEED, or nothing (seed from the clock).
std::optional<uint32_t> SeedSetting();
// MNIST_MLP_THREADS capped at kMaxThreadCount, or the hardware's thread count (at least 1).
uint32_t ThreadCountSetting();
// MNIST_MLP_LEARNING_RATE, or kDefaultLearningRate.
double LearningRateSetting();
// MNIST_MLP_BATCH_SIZE, or kDefaultBatchSize.
uint32_t BatchSizeSetting();
// MNIST_MLP_HIDDEN_LAYERS, or 500, 300, 200, 100.
std::vector<uint32_t> HiddenLayersSetting();
// MNIST_MLP_WEIGHT_DECAY, or kDefaultWeightDecay.
double WeightDecaySetting();
// MNIST_MLP_PROGRESS: true for 1, false for 0, nothing when unset (or invalid).
std::optional<bool> ProgressSetting();
