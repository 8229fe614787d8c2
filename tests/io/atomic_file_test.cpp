// Atomic replacement: the old or the whole new content, the old mode kept, links followed,
// and nothing left behind by a failure.
#include "io/atomic_file.h"

#include <sys/file.h>

#include <thread>

#include "test_support.h"

namespace {

void WriteHello(std::ostream& output, std::string* message) {
  output << "hello";
  if (!output) *message = "write failed";
}

unsigned Mode(const std::string& path) {
  struct stat info {};
  stat(path.c_str(), &info);
  return info.st_mode & 0777;
}

TEST(WriteFileAtomically, ReplacesTheFileALinkNamesKeepingItsModeOrOnFailureKeepsIt) {
  TemporaryFolder folder;
  WriteFile(folder.Path("real"), {1, 2, 3, 4, 5, 6, 7, 8});
  chmod(folder.Path("real").c_str(), 0640);
  std::filesystem::create_symlink(folder.Path("real"), folder.Path("link"));
  std::string message;
  EXPECT_TRUE(WriteFileAtomically(folder.Path("link"), WriteHello, "flush failed", &message));
  EXPECT_EQ(message, "");
  EXPECT_TRUE(std::filesystem::is_symlink(folder.Path("link")));
  EXPECT_EQ(Mode(folder.Path("real")), 0640u);
  EXPECT_FALSE(WriteFileAtomically(
      folder.Path("real"), [](std::ostream&, std::string* m) { *m = "stage failed"; }, "flush failed",
      &message));
  EXPECT_EQ(message, "stage failed");
  EXPECT_EQ(ReadFile(folder.Path("real")), (Bytes{'h', 'e', 'l', 'l', 'o'}));
  EXPECT_EQ(folder.EntryCount(), 2u) << "a temporary file was left";
  message.clear();  // the writer sees a failed stream
  EXPECT_FALSE(WriteFileAtomically(folder.Path("no/such/out"), WriteHello, "flush failed", &message));
  EXPECT_EQ(message, "write failed");
}

// Anyone who can write to the folder can swap the temporary file for a link while the save
// writes it: nothing may then reach the file the link names, and the target must not become
// that link.
TEST(WriteFileAtomically, ATemporaryFileSwappedForALinkRedirectsNothing) {
  TemporaryFolder folder;
  const std::string path = folder.Path("out");
  const std::string victim = folder.Path("victim");
  WriteFile(path, {1});
  chmod(path.c_str(), 0600);
  WriteFile(victim, {2});
  chmod(victim.c_str(), 0644);
  const auto swapThenWrite = [&](std::ostream& output, std::string* message) {
    for (const auto& entry : std::filesystem::directory_iterator(folder.Root())) {
      if (entry.path().filename().string().starts_with("out.tmp-")) {
        std::filesystem::remove(entry.path());
        std::filesystem::create_symlink(victim, entry.path());
      }
    }
    WriteHello(output, message);
  };
  std::string message;
  WriteFileAtomically(path, swapThenWrite, "flush failed", &message);
  EXPECT_EQ(ReadFile(victim), Bytes{2});
  EXPECT_EQ(Mode(victim), 0644u);
  EXPECT_FALSE(std::filesystem::is_symlink(path));
  EXPECT_EQ(folder.EntryCount(), 2u);
}

TEST(WriteFileAtomically, PipeIsWrittenInPlace) {
  TemporaryFolder folder;
  const std::string fifo = folder.Path("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::thread reader([&] { EXPECT_EQ(ReadFile(fifo).size(), 5u); });
  std::string message;
  EXPECT_TRUE(WriteFileAtomically(fifo, WriteHello, "flush failed", &message));
  reader.join();
  EXPECT_TRUE(std::filesystem::is_fifo(fifo));
}

// A save killed with SIGKILL leaves its temporary file; the next save of the same file removes
// it, and only it: not one whose writer still holds its lock or still runs, nor another
// file's, nor a name that merely looks alike.
TEST(WriteFileAtomically, RemovesTheTemporaryFilesOfSavesWhoseWriterIsGone) {
  TemporaryFolder folder;
  const pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  const std::string dead = std::to_string(gone);
  const std::vector<std::string> removed = {"out.tmp-" + dead + "-0", "out.tmp-" + dead + "-17"};
  const std::vector<std::string> kept = {"out.tmp-" + dead + "-1",   "out.tmp-1-0",
                                         "other.tmp-" + dead + "-0", "out.tmp-" + dead + "-x",
                                         "out.tmp-" + dead,          "out"};
  for (const auto& names : {removed, kept})
    for (const std::string& name : names) WriteFile(folder.Path(name), {1});
  const int locked = open(folder.Path(kept[0]).c_str(), O_RDONLY);  // a writer in another PID namespace
  ASSERT_EQ(flock(locked, LOCK_EX), 0);
  std::string message;
  EXPECT_TRUE(WriteFileAtomically(folder.Path("out"), WriteHello, "flush failed", &message));
  close(locked);
  for (const std::string& name : removed) EXPECT_FALSE(std::filesystem::exists(folder.Path(name))) << name;
  for (const std::string& name : kept) EXPECT_TRUE(std::filesystem::exists(folder.Path(name))) << name;
}

}  // namespace
