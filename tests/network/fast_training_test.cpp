// The fast engine against the plain per-sample step it replaces: the same weights to rounding,
// for every kernel set this processor runs, and bit-identical results for any thread count.
#include "engine/training_engine.h"
#include "math/activation.h"
#include "network/random.h"
#include "test_support.h"

namespace {

using Batches = std::vector<std::pair<size_t, size_t>>;

std::vector<const LayerKernels*> AvailableKernels() {
  std::vector<const LayerKernels*> kernels{&PortableKernels(), Avx2Kernels(), Avx512Kernels()};
  std::erase(kernels, nullptr);
  return kernels;
}

NeuralNetwork TrainedByEngine(const NeuralNetwork& initial, const ImageSet& samples, const Batches& batches,
                              const LayerKernels& kernels, uint32_t threadCount) {
  ThreadPool pool(threadCount);
  TrainingEngine engine = initial.Engine(pool, kernels);
  for (const auto& [first, end] : batches) engine.TrainMiniBatch(samples, first, end);
  NeuralNetwork trained = initial;
  trained.CopyFrom(engine);
  return trained;
}

TEST(FastTraining, MatchesThePlainStepInEveryLayerForEveryKernelSetAndThreadCount) {
  // Odd sizes, none a multiple of a vector or tile, use the padding and every remainder path;
  // the default network's use whole tiles and the thread split of the real run.
  const ImageSet samples = RandomSamples(33, 784, 10, 1);
  struct Case {
    std::vector<uint32_t> layers;
    double decay;
    Batches batches;  // one on the default network (its rounding differences grow with every
                      // step), of more samples than a block of its widest rows takes at once
  };
  for (const Case& c : {Case{{13, 11, 9, 7, 5}, 1.0, {{0, 10}, {10, 20}, {20, 30}, {30, 33}}},
                        Case{{13, 11, 9, 7, 5}, 0.9, {{0, 10}, {10, 20}, {20, 30}, {30, 33}}},
                        Case{{784, 500, 300, 200, 100, 10}, 1.0, {{0, 33}}}}) {
    const auto& [layers, decay, batches] = c;
    ResetRandomSeeds(7);
    const NeuralNetwork initial = NeuralNetwork::WithLayers(layers, 0.5, decay);
    NeuralNetwork reference = initial;
    for (const auto& [first, end] : batches) reference.TrainMiniBatch(samples, first, end);
    for (size_t k = 0; k < layers.size() - 1; ++k)
      ASSERT_NE(reference.weights[k].data, initial.weights[k].data);
    for (const LayerKernels* kernels : AvailableKernels()) {
      for (uint32_t threads : {1u, 2u, 3u}) {
        EXPECT_LE(LargestRelativeDifference(TrainedByEngine(initial, samples, batches, *kernels, threads),
                                            reference),
                  1e-9)
            << kernels->name << ", " << threads << " threads, " << layers.size() << " layers, decay "
            << decay;
      }
    }
  }
}

TEST(FastTraining, AnEpochEqualsItsMiniBatchesOneAtATimeOnAnyThreadCount) {
  // TrainEpoch overlaps each update with the next forward pass; one layer takes another path.
  // Sizes whose shares among up to 8 threads fall at many rows, and threads with no rows of a
  // layer; mini-batches of 10 and a short last.
  for (const std::vector<uint32_t>& layers : {std::vector<uint32_t>{37, 75, 50, 17, 3}, {37, 3}}) {
    const ImageSet samples = RandomSamples(54, 37, 3, 14);
    ResetRandomSeeds(15);
    const NeuralNetwork initial = NeuralNetwork::WithLayers(layers, 0.5, 0.99);
    const Batches batches{{0, 10}, {10, 20}, {20, 30}, {30, 40}, {40, 50}, {50, 54}};
    const Batches unevenBatches{{0, 23}, {23, 24}, {24, 54}};  // several sample groups, and one
    for (const LayerKernels* kernels : AvailableKernels()) {
      const NeuralNetwork stepwise = TrainedByEngine(initial, samples, batches, *kernels, 1);
      const NeuralNetwork uneven = TrainedByEngine(initial, samples, unevenBatches, *kernels, 1);
      for (uint32_t threads : {1u, 2u, 3u, 5u, 8u}) {
        EXPECT_TRUE(
            SameParameters(uneven, TrainedByEngine(initial, samples, unevenBatches, *kernels, threads)));
        ThreadPool pool(threads);
        TrainingEngine engine = initial.Engine(pool, *kernels);
        engine.TrainEpoch(samples, 10);
        NeuralNetwork epoch = initial;
        epoch.CopyFrom(engine);
        EXPECT_TRUE(SameParameters(epoch, stepwise))
            << layers.size() << " layers, " << kernels->name << ", " << threads << " threads";
      }
    }
  }
}

TEST(FastTraining, CountsAsThePlainForwardPassAndLeavesTheLastSampleInTheCache) {
  ResetRandomSeeds(11);
  NeuralNetwork network = NeuralNetwork::WithLayers({13, 11, 10}, 0.5, 1.0);
  const ImageSet samples = RandomSamples(47, 13, 10, 6);  // not a whole number of blocks
  double expected = 0.0;
  for (const SampleView sample : samples) {
    if (ArgMax(sample.target) == ArgMax(network.FeedForward(sample.pixels))) expected += 1.0;
  }
  ASSERT_TRUE(expected > 0.0 && expected < 47.0) << expected;
  for (const LayerKernels* kernels : AvailableKernels()) {
    for (uint32_t threads : {1u, 3u}) {
      ThreadPool pool(threads);
      EXPECT_EQ(network.Engine(pool, *kernels).CountCorrect(samples), expected) << kernels->name;
    }
  }
  NeuralNetwork batched = network;
  EXPECT_EQ(batched.CountCorrect(samples), expected);
  network.FeedForward(samples.back().pixels);
  EXPECT_EQ(batched.activations, network.activations);
}

TEST(FastTraining, ClassifiesSpansOfInputsAsThePlainForwardPassAndRefusesWrongLengths) {
  ResetRandomSeeds(12);
  NeuralNetwork network = NeuralNetwork::WithLayers({13, 11, 10}, 0.5, 1.0);
  std::vector<double> weights, biases, inputs, outputs(47 * 10);
  for (size_t k = 0; k < 2; ++k) {
    for (const Vector& row : network.weights[k].data) weights.insert(weights.end(), row.begin(), row.end());
    biases.insert(biases.end(), network.biases[k].begin(), network.biases[k].end());
  }
  const ImageSet samples = RandomSamples(47, 13, 10, 6);  // two blocks and a part
  for (const SampleView sample : samples)
    inputs.insert(inputs.end(), sample.pixels.begin(), sample.pixels.end());
  const std::vector<uint32_t> sizes{13, 11, 10};
  for (const LayerKernels* kernels : AvailableKernels()) {
    const ForwardNetwork forward(sizes, weights, biases, *kernels);
    forward.Classify(inputs, outputs);
    for (size_t s = 0; s < samples.size(); ++s) {
      const Vector expected = network.FeedForward(samples[s].pixels);
      for (size_t i = 0; i < 10; ++i) ASSERT_NEAR(outputs[s * 10 + i], expected[i], 1e-12) << kernels->name;
    }
    EXPECT_THROW(forward.Classify(std::span(inputs).first(14), std::span(outputs).first(10)),
                 std::invalid_argument);
    EXPECT_THROW(forward.Classify(std::span(inputs).first(13), std::span(outputs).first(9)),
                 std::invalid_argument);
  }
  EXPECT_THROW(ForwardNetwork(sizes, std::span(weights).first(weights.size() - 1), biases),
               std::invalid_argument);
}

TEST(FastTraining, ShortSamplesAndBrokenShapesThrowBeforeAnythingChanges) {
  ResetRandomSeeds(13);
  const NeuralNetwork initial = NeuralNetwork::WithLayers({4, 3, 2}, 0.5, 1.0);
  ThreadPool pool(2);
  const ImageSet samples = RandomSamples(11, 4, 2, 8);
  ImageSet shortPixels = samples, shortTarget(samples.begin(), samples.begin() + 3);
  shortPixels.push_back({{0.5, 0.5, 0.5}, {1.0, 0.0}});
  shortTarget.push_back({{0.5, 0.5, 0.5, 0.5}, {1.0}});
  TrainingEngine engine = initial.Engine(pool);
  EXPECT_THROW(engine.TrainEpoch(shortPixels, 10), std::out_of_range);
  EXPECT_THROW(engine.CountCorrect(shortPixels), std::out_of_range);
  EXPECT_THROW(engine.TrainMiniBatch(shortTarget, 0, 4), std::out_of_range);
  NeuralNetwork after = initial;
  after.CopyFrom(engine);
  EXPECT_TRUE(SameParameters(after, initial));
  EXPECT_NO_THROW(engine.CountCorrect(samples));  // counting reads no target beyond its length

  NeuralNetwork broken = initial;
  broken.weights[1].data[0].pop_back();  // a row shorter than its matrix says
  EXPECT_THROW(broken.Engine(pool), std::out_of_range);
  broken.weights[1] = Matrix(4, 2);  // takes 4 inputs from a layer of 3
  EXPECT_THROW(broken.Engine(pool), std::out_of_range);
}

}  // namespace
