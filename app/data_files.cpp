// The MNIST data files the commands read, and the loader that reports on standard output, with
// what a person needs to fix a failed load on standard error.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>

#include "app/commands.h"

const std::string TrainingImagesPath = "train-images.idx3-ubyte";
const std::string TrainingLabelsPath = "train-labels.idx1-ubyte";
const std::string TestImagesPath = "t10k-images.idx3-ubyte";
const std::string TestLabelsPath = "t10k-labels.idx1-ubyte";

bool ExplainUnreadable(const std::string& path) {
  // Without blocking: a named pipe with no writer left would otherwise wait forever.
  const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (descriptor < 0) {
    std::cerr << "mnist-mlp: cannot open " << path << ": " << std::strerror(errno) << std::endl;
    return true;
  }
  struct stat info {};
  const bool folder = fstat(descriptor, &info) == 0 && S_ISDIR(info.st_mode);
  if (folder) std::cerr << "mnist-mlp: " << path << " is a folder, not a file" << std::endl;
  close(descriptor);
  return folder;
}

namespace {

// The fetch script beside this binary's build folder (build/app/mnist-mlp), or its name in the
// repository when the binary has been moved.
std::string FetchCommand() {
  std::error_code error;
  const std::filesystem::path script =
      std::filesystem::read_symlink("/proc/self/exe", error).parent_path() / "../../scripts/get-mnist";
  if (!error && std::filesystem::exists(script, error))
    return std::filesystem::weakly_canonical(script, error).string() + " .";
  return "scripts/get-mnist .";
}

void ExplainFailedLoad(const std::string& imagePath, const std::string& labelPath) {
  ExplainUnreadable(imagePath);
  ExplainUnreadable(labelPath);
  std::error_code error;
  const std::filesystem::path folder = std::filesystem::current_path(error);
  std::cerr << "mnist-mlp: the data files are looked up in the working directory, "
            << (error ? std::string("(unknown)") : folder.string()) << "; to get MNIST there, run "
            << FetchCommand() << " in it" << std::endl;
}

}  // namespace

bool LoadDataSet(const std::string& imagePath, const std::string& labelPath, const char* setName,
                 ImageSet* set) {
  std::string errorMessage;
  if (!LoadImageSet(imagePath, labelPath, set, &errorMessage)) {
    std::cout << "Error detected during data load: " << errorMessage << std::endl;
    ExplainFailedLoad(imagePath, labelPath);
    return false;
  }
  std::cout << "Loaded " << set->size() << " " << setName << " samples." << std::endl;
  return true;
}
