// The epochs of --train, from memory and without its file saves and epoch lines.
#include "python/network_training.h"

#include <cmath>
#include <random>

#include "network/random.h"
#include "network/shuffle.h"
#include "settings/settings.h"

namespace {

constexpr size_t kSamplesPerRun = 2048;

}  // namespace

std::vector<uint32_t> LayerSizes(const NeuralNetwork& network) {
  std::vector<uint32_t> sizes{network.InputSize()};
  for (const Vector& bias : network.biases) sizes.push_back(static_cast<uint32_t>(bias.size()));
  return sizes;
}

bool TrainNetwork(NeuralNetwork& network, ImageSet& trainingSet, const ImageSet* testSet, uint32_t epochCount,
                  std::optional<uint32_t> seed, const TrainingObserver& observer) {
  if (seed) {
    // --train draws the initial weights first: drawing them again (and dropping them) puts the
    // sequence where its shuffles begin, however many draws a network of this shape takes.
    ResetRandomSeeds(*seed);
    NeuralNetwork::WithLayers(LayerSizes(network), network.learningRate, network.weightDecayFactor);
  }
  network.epochCount = epochCount;
  // Threads as --train starts them: those the processors and the widest layer keep busy.
  ThreadPool pool(
      std::min(ThreadsWorthStarting(kMaxThreadCount), TrainingEngine::ThreadsWorthUsing(network.weights)));
  TrainingEngine engine = network.Engine(pool);
  const uint32_t batchSize = network.batchSize;
  // Whole mini-batches in runs of about kSamplesPerRun samples: each run one call that keeps the
  // engine's threads at work (a call per mini-batch wakes them thousands of times an epoch,
  // which on a busy machine took six times as long as --train), short enough that a stop
  // request is answered within moments.
  const size_t runLength = std::max<size_t>(1, kSamplesPerRun / batchSize) * batchSize;
  double bestCorrect = -1.0;
  for (uint32_t epoch = 0; epoch < epochCount; ++epoch) {
    std::mt19937 random(NextRandomSeed());
    ShuffleSamples(trainingSet, random);
    for (size_t first = 0; first < trainingSet.size(); first += runLength) {
      if (observer.stopRequested && observer.stopRequested()) {
        network.CopyFrom(engine);
        return false;
      }
      engine.TrainEpochPart(trainingSet, first, first + runLength, batchSize);
    }
    double accuracy = std::nan("");
    if (testSet != nullptr) {
      const double correct = engine.CountCorrect(*testSet);
      accuracy = correct * 100.0 / static_cast<double>(testSet->size());
      if (correct > bestCorrect) {
        bestCorrect = correct;
        network.CopyFrom(engine);
      }
    }
    if (observer.onEpoch) observer.onEpoch(epoch, accuracy);
  }
  if (testSet == nullptr) network.CopyFrom(engine);
  return true;
}

ImageSet LabelledSamples(const double* rows, size_t count, size_t width, const std::vector<uint8_t>& labels) {
  ImageSet samples;
  for (size_t i = 0; i < count; ++i) {
    Vector target(DigitCount, 0.0);
    target[labels[i]] = 1.0;
    samples.push_back(ImageSample{Vector(rows + i * width, rows + (i + 1) * width), std::move(target)});
  }
  return samples;
}
