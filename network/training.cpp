// Mini-batch gradient descent on the cross-entropy cost of sigmoid outputs.
//
// Each epoch shuffles the training set with a freshly seeded engine (and, when asked, trains
// on a freshly distorted copy of it, drawn from the same seed), steps through it in
// mini-batches of batchSize samples (the last one may be smaller), measures the accuracy on
// the test set, prints "Epoch e accuracy: x." and saves the network whenever the count of
// correct test samples beats every earlier epoch. Without a test set it saves every epoch.
// After every epoch the rate is multiplied by the decay of the options.
//
// Train runs on the fast engine (engine/training_engine.h); TrainMiniBatch and Backpropagate
// are the plain per-sample reference that the engine is tested against.
#include <cmath>
#include <iostream>
#include <optional>
#include <random>
#include <stdexcept>

#include "distortion/epoch_distortion.h"
#include "math/activation.h"
#include "network/neural_network.h"
#include "network/random.h"
#include "network/shuffle.h"
#include "settings/settings.h"

namespace {

std::vector<Matrix> ZeroMatricesShapedLike(const std::vector<Matrix>& matrices) {
  std::vector<Matrix> zeros;
  for (const Matrix& m : matrices) zeros.emplace_back(m.columnCount, m.rowCount);
  return zeros;
}

std::vector<Vector> ZeroVectorsShapedLike(const std::vector<Vector>& vectors) {
  std::vector<Vector> zeros;
  for (const Vector& v : vectors) zeros.emplace_back(v.size(), 0.0);
  return zeros;
}

// The side of the training set's square images when they are to be distorted (0 otherwise).
uint32_t ImageSide(const ImageSet& trainingSet, const DistortionParameters& distortion) {
  if (distortion.kind == DistortionKind::None || trainingSet.empty()) return 0;
  const size_t pixelCount = trainingSet.front().pixels.size();
  uint32_t side = 0;
  while (size_t{side + 1} * (side + 1) <= pixelCount) ++side;
  for (const SampleView sample : trainingSet) {
    if (sample.pixels.size() != size_t{side} * side)
      throw std::invalid_argument("distortions need square images of one size");
  }
  return side;
}

// Draws the epoch's fields, then distorts the images, each step dealt among the pool's threads.
// Each field and image depends on its index alone, so the thread count changes nothing.
void DistortOnThreads(const ImageSet& trainingSet, EpochDistortion distortion, ImageSet& distorted,
                      ThreadPool& pool) {
  pool.Run([&](uint32_t thread) {
    const Share fields = ShareOf(distortion.FieldCount(), 1, thread, pool.ThreadCount());
    for (size_t f = fields.begin; f < fields.end; ++f) distortion.DrawField(f);
    pool.Barrier();
    const Share images = ShareOf(trainingSet.size(), 1, thread, pool.ThreadCount());
    DistortSamples(trainingSet, distortion, distorted, images.begin, images.end);
  });
}

}  // namespace

bool NeuralNetwork::Train(const std::string& networkFileName, ImageSet& trainingSet, const ImageSet* testSet,
                          const EpochObserver& onEpoch, const TrainingOptions& options) {
  const uint32_t side = ImageSide(trainingSet, options.distortion);
  // The engine trains a contiguous copy of the weights; the rows of `weights` are brought up
  // to date before every save and at the end. The thread setting is an upper bound: threads
  // that would wait for a processor or find no rows to work on are not started.
  ThreadPool pool(
      std::min(ThreadsWorthStarting(options.threadCount == 0 ? kMaxThreadCount : options.threadCount),
               TrainingEngine::ThreadsWorthUsing(weights)));
  TrainingEngine engine = Engine(pool);
  // Distorted images are drawn into a copy of the training set that is shuffled exactly as the
  // set itself, so that sample i of both has the same label.
  std::optional<ImageSet> distorted;
  if (options.distortion.kind != DistortionKind::None)
    distorted.emplace(trainingSet.begin(), trainingSet.end());
  double bestCorrect = -1.0;
  bool savesSucceeded = true;
  EpochResult result{.epochCount = epochCount, .accuracy = std::nan(""), .bestAccuracy = std::nan("")};
  double rate = learningRate;
  for (uint32_t epoch = 0; epoch < epochCount; ++epoch) {
    const uint32_t seed = NextRandomSeed();
    std::mt19937 random(seed);
    if (distorted) {
      std::mt19937 sameRandom = random;
      ShuffleSamples(*distorted, sameRandom);
    }
    ShuffleSamples(trainingSet, random);
    if (distorted)
      DistortOnThreads(trainingSet, EpochDistortion(options.distortion, side, seed), *distorted, pool);
    engine.SetLearningRate(rate);
    engine.TrainEpoch(distorted ? *distorted : trainingSet, batchSize);

    result.epoch = epoch;
    result.learningRate = rate;
    rate *= options.learningRateDecay;
    bool save = true;
    if (testSet != nullptr) {
      const double correct = engine.CountCorrect(*testSet);
      result.accuracy = (correct * 100.0) / static_cast<double>(testSet->size());
      std::cout << "Epoch " << epoch << " accuracy: " << result.accuracy << "." << std::endl;
      save = correct > bestCorrect;
      if (save) {
        bestCorrect = correct;
        result.bestAccuracy = result.accuracy;
        result.bestEpoch = epoch;
      }
    }
    result.saved = result.saveFailed = false;
    if (save) {
      CopyFrom(engine);
      // A lost save must not go unnoticed: the file is the only result of hours of training.
      std::string errorMessage;
      SaveFile(networkFileName, &errorMessage);
      result.saved = errorMessage.empty();
      result.saveFailed = !result.saved;
      if (!errorMessage.empty()) {
        std::cout << errorMessage << std::endl;
        savesSucceeded = false;
      }
    }
    if (onEpoch) onEpoch(result);
  }
  CopyFrom(engine);
  // Leave the cache as the last forward pass of plain training would: the last test sample,
  // or else the last training sample (here through the final weights).
  if (epochCount > 0 && testSet != nullptr && !testSet->empty()) {
    FeedForward(testSet->back().pixels);
  } else if (epochCount > 0 && batchSize > 0 && !trainingSet.empty()) {
    FeedForward(trainingSet.back().pixels);
  }
  std::cout << std::endl;
  return savesSucceeded;
}

