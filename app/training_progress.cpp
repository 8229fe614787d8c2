// The progress lines of --train (see training_progress.h).
#include "app/training_progress.h"

#include <unistd.h>

#include <cmath>
#include <sstream>

namespace {

// "45 s", "12 min 5 s", "3 h 20 min": precise enough to plan by, short enough to read.
std::string Duration(double seconds) {
  const auto whole = static_cast<uint64_t>(std::llround(std::max(seconds, 0.0)));
  std::ostringstream text;
  if (whole < 60) {
    text << whole << " s";
  } else if (whole < 3600) {
    text << whole / 60 << " min " << whole % 60 << " s";
  } else {
    text << whole / 3600 << " h " << whole % 3600 / 60 << " min";
  }
  return text.str();
}

}  // namespace

bool ProgressWanted(const Settings& settings) {
  return settings.progress.value_or(isatty(STDERR_FILENO) == 1);
}

std::string LayerSizesText(const std::vector<uint32_t>& layerSizes) {
  std::ostringstream text;
  for (size_t k = 0; k < layerSizes.size(); ++k) text << (k == 0 ? "" : "-") << layerSizes[k];
  return text.str();
}

TrainingProgress::TrainingProgress(std::ostream& output, const NeuralNetwork& network,
                                   size_t trainingSampleCount, const Settings& settings,
                                   const char* kernelName, uint64_t startMilliseconds)
    : output_(output), startMilliseconds_(startMilliseconds) {
  std::vector<uint32_t> layerSizes{network.InputSize()};
  for (const Vector& layerBiases : network.biases)
    layerSizes.push_back(static_cast<uint32_t>(layerBiases.size()));
  output_ << "mnist-mlp: training " << LayerSizesText(layerSizes) << " on " << trainingSampleCount
          << " samples: learning rate " << network.learningRate << ", batch size " << network.batchSize
          << ", weight decay " << network.weightDecayFactor << ", " << network.epochCount
          << (network.epochCount == 1 ? " epoch, " : " epochs, ") << "learning rate decay "
          << settings.learningRateDecay << ", distortion " << DistortionText(settings.distortion) << ", "
          << (settings.scaledStartingWeights ? "scaled" : "normal") << " starting weights, ";
  if (settings.validationCount > 0) {
    output_ << "chosen on " << settings.validationCount << " held-out images, ";
  } else {
    output_ << "chosen on the test set, ";
  }
  if (settings.seed) output_ << "seed " << *settings.seed << ", ";
  output_ << settings.threadCount << (settings.threadCount == 1 ? " thread, " : " threads, ") << kernelName
          << " kernels" << std::endl;
}

void TrainingProgress::EpochDone(const EpochResult& result, uint64_t nowMilliseconds) {
  const uint32_t done = result.epoch + 1;
  const double secondsPerEpoch = static_cast<double>(nowMilliseconds - startMilliseconds_) / 1000.0 / done;
  std::ostringstream line;
  line.setf(std::ios::fixed);
  line.precision(2);
  line << "mnist-mlp: epoch " << result.epoch << " (" << done << " of " << result.epochCount << "): accuracy "
       << result.accuracy << "%, best " << result.bestAccuracy << "% at epoch " << result.bestEpoch
       << (result.saved        ? ", saved"
           : result.saveFailed ? ", SAVE FAILED"
                               : ", not saved");
  line.precision(6);
  line << "; rate " << std::defaultfloat << result.learningRate << std::fixed;
  line.precision(1);
  line << ", " << secondsPerEpoch << " s per epoch, "
       << (done == result.epochCount
               ? "done"
               : "about " + Duration(secondsPerEpoch * (result.epochCount - done)) + " left");
  output_ << line.str() << std::endl;
}
