// End-to-end tests: the real mnist-mlp binary runs in a temporary folder that holds the IDX
// files each test writes, and its whole standard output and exit status are compared.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "ensemble/network_ensemble.h"
#include "math/activation.h"
#include "network/random.h"
#include "test_support.h"

namespace {

struct Outcome {
  std::string output;  // standard output
  std::string errors;  // standard error, which the program never uses
  int exitStatus = -1;
};

struct Settings {
  std::vector<std::pair<std::string, std::string>> environment;  // set after clearing MNIST_MLP_*
  std::string programName = "mnist-mlp";
  rlim_t addressSpaceLimit = 0;  // bytes; 0 for none
};

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
  close(fd);
  return text;
}

Outcome RunProgram(const TemporaryFolder& folder, std::vector<std::string> arguments,
                   const Settings& settings = {}) {
  arguments.insert(arguments.begin(), settings.programName);
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  int output[2];
  int errors[2];
  if (pipe(output) != 0 || pipe(errors) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    dup2(output[1], STDOUT_FILENO);
    dup2(errors[1], STDERR_FILENO);
    for (int fd : {output[0], output[1], errors[0], errors[1]}) close(fd);
    unsetenv("MNIST_MLP_EPOCHS");
    unsetenv("MNIST_MLP_SEED");
    for (const auto& [name, value] : settings.environment) setenv(name.c_str(), value.c_str(), 1);
    if (settings.addressSpaceLimit != 0) {
      const rlimit limit{settings.addressSpaceLimit, settings.addressSpaceLimit};
      setrlimit(RLIMIT_AS, &limit);
    }
    if (chdir(folder.Root().c_str()) == 0) execv(MNIST_MLP_BINARY, argv.data());
    _exit(127);
  }
  close(output[1]);
  close(errors[1]);
  Outcome outcome;
  outcome.output = ReadAll(output[0]);
  outcome.errors = ReadAll(errors[0]);
  int status = 0;
  waitpid(child, &status, 0);
  outcome.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return outcome;
}

// The elapsed seconds and epoch accuracies vary; they become T and A once their format is
// checked.
std::string Normalised(const std::string& output) {
  const std::regex time(R"(took [0-9]+(\.[0-9]+)?(e[-+][0-9]+)? seconds\.)");
  const std::regex accuracy(R"((Epoch [0-9]+ accuracy: )[0-9]+(\.[0-9]+)?\.)");
  return std::regex_replace(std::regex_replace(output, time, "took T seconds."), accuracy, "$1A.");
}

// count images of side x side pixels; image i is digit i % 10, drawn as a bright band of rows
// whose place depends on the digit, over faint noise.
void WriteImageFiles(const TemporaryFolder& folder, const std::string& imageName,
                     const std::string& labelName, uint32_t count, uint32_t side = 28,
                     uint32_t firstImage = 0) {
  Bytes pixels;
  Bytes labels;
  for (uint32_t i = firstImage; i < firstImage + count; ++i) {
    const uint32_t digit = i % 10;
    labels.push_back(static_cast<unsigned char>(digit));
    for (uint32_t p = 0; p < side * side; ++p) {
      const bool ink = (p / side) * 10 / side == digit;
      pixels.push_back(static_cast<unsigned char>((ink ? 180 : 0) + (i * 7919 + p * 104729) % 61));
    }
  }
  WriteBytes(folder.Path(imageName), ImageFileBytes(count, side, side, pixels));
  WriteBytes(folder.Path(labelName), LabelFileBytes(labels));
}

void WriteTrainingFiles(const TemporaryFolder& folder, uint32_t count = 30, uint32_t side = 28) {
  WriteImageFiles(folder, "train-images.idx3-ubyte", "train-labels.idx1-ubyte", count, side);
}

void WriteTestFiles(const TemporaryFolder& folder, uint32_t count = 20, uint32_t side = 28) {
  WriteImageFiles(folder, "t10k-images.idx3-ubyte", "t10k-labels.idx1-ubyte", count, side, 1000);
}

