// The progress of --train: on standard error only, when MNIST_MLP_PROGRESS=1 or standard error
// is a terminal (a pseudo-terminal made by `script`), and never a byte of it in standard output.
#include <cstdio>

#include "test_support.h"

TEST(TrainProgress, AskedForOrOnATerminalItGoesToStandardErrorOnlyWithEachEpochsAccuracyBestAndSave) {
  TemporaryFolder folder;
  WriteDataSets(folder.Root());
  const Environment seeded{{"MNIST_MLP_SEED", "4"}, {"MNIST_MLP_EPOCHS", "3"}};
  const ChildResult quiet = RunProgram(folder, {"--train", "quiet.net"}, seeded);
  EXPECT_EQ(quiet.errors + quiet.diagnostics, "");
  Environment asked = seeded;
  asked.emplace_back("MNIST_MLP_PROGRESS", "1");
  const ChildResult shown = RunProgram(folder, {"--train", "shown.net"}, asked);
  EXPECT_EQ(Normalised(shown.output), Normalised(quiet.output));
  EXPECT_EQ(shown.errors, "");
  EXPECT_EQ(ReadFile(folder.Path("shown.net")), ReadFile(folder.Path("quiet.net")));

  // The opening line, then one line per epoch with the accuracy standard output shows.
  std::istringstream lines(shown.diagnostics);
  std::string line;
  std::getline(lines, line);
  EXPECT_TRUE(line.starts_with("mnist-mlp: training 784-500-300-200-100-10 on 30 samples: learning rate 0.5, "
                               "batch size 10, weight decay 1, 3 epochs, ") &&
              line.ends_with(" kernels"))
      << line;
  std::istringstream output(quiet.output);
  double best = -1.0;
  int epoch = 0, bestEpoch = 0;
  for (std::string outputLine; std::getline(output, outputLine);) {
    double accuracy = 0.0;
    if (std::sscanf(outputLine.c_str(), "Epoch %*d accuracy: %lf", &accuracy) != 1) continue;
    const bool saved = accuracy > best;
    if (saved) best = accuracy, bestEpoch = epoch;
    char expected[200];
    std::snprintf(expected, sizeof expected,
                  "mnist-mlp: epoch %d (%d of 3): accuracy %.2f%%, best %.2f%% at epoch %d, %s; ", epoch,
                  epoch + 1, accuracy, best, bestEpoch, saved ? "saved" : "not saved");
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_TRUE(line.starts_with(expected)) << line << "\nexpected: " << expected;
    EXPECT_TRUE(line.ends_with(epoch == 2 ? " s per epoch, done" : " s left")) << line;
    ++epoch;
  }
  EXPECT_EQ(epoch, 3);
  EXPECT_FALSE(std::getline(lines, line)) << line;

  // script runs the command with a pseudo-terminal as standard error; its transcript is what
  // the terminal showed. A log of standard output stays exact.
  const std::string command = std::string("'") + MNIST_MLP_BINARY + "' --train t.net > out.log";
  const auto onTerminal = [&](const Environment& environment) {
    return RunInChild([&] {
      return ExecExecutable("/usr/bin/script", folder, {"-qec", command, "/dev/null"}, environment, "script");
    });
  };
  const ChildResult terminal = onTerminal(seeded);
  // Its lines are those checked above; here only whether they are shown.
  EXPECT_NE(terminal.output.find("mnist-mlp: epoch 2 (3 of 3): accuracy "), std::string::npos)
      << terminal.output;
  const Bytes log = ReadFile(folder.Path("out.log"));
  EXPECT_EQ(Normalised(std::string(log.begin(), log.end())), Normalised(quiet.output));
  const ChildResult silenced = onTerminal({{"MNIST_MLP_EPOCHS", "1"}, {"MNIST_MLP_PROGRESS", "0"}});
  EXPECT_EQ(silenced.exitCode, 0);
  EXPECT_EQ(silenced.output, "");
}
