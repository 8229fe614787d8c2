// What --train tells a person watching it, on standard error so that a log of standard output
// stays byte-exact: one line with the run's shape and settings before the first epoch, then one
// line per epoch with the accuracy, the best so far, whether the file was saved, the rate, the
// seconds per epoch and the time left. Every line starts with "mnist-mlp: ".
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "network/neural_network.h"
#include "settings/settings.h"

// Whether to show progress: MNIST_MLP_PROGRESS when set, otherwise whether standard error is a
// terminal.
bool ProgressWanted(const Settings& settings);

// "784-500-300-200-100-10"
std::string LayerSizesText(const std::vector<uint32_t>& layerSizes);

class TrainingProgress {
 public:
  // Prints the opening line, with every setting needed to repeat the run. startMilliseconds is
  // the time stamp the estimates count from.
  TrainingProgress(std::ostream& output, const NeuralNetwork& network, size_t trainingSampleCount,
                   const Settings& settings, const char* kernelName, uint64_t startMilliseconds);
  // Prints the line of one finished epoch.
  void EpochDone(const EpochResult& result, uint64_t nowMilliseconds);

 private:
  std::ostream& output_;
  uint64_t startMilliseconds_;
};