void WriteTestFilesWithLabels(const TemporaryFolder& folder, const Bytes& labels) {
  WriteBytes(folder.Path("t10k-images.idx3-ubyte"),
             ImageFileBytes(static_cast<uint32_t>(labels.size()), 28, 28, Bytes(labels.size() * 784, 0)));
  WriteBytes(folder.Path("t10k-labels.idx1-ubyte"), LabelFileBytes(labels));
}

void SaveNetwork(const NeuralNetwork& network, const std::string& path) {
  std::string message;
  network.SaveFile(path, &message);
  ASSERT_EQ(message, "");
}

void SaveEnsemble(const NetworkEnsemble& ensemble, const std::string& path) {
  std::string message;
  ensemble.Save(path, &message);
  ASSERT_EQ(message, "");
}

// Answers `digit` for every image: no weights, one large bias.
NeuralNetwork AlwaysAnswers(uint32_t digit) {
  NeuralNetwork network = NeuralNetwork::WithLayers({784, 10}, 0.5, 1.0);
  for (Vector& row : network.weights[0].data) row.assign(784, 0.0);
  network.biases[0].assign(10, -5.0);
  network.biases[0][digit] = 5.0;
  return network;
}

Bytes EnsembleFileOf(const std::vector<std::string>& networkPaths) {
  Bytes bytes{0x42, 0x42, static_cast<unsigned char>(networkPaths.size()), 0, 0, 0};
  for (const std::string& path : networkPaths) {
    const Bytes record = ReadBytes(path);
    bytes.insert(bytes.end(), record.begin(), record.end());
  }
  return bytes;
}

const std::string kUsage =
    "Usage: {} [options]\n"
    "  --train  [output neural network filename]\t\t\tTrains a single neural network based on the MNIST "
    "dataset.\n"
    "  --combine [output ensemble filename] <network filenames>\tCombines a set of network files into a "
    "single "
    "ensemble file.\n"
    "  --verify [input ensemble filename] \t\t\t\tTests the accuracy of a neural network ensemble against "
    "the MNIST "
    "test set.\n";
const std::string kNoTrainingFiles =
    "Loading training data...\nError detected during data load: Failed to open data files.\n";
const std::string kNoTestFiles =
    "Loading verification data...\nError detected during data load: Failed to open data files.\n";
const std::string kTrainingStart =
    "Loading training data...\nLoaded 30 training samples.\nLoading verification data...\n"
    "Loaded 20 verification samples.\nInitiating training sequence.\n";
const std::string kHeaderReadFailure = "Failed to read neural network header from disk.\n";
const std::string kEnsembleHeaderWriteFailure = "Failed to write neural network ensemble header to disk.\n";

std::string Usage(const std::string& programName) {
  std::string text = kUsage;
  return text.replace(text.find("{}"), 2, programName);
}

TEST(CommandLine, FewerThanTwoArgumentsPrintTheUsageText) {
  TemporaryFolder folder;
  Settings settings;
  settings.programName = "./bin/mnist-mlp";
  for (const std::vector<std::string>& arguments : {std::vector<std::string>{}, {"--train"}, {"xyz"}}) {
    const Outcome outcome = RunProgram(folder, arguments, settings);
    EXPECT_EQ(outcome.output, Usage("./bin/mnist-mlp"));
    EXPECT_EQ(outcome.errors, "");
    EXPECT_EQ(outcome.exitStatus, 0);
  }
}

TEST(CommandLine, UnrecognisedArgumentsAreSkippedSilently) {
  TemporaryFolder folder;
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"xyz", "abc"}, {"---train", "a.net"}, {"--Train", "a.net"}, {"", "--x"}}) {
    const Outcome outcome = RunProgram(folder, arguments);
    EXPECT_EQ(outcome.output, "") << arguments[0];
    EXPECT_EQ(outcome.exitStatus, 0);
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.Root()), {}), 0);
}

TEST(CommandLine, AnOptionIsItsFirstLetterAfterAtMostTwoDashes) {
  TemporaryFolder folder;
  for (const char* option : {"--train", "-t", "--t", "train", "t", "--tx"}) {
    EXPECT_EQ(RunProgram(folder, {option, "a.net"}).output, kNoTrainingFiles) << option;
  }
  const Outcome stray = RunProgram(folder, {"xyz", "verify.ens", "e.ens"});
  EXPECT_EQ(stray.output, kNoTestFiles);
  EXPECT_EQ(stray.exitStatus, 1);
}

