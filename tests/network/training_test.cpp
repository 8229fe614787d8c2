// Training: the plain mini-batch step against finite differences, Train's epochs, output and
// saves, and the shuffle's fixed order.
#include "network/random.h"
#include "network/shuffle.h"
#include "test_support.h"

namespace {

// Minus the cross-entropy cost of the samples: the quantity whose gradient training ascends.
double LogLikelihood(NeuralNetwork& network, const ImageSet& samples) {
  double sum = 0.0;
  for (const SampleView sample : samples) {
    const Vector a = network.FeedForward(sample.pixels);
    const std::span<const double> t = sample.target;
    for (size_t i = 0; i < a.size(); ++i) sum += t[i] * std::log(a[i]) + (1 - t[i]) * std::log(1 - a[i]);
  }
  return sum;
}

// The step's gradient (from Backpropagate) is checked in every layer against central finite
// differences of the log-likelihood of the samples in its range.
TEST(TrainMiniBatch, DecaysTheWeightsAndAddsTheRateTimesTheMeanGradientOfItsRange) {
  ResetRandomSeeds(3);
  NeuralNetwork network = NeuralNetwork::WithLayers({4, 3, 3, 2}, 0.5, 0.75);
  const ImageSet samples = RandomSamples(25, 4, 2, 6), range(samples.begin() + 20, samples.end());
  NeuralNetwork trained = network;
  trained.TrainMiniBatch(samples, 20, 25);
  const auto expectStep = [&](double& parameter, double decay, double result) {
    const double original = parameter, h = 1e-5;
    parameter = original + h;
    const double up = LogLikelihood(network, range);
    parameter = original - h;
    const double gradient = (up - LogLikelihood(network, range)) / (2 * h);
    parameter = original;
    EXPECT_NEAR(result, decay * original + 0.5 / 5 * gradient, 1e-9);
  };
  for (size_t k = 0; k < 3; ++k) {
    for (size_t r = 0; r < network.weights[k].rowCount; ++r) {
      for (size_t c = 0; c < network.weights[k].columnCount; ++c)
        expectStep(network.weights[k].data[r][c], 0.75, trained.weights[k].data[r][c]);
      expectStep(network.biases[k][r], 1.0, trained.biases[k][r]);
    }
  }
}

// The long form of the output delta, t/a - (1-t)/(1-a) times a(1-a), is 0/0 at a = 1.0. Without
// a test set every epoch saves, here into a missing folder: each failure is printed, and
// training goes on.
// No epoch, or a batch of no samples, trains nothing: the weights stay, and so does the cache of
// the last forward pass, as plain training would make none (and it must not loop for ever).
TEST(Train, NothingToDoLeavesTheWeightsAndTheCache) {
  TemporaryFolder folder;
  ResetRandomSeeds(3);
  NeuralNetwork network = NeuralNetwork::WithLayers({13, 11, 10}, 0.5, 1.0);
  ImageSet samples = RandomSamples(20, 13, 10, 4);
  network.FeedForward(samples.front().pixels);
  const NeuralNetwork before = network;
  for (const auto& [epochs, batch] : {std::pair{0u, 10u}, std::pair{1u, 0u}}) {
    network.epochCount = epochs;
    network.batchSize = batch;
    testing::internal::CaptureStdout();
    network.Train(folder.Path("n.net"), samples, nullptr);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(LargestRelativeDifference(network, before), 0.0) << epochs << " epochs, batch " << batch;
    EXPECT_EQ(network.activations, before.activations) << epochs << " epochs, batch " << batch;
  }
}

TEST(Train, SaturatedOutputStillTrainsAndEveryFailedSaveIsReported) {
  NeuralNetwork network = NeuralNetwork::WithLayers({1, 2, 1}, 0.5, 1.0);
  network.weights[0].data = {{50.0}, {50.0}};
  network.weights[1].data = {{40.0, 40.0}};  // weighted input near 80: the output is exactly 1.0
  ImageSet samples{{{1.0}, {0.0}}};
  ASSERT_EQ(network.FeedForward(samples[0].pixels)[0], 1.0);
  NeuralNetwork reference = network;
  reference.TrainMiniBatch(samples, 0, 1);
  network.epochCount = 2;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(network.Train(TemporaryFolder().Path("missing/net"), samples, nullptr));
  EXPECT_EQ(
      testing::internal::GetCapturedStdout(),
      "Failed to write neural network header to disk.\nFailed to write neural network header to disk.\n\n");
  for (const NeuralNetwork* trained : {&network, &reference}) {
    const double w = trained->weights[1].data[0][0];
    EXPECT_TRUE(std::isfinite(w) && w < 40.0) << w;  // pushed away from the wrong answer
  }
}

// Two clusters that a straight line separates: the class lifts input 0 or input 2 by 1.
ImageSet SeparableSet(size_t count, unsigned seed) {
  ImageSet set;
  for (const SampleView random : RandomSamples(count, 4, 2, seed)) {
    ImageSample sample{ToVector(random.pixels), ToVector(random.target)};
    sample.pixels[sample.target[0] == 1.0 ? 0 : 2] += 1.0;
    set.push_back(sample);
  }
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
  EXPECT_LT(before, 75.0);
  EXPECT_GE(best, 90.0);
  NeuralNetwork saved(folder.Path("net"));
  EXPECT_DOUBLE_EQ(saved.CountCorrect(test), best);
  // The best is reached early; later epochs that only tie it must not replace the file.
  EXPECT_FALSE(SameParameters(saved, network));
  EXPECT_NE(ToVector(training[0].pixels), ToVector(untouched[0].pixels))
      << "every epoch shuffles the training set";
}

// Epoch e steps with rate x f^e: three epochs with decay 0.5 are three one-epoch runs with
// rates 0.5, 0.25 and 0.125 (the same seeds are drawn in the same order either way). The
// network keeps its starting rate.
TEST(Train, TheRateOfEpochEIsTheRateTimesTheDecayToThePowerE) {
  TemporaryFolder folder;
  const ImageSet samples = RandomSamples(30, 6, 3, 4);
  ResetRandomSeeds(8);
  NeuralNetwork decayed = NeuralNetwork::WithLayers({6, 5, 3}, 0.5, 1.0);
  decayed.epochCount = 3;
  ImageSet training = samples;
  testing::internal::CaptureStdout();
  std::vector<double> rates;
  decayed.Train(folder.Path("a"), training, nullptr,
                [&](const EpochResult& r) { rates.push_back(r.learningRate); },
                {.threadCount = 2, .learningRateDecay = 0.5, .distortion = {}});
  ResetRandomSeeds(8);
  NeuralNetwork stepwise = NeuralNetwork::WithLayers({6, 5, 3}, 0.5, 1.0);
  stepwise.epochCount = 1;
  training = samples;
  for (const double rate : {0.5, 0.25, 0.125}) {
    stepwise.learningRate = rate;
    stepwise.Train(folder.Path("b"), training, nullptr, {}, {.threadCount = 1, .distortion = {}});
  }
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(rates, (std::vector<double>{0.5, 0.25, 0.125}));
  EXPECT_EQ(decayed.learningRate, 0.5);
  stepwise.learningRate = 0.5;
  stepwise.epochCount = 3;
  EXPECT_TRUE(SameParameters(decayed, stepwise));
}

// Each image's distortion depends on the seed and its place alone: any thread count trains the
// same network, and the images given to training stay as they were (only reordered).
TEST(Train, DistortedTrainingIsTheSameOnAnyNumberOfThreads) {
  TemporaryFolder folder;
  const ImageSet samples = RandomSamples(50, 784, 10, 5);
  const ImageSet test = RandomSamples(20, 784, 10, 6);
  std::vector<Bytes> files;
  for (const uint32_t threads : {1u, 3u}) {
    ResetRandomSeeds(5);
    NeuralNetwork network = NeuralNetwork::WithLayers({784, 20, 10}, 0.5, 1.0);
    network.epochCount = 2;
    ImageSet training = samples;
    testing::internal::CaptureStdout();
    network.Train(folder.Path("n"), training, &test, {},
                  {.threadCount = threads, .distortion = *ParseDistortion("elastic:alpha=20,sigma=3")});
    testing::internal::GetCapturedStdout();
    files.push_back(ReadFile(folder.Path("n")));
    for (const SampleView sample : training) {
      bool found = false;
      for (const SampleView original : samples)
        found = found || std::equal(sample.pixels.begin(), sample.pixels.end(), original.pixels.begin());
      EXPECT_TRUE(found);
    }
  }
  EXPECT_EQ(files[0], files[1]);
  // Without distortions the same seed trains another network.
  ResetRandomSeeds(5);
  NeuralNetwork plain = NeuralNetwork::WithLayers({784, 20, 10}, 0.5, 1.0);
  plain.epochCount = 2;
  ImageSet training = samples;
  testing::internal::CaptureStdout();
  plain.Train(folder.Path("p"), training, &test);
  testing::internal::GetCapturedStdout();
  EXPECT_NE(ReadFile(folder.Path("p")), files[0]);
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
