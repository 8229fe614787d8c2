// The training settings end to end: unset they change nothing, set they shape and train the
// network the file then holds, and an invalid one stops the program before any command.
#include "network/random.h"
#include "network/shuffle.h"
#include "test_support.h"

namespace {

ImageSet LoadSet(const TemporaryFolder& folder, const std::string& prefix) {
  ImageSet set;
  std::string message;
  LoadImageSet(folder.Path(prefix + "-images.idx3-ubyte"), folder.Path(prefix + "-labels.idx1-ubyte"), &set,
               &message);
  EXPECT_EQ(message, "");
  return set;
}

TEST(TrainSettings, UnsetOrAtTheirDefaultsTheyTrainTheDocumentedNetworkByteForByte) {
  TemporaryFolder folder;
  WriteDataSets(folder.Root());
  const Environment seeded{{"MNIST_MLP_SEED", "3"}, {"MNIST_MLP_EPOCHS", "2"}};
  Environment defaults = seeded;
  defaults.insert(defaults.end(), {{"MNIST_MLP_LEARNING_RATE", "0.5"},
                                   {"MNIST_MLP_BATCH_SIZE", "10"},
                                   {"MNIST_MLP_HIDDEN_LAYERS", "500,300,200,100"},
                                   {"MNIST_MLP_WEIGHT_DECAY", "1"},
                                   {"MNIST_MLP_PROGRESS", "0"}});
  // What the train command always did: the training constructor with the fixed sizes and
  // hyperparameters, on the same seed.
  const ChildResult constructor = RunInChild([&] {
    ClearSettings();
    setenv("MNIST_MLP_EPOCHS", "2", 1);
    ResetRandomSeeds(3);
    ImageSet trainingSet = LoadSet(folder, "train");
    const ImageSet testSet = LoadSet(folder, "t10k");
    NeuralNetwork(folder.Path("constructor.net"), {784, 500, 300, 200, 100, 10}, 0.5, 1.0, trainingSet,
                  &testSet);
    return 0;
  });
  const Bytes documented = ReadFile(folder.Path("constructor.net"));
  ASSERT_EQ(documented.size(), 4'992'938u);
  // The thread count changes nothing either.
  std::vector<Environment> environments{seeded, defaults};
  for (const char* threads : {"1", "2", "3", "5", "8"}) {
    environments.push_back(seeded);
    environments.back().emplace_back("MNIST_MLP_THREADS", threads);
  }
  for (const Environment& environment : environments) {
    const ChildResult run = RunProgram(folder, {"--train", "a.net"}, environment);
    EXPECT_EQ(run.output.substr(0, run.output.rfind("Training took ")),
              "Loading training data...\nLoaded 30 training samples.\nLoading verification data...\n"
              "Loaded 20 verification samples.\nInitiating training sequence.\n" +
                  constructor.output);
    EXPECT_EQ(run.errors + run.diagnostics, "");
    EXPECT_EQ(ReadFile(folder.Path("a.net")), documented);
  }
}

TEST(TrainSettings, AnotherShapeRateBatchAndDecayAreStoredAndTrainedAsThePlainStep) {
  TemporaryFolder folder;
  WriteDataSets(folder.Root());
  const Environment custom{{"MNIST_MLP_HIDDEN_LAYERS", "30"}, {"MNIST_MLP_LEARNING_RATE", "0.1"},
                           {"MNIST_MLP_BATCH_SIZE", "7"},     {"MNIST_MLP_WEIGHT_DECAY", "0.999"},
                           {"MNIST_MLP_SEED", "5"},           {"MNIST_MLP_EPOCHS", "1"}};
  ASSERT_EQ(RunProgram(folder, {"--train", "one.net"}, custom).exitCode, 0);
  NeuralNetwork trained;
  trained.LoadFile(folder.Path("one.net"), nullptr);

  // The same epoch by the plain per-sample step: the run's seeds, its shuffle, then
  // mini-batches of 7, 7, 7, 7 and 2 samples. Equal records would mean equal header fields.
  ResetRandomSeeds(5);
  NeuralNetwork reference = NeuralNetwork::WithLayers({784, 30, 10}, 0.1, 0.999);
  reference.batchSize = 7;
  reference.epochCount = 1;
  const NeuralNetwork initial = reference;
  ImageSet trainingSet = LoadSet(folder, "train");
  std::mt19937 shuffle(NextRandomSeed());
  ShuffleSamples(trainingSet, shuffle);
  for (size_t first = 0; first < trainingSet.size(); first += 7)
    reference.TrainMiniBatch(trainingSet, first, std::min(first + 7, trainingSet.size()));
  ASSERT_GT(LargestRelativeDifference(reference, initial), 1e-3);
  EXPECT_EQ(RecordOf(trained).substr(0, 46), RecordOf(reference).substr(0, 46));  // header and sizes
  EXPECT_LE(LargestRelativeDifference(trained, reference), 1e-9);
}

TEST(TrainSettings, AnInvalidSettingOrAnOversizedNetworkStopsBeforeAnythingIsRead) {
  TemporaryFolder folder;
  WriteDataSets(folder.Root());
  const ChildResult run =
      RunProgram(folder, {"--train", "a.net", "--verify", "a.net"}, {{"MNIST_MLP_SEED", "0x10"}});
  EXPECT_EQ(run.output + run.errors + std::to_string(run.exitCode), "1");
  EXPECT_EQ(
      run.diagnostics,
      "mnist-mlp: MNIST_MLP_SEED=\"0x10\" is not valid: it accepts a whole number from 0 to 4294967295 in "
      "decimal digits, or unset it.\n");
  const ChildResult huge = RunProgram(folder, {"--train", "a.net"}, {{"MNIST_MLP_HIDDEN_LAYERS", "100000"}});
  EXPECT_EQ(huge.output + std::to_string(huge.exitCode), "1");
  EXPECT_EQ(
      huge.diagnostics,
      "mnist-mlp: the network 784-100000-10 would have 79400000 weights, more than the 50000000 that --train "
      "allows; choose smaller MNIST_MLP_HIDDEN_LAYERS.\n");
  EXPECT_FALSE(std::filesystem::exists(folder.Path("a.net")));
  // Fewer than two arguments still print the usage text and nothing else.
  const ChildResult usage = RunProgram(folder, {"--train"}, {{"MNIST_MLP_EPOCHS", "x"}});
  EXPECT_TRUE(usage.output.starts_with("Usage: mnist-mlp [options]\n"));
  EXPECT_EQ(usage.diagnostics + std::to_string(usage.exitCode), "0");
}

}  // namespace