TEST(CommandLine, AnOptionGivenLastRunsItsCommandWithAnEmptyName) {
  TemporaryFolder folder;
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{"xyz", "--train"}, "You must specify a valid network filename to save the trained network.\n"},
      {{"--train", ""}, "You must specify a valid network filename to save the trained network.\n"},
      {{"xyz", "--verify"}, "You must specify a valid network filename to load.\n"},
      {{"--verify", ""}, "You must specify a valid network filename to load.\n"},
      {{"xyz", "--combine"}, kEnsembleHeaderWriteFailure},
  };
  for (const auto& [arguments, expected] : cases) {
    const Outcome outcome = RunProgram(folder, arguments);
    EXPECT_EQ(outcome.output, expected) << arguments[0] << " " << arguments[1];
    EXPECT_EQ(outcome.exitStatus, 1);
  }
}

TEST(CommandLine, CombineTakesEveryRemainingArgumentAsANetworkFile) {
  TemporaryFolder folder;
  WriteTrainingFiles(folder);
  WriteTestFiles(folder);
  SaveNetwork(NeuralNetwork::WithLayers({4, 3, 2}, 0.5, 1.0), folder.Path("a.net"));
  const Outcome outcome = RunProgram(folder, {"--combine", "out.ens", "a.net", "--train", "b.net"});
  EXPECT_EQ(outcome.output, kHeaderReadFailure + kHeaderReadFailure);  // no training ran
  EXPECT_EQ(outcome.exitStatus, 1);
  EXPECT_EQ(ReadBytes(folder.Path("out.ens")), EnsembleFileOf({folder.Path("a.net")}));
  EXPECT_FALSE(std::filesystem::exists(folder.Path("b.net")));
}

TEST(CommandLine, CommandsRunInOrderAndAnyFailureMakesTheExitStatusOne) {
  TemporaryFolder folder;
  SaveNetwork(NeuralNetwork::WithLayers({4, 3, 2}, 0.5, 1.0), folder.Path("a.net"));
  const Outcome outcome =
      RunProgram(folder, {"--train", "b.net", "--verify", "e.ens", "--combine", "out.ens", "a.net"});
  EXPECT_EQ(outcome.output, kNoTrainingFiles + kNoTestFiles);
  EXPECT_EQ(outcome.exitStatus, 1);
  EXPECT_TRUE(std::filesystem::exists(folder.Path("out.ens")));

  const Outcome success = RunProgram(folder, {"--combine", "again.ens", "a.net"});
  EXPECT_EQ(success.output, "");
  EXPECT_EQ(success.exitStatus, 0);
}

TEST(CommandLine, AnEscapingExceptionIsOneLineAndExitStatusOne) {
#ifdef MNIST_MLP_SANITIZED
  GTEST_SKIP() << "the sanitizers need more address space than the limit allows";
#endif
  TemporaryFolder folder;
  WriteTestFiles(folder, 3);
  ResetRandomSeeds(5);
  SaveEnsemble({{NeuralNetwork::WithLayers({784, 3000, 10}, 0.5, 1.0)}}, folder.Path("big.ens"));  // 19 MB
  Settings settings;
  settings.addressSpaceLimit = 14u << 20;
  const Outcome outcome = RunProgram(folder, {"--verify", "big.ens", "--combine", "out.ens"}, settings);
  EXPECT_EQ(outcome.output,
            "Loading verification data...\nLoaded 3 verification samples.\n"
            "Stopped by an unexpected error: std::bad_alloc\n");
  EXPECT_EQ(outcome.errors, "");
  EXPECT_EQ(outcome.exitStatus, 1);
  EXPECT_FALSE(std::filesystem::exists(folder.Path("out.ens")));
}

