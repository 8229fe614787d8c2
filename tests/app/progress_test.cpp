// The progress of --train: on standard error only, when MNIST_MLP_PROGRESS=1 or standard error
// is a terminal (a pseudo-terminal made by `script`), and never a byte of it in standard output.
#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using Environment = std::vector<std::pair<std::string, std::string>>;

TEST(TrainProgress, AskedForItGoesToStandardErrorOnlyWithEachEpochsAccuracyBestAndSave) {
  TemporaryFolder folder;
  WriteDataSets(folder.Root());
  const Environment seeded{{"MNIST_MLP_SEED", "4"}, {"MNIST_MLP_EPOCHS", "3"}};
  const ChildResult quiet = RunProgram(folder, {"--train", "quiet.net"}, seeded);
  EXPECT_EQ(quiet.errors + quiet.diagnostics, "");
  Environment asked = seeded;
  asked.emplace_back("MNIST_MLP_PROGRESS", "1");
  const ChildResult shown = RunProgram(folder, {"--train", "shown.net"}, asked);
  EXPECT_EQ(WithoutTiming(shown.output), WithoutTiming(quiet.output));
  EXPECT_EQ(shown.errors, "");
  EXPECT_EQ(ReadFile(folder.Path("shown.net")), ReadFile(folder.Path("quiet.net")));

  // The expected lines, built from the accuracies on standard output.
  std::string expected =
      "mnist-mlp: training 784-500-300-200-100-10 on 30 samples: learning rate 0.5, batch size 10, "
      "weight decay 1, 3 epochs, T threads, K kernels\n";
  const std::regex epochLine(R"(Epoch ([0-9]) accuracy: ([0-9.]+)\.)");
  double best = -1.0;
  std::string bestEpoch;
  for (auto it = std::sregex_iterator(quiet.output.begin(), quiet.output.end(), epochLine);
       it != std::sregex_iterator(); ++it) {
    const std::string epoch = (*it)[1];
    const double accuracy = std::stod((*it)[2]);
    const bool saved = accuracy > best;
    if (saved) best = accuracy, bestEpoch = epoch;
    char line[200];
    std::snprintf(line, sizeof line,
                  "mnist-mlp: epoch %s (%d of 3): accuracy %.2f%%, best %.2f%% at epoch %s, %s; ",
                  epoch.c_str(), std::stoi(epoch) + 1, accuracy, best, bestEpoch.c_str(),
                  saved ? "saved" : "not saved");
    expected += line + std::string(epoch == "2" ? "S s per epoch, done\n" : "S s per epoch, about S left\n");
  }
  std::string normalised = std::regex_replace(shown.diagnostics, std::regex("[0-9]+ threads?"), "T threads");
  normalised = std::regex_replace(normalised, std::regex("[A-Za-z0-9-]+ kernels"), "K kernels");
  normalised = std::regex_replace(normalised, std::regex("[0-9.]+ s per epoch"), "S s per epoch");
  EXPECT_EQ(std::regex_replace(normalised, std::regex("about [0-9]+ s left"), "about S left"), expected);
}

TEST(TrainProgress, ATerminalShowsItUnlessTurnedOffAndALogOfStandardOutputStaysExact) {
  TemporaryFolder folder;
  WriteDataSets(folder.Root());
  const Environment seeded{{"MNIST_MLP_SEED", "4"}, {"MNIST_MLP_EPOCHS", "2"}};
  const std::string reference = WithoutTiming(RunProgram(folder, {"--train", "plain.net"}, seeded).output);
  // script runs the command with a pseudo-terminal as standard error; its transcript is what
  // the terminal showed.
  const auto onTerminal = [&](const Environment& environment) {
    return RunInChild([&] {
      ClearSettings();
      for (const auto& [name, value] : environment) setenv(name.c_str(), value.c_str(), 1);
      const std::string command = std::string("'") + MNIST_MLP_BINARY + "' --train t.net > out.log";
      if (chdir(folder.Root().c_str()) == 0)
        execlp("script", "script", "-qec", command.c_str(), "/dev/null", nullptr);
      return 127;
    });
  };
  const ChildResult terminal = onTerminal(seeded);
  EXPECT_NE(terminal.output.find("mnist-mlp: training 784-500-300-200-100-10"), std::string::npos)
      << terminal.output;
  EXPECT_NE(terminal.output.find("mnist-mlp: epoch 1 (2 of 2): accuracy "), std::string::npos);
  const Bytes log = ReadFile(folder.Path("out.log"));
  EXPECT_EQ(WithoutTiming(std::string(log.begin(), log.end())), reference);

  Environment off = seeded;
  off.emplace_back("MNIST_MLP_PROGRESS", "0");
  const ChildResult silenced = onTerminal(off);
  EXPECT_EQ(silenced.exitCode, 0);
  EXPECT_EQ(silenced.output, "");
}

}  // namespace
