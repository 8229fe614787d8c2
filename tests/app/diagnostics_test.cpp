// What a failed command tells a person on standard error, beside its documented message on
// standard output: the file and the system's reason, where the data files are looked for and
// how to get them, what to do with a network given to --verify, and a --train refused before
// any training because its output folder cannot take the file.
#include "test_support.h"

TEST(Diagnostics, AFailedDataLoadNamesEachUnreadableFileWhyTheFolderAndTheFetchCommand) {
  TemporaryFolder folder;
  const ChildResult none = RunProgram(folder, {"--train", "a.net"});  // its output: tests/app/command_line
  EXPECT_TRUE(none.diagnostics.starts_with(
      "mnist-mlp: cannot open train-images.idx3-ubyte: No such file or directory\n"
      "mnist-mlp: cannot open train-labels.idx1-ubyte: No such file or directory\n"
      "mnist-mlp: the data files are looked up in the working directory, " +
      std::filesystem::canonical(folder.Root()).string() + "; to get MNIST there, run "))
      << none.diagnostics;
  EXPECT_TRUE(none.diagnostics.ends_with("scripts/get-mnist . in it\n")) << none.diagnostics;

  // Only the unreadable one is named; a folder in a file's place is called one.
  std::filesystem::create_directory(folder.Path("t10k-images.idx3-ubyte"));
  WriteFile(folder.Path("t10k-labels.idx1-ubyte"), LabelFileBytes({1}));
  const std::string diagnostics = RunProgram(folder, {"--verify", "e.ens"}).diagnostics;
  EXPECT_TRUE(
      diagnostics.starts_with("mnist-mlp: t10k-images.idx3-ubyte is a folder, not a file\n"
                              "mnist-mlp: the data files are looked up"))
      << diagnostics;
}

TEST(Diagnostics, VerifyOfANetworkFileShowsTheCombineThatMakesItAnEnsemble) {
  TemporaryFolder folder;
  WriteDataSets(folder.Root());
  // Rate 0.5 reads as an ensemble of 0 members, rate 0.1 as one of billions cut short.
  for (const double rate : {0.5, 0.1}) {
    NeuralNetwork::WithLayers({784, 10}, rate, 1.0).SaveFile(folder.Path("m.net"), nullptr);
    const ChildResult run = RunProgram(folder, {"--verify", "m.net"});
    EXPECT_EQ(run.output,
              "Loading verification data...\nLoaded 20 verification samples.\n"
              "The file m.net holds a network, not an ensemble.\n");
    EXPECT_EQ(
        run.diagnostics,
        "mnist-mlp: m.net is a network file, not an ensemble file; make a one-member ensemble of it with\n"
        "mnist-mlp:   mnist-mlp --combine m.ens m.net\n"
        "mnist-mlp: and verify that.\n");
  }

  // A name that is only the extension keeps it, so that the suggested ensemble has a name.
  std::filesystem::copy_file(folder.Path("m.net"), folder.Path(".net"));
  EXPECT_NE(RunProgram(folder, {"--verify", ".net"}).diagnostics.find("--combine .net.ens .net\n"),
            std::string::npos);
  EXPECT_EQ(RunProgram(folder, {"--verify", "missing.ens"}).diagnostics,
            "mnist-mlp: cannot open missing.ens: No such file or directory\n");
  // A damaged ensemble is no network either: no advice to combine it.
  WriteFile(folder.Path("bad.ens"), {0x42, 0x42, 1, 0, 0, 0, 0x42});
  EXPECT_EQ(RunProgram(folder, {"--verify", "bad.ens"}).diagnostics, "");

  // --combine names each network file it leaves out, with the system's reason where there is one.
  EXPECT_EQ(RunProgram(folder, {"--combine", "out.ens", "m.net", "missing.net", "bad.ens"}).diagnostics,
            "mnist-mlp: cannot open missing.net: No such file or directory\n"
            "mnist-mlp: bad.ens is not a whole network file (cut short, damaged or of another kind); it is "
            "left out\n");
}

TEST(Diagnostics, TrainRefusesAnOutputFolderThatCannotTakeTheFileBeforeLoadingAnything) {
  TemporaryFolder folder;
  WriteDataSets(folder.Root(), 10, 10);
  WriteFile(folder.Path("plain"), {1});
  std::filesystem::create_symlink("missing/target.net", folder.Path("link.net"));
  const size_t entries = folder.EntryCount();
  for (const auto& [name, reason] : std::vector<std::pair<std::string, std::string>>{
           {"missing/a.net", "missing: No such file or directory"},
           {"plain/a.net", "plain: Not a directory"},
           {"link.net", "missing: No such file or directory"}}) {
    const ChildResult run = RunProgram(folder, {"--train", name}, {{"MNIST_MLP_EPOCHS", "1"}});
    EXPECT_EQ(run.output + std::to_string(run.exitCode), "1");
    EXPECT_EQ(run.diagnostics, "mnist-mlp: cannot create the network file " + name + " in the folder " +
                                   reason + "; nothing was trained.\n");
  }
  EXPECT_EQ(folder.EntryCount(), entries);
  // A folder that takes the file keeps nothing of the check.
  std::filesystem::create_directory(folder.Path("out"));
  EXPECT_EQ(RunProgram(folder, {"--train", "out/a.net"}, {{"MNIST_MLP_EPOCHS", "1"}}).exitCode, 0);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.Path("out")), {}), 1);
}