TEST(TrainCommand, MissingDataFilesStopBeforeTraining) {
  TemporaryFolder folder;
  Outcome outcome = RunProgram(folder, {"--train", "a.net"});
  EXPECT_EQ(outcome.output, kNoTrainingFiles);
  EXPECT_EQ(outcome.exitStatus, 1);

  WriteTrainingFiles(folder);
  outcome = RunProgram(folder, {"--train", "a.net"});
  EXPECT_EQ(outcome.output, "Loading training data...\nLoaded 30 training samples.\n" + kNoTestFiles);
  EXPECT_EQ(outcome.exitStatus, 1);
  EXPECT_FALSE(std::filesystem::exists(folder.Path("a.net")));
}

TEST(TrainCommand, PrintsEveryStepAndSavesUnderANameThatLooksLikeAnOption) {
  TemporaryFolder folder;
  WriteTrainingFiles(folder);
  WriteTestFiles(folder);
  const Outcome outcome =
      RunProgram(folder, {"--train", "--verify"}, {.environment = {{"MNIST_MLP_EPOCHS", "2"}}});
  EXPECT_EQ(Normalised(outcome.output),
            kTrainingStart + "Epoch 0 accuracy: A.\nEpoch 1 accuracy: A.\n\nTraining took T seconds.\n");
  EXPECT_EQ(outcome.errors, "");
  EXPECT_EQ(outcome.exitStatus, 0);
  EXPECT_EQ(std::filesystem::file_size(folder.Path("--verify")), 4992938u);
}

TEST(TrainCommand, SameSeedGivesByteIdenticalNetworkFiles) {
  TemporaryFolder folder;
  WriteTrainingFiles(folder);
  WriteTestFiles(folder);
  const Settings seven{.environment = {{"MNIST_MLP_EPOCHS", "2"}, {"MNIST_MLP_SEED", "7"}}};
  const Outcome first = RunProgram(folder, {"--train", "a.net"}, seven);
  const Outcome second = RunProgram(folder, {"--train", "b.net"}, seven);
  EXPECT_EQ(Normalised(first.output), Normalised(second.output));
  EXPECT_EQ(ReadBytes(folder.Path("a.net")), ReadBytes(folder.Path("b.net")));
  EXPECT_EQ(ReadBytes(folder.Path("a.net")).size(), 4992938u);

  RunProgram(folder, {"--train", "c.net"},
             {.environment = {{"MNIST_MLP_EPOCHS", "2"}, {"MNIST_MLP_SEED", "8"}}});
  EXPECT_NE(ReadBytes(folder.Path("a.net")), ReadBytes(folder.Path("c.net")));
}

TEST(TrainCommand, RefusesImagesThatDoNotHave784Pixels) {
  TemporaryFolder folder;
  WriteTrainingFiles(folder, 30, 10);
  WriteTestFiles(folder);
  Outcome outcome = RunProgram(folder, {"--train", "a.net"});
  EXPECT_EQ(outcome.output,
            "Loading training data...\nLoaded 30 training samples.\n"
            "The training images have 100 pixels each, but the network needs 784 (28 x 28).\n");
  EXPECT_EQ(outcome.exitStatus, 1);

  WriteTrainingFiles(folder);
  WriteTestFiles(folder, 20, 29);
  outcome = RunProgram(folder, {"--train", "a.net"});
  EXPECT_EQ(outcome.output,
            "Loading training data...\nLoaded 30 training samples.\nLoading verification data...\n"
            "Loaded 20 verification samples.\n"
            "The verification images have 841 pixels each, but the network needs 784 (28 x 28).\n");
  EXPECT_EQ(outcome.exitStatus, 1);
  EXPECT_FALSE(std::filesystem::exists(folder.Path("a.net")));
}

