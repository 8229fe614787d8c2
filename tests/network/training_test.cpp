// Training: the gradient against finite differences, the plain mini-batch step, Train's epochs,
// output and saves, and the shuffle's fixed order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>

#include "network/random.h"
#include "network/shuffle.h"
#include "test_support.h"

namespace {

// Calls f(parameter of a, the same parameter of b, whether it is a weight) for every weight and
// bias of two networks of one shape.
template <class F>
void ForEachParameter(NeuralNetwork& a, NeuralNetwork& b, F f) {
  for (size_t k = 0; k < a.weights.size(); ++k) {
    for (size_t r = 0; r < a.weights[k].rowCount; ++r) {
      for (size_t c = 0; c < a.weights[k].columnCount; ++c)
        f(a.weights[k].data[r][c], b.weights[k].data[r][c], true);
      f(a.biases[k][r], b.biases[k][r], false);
    }
  }
}

// Minus the cross-entropy cost of one sample: the quantity whose gradient training ascends.
double LogLikelihood(NeuralNetwork& network, const ImageSample& sample) {
  const Vector a = network.FeedForward(sample.pixels), &t = sample.target;
  double sum = 0.0;
  for (size_t i = 0; i < a.size(); ++i) sum += t[i] * std::log(a[i]) + (1 - t[i]) * std::log(1 - a[i]);
  return sum;
}

TEST(Backpropagate, EveryLayerMatchesFiniteDifferences) {
  ResetRandomSeeds(3);
  NeuralNetwork network = NeuralNetwork::WithLayers({4, 3, 3, 2}, 0.5, 1.0);
  const ImageSample sample{{0.9, 0.1, 0.4, 0.7}, {0.0, 1.0}};
  NeuralNetwork analytic = network, numeric = network;  // only as containers of its shape
  network.FeedForward(sample.pixels);
  network.Backpropagate(sample.pixels, sample.target, analytic.weights, analytic.biases);
  ForEachParameter(network, numeric, [&](double& parameter, double& gradient, bool) {
    const double original = parameter, h = 1e-5;
    parameter = original + h;
    const double up = LogLikelihood(network, sample);
    parameter = original - h;
    gradient = (up - LogLikelihood(network, sample)) / (2 * h);
    parameter = original;
  });
  EXPECT_LT(LargestRelativeDifference(analytic, numeric), 1e-6);
}

TEST(TrainMiniBatch, DecaysTheWeightsAndAddsTheRateTimesTheMeanGradientOfItsRange) {
  ResetRandomSeeds(5);
  NeuralNetwork network = NeuralNetwork::WithLayers({3, 2, 2}, 0.5, 0.75);
  const ImageSet samples = RandomSamples(25, 3, 2, 6);
  NeuralNetwork expected = network, gradient = network, scratch = network;
  ForEachParameter(expected, network,
                   [](double& e, double& w, bool isWeight) { e = isWeight ? 0.75 * w : w; });
  for (size_t p = 20; p < 25; ++p) {
    scratch.FeedForward(samples[p].pixels);
    scratch.Backpropagate(samples[p].pixels, samples[p].target, gradient.weights, gradient.biases);
    ForEachParameter(expected, gradient, [](double& e, double& g, bool) { e += 0.5 / 5 * g; });
  }
  network.TrainMiniBatch(samples, 20, 25);
  EXPECT_LT(LargestRelativeDifference(network, expected), 1e-9);
}

// The long form of the output delta, t/a - (1-t)/(1-a) times a(1-a), is 0/0 at a = 1.0.
TEST(Train, SaturatedOutputStillTrainsToFiniteWeights) {
  TemporaryFolder folder;
  NeuralNetwork network = NeuralNetwork::WithLayers({1, 2, 1}, 0.5, 1.0);
  network.weights[0].data = {{50.0}, {50.0}};
  network.biases[0] = {0.0, 0.0};
  network.weights[1].data = {{40.0, 40.0}};  // weighted input 80: the output is exactly 1.0
  network.biases[1] = {0.0};
  ImageSet samples{{{1.0}, {0.0}}};
  ASSERT_EQ(network.FeedForward(samples[0].pixels)[0], 1.0);
  NeuralNetwork reference = network;
  reference.TrainMiniBatch(samples, 0, 1);
  network.epochCount = 20;
  testing::internal::CaptureStdout();
  network.Train(folder.Path("net"), samples, nullptr);
  testing::internal::GetCapturedStdout();
  for (NeuralNetwork* trained : {&network, &reference}) {
    ForEachParameter(*trained, *trained, [](double& w, double&, bool) { EXPECT_TRUE(std::isfinite(w)); });
    EXPECT_LT(trained->weights[1].data[0][0], 40.0);  // pushed away from the wrong answer
  }
}

// Two clusters that a straight line separates: the class lifts input 0 or input 2 by 1.
ImageSet SeparableSet(size_t count, unsigned seed) {
  ImageSet set = RandomSamples(count, 4, 2, seed);
  for (ImageSample& sample : set) sample.pixels[sample.target[0] == 1.0 ? 0 : 2] += 1.0;
  return set;
}

TEST(Train, LearnsASeparableSetPrintsEveryEpochAndKeepsTheBest) {
  TemporaryFolder folder;
  ResetRandomSeeds(21);
  NeuralNetwork network = NeuralNetwork::WithLayers({4, 6, 2}, 0.5, 1.0);
  ImageSet training = SeparableSet(200, 1);
  const ImageSet untouched = training;
  const ImageSet test = SeparableSet(100, 2);  // 100 samples: a count of correct ones is a percentage
  const double before = network.CountCorrect(test);
  network.epochCount = 8;
  testing::internal::CaptureStdout();
  EXPECT_TRUE(network.Train(folder.Path("net"), training, &test));
  std::istringstream lines(testing::internal::GetCapturedStdout());

  std::string line;
  double best = -1.0;
  for (unsigned epoch = 0; epoch < 8; ++epoch) {
    const std::string prefix = "Epoch " + std::to_string(epoch) + " accuracy: ";
    ASSERT_TRUE(std::getline(lines, line) && line.starts_with(prefix) && line.ends_with(".")) << line;
    best = std::max(best, std::stod(line.substr(prefix.size())));
  }
  EXPECT_TRUE(std::getline(lines, line) && line.empty() && !std::getline(lines, line))
      << "one empty line ends it";
  EXPECT_LT(before, 75.0);
  EXPECT_GE(best, 90.0);
  NeuralNetwork saved(folder.Path("net"));
  EXPECT_DOUBLE_EQ(saved.CountCorrect(test), best);
  // The best is reached early; later epochs that only tie it must not replace the file.
  EXPECT_FALSE(SameParameters(saved, network));
  EXPECT_NE(training[0].pixels, untouched[0].pixels) << "every epoch shuffles the training set";
}

TEST(Train, ReportsEveryFailedSaveAndGoesOn) {
  TemporaryFolder folder;
  NeuralNetwork network = NeuralNetwork::WithLayers({2, 2}, 0.5, 1.0);
  ImageSet samples{{{1.0, 0.0}, {1.0, 0.0}}};
  network.epochCount = 2;  // without a test set every epoch saves, here into a missing folder
  testing::internal::CaptureStdout();
  EXPECT_FALSE(network.Train(folder.Path("missing/net"), samples, nullptr));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Failed to write neural network header to disk.\n"
            "Failed to write neural network header to disk.\n\n");
  EXPECT_EQ(folder.EntryCount(), 0u);
}

// One seed must give one order on every standard library; the order below was derived from the
// algorithm in shuffle.h by a separate implementation of it and of std::mt19937.
TEST(ShuffleSamples, FixedSeedGivesItsGoldenOrder) {
  ImageSet samples;
  for (int i = 0; i < 12; ++i) samples.push_back({{double(i)}, {}});
  std::mt19937 engine(2024);
  ShuffleSamples(samples, engine);
  const double golden[] = {10, 0, 2, 9, 3, 11, 7, 1, 8, 5, 4, 6};
  for (size_t i = 0; i < 12; ++i) EXPECT_EQ(samples[i].pixels[0], golden[i]) << i;
}

}  // namespace
