// The environment settings of mnist-mlp and mnist-lab, read once by the entry point into one
// value that is passed down: library code never reads the environment. An unset variable gives
// the default. A variable that is set must hold a valid value in full (no blanks, signs, hex or
// trailing text), and every MNIST_MLP_* variable must be one of these (or one that the scripts
// read), so that a typo never silently becomes a 300-epoch run with defaults.
//
//   MNIST_MLP_EPOCHS         positive integer: training epochs instead of 300
//   MNIST_MLP_SEED           unsigned 32-bit integer: the base of every random seed
//   MNIST_MLP_THREADS        positive integer: threads for training and evaluation (at most 256)
//   MNIST_MLP_LEARNING_RATE  positive finite number: the step size instead of 0.5
//   MNIST_MLP_LEARNING_RATE_DECAY  number above 0 and at most 1: the factor the rate is
//                            multiplied by after every epoch instead of 1
//   MNIST_MLP_BATCH_SIZE     integer from 1 to 10000: samples per mini-batch instead of 10
//   MNIST_MLP_HIDDEN_LAYERS  1 to 100 positive integers separated by commas, such as 800 or
//                            500,300,200,100 (the default): the hidden layer sizes
//   MNIST_MLP_WEIGHT_DECAY   number above 0 and at most 1: the factor every weight is scaled by
//                            at each update instead of 1.0
//   MNIST_MLP_VALIDATION     integer from 0: the last N training images are held out to choose
//                            the saved epoch, instead of the test set (0, the default)
//   MNIST_MLP_DISTORTION     none (the default), affine or elastic, with parameters
//                            (distortion/distortion_parameters.h): how training images are
//                            distorted afresh every epoch
//   MNIST_MLP_STARTING_WEIGHTS  normal (the default) or scaled: the starting weights drawn
//                            from the standard normal distribution, or those divided by the
//                            square root of their layer's input count
//   MNIST_MLP_PROGRESS       1 or 0: progress of --train on standard error, or none; unset, it
//                            is shown when standard error is a terminal
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "distortion/distortion_parameters.h"

inline constexpr uint32_t kDefaultEpochCount = 300;
inline constexpr uint32_t kMaxThreadCount = 256;
inline constexpr double kDefaultLearningRate = 0.5;
inline constexpr uint32_t kDefaultBatchSize = 10;
// A mini-batch's working blocks grow with its size; beyond this no gain is left to have.
inline constexpr uint32_t kMaxBatchSize = 10000;
inline constexpr size_t kMaxHiddenLayerCount = 100;
inline constexpr double kDefaultWeightDecay = 1.0;

struct Settings {
  uint32_t epochCount = kDefaultEpochCount;
  std::optional<uint32_t> seed;  // none: seeds from the clock
  uint32_t threadCount = 1;      // MNIST_MLP_THREADS capped at kMaxThreadCount, or the processors'
  double learningRate = kDefaultLearningRate;
  double learningRateDecay = 1.0;
  uint32_t batchSize = kDefaultBatchSize;
  std::vector<uint32_t> hiddenLayers{500, 300, 200, 100};
  double weightDecay = kDefaultWeightDecay;
  uint32_t validationCount = 0;
  DistortionParameters distortion;
  bool scaledStartingWeights = false;
  std::optional<bool> progress;  // none: when standard error is a terminal
};

// The settings of an environment (entries "NAME=VALUE", ending with a null pointer, as environ
// holds them). When a variable is invalid, or an MNIST_MLP_* variable is unknown, *problem gets
// one line naming it and what it accepts (or the known name nearest to it), and the settings
// returned are the defaults; otherwise *problem is left as it is.
Settings ReadSettings(const char* const* environment, std::string* problem);

// The settings that ReadSettings gives an empty environment, with threadCount the processors'.
Settings DefaultSettings();
