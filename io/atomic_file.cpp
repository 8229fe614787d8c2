// Atomic file replacement in three steps: resolve the target, write a temporary file beside it
// through the descriptor that created it, commit the temporary file over the target.
#include "io/atomic_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
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

bool ResolveTarget(const std::string& fileName, SaveTarget kind, Target* target, Failure* failure) {
  if (kind == SaveTarget::NewFile) {
    target->path = fileName;
    target->exists = lstat(fileName.c_str(), &target->info) == 0 && S_ISREG(target->info.st_mode);
    return true;
  }
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

// Whether the name still leads to the file open at fd (and is not a link to it).
bool SameFile(int fd, const std::string& path) {
  struct stat opened {};
  struct stat named {};
  return fstat(fd, &opened) == 0 && lstat(path.c_str(), &named) == 0 && opened.st_dev == named.st_dev &&
         opened.st_ino == named.st_ino;
}

// NAME.tmp-PID-N beside the target, with NAME shortened so that the whole name fits the file
// system's limit (the target keeps its full name).
std::string TemporaryName(const std::string& targetPath, unsigned number) {
  const std::filesystem::path target = targetPath;
  const std::string suffix = ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(number);
  const std::string name = target.filename().string();
  return (target.parent_path() / (name.substr(0, kMaxNameBytes - suffix.size()) + suffix)).string();
}

// The PID in a temporary name of the target's ("NAME.tmp-PID-N", NAME possibly shortened), or 0
// when the name is not one.
pid_t TemporaryWriter(const std::string& targetName, const std::string& name) {
  const size_t marker = name.rfind(".tmp-");
  if (marker == std::string::npos || marker == 0 || targetName.compare(0, marker, name, 0, marker) != 0)
    return 0;
  const std::string numbers = name.substr(marker + 5);
  const size_t dash = numbers.find('-');
  if (dash == 0 || dash == std::string::npos || dash > 9 || dash + 1 == numbers.size() ||
      numbers.find_first_not_of("0123456789-") != std::string::npos ||
      numbers.find('-', dash + 1) != std::string::npos)
    return 0;
  const size_t expected = std::min(targetName.size(), kMaxNameBytes - (name.size() - marker));
  return marker == expected ? static_cast<pid_t>(std::stol(numbers.substr(0, dash))) : 0;
}

// Removes the temporary files of earlier saves of the target whose writer is gone: a regular
// file whose lock can be taken (no save holds it) and whose PID runs no process. A PID that is
// running again (reused) keeps its file; removing too little is harmless.
void RemoveAbandonedTemporaries(const std::string& targetPath) {
  const std::filesystem::path target = targetPath;
  const std::filesystem::path folder = target.parent_path().empty() ? "." : target.parent_path();
  const std::string targetName = target.filename().string();
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    const pid_t writer = TemporaryWriter(targetName, name);
    if (writer <= 0 || writer == getpid() || kill(writer, 0) == 0 || errno != ESRCH) continue;
    const std::string path = (folder / name).string();
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat opened {};
    if (flock(fd, LOCK_EX | LOCK_NB) == 0 && fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) &&
        SameFile(fd, path))
      unlink(path.c_str());
    close(fd);
  }
}

// Creates a temporary file that did not exist (a leftover of a killed process with the same
// PID, or anyone else's file, is never touched) and returns its descriptor, or -1.
int CreateTemporary(const std::string& targetPath, std::string* temporary, Failure* failure) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < kTemporaryNameTries; ++attempt) {
    *temporary = TemporaryName(targetPath, counter++);
    const int fd = open(temporary->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    // The lock tells later saves that this file's writer is alive; it goes with the process.
    if (fd >= 0 && flock(fd, LOCK_EX) == 0) return fd;
    if (fd >= 0) {
      *failure = {"locking " + *temporary, errno};
      unlink(temporary->c_str());
      close(fd);
      return -1;
    }
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
                         const std::string& finalStageMessage, std::string* errorMessage, SaveTarget kind) {
  Target target;
  Failure failure;
  bool resolved = false;
  if (fileName.empty()) {
    failure = {"no file name was given", 0};
  } else {
    resolved = ResolveTarget(fileName, kind, &target, &failure);
  }
  if (resolved && target.exists && !S_ISREG(target.info.st_mode)) {
    return WriteInPlace(fileName, target, write, finalStageMessage, errorMessage);
  }
  if (resolved) RemoveAbandonedTemporaries(target.path);

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
