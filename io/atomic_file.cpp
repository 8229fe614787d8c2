// Atomic file replacement in three steps: resolve the target, write a temporary file beside
// it, commit the temporary file over the target.
#include "io/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "io/stream.h"

namespace {

using Writer = std::function<void(std::ostream&, std::string*)>;

// The file a save must end up in, and what is there now.
struct Target {
  std::string path;  // empty for an empty name
  bool exists = false;
  struct stat info {};
};

// Resolve: a symbolic link stands for the file it names.
Target ResolveTarget(const std::string& fileName) {
  Target target{fileName};
  struct stat linkInfo {};
  if (!fileName.empty() && lstat(fileName.c_str(), &linkInfo) == 0 && S_ISLNK(linkInfo.st_mode)) {
    std::error_code error;
    const auto resolved = std::filesystem::weakly_canonical(fileName, error);
    if (!error) target.path = resolved.string();
  }
  target.exists = !target.path.empty() && stat(target.path.c_str(), &target.info) == 0;
  return target;
}

// A name beside the target that no other writer in this process or another uses.
std::string TemporaryNameFor(const std::string& target) {
  static std::atomic<unsigned> counter{0};
  return target + ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
}

// Runs `write` on the stream, then flushes; the message of the first failure, or "".
std::string WriteAndFlush(std::ofstream& stream, const Writer& write, const std::string& finalStageMessage) {
  std::string message;
  write(stream, &message);
  if (!message.empty()) return message;
  stream.flush();
  if (StreamFailed(stream)) return finalStageMessage;
  return "";
}

bool WriteInPlace(const std::string& path, const Writer& write, const std::string& finalStageMessage,
                  std::string* errorMessage) {
  std::ofstream stream(path, std::ios::binary | std::ios::trunc);
  const std::string message = WriteAndFlush(stream, write, finalStageMessage);
  if (!message.empty()) return ReportError(errorMessage, message);
  return true;
}

// Write: creates `temporary` (never one that exists: someone else may own it) and writes the
// content into it. *created says whether the file was made and must be removed on failure.
std::string WriteTemporary(const std::string& temporary, const Writer& write,
                           const std::string& finalStageMessage, bool* created) {
  std::ofstream stream;
  const int fd =
      temporary.empty() ? -1 : open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd >= 0) {
    close(fd);
    *created = true;
    stream.open(temporary, std::ios::binary | std::ios::trunc);
  } else {
    // An empty name or a failed creation: `write` reports its first stage.
    stream.setstate(std::ios::failbit);
  }
  std::string message = WriteAndFlush(stream, write, finalStageMessage);
  stream.close();
  if (message.empty() && stream.fail()) message = finalStageMessage;
  return message;
}

bool SyncFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = fsync(fd) == 0;
  return close(fd) == 0 && synced;
}

// Commit: the content reaches the disk, takes the old file's permissions, and replaces it.
bool Commit(const std::string& temporary, const Target& target) {
  if (!SyncFile(temporary)) return false;
  if (target.exists) chmod(temporary.c_str(), target.info.st_mode & 07777);
  return std::rename(temporary.c_str(), target.path.c_str()) == 0;
}

}  // namespace

bool WriteFileAtomically(const std::string& fileName, const Writer& write,
                         const std::string& finalStageMessage, std::string* errorMessage) {
  const Target target = ResolveTarget(fileName);
  if (target.exists && !S_ISREG(target.info.st_mode)) {
    return WriteInPlace(target.path, write, finalStageMessage, errorMessage);
  }

  const std::string temporary = target.path.empty() ? std::string() : TemporaryNameFor(target.path);
  bool created = false;
  std::string message = WriteTemporary(temporary, write, finalStageMessage, &created);
  if (message.empty() && !Commit(temporary, target)) message = finalStageMessage;
  if (message.empty()) return true;
  if (created) std::remove(temporary.c_str());
  return ReportError(errorMessage, message);
}
