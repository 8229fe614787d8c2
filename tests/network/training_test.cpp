#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <sstream>

#include "network/neural_network.h"
#include "network/random.h"
#include "network/shuffle.h"
#include "test_support.h"

namespace {

// Minus the cross-entropy cost of one sample: the quantity whose gradient training ascends.
double LogLikelihood(NeuralNetwork& network, const ImageSample& sample) {
  const Vector output = network.FeedForward(sample.pixels);
  double sum = 0.0;
  for (size_t i = 0; i < output.size(); ++i) {
    const double t = sample.target[i];
    sum += t * std::log(output[i]) + (1 - t) * std::log(1 - output[i]);
  }
  return sum;
}

void ExpectNearRelative(double actual, double expected, double tolerance, const std::string& where) {
  const double scale = std::max({std::fabs(actual), std::fabs(expected), 1e-4});
  EXPECT_LE(std::fabs(actual - expected) / scale, tolerance) << where << ": " << actual << " vs " << expected;
}

TEST(Backpropagate, EveryLayerMatchesFiniteDifferences) {
  ResetRandomSeeds(3);
  NeuralNetwork network = NeuralNetwork::WithLayers({4, 3, 3, 2}, 0.5, 1.0);
  const ImageSample sample{{0.9, 0.1, 0.4, 0.7}, {0.0, 1.0}};
  std::vector<Matrix> weightGradients;
  std::vector<Vector> biasGradients;
  for (const Matrix& m : network.weights) weightGradients.emplace_back(m.columnCount, m.rowCount);
  for (const Vector& b : network.biases) biasGradients.emplace_back(b.size(), 0.0);
  network.FeedForward(sample.pixels);
  network.Backpropagate(sample.pixels, sample.target, weightGradients, biasGradients);

  const double h = 1e-5;
  auto centralDifference = [&](double& parameter) {
    const double original = parameter;
    parameter = original + h;
    const double up = LogLikelihood(network, sample);
    parameter = original - h;
    const double down = LogLikelihood(network, sample);
    parameter = original;
    return (up - down) / (2 * h);
  };
  for (size_t k = 0; k < network.weights.size(); ++k) {
    for (size_t r = 0; r < network.weights[k].rowCount; ++r) {
      for (size_t c = 0; c < network.weights[k].columnCount; ++c) {
        ExpectNearRelative(weightGradients[k].data[r][c], centralDifference(network.weights[k].data[r][c]),
                           1e-6,
                           "weight " + std::to_string(k) + "," + std::to_string(r) + "," + std::to_string(c));
      }
      ExpectNearRelative(biasGradients[k][r], centralDifference(network.biases[k][r]), 1e-6,
                         "bias " + std::to_string(k) + "," + std::to_string(r));
    }
  }
}

TEST(TrainMiniBatch, StepsByLearningRateOverBatchSize) {
  ResetRandomSeeds(5);
  NeuralNetwork network = NeuralNetwork::WithLayers({3, 2, 2}, 0.5, 0.75);
  ImageSet samples;
  for (int i = 0; i < 25; ++i) {
    samples.push_back(
        {{0.1 * (i % 7), 0.05 * (i % 5), 0.3}, {i % 2 == 0 ? 1.0 : 0.0, i % 2 == 0 ? 0.0 : 1.0}});
  }
  // Expected step over samples 20..24: W <- 0.75 W + (0.5 / 5) * sum of gradients.
  NeuralNetwork expected = network;
  std::vector<Matrix> sums{Matrix(3, 2), Matrix(2, 2)};
  std::vector<Vector> biasSums{Vector(2), Vector(2)};
  for (size_t p = 20; p < 25; ++p) {
    std::vector<Matrix> g{Matrix(3, 2), Matrix(2, 2)};
    std::vector<Vector> b{Vector(2), Vector(2)};
    expected.FeedForward(samples[p].pixels);
    expected.Backpropagate(samples[p].pixels, samples[p].target, g, b);
    for (size_t k = 0; k < 2; ++k) {
      for (size_t r = 0; r < 2; ++r) sums[k].data[r] += g[k].data[r];
      biasSums[k] += b[k];
    }
  }
  network.TrainMiniBatch(samples, 20, 25);
  for (size_t k = 0; k < 2; ++k) {
    for (size_t r = 0; r < 2; ++r) {
      for (size_t c = 0; c < expected.weights[k].columnCount; ++c) {
        EXPECT_DOUBLE_EQ(network.weights[k].data[r][c],
                         0.75 * expected.weights[k].data[r][c] + 0.1 * sums[k].data[r][c]);
      }
      EXPECT_DOUBLE_EQ(network.biases[k][r], expected.biases[k][r] + 0.1 * biasSums[k][r]);
    }
  }
}

TEST(Train, RunsMiniBatchesOfTenTenAndFive) {
  TemporaryFolder folder;
  ResetRandomSeeds(9);
  NeuralNetwork trained = NeuralNetwork::WithLayers({2, 3, 2}, 0.5, 1.0);
  trained.epochCount = 1;
  NeuralNetwork replayed = trained;
  ImageSet samples;
  for (int i = 0; i < 25; ++i)
    samples.push_back({{0.04 * i, 1.0 - 0.04 * i}, {i < 12 ? 1.0 : 0.0, i < 12 ? 0.0 : 1.0}});
  ImageSet replayedSamples = samples;

  ResetRandomSeeds(100);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(trained.Train(folder.Path("net"), samples, nullptr));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n");

  ResetRandomSeeds(100);
  std::mt19937 engine(NextRandomSeed());
  ShuffleSamples(replayedSamples, engine);
  replayed.TrainMiniBatch(replayedSamples, 0, 10);
  replayed.TrainMiniBatch(replayedSamples, 10, 20);
  replayed.TrainMiniBatch(replayedSamples, 20, 25);
  for (size_t k = 0; k < 2; ++k) {
    for (size_t r = 0; r < trained.weights[k].rowCount; ++r) {
      for (size_t c = 0; c < trained.weights[k].columnCount; ++c) {
        ExpectNearRelative(trained.weights[k].data[r][c], replayed.weights[k].data[r][c], 1e-9, "weight");
      }
      ExpectNearRelative(trained.biases[k][r], replayed.biases[k][r], 1e-9, "bias");
    }
  }
  // Without a test set the file is written after every epoch.
  EXPECT_TRUE(std::filesystem::exists(folder.Path("net")));
}

TEST(Train, SaturatedOutputStillTrainsToFiniteWeights) {
  TemporaryFolder folder;
  NeuralNetwork network = NeuralNetwork::WithLayers({1, 2, 1}, 0.5, 1.0);
  network.weights[0].data = {{50.0}, {50.0}};
  network.biases[0] = {0.0, 0.0};
  network.weights[1].data = {{40.0, 40.0}};  // weighted input 80: the output is exactly 1.0
  network.biases[1] = {0.0};
  ImageSet samples{{{1.0}, {0.0}}};
  ASSERT_EQ(network.FeedForward(samples[0].pixels)[0], 1.0);
  network.epochCount = 20;
  testing::internal::CaptureStdout();
  network.Train(folder.Path("net"), samples, nullptr);
  testing::internal::GetCapturedStdout();
  for (const Matrix& m : network.weights) {
    for (const Vector& row : m.data) {
      for (double w : row) EXPECT_TRUE(std::isfinite(w));
    }
  }
  EXPECT_LT(network.weights[1].data[0][0], 40.0);  // pushed away from the wrong answer
}

// Two clusters that a straight line separates, 4 inputs, 2 classes.
ImageSet SeparableSet(int count, unsigned seed) {
  std::mt19937 engine(seed);
  std::uniform_real_distribution<double> noise(0.0, 0.3);
  ImageSet set;
  for (int i = 0; i < count; ++i) {
    const bool upper = i % 2 == 0;
    Vector pixels{noise(engine), noise(engine), noise(engine), noise(engine)};
    pixels[upper ? 0 : 2] += 0.7;
    set.push_back({pixels, {upper ? 1.0 : 0.0, upper ? 0.0 : 1.0}});
  }
  return set;
}

TEST(Train, LearnsASeparableSetAndKeepsTheBestEpoch) {
  TemporaryFolder folder;
  ResetRandomSeeds(21);
  NeuralNetwork network = NeuralNetwork::WithLayers({4, 6, 2}, 0.5, 1.0);
  ImageSet training = SeparableSet(200, 1);
  const ImageSet test = SeparableSet(100, 2);
  network.epochCount = 8;

  testing::internal::CaptureStdout();
  network.Train(folder.Path("net"), training, &test);
  const std::string output = testing::internal::GetCapturedStdout();

  std::istringstream lines(output);
  std::string line;
  double best = -1.0;
  for (unsigned epoch = 0; epoch < 8; ++epoch) {
    ASSERT_TRUE(std::getline(lines, line));
    const std::string prefix = "Epoch " + std::to_string(epoch) + " accuracy: ";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
    ASSERT_EQ(line.back(), '.');
    best = std::max(best, std::stod(line.substr(prefix.size())));
  }
  ASSERT_TRUE(std::getline(lines, line));
  EXPECT_EQ(line, "");
  EXPECT_FALSE(std::getline(lines, line));
  EXPECT_GE(best, 90.0);

  NeuralNetwork saved(folder.Path("net"));
  EXPECT_DOUBLE_EQ(saved.CountCorrect(test), best);  // 100 test samples: count == percent
}

TEST(Train, ZeroEpochsPrintOnlyAnEmptyLineAndWriteNothing) {
  TemporaryFolder folder;
  NeuralNetwork network = NeuralNetwork::WithLayers({2, 2}, 0.5, 1.0);
  network.epochCount = 0;
  ImageSet samples{{{1.0, 0.0}, {1.0, 0.0}}};
  testing::internal::CaptureStdout();
  network.Train(folder.Path("net"), samples, &samples);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n");
  EXPECT_FALSE(std::filesystem::exists(folder.Path("net")));
}

TEST(Train, FailedSaveIsReportedAndTrainingGoesOn) {
  TemporaryFolder folder;
  NeuralNetwork network = NeuralNetwork::WithLayers({2, 2}, 0.5, 1.0);
  network.epochCount = 2;
  ImageSet samples{{{1.0, 0.0}, {1.0, 0.0}}};
  testing::internal::CaptureStdout();
  EXPECT_FALSE(network.Train(folder.Path("missing/net"), samples, nullptr));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Failed to write neural network header to disk.\n"
            "Failed to write neural network header to disk.\n\n");
}

TEST(ShuffleSamples, TwoSamplesSwapWhenTheDrawIsEven) {
  for (uint32_t seed = 1; seed < 6; ++seed) {
    ImageSet samples{{{0.0}, {}}, {{1.0}, {}}};
    std::mt19937 engine(seed);
    std::mt19937 copy(seed);
    ShuffleSamples(samples, engine);
    const bool swapped = copy() % 2 == 0;  // j = r mod 2 differs from i = 1 when r is even
    EXPECT_EQ(samples[0].pixels[0], swapped ? 1.0 : 0.0);
    EXPECT_EQ(engine(), copy());  // exactly one value was drawn
  }
}

}  // namespace
