// Atomic file replacement in three steps: resolve the target, write a temporary file beside it
// through the descriptor that created it, commit the temporary file over the target.
#include "io/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>

#include "io/stream.h"

namespace {

using Writer = std::function<void(std::ostream&, std::string*)>;

constexpr int kMaxLinks = 40;          // links followed before a loop is assumed, as Linux does
constexpr size_t kMaxNameBytes = 255;  // the longest file name Linux file systems take
constexpr int kTemporaryNameTries = 100;

// Why a save failed, for standard error: what was being done, and the system's error number
// (0 when the system reported nothing).
struct Failure {
  std::string step;
  int error = 0;
};

// The line starts with the program's name, as every diagnostic of the tools does; the library
// learns it from the C library (the name it was started under), not from a setting.
void PrintFailure(const std::string& fileName, const Failure& failure) {
  if (failure.step.empty()) return;  // the content itself could not be written; no system cause
  std::cerr << program_invocation_short_name << ": Could not save "
            << (fileName.empty() ? "a file without a name" : fileName) << " (" << failure.step << ")"
            << (failure.error != 0 ? ": " + std::string(std::strerror(failure.error)) : "") << "."
            << std::endl;
}

// The file a save must end up in: the name with every symbolic link followed, so that a link
// keeps naming the new content and a dangling link creates the file it names.
struct Target {
  std::string path;
  bool exists = false;
  struct stat info {};
};

bool ResolveTarget(const std::string& fileName, Target* target, Failure* failure) {
  std::filesystem::path path = fileName;
  for (int links = 0;; ++links) {
    // A name that cannot be examined is treated as new: creating the file beside it reports
    // the cause (a missing folder, a denied search).
    target->path = path.string();
    target->exists = lstat(target->path.c_str(), &target->info) == 0;
    if (!target->exists || !S_ISLNK(target->info.st_mode)) return true;
    std::error_code error;
    const std::filesystem::path link = std::filesystem::read_symlink(path, error);
    if (error || links == kMaxLinks) {
      *failure = {"following the link " + path.string(), error ? error.value() : ELOOP};
      return false;
    }
    path = path.parent_path() / link;  // a relative link is relative to its own folder
  }
}

// NAME.tmp-PID-N beside the target, with NAME shortened so that the whole name fits the file
// system's limit (the target keeps its full name).
std::string TemporaryName(const std::string& targetPath, unsigned number) {
  const std::filesystem::path target = targetPath;
  const std::string suffix = ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(number);
  const std::string name = target.filename().string();
  return (target.parent_path() / (name.substr(0, kMaxNameBytes - suffix.size()) + suffix)).string();
}

// Creates a temporary file that did not exist (a leftover of a killed process with the same
// PID, or anyone else's file, is never touched) and returns its descriptor, or -1.
int CreateTemporary(const std::string& targetPath, std::string* temporary, Failure* failure) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < kTemporaryNameTries; ++attempt) {
    *temporary = TemporaryName(targetPath, counter++);
    const int fd = open(temporary->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) return fd;
    *failure = {"creating " + *temporary, errno};
    if (errno != EEXIST) break;
  }
  return -1;
}

// An output stream buffer that writes to a descriptor and keeps the error of a failed write.
class DescriptorBuffer : public std::streambuf {
 public:
  explicit DescriptorBuffer(int fd) : fd_(fd) { setp(buffer_, buffer_ + sizeof buffer_); }
  int Error() const { return error_; }

 protected:
  int_type overflow(int_type c) override {
    if (!Drain()) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }
  int sync() override { return Drain() ? 0 : -1; }

 private:
  bool Drain() {
    for (const char* next = pbase(); next < pptr();) {
      const ssize_t written = write(fd_, next, static_cast<size_t>(pptr() - next));
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) {
        error_ = written < 0 ? errno : EIO;
        return false;
      }
      next += written;
    }
    setp(buffer_, buffer_ + sizeof buffer_);
    return true;
  }

  int fd_;
  int error_ = 0;
  char buffer_[1 << 16];
};

