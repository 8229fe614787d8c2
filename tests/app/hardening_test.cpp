// The real mnist-mlp against careless and hostile surroundings: an output that is also an
// input or a network, leftover temporary files, long names, links, a full disk, pipes, a
// failing standard output, a stored batch size that is absurd and millions of tiny images.
// Nothing may be lost or written elsewhere, every failed save must say why and keep the file
// that was there, and memory follows the input's size.
#include <cstring>

#include "ensemble/network_ensemble.h"
#include "test_support.h"

namespace fs = std::filesystem;

TEST(Hardening, CombineNeverReplacesOneOfItsInputsOrANetworkFile) {
  TemporaryFolder folder;
  SaveNetworks(folder, {{"a.net", {4, 3, 2}}, {"b.net", {4, 2}}});
  ASSERT_EQ(RunProgram(folder, {"--combine", "e.ens", "a.net", "b.net"}).exitCode, 0);
  fs::create_symlink("e.ens", folder.Path("link.ens"));
  const Bytes ensemble = ReadFile(folder.Path("e.ens")), network = ReadFile(folder.Path("a.net"));
  const std::vector<std::pair<std::vector<std::string>, std::string>> refusals{
      {{"--combine", "e.ens", "a.net", "e.ens"}, "The ensemble file e.ens is also the network file e.ens"},
      {{"--combine", "link.ens", "b.net", "./e.ens"},
       "The ensemble file link.ens is also the network file ./e.ens"},
      // The output name forgotten: the shell's expansion put a network file first.
      {{"--combine", "a.net", "b.net"}, "The ensemble file a.net holds a network"},
  };
  for (const auto& [arguments, refusal] : refusals) {
    const ChildResult result = RunProgram(folder, arguments);
    EXPECT_EQ(result.output, refusal + "; choose another name so that combining does not overwrite it.\n");
    EXPECT_EQ(result.exitCode, 1);
  }
  EXPECT_EQ(ReadFile(folder.Path("e.ens")), ensemble);
  EXPECT_EQ(ReadFile(folder.Path("a.net")), network);
  // An ensemble file may be replaced, through a link too.
  EXPECT_EQ(RunProgram(folder, {"--combine", "link.ens", "b.net"}).exitCode, 0);
  EXPECT_EQ(ReadFile(folder.Path("e.ens")), EnsembleOfFiles(folder, {"b.net"}));
}

TEST(Hardening, LeftoverTemporaryFilesAndNamesUpTo255BytesDoNotStopASave) {
  TemporaryFolder folder;
  SaveNetworks(folder, {{"a.net", {3, 2}}});
  // A killed process with the same PID (containers repeat them) left its temporary files.
  const ChildResult result = RunInChild([&] {
    for (char n : {'0', '1'}) WriteFile(folder.Path("e.ens.tmp-" + std::to_string(getpid()) + "-" + n), {9});
    return ExecExecutable(MNIST_MLP_BINARY, folder, {"--combine", "e.ens", "a.net"}, {}, "mnist-mlp");
  });
  EXPECT_EQ(result.exitCode, 0) << result.errors;
  EXPECT_EQ(ReadFile(folder.Path("e.ens")), EnsembleOfFiles(folder, {"a.net"}));
  for (size_t length : {241, 255}) {
    const std::string name(length, 'n');
    WriteFile(folder.Path(name), {1, 2, 3});
    EXPECT_EQ(RunProgram(folder, {"--combine", name, "a.net"}).exitCode, 0) << length;
    EXPECT_EQ(ReadFile(folder.Path(name)), EnsembleOfFiles(folder, {"a.net"})) << length;
  }
  EXPECT_EQ(folder.EntryCount(), 6u) << "the leftovers stay, and no temporary file is added";
}

