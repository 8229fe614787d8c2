#include "network/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace {

bool Report(std::string* errorMessage, const std::string& message) {
  if (errorMessage != nullptr) *errorMessage = message;
  return false;
}

bool WriteInPlace(const std::string& fileName,
                  const std::function<void(std::ostream&, std::string*)>& write,
                  const std::string& lastStageMessage, std::string* errorMessage) {
  std::ofstream stream(fileName, std::ios::binary | std::ios::trunc);
  std::string message;
  write(stream, &message);
  if (!message.empty()) return Report(errorMessage, message);
  stream.flush();
  if (stream.fail() || stream.bad()) return Report(errorMessage, lastStageMessage);
  return true;
}

// A name beside the target that no other writer in this process or another uses.
std::string TemporaryNameFor(const std::string& target) {
  static std::atomic<unsigned> counter{0};
  return target + ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
}

bool SyncFile(const std::string& fileName) {
  const int fd = open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = fsync(fd) == 0;
  return close(fd) == 0 && synced;
}

}  // namespace

bool WriteFileAtomically(const std::string& fileName,
                         const std::function<void(std::ostream&, std::string*)>& write,
                         const std::string& lastStageMessage, std::string* errorMessage) {
  std::string target = fileName;
  struct stat linkInfo {};
  if (!target.empty() && lstat(target.c_str(), &linkInfo) == 0 && S_ISLNK(linkInfo.st_mode)) {
    std::error_code error;
    const auto resolved = std::filesystem::weakly_canonical(target, error);
    if (!error) target = resolved.string();
  }

  struct stat targetInfo {};
  const bool targetExists = !target.empty() && stat(target.c_str(), &targetInfo) == 0;
  if (targetExists && !S_ISREG(targetInfo.st_mode)) {
    return WriteInPlace(target, write, lastStageMessage, errorMessage);
  }

  // An empty name gets a stream that failed to open, so `write` reports its first stage.
  const std::string temporary = target.empty() ? std::string() : TemporaryNameFor(target);
  std::string message;
  bool createdTemporary = false;
  {
    std::ofstream stream;
    if (!temporary.empty()) {
      // O_EXCL: never truncate a file that someone else created under this name.
      const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd >= 0) {
        close(fd);
        createdTemporary = true;
        stream.open(temporary, std::ios::binary | std::ios::trunc);
      } else {
        stream.setstate(std::ios::failbit);
      }
    } else {
      stream.setstate(std::ios::failbit);
    }
    write(stream, &message);
    if (message.empty()) {
      stream.flush();
      if (stream.fail() || stream.bad()) message = lastStageMessage;
    }
    stream.close();
    if (message.empty() && stream.fail()) message = lastStageMessage;
  }
  if (message.empty() && !SyncFile(temporary)) message = lastStageMessage;
  if (message.empty() && targetExists) chmod(temporary.c_str(), targetInfo.st_mode & 07777);
  if (message.empty() && std::rename(temporary.c_str(), target.c_str()) != 0) {
    message = lastStageMessage;
  }
  if (!message.empty()) {
    if (createdTemporary) std::remove(temporary.c_str());
    return Report(errorMessage, message);
  }
  return true;
}