void NeuralNetwork::TrainMiniBatch(const ImageSet& samples, size_t first, size_t end) {
  std::vector<Matrix> weightSums = ZeroMatricesShapedLike(weights);
  std::vector<Vector> biasSums = ZeroVectorsShapedLike(biases);
  std::vector<Matrix> sampleWeightGradients = ZeroMatricesShapedLike(weights);
  std::vector<Vector> sampleBiasGradients = ZeroVectorsShapedLike(biases);

  for (size_t p = first; p < end; ++p) {
    FeedForward(samples[p].pixels);
    Backpropagate(samples[p].pixels, samples[p].target, sampleWeightGradients, sampleBiasGradients);
    for (size_t k = 0; k < weights.size(); ++k) {
      for (size_t r = 0; r < weightSums[k].rowCount; ++r) {
        weightSums[k].data[r] += sampleWeightGradients[k].data[r];
      }
      biasSums[k] += sampleBiasGradients[k];
    }
  }

  // W <- decay * W + g * sum of gradients; b <- b + g * sum. The gradients are those of the
  // log-likelihood, so adding them descends the cost.
  const double step = learningRate / static_cast<double>(end - first);
  for (size_t k = 0; k < weights.size(); ++k) {
    const Matrix negativeStep = (weightSums[k] * step) * -1.0;
    weights[k] = weights[k] * weightDecayFactor - negativeStep;
    const Vector negativeBiasStep = (biasSums[k] * step) * -1.0;
    biases[k] = biases[k] - negativeBiasStep;
  }
}

void NeuralNetwork::Backpropagate(std::span<const double> input, std::span<const double> target,
                                  std::vector<Matrix>& weightGradients, std::vector<Vector>& biasGradients) {
  // delta[k][i] is the derivative of the log-likelihood with respect to weightedInputs[k][i].
  // At the sigmoid output layer it simplifies exactly to t - a; the long form
  // t/a - (1-t)/(1-a) times a(1-a) divides 0 by 0 once an output saturates at 1.0.
  const size_t layerCount = weights.size();
  std::vector<Vector> delta = ZeroVectorsShapedLike(biases);
  for (size_t k = layerCount; k-- > 0;) {
    const std::span<const double> previousActivations = k == 0 ? input : activations[k - 1];
    for (size_t i = 0; i < delta[k].size(); ++i) {
      if (k + 1 == layerCount) {
        delta[k][i] = ElementAt(target, i) - activations[k][i];
      } else {
        double error = 0.0;
        for (size_t j = 0; j < delta[k + 1].size(); ++j) {
          error += weights[k + 1].data[j][i] * delta[k + 1][j];
        }
        delta[k][i] = error * SigmoidDerivative(weightedInputs[k][i]);
      }
      Vector& gradientRow = weightGradients[k].data[i];
      for (size_t c = 0; c < gradientRow.size(); ++c) {
        gradientRow[c] = delta[k][i] * ElementAt(previousActivations, c);
      }
      biasGradients[k][i] = delta[k][i];
    }
  }
}
