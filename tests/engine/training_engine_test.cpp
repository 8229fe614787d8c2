#include "engine/training_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "engine/kernels.h"
#include "math/activation.h"
#include "network/neural_network.h"
#include "network/random.h"
#include "test_support.h"

namespace {

// Every kernel set this processor can run: the engine must be right with each of them.
std::vector<const LayerKernels*> AvailableKernels() {
  std::vector<const LayerKernels*> kernels{&PortableKernels()};
  if (Avx2Kernels() != nullptr) kernels.push_back(Avx2Kernels());
  if (Avx512Kernels() != nullptr) kernels.push_back(Avx512Kernels());
  return kernels;
}

ImageSet RandomSamples(size_t count, size_t pixelCount, size_t digitCount, unsigned seed) {
  std::mt19937 engine(seed);
  std::uniform_real_distribution<double> pixel(0.0, 1.0);
  ImageSet samples(count);
  for (ImageSample& sample : samples) {
    sample.pixels.resize(pixelCount);
    for (double& value : sample.pixels) value = pixel(engine);
    sample.target.assign(digitCount, 0.0);
    sample.target[engine() % digitCount] = 1.0;
  }
  return samples;
}

NeuralNetwork TrainedByEngine(const NeuralNetwork& initial, const ImageSet& samples,
                              const std::vector<std::pair<size_t, size_t>>& batches,
                              const LayerKernels& kernels, uint32_t threadCount) {
  ThreadPool pool(threadCount);
  TrainingEngine engine = initial.Engine(pool, kernels);
  for (const auto& [first, end] : batches) engine.TrainMiniBatch(samples, first, end);
  NeuralNetwork trained = initial;
  trained.CopyFrom(engine);
  return trained;
}

// Largest |a - b| / max(|a|, |b|) over every weight and bias.
double LargestRelativeDifference(const NeuralNetwork& a, const NeuralNetwork& b) {
  double largest = 0.0;
  auto compare = [&](double x, double y) {
    const double scale = std::max({std::fabs(x), std::fabs(y), 1e-300});
    largest = std::max(largest, std::fabs(x - y) / scale);
  };
  for (size_t k = 0; k < a.weights.size(); ++k) {
    for (size_t r = 0; r < a.weights[k].rowCount; ++r) {
      for (size_t c = 0; c < a.weights[k].columnCount; ++c) {
        compare(a.weights[k].data[r][c], b.weights[k].data[r][c]);
      }
      compare(a.biases[k][r], b.biases[k][r]);
    }
  }
  return largest;
}

bool IdenticalParameters(const NeuralNetwork& a, const NeuralNetwork& b) {
  for (size_t k = 0; k < a.weights.size(); ++k) {
    if (a.weights[k].data != b.weights[k].data || a.biases[k] != b.biases[k]) return false;
  }
  return true;
}

// Odd sizes, none a multiple of a vector or tile, so that padding and every remainder path
// of the kernels are used.
const std::vector<uint32_t> kOddLayers{13, 11, 9, 7, 5};

TEST(TrainingEngine, MatchesThePlainStepOnASmallNetworkAfterSeveralMiniBatches) {
  const ImageSet samples = RandomSamples(33, 13, 5, 1);
  const std::vector<std::pair<size_t, size_t>> batches{{0, 10}, {10, 20}, {20, 30}, {30, 33}};
  for (double decay : {1.0, 0.9}) {
    ResetRandomSeeds(7);
    const NeuralNetwork initial = NeuralNetwork::WithLayers(kOddLayers, 0.5, decay);
    NeuralNetwork reference = initial;
    for (const auto& [first, end] : batches) reference.TrainMiniBatch(samples, first, end);
    ASSERT_GT(LargestRelativeDifference(reference, initial), 1e-3);  // training did move it
    for (const LayerKernels* kernels : AvailableKernels()) {
      for (uint32_t threads : {1u, 2u, 3u}) {
        const NeuralNetwork fast = TrainedByEngine(initial, samples, batches, *kernels, threads);
        EXPECT_LE(LargestRelativeDifference(fast, reference), 1e-9)
            << kernels->name << ", " << threads << " threads, decay " << decay;
      }
    }
  }
}

TEST(TrainingEngine, MatchesThePlainStepOnTheDefaultNetworkAfterOneMiniBatch) {
  ResetRandomSeeds(8);
  const NeuralNetwork initial = NeuralNetwork::WithLayers({784, 500, 300, 200, 100, 10}, 0.5, 1.0);
  const ImageSet samples = RandomSamples(10, 784, 10, 2);
  NeuralNetwork reference = initial;
  reference.TrainMiniBatch(samples, 0, 10);
  const NeuralNetwork fast = TrainedByEngine(initial, samples, {{0, 10}}, BestKernels(), 2);
  EXPECT_LE(LargestRelativeDifference(fast, reference), 1e-9);
  // Every layer learns, the first included.
  for (size_t k = 0; k < initial.weights.size(); ++k) {
    EXPECT_NE(fast.weights[k].data, initial.weights[k].data) << "layer " << k;
  }
}

TEST(TrainingEngine, ResultsDoNotDependOnTheThreadCount) {
  // Sizes whose shares among 2, 3 and 4 threads fall at many different rows and columns;
  // batches of 10, of 23 (more than one group of samples) and of 1.
  const std::vector<uint32_t> layers{37, 29, 23, 17, 3};
  const ImageSet samples = RandomSamples(54, 37, 3, 3);
  const std::vector<std::pair<size_t, size_t>> batches{{0, 10}, {10, 20}, {20, 43}, {43, 44}, {44, 54}};
  ResetRandomSeeds(9);
  const NeuralNetwork initial = NeuralNetwork::WithLayers(layers, 0.5, 0.99);
  for (const LayerKernels* kernels : AvailableKernels()) {
    const NeuralNetwork single = TrainedByEngine(initial, samples, batches, *kernels, 1);
    for (uint32_t threads : {2u, 3u, 4u}) {
      EXPECT_TRUE(IdenticalParameters(single, TrainedByEngine(initial, samples, batches, *kernels, threads)))
          << kernels->name << ", " << threads << " threads";
    }
  }
}

TEST(TrainingEngine, AnEpochEqualsItsMiniBatchesOneAfterTheOther) {
  // TrainEpoch overlaps each update with the next mini-batch's forward pass; the result must
  // be exactly that of the steps taken one at a time. One layer takes another path.
  for (const std::vector<uint32_t>& layers :
       {std::vector<uint32_t>{37, 29, 23, 17, 3}, std::vector<uint32_t>{37, 3}}) {
    const ImageSet samples = RandomSamples(54, 37, 3, 14);
    ResetRandomSeeds(15);
    const NeuralNetwork initial = NeuralNetwork::WithLayers(layers, 0.5, 0.99);
    const std::vector<std::pair<size_t, size_t>> batches{{0, 10},  {10, 20}, {20, 30},
                                                         {30, 40}, {40, 50}, {50, 54}};
    for (const LayerKernels* kernels : AvailableKernels()) {
      const NeuralNetwork stepwise = TrainedByEngine(initial, samples, batches, *kernels, 1);
      for (uint32_t threads : {1u, 2u, 3u}) {
        ThreadPool pool(threads);
        TrainingEngine engine = initial.Engine(pool, *kernels);
        engine.TrainEpoch(samples, 10);
        NeuralNetwork epoch = initial;
        epoch.CopyFrom(engine);
        EXPECT_TRUE(IdenticalParameters(epoch, stepwise))
            << layers.size() << " layers, " << kernels->name << ", " << threads << " threads";
      }
    }
  }
}

// Sets an environment variable for the life of the object.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    setenv(name, value, 1);
  }
  ~ScopedEnvironment() {
    if (old_.empty()) {
      unsetenv(name_);
    } else {
      setenv(name_, old_.c_str(), 1);
    }
  }

 private:
  const char* name_;
  std::string old_;
};

