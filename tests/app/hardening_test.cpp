// The real mnist-mlp against careless and hostile surroundings: an output that is also an
// input or a network, leftover temporary files, long names, links, pipes, a failing standard
// output and member records whose stored batch size is absurd. Nothing may be lost or written
// elsewhere, and every failure must be reported with its cause.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "ensemble/network_ensemble.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

const std::string kHeaderWriteFailure = "Failed to write neural network ensemble header to disk.\n";

void SaveNetwork(const NeuralNetwork& network, const std::string& path) {
  std::string message;
  network.SaveFile(path, &message);
  ASSERT_EQ(message, "");
}

// The ensemble file --combine writes for these network files.
Bytes EnsembleOf(const TemporaryFolder& folder, const std::vector<std::string>& networkNames) {
  Bytes bytes{0x42, 0x42, static_cast<unsigned char>(networkNames.size()), 0, 0, 0};
  for (const std::string& name : networkNames) {
    const Bytes record = ReadFile(folder.Path(name));
    bytes.insert(bytes.end(), record.begin(), record.end());
  }
  return bytes;
}

bool Mentions(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(Hardening, CombineNeverReplacesOneOfItsInputsOrANetworkFile) {
  TemporaryFolder folder;
  SaveNetwork(NeuralNetwork::WithLayers({4, 3, 2}, 0.5, 1.0), folder.Path("a.net"));
  SaveNetwork(NeuralNetwork::WithLayers({4, 2}, 0.5, 1.0), folder.Path("b.net"));
  ASSERT_EQ(RunProgram(folder, {"--combine", "e.ens", "a.net", "b.net"}).exitCode, 0);
  fs::create_symlink("e.ens", folder.Path("link.ens"));
  const Bytes ensemble = ReadFile(folder.Path("e.ens"));
  const Bytes network = ReadFile(folder.Path("a.net"));
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
  EXPECT_EQ(ReadFile(folder.Path("e.ens")), EnsembleOf(folder, {"b.net"}));
  EXPECT_TRUE(fs::is_symlink(folder.Path("link.ens")));
}

TEST(Hardening, LeftoverTemporaryFilesAndNamesUpTo255BytesAreSaved) {
  TemporaryFolder folder;
  SaveNetwork(NeuralNetwork::WithLayers({3, 2}, 0.5, 1.0), folder.Path("a.net"));
  // A killed earlier process with the same PID (containers repeat them) left its temporary files.
  const ChildResult result = RunInChild([&] {
    for (int n = 0; n < 3; ++n)
      WriteFile(folder.Path("e.ens.tmp-" + std::to_string(getpid()) + "-" + std::to_string(n)), {9});
    return ExecProgram(folder, {"--combine", "e.ens", "a.net"});
  });
  EXPECT_EQ(result.exitCode, 0) << result.output << result.errors;
  EXPECT_EQ(ReadFile(folder.Path("e.ens")), EnsembleOf(folder, {"a.net"}));
  EXPECT_EQ(folder.EntryCount(), 5u) << "the leftovers are someone else's: they stay";

  for (size_t length : {241, 250, 255}) {
    const std::string name(length, 'n');
    WriteFile(folder.Path(name), {1, 2, 3});
    const ChildResult save = RunProgram(folder, {"--combine", name, "a.net"});
    EXPECT_EQ(save.exitCode, 0) << length << save.output << save.errors;
    EXPECT_EQ(ReadFile(folder.Path(name)), EnsembleOf(folder, {"a.net"})) << length;
    EXPECT_EQ(save.errors, "");
  }
  EXPECT_EQ(folder.EntryCount(), 8u) << "no temporary file is left behind";
}

TEST(Hardening, SavesFollowLinksRefuseLoopsAndSayWhyTheyFailed) {
  TemporaryFolder folder;
  SaveNetwork(NeuralNetwork::WithLayers({100, 100, 10}, 0.5, 1.0), folder.Path("a.net"));  // 88,926 bytes
  fs::create_directories(folder.Path("links/sub"));
  fs::create_symlink("sub/new.ens", folder.Path("links/d.ens"));  // relative to the link's folder
  fs::create_symlink("links/d.ens", folder.Path("chain.ens"));
  EXPECT_EQ(RunProgram(folder, {"--combine", "chain.ens", "a.net"}).exitCode, 0);
  EXPECT_EQ(ReadFile(folder.Path("links/sub/new.ens")), EnsembleOf(folder, {"a.net"}));
  EXPECT_TRUE(fs::is_symlink(folder.Path("links/d.ens")) && fs::is_symlink(folder.Path("chain.ens")));

  fs::create_symlink("loop-b.ens", folder.Path("loop-a.ens"));
  fs::create_symlink("loop-a.ens", folder.Path("loop-b.ens"));
  const struct {
    std::vector<std::string> arguments;
    rlim_t fileSizeLimit;
    std::string output, cause;
  } failures[] = {
      {{"--combine", "loop-a.ens", "a.net"}, RLIM_INFINITY, kHeaderWriteFailure, std::strerror(ELOOP)},
      {{"--combine", "missing/e.ens", "a.net"}, RLIM_INFINITY, kHeaderWriteFailure, std::strerror(ENOENT)},
      {{"--combine", "full.ens", "a.net"},
       50'000,
       "Failed to write layer weights to disk.\n",
       std::strerror(EFBIG)},
  };
  for (const auto& failure : failures) {
    const ChildResult result = RunProgram(folder, failure.arguments, {}, failure.fileSizeLimit);
    EXPECT_EQ(result.output, failure.output);  // standard output stays exactly as documented
    EXPECT_TRUE(Mentions(result.errors, failure.arguments[1]) && Mentions(result.errors, failure.cause))
        << result.errors;
    EXPECT_EQ(result.exitCode, 1);
  }
  EXPECT_TRUE(fs::is_symlink(folder.Path("loop-a.ens")) && fs::is_symlink(folder.Path("loop-b.ens")));
  EXPECT_FALSE(fs::exists(folder.Path("full.ens")));
}

// Verification is no training: a member's stored batch size must not size anything.
TEST(Hardening, VerifyIgnoresTheStoredBatchSize) {
  TemporaryFolder folder;
  WriteDigitFiles(folder.Path("t10k-images.idx3-ubyte"), folder.Path("t10k-labels.idx1-ubyte"), 20);
  NeuralNetwork network = NeuralNetwork::WithLayers({784, 10}, 0.5, 1.0);
  network.batchSize = 4'000'000'000u;
  std::string message;
  NetworkEnsemble{{network, network}}.Save(folder.Path("e.ens"), &message);
  ASSERT_EQ(message, "");
  const ChildResult result = RunProgram(folder, {"--verify", "e.ens"});
  EXPECT_TRUE(Mentions(result.output, "Initiating verification sequence.\nTotal correct: ")) << result.output;
  EXPECT_EQ(result.exitCode, 0);
}

// Named pipes (a decompressor writing into a data file, /dev/stdin) are read like files, as far
// as the bytes that really arrive.
TEST(Hardening, NamedPipesAreReadLikeFiles) {
  TemporaryFolder folder;
  WriteDigitFiles(folder.Path("images"), folder.Path("labels"), 20);
  SaveNetwork(NeuralNetwork::WithLayers({784, 10}, 0.5, 1.0), folder.Path("a.net"));
  std::string hostile = RecordOf(NeuralNetwork::WithLayers({2, 1}, 0.5, 1.0)).substr(0, 34);
  for (uint32_t size : {1u << 28, 1u << 28}) hostile.append(reinterpret_cast<const char*>(&size), 4);
  {
    const FifoFeeder network(folder.Path("a.pipe"), ReadFile(folder.Path("a.net")));
    const FifoFeeder claim(folder.Path("claim.pipe"), Bytes(hostile.begin(), hostile.end()));
    const ChildResult combine = RunProgram(folder, {"--combine", "e.ens", "a.pipe", "claim.pipe"});
    EXPECT_EQ(combine.output, "Failed to read layer weights from disk.\n");
    EXPECT_EQ(combine.exitCode, 1);
  }
  EXPECT_EQ(ReadFile(folder.Path("e.ens")), EnsembleOf(folder, {"a.net"}));
  const FifoFeeder images(folder.Path("t10k-images.idx3-ubyte"), ReadFile(folder.Path("images")));
  const FifoFeeder labels(folder.Path("t10k-labels.idx1-ubyte"), ReadFile(folder.Path("labels")));
  const ChildResult verify = RunProgram(folder, {"--verify", "e.ens"});
  EXPECT_TRUE(Mentions(verify.output, "Loaded 20 verification samples.\nInitiating")) << verify.output;
  EXPECT_EQ(verify.exitCode, 0);
}

TEST(Hardening, LostStandardOutputFailsTheRun) {
  TemporaryFolder folder;
  WriteDigitFiles(folder.Path("t10k-images.idx3-ubyte"), folder.Path("t10k-labels.idx1-ubyte"), 20);
  SaveNetwork(NeuralNetwork::WithLayers({784, 10}, 0.5, 1.0), folder.Path("a.net"));
  ASSERT_EQ(RunProgram(folder, {"--combine", "e.ens", "a.net"}).exitCode, 0);
  const auto runWith = [&](const std::function<void()>& redirect, const std::vector<std::string>& arguments) {
    return RunInChild([&] {
      redirect();
      return ExecProgram(folder, arguments);
    });
  };
  const auto full = [] { dup2(open("/dev/full", O_WRONLY), STDOUT_FILENO); };
  const auto closed = [] { close(STDOUT_FILENO); };
  EXPECT_EQ(runWith(full, {"--verify", "e.ens"}).exitCode, 1);
  EXPECT_EQ(runWith(closed, {"--verify", "e.ens"}).exitCode, 1);
  // Nothing to print, nothing lost.
  EXPECT_EQ(runWith(closed, {"--combine", "f.ens", "a.net"}).exitCode, 0);
  EXPECT_EQ(ReadFile(folder.Path("f.ens")), ReadFile(folder.Path("e.ens")));
}

}  // namespace