TEST(Hardening, SavesFollowLinksRefuseLoopsAndSayWhyTheyFailedKeepingTheOldFile) {
  TemporaryFolder folder;
  WriteDataSets(folder.Root(), 20, 20);
  SaveNetworks(folder, {{"a.net", {100, 100, 10}}});  // 88,926 bytes
  fs::create_directories(folder.Path("links/sub"));
  fs::create_symlink("sub/new.ens", folder.Path("links/d.ens"));  // relative to the link's folder
  fs::create_symlink("links/d.ens", folder.Path("chain.ens"));
  EXPECT_EQ(RunProgram(folder, {"--combine", "chain.ens", "a.net"}).exitCode, 0);
  EXPECT_EQ(ReadFile(folder.Path("links/sub/new.ens")), EnsembleOfFiles(folder, {"a.net"}));
  EXPECT_TRUE(fs::is_symlink(folder.Path("links/d.ens")) && fs::is_symlink(folder.Path("chain.ens")));

  fs::create_symlink("loop-b.ens", folder.Path("loop-a.ens"));
  fs::create_symlink("loop-a.ens", folder.Path("loop-b.ens"));
  const Bytes previous{0x42, 0x42, 1, 0, 0, 0, 9, 9};
  WriteFile(folder.Path("full.ens"), previous);
  WriteFile(folder.Path("t.net"), previous);
  const size_t entries = folder.EntryCount();
  const std::string header = "Failed to write neural network ensemble header to disk.\n";
  const std::string weights = "Failed to write layer weights to disk.\n";
  const struct {
    std::vector<std::string> arguments;
    rlim_t fileSizeLimit;
    std::string output, cause;
  } failures[] = {
      {{"--combine", "loop-a.ens", "a.net"}, RLIM_INFINITY, header, std::strerror(ELOOP)},
      {{"--combine", "missing/e.ens", "a.net"}, RLIM_INFINITY, header, std::strerror(ENOENT)},
      {{"--combine", "full.ens", "a.net"}, 50'000, weights, std::strerror(EFBIG)},
      // The 784-500-300-200-100-10 record takes 4,992,938 bytes.
      {{"--train", "t.net"},
       1'000'000,
       "Loading training data...\nLoaded 20 training samples.\nLoading verification data...\nLoaded 20 "
       "verification samples.\nInitiating training sequence.\nEpoch 0 accuracy: A.\n" +
           weights + "\nTraining took T seconds.\n",
       std::strerror(EFBIG)},
  };
  for (const auto& failure : failures) {
    const ChildResult result =
        RunProgram(folder, failure.arguments, {{"MNIST_MLP_EPOCHS", "1"}}, failure.fileSizeLimit);
    EXPECT_EQ(Normalised(result.output), failure.output);  // standard output stays exactly as documented
    EXPECT_TRUE(result.diagnostics.starts_with("mnist-mlp: Could not save " + failure.arguments[1]) &&
                result.diagnostics.find(failure.cause) != std::string::npos)
        << result.diagnostics;
    EXPECT_EQ(result.exitCode, 1);
  }
  EXPECT_EQ(ReadFile(folder.Path("full.ens")), previous);
  EXPECT_EQ(ReadFile(folder.Path("t.net")), previous);
  EXPECT_TRUE(fs::is_symlink(folder.Path("loop-a.ens")));
  EXPECT_EQ(folder.EntryCount(), entries) << "no temporary file is left behind";
}

// Named pipes (a decompressor writing into a data file, /dev/stdin) are read like files, as far
// as the bytes that really arrive; and verification, which never trains, ignores the stored
// batch size.
TEST(Hardening, PipesAreReadLikeFilesAndVerifyIgnoresTheBatchSize) {
  TemporaryFolder folder;
  WriteDataSets(folder.Root(), 20, 20);
  SaveNetworks(folder, {{"a.net", {784, 10}}});
  std::string claim = RecordOf(NeuralNetwork::WithLayers({2, 1}, 0.5, 1.0)).substr(0, 34);
  for (uint32_t size : {1u << 28, 1u << 28}) claim.append(reinterpret_cast<const char*>(&size), 4);
  WriteFile(folder.Path("claim.net"), Bytes(claim.begin(), claim.end()));
  ASSERT_TRUE(FeedPipe(folder.Path("a.pipe"), folder.Path("a.net")) &&
              FeedPipe(folder.Path("claim.pipe"), folder.Path("claim.net")));
  const ChildResult combine = RunProgram(folder, {"--combine", "e.ens", "a.pipe", "claim.pipe"});
  EXPECT_EQ(combine.output, "Failed to read layer weights from disk.\n");
  EXPECT_EQ(ReadFile(folder.Path("e.ens")), EnsembleOfFiles(folder, {"a.net"}));

  NeuralNetwork network = NeuralNetwork::WithLayers({784, 10}, 0.5, 1.0);
  network.batchSize = 4'000'000'000u;
  std::string message;
  NetworkEnsemble{{network, network}}.Save(folder.Path("batch.ens"), &message);
  for (const char* name : {"t10k-images.idx3-ubyte", "t10k-labels.idx1-ubyte"}) {
    fs::rename(folder.Path(name), folder.Path(name) + ".file");
    ASSERT_TRUE(FeedPipe(folder.Path(name), folder.Path(name) + ".file"));
  }
  const ChildResult verify = RunProgram(folder, {"--verify", "batch.ens"});
  EXPECT_NE(verify.output.find("Loaded 20 verification samples.\nInitiating verification sequence.\nTotal"),
            std::string::npos)
      << verify.output;
  EXPECT_EQ(verify.exitCode, 0);
}

// Two million one-pixel images (4 MB of files) once took 343 MiB: two vectors per image.
TEST(Hardening, OnePixelImagesTakeMemoryInProportionToTheirFiles) {
  TemporaryFolder folder;
  constexpr uint32_t kCount = 2'000'000;
  Bytes labels(kCount);
  for (uint32_t i = 0; i < kCount; ++i) labels[i] = static_cast<unsigned char>(i % 10);
  WriteFile(folder.Path("images"), ImageFileBytes(kCount, 1, 1, Bytes(kCount, 77)));
  WriteFile(folder.Path("labels"), LabelFileBytes(labels));
  NetworkEnsemble ensemble{{NeuralNetwork::WithLayers({1, 10}, 0.5, 1.0)}};
  double correct = 0.0;
  const long long growth = PeakMemoryGrowth([&] {
    ImageSet set;
    std::string message;
    EXPECT_TRUE(LoadImageSet(folder.Path("images"), folder.Path("labels"), &set, &message)) << message;
    correct = ensemble.CountCorrect(set);
  });
  EXPECT_EQ(correct, kCount / 10);  // equal images get one answer, right for every tenth label
  if (growth < 0) GTEST_SKIP() << "the peak resident size cannot be reset here";
  EXPECT_LT(growth, 16LL * 2 * kCount) << growth / 1024 << " KiB";
}

TEST(Hardening, LostStandardOutputFailsTheRun) {
  TemporaryFolder folder;
  WriteDataSets(folder.Root(), 20, 20);
  SaveNetworks(folder, {{"a.net", {784, 10}}});
  const auto run = [&](const std::function<void()>& redirect, const std::vector<std::string>& arguments) {
    return RunInChild([&] {
             redirect();
             return ExecExecutable(MNIST_MLP_BINARY, folder, arguments, {}, "mnist-mlp");
           })
        .exitCode;
  };
  const auto full = [] { dup2(open("/dev/full", O_WRONLY), STDOUT_FILENO); };
  const auto closed = [] { close(STDOUT_FILENO); };
  EXPECT_EQ(run(closed, {"--combine", "e.ens", "a.net"}), 0);  // nothing to print, nothing lost
  EXPECT_EQ(ReadFile(folder.Path("e.ens")), EnsembleOfFiles(folder, {"a.net"}));
  EXPECT_EQ(run(full, {"--verify", "e.ens"}), 1);
  EXPECT_EQ(run(closed, {"--verify", "e.ens"}), 1);
}