TEST(TrainCommand, RefusesToSaveOverADataFile) {
  TemporaryFolder folder;
  WriteTrainingFiles(folder);
  WriteTestFiles(folder);
  std::filesystem::create_symlink("t10k-labels.idx1-ubyte", folder.Path("link"));
  const Bytes labels = ReadBytes(folder.Path("t10k-labels.idx1-ubyte"));
  for (const std::string name : {"train-images.idx3-ubyte", "./t10k-labels.idx1-ubyte", "link"}) {
    const Outcome outcome =
        RunProgram(folder, {"--train", name}, {.environment = {{"MNIST_MLP_EPOCHS", "1"}}});
    const std::string dataFile = name == "train-images.idx3-ubyte" ? name : "t10k-labels.idx1-ubyte";
    EXPECT_EQ(outcome.output, "The network file " + name + " is the MNIST data file " + dataFile +
                                  "; choose another name so that training does not overwrite it.\n");
    EXPECT_EQ(outcome.exitStatus, 1);
  }
  EXPECT_EQ(ReadBytes(folder.Path("t10k-labels.idx1-ubyte")), labels);
  EXPECT_TRUE(std::filesystem::is_symlink(folder.Path("link")));
}

TEST(TrainCommand, SavesThatAllFailMakeTheCommandFail) {
  TemporaryFolder folder;
  WriteTrainingFiles(folder);
  WriteTestFiles(folder);
  std::filesystem::create_directory(folder.Path("folder"));
  // A name so long that no temporary file fits beside it: the old file stays as it was.
  const std::string longName(250, 'n');
  WriteBytes(folder.Path(longName), {1, 2, 3});
  for (const std::string& name : {std::string("missing/a.net"), std::string("folder"), longName}) {
    const Outcome outcome =
        RunProgram(folder, {"--train", name}, {.environment = {{"MNIST_MLP_EPOCHS", "1"}}});
    EXPECT_EQ(Normalised(outcome.output),
              kTrainingStart +
                  "Epoch 0 accuracy: A.\nFailed to write neural network header to disk.\n"
                  "\nTraining took T seconds.\n");
    EXPECT_EQ(outcome.exitStatus, 1) << name;
  }
  EXPECT_EQ(ReadBytes(folder.Path(longName)), (Bytes{1, 2, 3}));
}

TEST(VerifyCommand, ReportsEachLoadFailureAndClassifiesNothing) {
  TemporaryFolder folder;
  EXPECT_EQ(RunProgram(folder, {"--verify", "e.ens"}).output, kNoTestFiles);
  WriteTestFiles(folder);
  SaveNetwork(NeuralNetwork::WithLayers({784, 10}, 0.5, 1.0), folder.Path("a.net"));
  WriteBytes(folder.Path("empty.ens"), {0x42, 0x42, 0, 0, 0, 0});
  Bytes cut = EnsembleFileOf({folder.Path("a.net")});
  cut.resize(cut.size() - 1);
  WriteBytes(folder.Path("cut.ens"), cut);
  const std::string loaded = "Loading verification data...\nLoaded 20 verification samples.\n";
  const std::vector<std::pair<std::string, std::string>> cases{
      {"missing.ens", "Failed to read neural network ensemble header from disk.\n"},
      {"empty.ens", "Invalid neural network ensemble file format detected.\n"},
      {"a.net", "Invalid neural network ensemble file format detected.\n"},
      {"cut.ens",
       "Neural network ensemble member 1 of 1 could not be read: Failed to read layer biases from disk.\n"},
  };
  for (const auto& [name, message] : cases) {
    const Outcome outcome = RunProgram(folder, {"--verify", name});
    EXPECT_EQ(outcome.output, loaded + message);
    EXPECT_EQ(outcome.exitStatus, 1);
  }
}

TEST(VerifyCommand, PrintsTheCountTheAccuracyAndTheTime) {
  TemporaryFolder folder;
  SaveEnsemble({{AlwaysAnswers(3)}}, folder.Path("e.ens"));
  const std::vector<std::pair<Bytes, std::string>> cases{
      {{3, 3, 7},
       "Loaded 3 verification samples.\nInitiating verification sequence.\nTotal correct: 2\n"
       "Training accuracy: 66.6667.\n"},
      {{3, 3, 3, 3},
       "Loaded 4 verification samples.\nInitiating verification sequence.\nTotal correct: 4\n"
       "Training accuracy: 100.\n"},
  };
  for (const auto& [labels, expected] : cases) {
    WriteTestFilesWithLabels(folder, labels);
    const Outcome outcome = RunProgram(folder, {"xyz", "--verify", "e.ens"});
    EXPECT_EQ(Normalised(outcome.output),
              "Loading verification data...\n" + expected + "Verification took T seconds.\n");
    EXPECT_EQ(outcome.errors, "");
    EXPECT_EQ(outcome.exitStatus, 0);
  }
}

