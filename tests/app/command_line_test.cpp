// End-to-end tests: the real mnist-mlp runs in a temporary folder that holds the files each test
// writes; its whole standard output, its standard error (empty unless it failed) and its exit
// status are checked.
#include "test_support.h"

namespace {

using Arguments = std::vector<std::string>;

const std::string kNoTestFiles =
    "Loading verification data...\nError detected during data load: Failed to open data files.\n";
const std::string kTrainingLoaded = "Loading training data...\nLoaded 30 training samples.\n";
const std::string kTestLoaded = "Loading verification data...\nLoaded 20 verification samples.\n";
const std::string kTrainingStart = kTrainingLoaded + kTestLoaded + "Initiating training sequence.\n";
const std::string kHeaderReadFailure = "Failed to read neural network header from disk.\n";
const std::string kEnsembleWriteFailure = "Failed to write neural network ensemble header to disk.\n";

// Runs the program under a name with a path (the usage text must repeat it as given) and checks
// the normalised standard output, the exit status, and an empty standard error on success (a
// failure may explain its cause there).
void ExpectRun(const TemporaryFolder& folder, const Arguments& arguments, const std::string& output,
               int exitCode, const Environment& environment = {}) {
  SCOPED_TRACE(testing::PrintToString(arguments));
  const ChildResult result = RunProgram(folder, arguments, environment, RLIM_INFINITY, "./bin/mnist-mlp");
  EXPECT_EQ(std::tuple(Normalised(result.output), result.exitCode), std::tuple(output, exitCode));
  EXPECT_EQ(exitCode == 0 ? result.errors : "", "");  // a failure may explain itself there
}

// Answers `digit` for every black image (its weights meet only zeros): one large bias.
NeuralNetwork AlwaysAnswers(uint32_t digit) {
  NeuralNetwork network = NeuralNetwork::WithLayers({784, 10}, 0.5, 1.0);
  network.biases[0].assign(10, -5.0);
  network.biases[0][digit] = 5.0;
  return network;
}

TEST(CommandLine, UsageTextOptionLettersEmptyNamesAndAnEscapingExceptionThatStopsTheCommandsAfterIt) {
  TemporaryFolder folder;
  const std::string usage =
      "Usage: ./bin/mnist-mlp [options]\n"
      "  --train  [output neural network filename]\t\t\tTrains a single neural network based on the MNIST "
      "dataset.\n"
      "  --combine [output ensemble filename] <network filenames>\tCombines a set of network files into a "
      "single ensemble file.\n"
      "  --verify [input ensemble filename] \t\t\t\tTests the accuracy of a neural network ensemble against "
      "the MNIST test set.\n";
  const std::string noTrainName = "You must specify a valid network filename to save the trained network.\n";
  const std::string noVerifyName = "You must specify a valid network filename to load.\n";
  const std::vector<std::tuple<Arguments, std::string, int>> cases{
      {{}, usage, 0},
      {{"--train"}, usage, 0},
      {{"xyz"}, usage, 0},
      // Only the first letter after at most two dashes counts; other arguments are skipped.
      {{"xyz", "abc"}, "", 0},
      {{"---train", "a.net"}, "", 0},
      {{"--Train", "a.net"}, "", 0},
      {{"", "--x"}, "", 0},
      {{"xyz", "verify.ens", "e.ens"}, kNoTestFiles, 1},
      // An option given last runs its command with an empty name.
      {{"xyz", "--train"}, noTrainName, 1},
      {{"--train", ""}, noTrainName, 1},
      {{"xyz", "--verify"}, noVerifyName, 1},
      {{"--verify", ""}, noVerifyName, 1},
      {{"xyz", "--combine"}, kEnsembleWriteFailure, 1},
  };
  for (const auto& [arguments, output, exitCode] : cases) ExpectRun(folder, arguments, output, exitCode);
  for (const char* option : {"--train", "-t", "--t", "train", "t", "--tx"})
    ExpectRun(folder, {option, "a.net"},
              "Loading training data...\nError detected during data load: Failed to open data files.\n", 1);
  EXPECT_EQ(folder.EntryCount(), 0u);

#ifdef MNIST_MLP_SANITIZED
  GTEST_SKIP() << "the sanitizers need more address space than the limit allows";
#endif
  WriteDataSets(folder.Root());
  // A one-member ensemble file of 19 MB.
  std::ofstream(folder.Path("big.ens"), std::ios::binary)
      << std::string("BB\1\0\0\0", 6) << RecordOf(NeuralNetwork::WithLayers({784, 3000, 10}, 0.5, 1.0));
  // The address-space limit carries over exec, so only the program runs short of memory.
  const ChildResult result = RunInChild([&] {
    const rlimit limit{14u << 20, 14u << 20};
    if (setrlimit(RLIMIT_AS, &limit) == 0 && chdir(folder.Root().c_str()) == 0)
      execl(MNIST_MLP_BINARY, "mnist-mlp", "--verify", "big.ens", "--combine", "out.ens", nullptr);
    return 127;
  });
  // The --combine after it must not run: no out.ens.
  EXPECT_EQ(std::tuple(result.output, result.errors, result.exitCode, folder.EntryCount()),
            std::tuple(kTestLoaded + "Stopped by an unexpected error: std::bad_alloc\n", "", 1, 5u));
}

// Refusals and failed saves first, then a run that succeeds in the same folder.
TEST(TrainCommand, RefusesBadDataOrOutputNamesAndOtherwisePrintsEveryEpoch) {
  TemporaryFolder folder;
  WriteDataSets(folder.Root(), 30, 0);
  ExpectRun(folder, {"--train", "a.net"}, kTrainingLoaded + kNoTestFiles, 1);
  const std::string needs = " pixels each, but the network needs 784 (28 x 28).\n";
  WriteDataSets(folder.Root(), 30, 20, 10);
  ExpectRun(folder, {"--train", "a.net"}, kTrainingLoaded + "The training images have 100" + needs, 1);
  WriteDataSets(folder.Root(), 30, 20, 28, 29);
  ExpectRun(folder, {"--train", "a.net"},
            kTrainingLoaded + kTestLoaded + "The verification images have 841" + needs, 1);
  EXPECT_FALSE(std::filesystem::exists(folder.Path("a.net")));

  WriteDataSets(folder.Root());
  const Environment oneEpoch{{"MNIST_MLP_EPOCHS", "1"}};
  std::filesystem::create_symlink("t10k-labels.idx1-ubyte", folder.Path("link"));
  const Bytes labels = ReadFile(folder.Path("t10k-labels.idx1-ubyte"));
  for (const std::string name : {"train-images.idx3-ubyte", "./t10k-labels.idx1-ubyte", "link"}) {
    const std::string dataFile = name == "train-images.idx3-ubyte" ? name : "t10k-labels.idx1-ubyte";
    ExpectRun(folder, {"--train", name},
              "The network file " + name + " is the MNIST data file " + dataFile +
                  "; choose another name so that training does not overwrite it.\n",
              1, oneEpoch);
  }
  EXPECT_EQ(ReadFile(folder.Path("t10k-labels.idx1-ubyte")), labels);
  EXPECT_TRUE(std::filesystem::is_symlink(folder.Path("link")));

  std::filesystem::create_directory(folder.Path("folder"));
  ExpectRun(folder, {"--train", "folder"},
            kTrainingStart +
                "Epoch 0 accuracy: A.\nFailed to write neural network header to disk.\n\nTraining took T "
                "seconds.\n",
            1, oneEpoch);
  // A name that looks like an option is still the value of --train; the seed's repeatability is
  // checked with the settings.
  ExpectRun(folder, {"--train", "--verify"},
            kTrainingStart + "Epoch 0 accuracy: A.\nEpoch 1 accuracy: A.\n\nTraining took T seconds.\n", 0,
            {{"MNIST_MLP_EPOCHS", "2"}});
  EXPECT_EQ(ReadFile(folder.Path("--verify")).size(), 4'992'938u);  // a 784-500-300-200-100-10 record
}

TEST(VerifyCommand, CountsWithTheMeanOfEveryMemberAndReportsWhatItCannotLoad) {
  TemporaryFolder folder;
  AlwaysAnswers(3).SaveFile(folder.Path("3.net"), nullptr);
  AlwaysAnswers(7).SaveFile(folder.Path("7.net"), nullptr);
  // The first member alone would answer 3 for every image.
  ExpectRun(folder, {"--combine", "e.ens", "3.net", "7.net", "7.net"}, "", 0);
  for (const auto& [labels, correct] : {std::pair{Bytes{7, 7, 3}, "2\nTraining accuracy: 66.6667"},
                                        std::pair{Bytes{7, 7, 7, 7}, "4\nTraining accuracy: 100"}}) {
    const auto count = static_cast<uint32_t>(labels.size());
    WriteFile(folder.Path("t10k-images.idx3-ubyte"), ImageFileBytes(count, 28, 28, Bytes(count * 784, 0)));
    WriteFile(folder.Path("t10k-labels.idx1-ubyte"), LabelFileBytes(labels));
    ExpectRun(folder, {"xyz", "--verify", "e.ens"},
              "Loading verification data...\nLoaded " + std::to_string(count) +
                  " verification samples.\nInitiating verification sequence.\nTotal correct: " + correct +
                  ".\nVerification took T seconds.\n",
              0);
  }

  const Bytes whole = ReadFile(folder.Path("e.ens"));
  WriteFile(folder.Path("cut.ens"), Bytes(whole.begin(), whole.end() - 1));
  for (const auto& [name, message] :
       {std::pair{"missing.ens", "Failed to read neural network ensemble header from disk.\n"},
        {"3.net", "The file 3.net holds a network, not an ensemble.\n"},
        {"cut.ens",
         "Neural network ensemble member 3 of 3 could not be read: Failed to read layer biases from "
         "disk.\n"}}) {
    ExpectRun(folder, {"--verify", name},
              "Loading verification data...\nLoaded 4 verification samples.\n" + std::string(message), 1);
  }
  WriteDataSets(folder.Root(), 30, 20, 28, 10);
  const std::string tooFew =
      "The ensemble's networks need 784 inputs, but the verification images have only 100 pixels.\n";
  ExpectRun(folder, {"--verify", "e.ens"}, kTestLoaded + tooFew, 1);
}

TEST(CombineCommand, WritesTheNetworksThatFitTheFirstInOrderAndReportsFailures) {
  TemporaryFolder folder;
  const std::string a = RecordOf(NeuralNetwork::WithLayers({784, 4, 10}, 0.5, 1.0));
  std::ofstream(folder.Path("a.net"), std::ios::binary) << a;
  std::ofstream(folder.Path("cut.net"), std::ios::binary) << a.substr(0, a.size() - 8);
  SaveNetworks(folder, {{"b.net", {784, 3, 3, 10}},
                        {"784-5.net", {784, 4, 5}},
                        {"100-10.net", {100, 4, 10}},
                        {"nolayers.net", {1}}});
  WriteFile(folder.Path("old.ens"), {1, 2, 3});
  const auto ensemble = [&](const Arguments& names) { return EnsembleOfFiles(folder, names); };
  const std::string notWritten = "No network could be loaded, so the ensemble file ";
  // Runs the command line and checks the file named after --combine: `contents`, or none when empty.
  const auto combine = [&](const Arguments& arguments, const std::string& output, int exitCode,
                           const Bytes& contents) {
    ExpectRun(folder, arguments, output, exitCode);
    const std::string& file = *(std::find(arguments.begin(), arguments.end(), "--combine") + 1);
    EXPECT_EQ(ReadFile(folder.Path(file)), contents) << file;
  };
  // Hidden layers may differ; networks whose input or output size differs from the first one's
  // are left out without a word.
  combine({"--combine", "1.ens", "b.net", "a.net", "b.net"}, "", 0, ensemble({"b.net", "a.net", "b.net"}));
  combine({"--combine", "2.ens", "a.net", "784-5.net"}, "", 0, ensemble({"a.net"}));
  combine({"--combine", "3.ens", "100-10.net", "a.net"}, "", 0, ensemble({"100-10.net"}));
  combine({"--combine", "4.ens", "missing.net", "cut.net", "nolayers.net", "a.net"},
          kHeaderReadFailure + "Failed to read layer biases from disk.\n" +
              "The network file nolayers.net holds no layers; it is left out.\n",
          1, ensemble({"a.net"}));
  // Every remaining argument names a network file, so no training runs.
  combine({"--combine", "5.ens", "a.net", "--train", "b.net"}, kHeaderReadFailure, 1,
          ensemble({"a.net", "b.net"}));
  // A failure neither stops the later commands nor is cleared by their success.
  combine({"--verify", "e.ens", "--combine", "6.ens", "a.net"}, kNoTestFiles, 1, ensemble({"a.net"}));
  combine({"--combine", "old.ens"}, notWritten + "old.ens was not written.\n", 1, {1, 2, 3});
  combine({"--combine", "7.ens", "missing.net"}, kHeaderReadFailure + notWritten + "7.ens was not written.\n",
          1, {});
}

}  // namespace
