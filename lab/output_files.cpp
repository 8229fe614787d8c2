// Where mnist-lab writes: a folder that must be ready before any work, outputs that never
// replace an input, and new files that replace links rather than write through them.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "io/atomic_file.h"
#include "io/stream.h"
#include "lab/lab.h"

bool PrepareOutputFolder(const std::string& folder, bool create) {
  const std::string name = folder.empty() ? "." : folder;
  if (create && mkdir(name.c_str(), 0777) != 0 && errno != EEXIST) {
    PrintError(name + ": the output folder cannot be made: " + SystemReason() +
               (errno == ENOENT ? " (mnist-lab makes only the last folder of the path)" : ""));
    return false;
  }
  struct stat info {};
  if (stat(name.c_str(), &info) != 0) {
    PrintError(name + ": the output folder cannot be used: " + SystemReason());
    return false;
  }
  if (!S_ISDIR(info.st_mode)) {
    PrintError(name + ": the output folder is not a folder");
    return false;
  }
  if (access(name.c_str(), W_OK | X_OK) != 0) {
    PrintError(name + ": no file can be written in the output folder: " + SystemReason());
    return false;
  }
  return true;
}

bool OverwritesAnInput(const std::string& output, const std::vector<std::string>& inputs) {
  struct stat written {};
  if (stat(output.c_str(), &written) != 0) return false;
  for (const std::string& input : inputs) {
    struct stat read {};
    if (stat(input.c_str(), &read) == 0 && read.st_dev == written.st_dev && read.st_ino == written.st_ino) {
      PrintError(output + ": is " + input + ", one of the inputs; choose another output name");
      return true;
    }
  }
  return false;
}

bool WriteWholeFile(const std::string& fileName, const std::string& bytes) {
  const char* failure = "could not be written";
  std::string message;
  const auto write = [&](std::ostream& output, std::string* writeMessage) {
    if (!WriteBytes(output, bytes.data(), bytes.size())) ReportError(writeMessage, failure);
  };
  if (WriteFileAtomically(fileName, write, failure, &message, SaveTarget::NewFile)) return true;
  PrintError(fileName + ": " + message);
  return false;
}