TEST(VerifyCommand, RefusesAnEnsembleWithMoreInputsThanPixels) {
  TemporaryFolder folder;
  WriteTestFiles(folder, 20, 10);
  SaveEnsemble({{AlwaysAnswers(0)}}, folder.Path("e.ens"));
  const Outcome outcome = RunProgram(folder, {"--verify", "e.ens"});
  EXPECT_EQ(outcome.output,
            "Loading verification data...\nLoaded 20 verification samples.\n"
            "The ensemble's networks need 784 inputs, but the verification images have only 100 pixels.\n");
  EXPECT_EQ(outcome.exitStatus, 1);
}

TEST(CombineCommand, WritesTheNetworksInCommandLineOrderAndPrintsNothing) {
  TemporaryFolder folder;
  ResetRandomSeeds(2);
  SaveNetwork(NeuralNetwork::WithLayers({784, 30, 10}, 0.5, 1.0), folder.Path("a.net"));
  SaveNetwork(NeuralNetwork::WithLayers({784, 20, 20, 10}, 0.5, 1.0), folder.Path("b.net"));
  const Outcome outcome = RunProgram(folder, {"--combine", "e.ens", "b.net", "a.net", "b.net"});
  EXPECT_EQ(outcome.output, "");
  EXPECT_EQ(outcome.exitStatus, 0);
  EXPECT_EQ(ReadBytes(folder.Path("e.ens")),
            EnsembleFileOf({folder.Path("b.net"), folder.Path("a.net"), folder.Path("b.net")}));
}

TEST(CombineCommand, LeavesOutNetworksWhoseSizesDifferFromTheFirstSilently) {
  TemporaryFolder folder;
  SaveNetwork(NeuralNetwork::WithLayers({784, 4, 10}, 0.5, 1.0), folder.Path("784-10"));
  SaveNetwork(NeuralNetwork::WithLayers({784, 4, 5}, 0.5, 1.0), folder.Path("784-5"));
  SaveNetwork(NeuralNetwork::WithLayers({100, 4, 10}, 0.5, 1.0), folder.Path("100-10"));
  const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> cases{
      {{"784-10", "784-10", "784-5"}, {"784-10", "784-10"}},
      {{"100-10", "784-10"}, {"100-10"}},
  };
  for (const auto& [inputs, members] : cases) {
    std::vector<std::string> arguments{"--combine", "e.ens"};
    arguments.insert(arguments.end(), inputs.begin(), inputs.end());
    const Outcome outcome = RunProgram(folder, arguments);
    EXPECT_EQ(outcome.output, "");
    EXPECT_EQ(outcome.exitStatus, 0);
    std::vector<std::string> memberPaths;
    for (const std::string& member : members) memberPaths.push_back(folder.Path(member));
    EXPECT_EQ(ReadBytes(folder.Path("e.ens")), EnsembleFileOf(memberPaths));
  }
}

TEST(CombineCommand, LeavesOutNetworksThatDoNotLoad) {
  TemporaryFolder folder;
  SaveNetwork(NeuralNetwork::WithLayers({4, 3, 2}, 0.5, 1.0), folder.Path("a.net"));
  Bytes cut = ReadBytes(folder.Path("a.net"));
  cut.resize(cut.size() - 8);
  WriteBytes(folder.Path("cut.net"), cut);
  SaveNetwork(NeuralNetwork::WithLayers({1}, 0.5, 1.0), folder.Path("nolayers.net"));
  const Outcome outcome =
      RunProgram(folder, {"--combine", "e.ens", "missing.net", "cut.net", "nolayers.net", "a.net"});
  EXPECT_EQ(outcome.output, kHeaderReadFailure + "Failed to read layer biases from disk.\n" +
                                "The network file nolayers.net holds no layers; it is left out.\n");
  EXPECT_EQ(outcome.exitStatus, 1);
  EXPECT_EQ(ReadBytes(folder.Path("e.ens")), EnsembleFileOf({folder.Path("a.net")}));
}

