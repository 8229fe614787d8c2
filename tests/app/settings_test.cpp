// The training settings end to end: unset they change nothing, set they shape and train the
// network the file then holds, and an invalid one stops the program before any command.
#include <cmath>

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
  // What the train command always did: the training constructor's sizes and hyperparameters
  // (with 2 epochs instead of its 300), on the same seed.
  const ChildResult constructor = RunInChild([&] {
    ResetRandomSeeds(3);
    ImageSet trainingSet = LoadSet(folder, "train");
    const ImageSet testSet = LoadSet(folder, "t10k");
    NeuralNetwork network = NeuralNetwork::WithLayers({784, 500, 300, 200, 100, 10}, 0.5, 1.0);
    network.epochCount = 2;
    network.Train(folder.Path("constructor.net"), trainingSet, &testSet);
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

TEST(TrainSettings, AnotherShapeRateBatchDecayAndScaledStartAreStoredAndTrainedAsThePlainStep) {
  TemporaryFolder folder;
  WriteDataSets(folder.Root());
  const Environment custom{{"MNIST_MLP_HIDDEN_LAYERS", "30"},
                           {"MNIST_MLP_LEARNING_RATE", "0.1"},
                           {"MNIST_MLP_BATCH_SIZE", "7"},
                           {"MNIST_MLP_WEIGHT_DECAY", "0.999"},
                           {"MNIST_MLP_SEED", "5"},
                           {"MNIST_MLP_EPOCHS", "1"},
                           {"MNIST_MLP_STARTING_WEIGHTS", "scaled"}};
  ASSERT_EQ(RunProgram(folder, {"--train", "one.net"}, custom).exitCode, 0);
  NeuralNetwork trained;
  trained.LoadFile(folder.Path("one.net"), nullptr);

  // The same epoch by the plain per-sample step: the run's seeds, its shuffle, then
  // mini-batches of 7, 7, 7, 7 and 2 samples. Equal records would mean equal header fields.
  ResetRandomSeeds(5);
  NeuralNetwork reference = NeuralNetwork::WithLayers({784, 30, 10}, 0.1, 0.999);
  for (Matrix& layer : reference.weights)  // scaled: each weight over the root of its inputs
    for (Vector& row : layer.data)
      for (double& weight : row) weight /= std::sqrt(static_cast<double>(row.size()));
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
  const std::vector<std::pair<Environment, std::string>> refusals{
      {{{"MNIST_MLP_SEED", "0x10"}},
       "MNIST_MLP_SEED=\"0x10\" is not valid: it accepts a whole number from 0 to 4294967295 in decimal "
       "digits, or "
       "unset it."},
      {{{"MNIST_MLP_HIDDEN_LAYERS", "100000"}},
       "the network 784-100000-10 would have 79400000 weights, more than the 50000000 that --train allows; "
       "choose "
       "smaller MNIST_MLP_HIDDEN_LAYERS."},
      {{{"MNIST_MLP_EPOCS", "2"}},
       "MNIST_MLP_EPOCS is not a known setting: did you mean MNIST_MLP_EPOCHS? (the README lists the "
       "settings), or "
       "unset it."},
  };
  for (const auto& [environment, refusal] : refusals) {
    const ChildResult run = RunProgram(folder, {"--train", "a.net"}, environment);
    EXPECT_EQ(run.output + run.errors + std::to_string(run.exitCode), "1");
    EXPECT_EQ(run.diagnostics, "mnist-mlp: " + refusal + "\n");
  }
  EXPECT_FALSE(std::filesystem::exists(folder.Path("a.net")));
  // Fewer than two arguments still print the usage text and nothing else.
  const ChildResult usage = RunProgram(folder, {"--train"}, {{"MNIST_MLP_EPOCHS", "x"}});
  EXPECT_TRUE(usage.output.starts_with("Usage: mnist-mlp [options]\n"));
  EXPECT_EQ(usage.diagnostics + std::to_string(usage.exitCode), "0");
}

}  // namespace

namespace {

TEST(TrainSettings, HeldOutImagesChooseTheSavedEpochAreNeverTrainedOnAndTheTestSetIsMeasuredOnce) {
  TemporaryFolder folder, twenty;
  WriteDataSets(folder.Root());
  WriteDataSets(twenty.Root(), 20);  // the same first 20 training images, and the same test set
  const Environment common{
      {"MNIST_MLP_SEED", "3"}, {"MNIST_MLP_HIDDEN_LAYERS", "20"}, {"MNIST_MLP_EPOCHS", "1"}};
  Environment heldOut = common;
  heldOut.emplace_back("MNIST_MLP_VALIDATION", "10");
  ASSERT_EQ(RunProgram(folder, {"--train", "held.net"}, heldOut).exitCode, 0);
  ASSERT_EQ(RunProgram(twenty, {"--train", "first.net"}, common).exitCode, 0);
  EXPECT_EQ(ReadFile(folder.Path("held.net")), ReadFile(twenty.Path("first.net")));

  heldOut[2] = {"MNIST_MLP_EPOCHS", "6"};
  heldOut.emplace_back("MNIST_MLP_LEARNING_RATE", "2");
  const ChildResult run = RunProgram(folder, {"--train", "best.net"}, heldOut);
  ImageSet training = LoadSet(folder, "train");
  const ImageSet held(training.begin() + 20, training.end()), test = LoadSet(folder, "t10k");
  NeuralNetwork saved(folder.Path("best.net"));
  // The epoch lines are percentages of the 10 held-out images, and the file holds their best.
  std::istringstream lines(run.output);
  double best = -1.0;
  for (std::string line; std::getline(lines, line);) {
    double accuracy = 0.0;
    if (std::sscanf(line.c_str(), "Epoch %*d accuracy: %lf", &accuracy) != 1) continue;
    EXPECT_EQ(std::fmod(accuracy, 10.0), 0.0) << line;
    best = std::max(best, accuracy);
  }
  EXPECT_EQ(saved.CountCorrect(held) * 10.0, best);
  const double correct = saved.CountCorrect(test);
  std::ostringstream expected;
  expected << "mnist-mlp: test accuracy of the saved network, chosen on the held-out images: "
           << correct * 5.0 << "% (" << correct << " of 20)\n";
  EXPECT_EQ(run.diagnostics, expected.str());

  const ChildResult all = RunProgram(folder, {"--train", "x.net"}, {{"MNIST_MLP_VALIDATION", "30"}});
  EXPECT_EQ(all.output + std::to_string(all.exitCode), "1");
  EXPECT_EQ(all.diagnostics,
            "mnist-mlp: MNIST_MLP_VALIDATION=30 is not valid: it must be below the 30 images of "
            "train-images.idx3-ubyte, or unset it.\n");
}

TEST(TrainSettings, ARunTooBigForMemoryIsRefusedAndHelpOptionsAreAnsweredOnStandardError) {
  TemporaryFolder folder;
  WriteDataSets(folder.Root());
  // Within both limits of the settings, but the mini-batch blocks alone need 22.6 GiB: refused
  // under an address-space limit of 2 GiB before anything is loaded. (The sanitizers reserve
  // more address space than that for themselves.)
#ifndef MNIST_MLP_SANITIZED
  const ChildResult big = RunInChild([&] {
    const rlimit limit{2ull << 30, 2ull << 30};
    setrlimit(RLIMIT_AS, &limit);
    return ExecExecutable(MNIST_MLP_BINARY, folder, {"--train", "a.net"},
                          {{"MNIST_MLP_HIDDEN_LAYERS", "60000"}, {"MNIST_MLP_BATCH_SIZE", "10000"}},
                          "mnist-mlp");
  });
  EXPECT_EQ(big.output + std::to_string(big.exitCode), "1");
  EXPECT_EQ(
      big.errors,
      "mnist-mlp: training 784-60000-10 in batches of 10000 would need about 23.7 GiB (mini-batch blocks "
      "22.6 GiB, weights 1.1 GiB, images 0 MiB), more than the 2.0 GiB this process may use; choose a "
      "smaller MNIST_MLP_BATCH_SIZE or MNIST_MLP_HIDDEN_LAYERS.\n");
#endif

  const ChildResult usage = RunProgram(folder, {});
  for (const std::vector<std::string>& arguments :
       std::vector<std::vector<std::string>>{{"--help"}, {"-h"}, {"--version"}, {"--help", "x", "-h"}}) {
    const ChildResult help = RunProgram(folder, arguments);
    EXPECT_EQ(help.output + std::to_string(help.exitCode), (arguments.size() < 2 ? usage.output : "") + "0");
    EXPECT_EQ(
        help.diagnostics,
        "mnist-mlp: run mnist-mlp with no arguments for the usage text; the README documents the commands "
        "and the MNIST_MLP_* settings.\n");
  }

  // The estimate reads no header from a named pipe, which would take it from the load.
  for (const char* name : {"train-images.idx3-ubyte", "train-labels.idx1-ubyte"}) {
    std::filesystem::rename(folder.Path(name), folder.Path(name) + ".file");
    ASSERT_TRUE(FeedPipe(folder.Path(name), folder.Path(name) + ".file"));
  }
  const ChildResult piped = RunProgram(
      folder, {"--train", "p.net"},
      {{"MNIST_MLP_EPOCHS", "1"}, {"MNIST_MLP_HIDDEN_LAYERS", "5"}, {"MNIST_MLP_VALIDATION", "10"}});
  EXPECT_EQ(piped.exitCode, 0) << piped.output;
  EXPECT_NE(piped.output.find("Loaded 30 training samples."), std::string::npos) << piped.output;
}

}  // namespace