TEST(Train, WritesTheSameNetworkFileWithOneAndWithTwoThreads) {
  TemporaryFolder folder;
  const ImageSet test = RandomSamples(30, 37, 10, 4);
  std::vector<Bytes> files;
  std::vector<std::string> outputs;
  for (const char* threads : {"1", "2"}) {
    ScopedEnvironment setting("MNIST_MLP_THREADS", threads);
    ImageSet training = RandomSamples(95, 37, 10, 5);
    ResetRandomSeeds(10);
    NeuralNetwork network = NeuralNetwork::WithLayers({37, 21, 19, 10}, 0.5, 1.0);
    network.epochCount = 3;
    const std::string path = folder.Path(std::string("net") + threads);
    testing::internal::CaptureStdout();
    network.Train(path, training, &test);
    outputs.push_back(testing::internal::GetCapturedStdout());
    files.push_back(ReadBytes(path));
  }
  ASSERT_FALSE(files[0].empty());
  EXPECT_EQ(files[0], files[1]);
  EXPECT_EQ(outputs[0], outputs[1]);
}

TEST(TrainingEngine, CountCorrectEqualsTheCountOfThePlainForwardPass) {
  ResetRandomSeeds(11);
  NeuralNetwork network = NeuralNetwork::WithLayers({13, 11, 10}, 0.5, 1.0);
  const ImageSet samples = RandomSamples(47, 13, 10, 6);  // not a whole number of blocks
  double expected = 0.0;
  for (const ImageSample& sample : samples) {
    if (ArgMax(sample.target) == ArgMax(network.FeedForward(sample.pixels))) expected += 1.0;
  }
  ASSERT_GT(expected, 0.0);
  ASSERT_LT(expected, 47.0);
  for (const LayerKernels* kernels : AvailableKernels()) {
    for (uint32_t threads : {1u, 3u}) {
      ThreadPool pool(threads);
      EXPECT_EQ(network.Engine(pool, *kernels).CountCorrect(samples), expected)
          << kernels->name << ", " << threads << " threads";
    }
  }
  NeuralNetwork batched = network;
  EXPECT_EQ(batched.CountCorrect(samples), expected);
  network.FeedForward(samples.back().pixels);
  EXPECT_EQ(batched.activations, network.activations);  // the cache holds the last sample
  EXPECT_EQ(batched.weightedInputs, network.weightedInputs);
}