TEST(CombineCommand, WritesNoFileWithoutALoadableNetwork) {
  TemporaryFolder folder;
  WriteBytes(folder.Path("e.ens"), {1, 2, 3});
  Outcome outcome = RunProgram(folder, {"--combine", "e.ens"});
  EXPECT_EQ(outcome.output, "No network could be loaded, so the ensemble file e.ens was not written.\n");
  EXPECT_EQ(outcome.exitStatus, 1);
  outcome = RunProgram(folder, {"--combine", "new.ens", "missing.net"});
  EXPECT_EQ(
      outcome.output,
      kHeaderReadFailure + "No network could be loaded, so the ensemble file new.ens was not written.\n");
  EXPECT_EQ(outcome.exitStatus, 1);
  EXPECT_EQ(ReadBytes(folder.Path("e.ens")), (Bytes{1, 2, 3}));
  EXPECT_FALSE(std::filesystem::exists(folder.Path("new.ens")));
}

TEST(CombineCommand, ReportsAFailedSave) {
  TemporaryFolder folder;
  SaveNetwork(NeuralNetwork::WithLayers({4, 3, 2}, 0.5, 1.0), folder.Path("a.net"));
  for (const char* name : {"", "missing/e.ens"}) {
    const Outcome outcome = RunProgram(folder, {"--combine", name, "a.net"});
    EXPECT_EQ(outcome.output, kEnsembleHeaderWriteFailure);
    EXPECT_EQ(outcome.exitStatus, 1);
  }
}

TEST(Ensemble, VerifyAnswersWithTheMeanOfDifferentlySeededMembers) {
  TemporaryFolder folder;
  WriteTrainingFiles(folder);
  WriteTestFiles(folder);
  for (const std::string seed : {"1", "2", "3"}) {
    const Outcome training =
        RunProgram(folder, {"--train", seed + ".net"},
                   {.environment = {{"MNIST_MLP_EPOCHS", "1"}, {"MNIST_MLP_SEED", seed}}});
    ASSERT_EQ(training.exitStatus, 0) << training.output;
  }
  ASSERT_EQ(RunProgram(folder, {"--combine", "e.ens", "1.net", "2.net", "3.net"}).exitStatus, 0);
  const Outcome outcome = RunProgram(folder, {"--verify", "e.ens"});
  ASSERT_EQ(outcome.exitStatus, 0);

  // The members' outputs, computed one by one and averaged here.
  ImageSet test;
  ASSERT_TRUE(LoadImageSet(folder.Path("t10k-images.idx3-ubyte"), folder.Path("t10k-labels.idx1-ubyte"),
                           &test, nullptr));
  std::vector<NeuralNetwork> members{NeuralNetwork(folder.Path("1.net")), NeuralNetwork(folder.Path("2.net")),
                                     NeuralNetwork(folder.Path("3.net"))};
  NetworkEnsemble combined;
  combined.Load(folder.Path("e.ens"), nullptr);
  ASSERT_EQ(combined.networks.size(), 3u);
  double expected = 0.0;
  bool someMemberWrong = false;
  for (const ImageSample& sample : test) {
    Vector mean(10, 0.0);
    for (NeuralNetwork& member : members) {
      const Vector output = member.FeedForward(sample.pixels);
      someMemberWrong = someMemberWrong || ArgMax(output) != ArgMax(sample.target);
      for (size_t i = 0; i < 10; ++i) mean[i] += output[i];
    }
    for (double& entry : mean) entry /= 3.0;
    EXPECT_EQ(combined.Evaluate(sample), mean);
    if (ArgMax(mean) == ArgMax(sample.target)) expected += 1.0;
  }
  ASSERT_TRUE(someMemberWrong);
  std::ostringstream lines;
  lines
      << "Loading verification data...\nLoaded 20 verification samples.\nInitiating verification sequence.\n"
      << "Total correct: " << expected << "\nTraining accuracy: " << expected * 100.0 / 20.0 << ".\n"
      << "Verification took T seconds.\n";
  EXPECT_EQ(Normalised(outcome.output), lines.str());
}

}  // namespace