// Runs `write` on a stream over fd (failed from the start when fd < 0, so that `write` reports
// its first stage), then flushes; the message of the first failure, or "".
std::string WriteThrough(int fd, const std::string& path, const Writer& write,
                         const std::string& finalStageMessage, Failure* failure) {
  DescriptorBuffer buffer(fd);
  std::ostream stream(&buffer);
  if (fd < 0) stream.setstate(std::ios::badbit);
  std::string message;
  write(stream, &message);
  if (message.empty() && (fd < 0 || !stream.flush())) message = finalStageMessage;
  if (!message.empty() && buffer.Error() != 0) *failure = {"writing " + path, buffer.Error()};
  return message;
}

bool SameFile(int fd, const std::string& path) {
  struct stat opened {};
  struct stat named {};
  return fstat(fd, &opened) == 0 && lstat(path.c_str(), &named) == 0 && opened.st_dev == named.st_dev &&
         opened.st_ino == named.st_ino;
}

// Makes a rename in the folder survive a power loss. A file system that cannot sync a folder
// says EINVAL; there is nothing more to do there.
bool SyncFolder(const std::string& targetPath, Failure* failure) {
  const std::filesystem::path parent = std::filesystem::path(targetPath).parent_path();
  const std::string folder = parent.empty() ? std::string(".") : parent.string();
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const bool synced = fd >= 0 && (fsync(fd) == 0 || errno == EINVAL);
  if (!synced) *failure = {"syncing the folder " + folder, errno};
  if (fd >= 0) close(fd);
  return synced;
}

// The content reaches the disk through the descriptor, takes the old file's permissions and
// replaces the target. Only the rename goes by name, so the name must still lead to the file
// that was written: one swapped for a link in the meantime is refused, not renamed into place.
bool Commit(int fd, const std::string& temporary, const Target& target, Failure* failure) {
  if (fsync(fd) != 0) {
    *failure = {"syncing " + temporary, errno};
  } else if (target.exists && fchmod(fd, target.info.st_mode & 07777) != 0) {
    *failure = {"setting the permissions of " + temporary, errno};
  } else if (!SameFile(fd, temporary)) {
    *failure = {"the temporary file " + temporary + " was replaced by another file during the save", 0};
  } else if (std::rename(temporary.c_str(), target.path.c_str()) != 0) {
    *failure = {"renaming " + temporary + " to " + target.path, errno};
  } else {
    return true;
  }
  return false;
}

// A target that exists and is not a regular file (a pipe, a device) cannot be renamed over: it
// is written in place.
bool WriteInPlace(const std::string& fileName, const Target& target, const Writer& write,
                  const std::string& finalStageMessage, std::string* errorMessage) {
  Failure failure;
  const int fd = open(target.path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) failure = {"opening " + target.path, errno};
  const std::string message = WriteThrough(fd, target.path, write, finalStageMessage, &failure);
  if (fd >= 0) close(fd);
  if (message.empty()) return true;
  PrintFailure(fileName, failure);
  return ReportError(errorMessage, message);
}

}  // namespace

bool WriteFileAtomically(const std::string& fileName, const Writer& write,
                         const std::string& finalStageMessage, std::string* errorMessage) {
  Target target;
  Failure failure;
  bool resolved = false;
  if (fileName.empty()) {
    failure = {"no file name was given", 0};
  } else {
    resolved = ResolveTarget(fileName, &target, &failure);
  }
  if (resolved && target.exists && !S_ISREG(target.info.st_mode)) {
    return WriteInPlace(fileName, target, write, finalStageMessage, errorMessage);
  }

  std::string temporary;
  const int fd = resolved ? CreateTemporary(target.path, &temporary, &failure) : -1;
  std::string message = WriteThrough(fd, temporary, write, finalStageMessage, &failure);
  if (fd >= 0) {
    const bool renamed = message.empty() && Commit(fd, temporary, target, &failure);
    close(fd);  // after a successful fsync no written byte can be lost here
    if (!renamed) {
      unlink(temporary.c_str());  // this save's name: what it holds now is this save's or a swap
      if (message.empty()) message = finalStageMessage;
    } else if (!SyncFolder(target.path, &failure)) {
      message = finalStageMessage;
    }
  }
  if (message.empty()) return true;
  PrintFailure(fileName, failure);
  return ReportError(errorMessage, message);
}