TEST(CountCorrectOfMeanOutput, AveragesMembersInOrderWithTiesToTheLowerIndex) {
  ResetRandomSeeds(12);
  std::vector<NeuralNetwork> members;
  for (uint32_t m = 0; m < 3; ++m) members.push_back(NeuralNetwork::WithLayers({9, 7 + 2 * m, 4}, 0.5, 1.0));
  const ImageSet samples = RandomSamples(45, 9, 4, 7);
  double expected = 0.0;
  for (const ImageSample& sample : samples) {
    Vector sum(4, 0.0);
    for (NeuralNetwork& member : members) sum += member.FeedForward(sample.pixels);
    for (double& value : sum) value = value / 3.0;
    if (ArgMax(sample.target) == ArgMax(sum)) expected += 1.0;
  }
  ThreadPool pool(2);
  std::vector<TrainingEngine> engines;
  for (const NeuralNetwork& member : members) engines.push_back(member.Engine(pool));
  EXPECT_EQ(CountCorrectOfMeanOutput({&engines[0], &engines[1], &engines[2]}, samples), expected);

  // Two members whose outputs tie on every digit: the answer is digit 0.
  NeuralNetwork flat = NeuralNetwork::WithLayers({1, 3}, 0.5, 1.0);
  flat.weights[0].data = {{0.0}, {0.0}, {0.0}};
  flat.biases[0] = {0.0, 0.0, 0.0};
  const ImageSet tied{{{1.0}, {1.0, 0.0, 0.0}}, {{1.0}, {0.0, 0.0, 1.0}}};
  TrainingEngine first = flat.Engine(pool);
  TrainingEngine second = flat.Engine(pool);
  EXPECT_EQ(CountCorrectOfMeanOutput({&first, &second}, tied), 1.0);
  EXPECT_EQ(CountCorrectOfMeanOutput({&first, &second}, {}), 0.0);
}

TEST(TrainingEngine, ShortSamplesThrowBeforeAnythingChanges) {
  ResetRandomSeeds(13);
  const NeuralNetwork initial = NeuralNetwork::WithLayers({4, 3, 2}, 0.5, 1.0);
  ThreadPool pool(2);
  ImageSet samples = RandomSamples(12, 4, 2, 8);
  samples[11].pixels.pop_back();
  TrainingEngine engine = initial.Engine(pool);
  EXPECT_THROW(engine.TrainEpoch(samples, 10), std::out_of_range);
  EXPECT_THROW(engine.CountCorrect(samples), std::out_of_range);
  samples[11].pixels.push_back(0.5);
  samples[3].target.pop_back();
  EXPECT_THROW(engine.TrainMiniBatch(samples, 0, 10), std::out_of_range);
  NeuralNetwork after = initial;
  after.CopyFrom(engine);
  EXPECT_TRUE(IdenticalParameters(after, initial));
  // Only the pixels matter for counting; a short target is simply never the answer's index.
  EXPECT_NO_THROW(engine.CountCorrect(samples));

  NeuralNetwork broken = initial;
  broken.weights[1].data[0].pop_back();  // a row shorter than its matrix says
  EXPECT_THROW(broken.Engine(pool), std::out_of_range);
}

}  // namespace
