#include <sys/stat.h>

#include <iostream>

#include "app/commands.h"
#include "mnist/image_set.h"
#include "network/neural_network.h"

namespace {

constexpr uint32_t kPixelCount = 784;  // 28 x 28, the input layer

// What identifies a file on disk, and when it was last replaced.
struct FileStamp {
  bool exists = false;
  mode_t mode = 0;
  dev_t device = 0;
  ino_t inode = 0;
  timespec modified{};
};

FileStamp StampOf(const std::string& fileName) {
  struct stat info {};
  if (fileName.empty() || stat(fileName.c_str(), &info) != 0) return {};
  return {true, info.st_mode, info.st_dev, info.st_ino, info.st_mtim};
}

bool SameFile(const FileStamp& a, const FileStamp& b) {
  return a.exists && b.exists && a.device == b.device && a.inode == b.inode;
}

bool Unchanged(const FileStamp& before, const FileStamp& after) {
  return SameFile(before, after) && before.modified.tv_sec == after.modified.tv_sec &&
         before.modified.tv_nsec == after.modified.tv_nsec;
}

// Refuses images that do not fit the input layer: a longer image would have its tail
// ignored, a shorter one would stop training with an exception.
bool HasNetworkPixelCount(const ImageSet& set, const char* setName) {
  for (const ImageSample& sample : set) {
    if (sample.pixels.size() != kPixelCount) {
      std::cout << "The " << setName << " images have " << sample.pixels.size()
                << " pixels each, but the network needs " << kPixelCount << " (28 x 28)." << std::endl;
      return false;
    }
  }
  return true;
}

}  // namespace

bool TrainCommand(const std::string& networkFileName) {
  if (networkFileName.empty()) {
    std::cout << "You must specify a valid network filename to save the trained network." << std::endl;
    return false;
  }
  // Every epoch's save replaces the output file; if it is one of the data files (by any
  // name, a link included), training would destroy the data it reads.
  const FileStamp outputBefore = StampOf(networkFileName);
  for (const std::string& dataPath :
       {TrainingImagesPath, TrainingLabelsPath, TestImagesPath, TestLabelsPath}) {
    if (SameFile(outputBefore, StampOf(dataPath))) {
      std::cout << "The network file " << networkFileName << " is the MNIST data file " << dataPath
                << "; choose another name so that training does not overwrite it." << std::endl;
      return false;
    }
  }

  std::string errorMessage;
  std::cout << "Loading training data..." << std::endl;
  ImageSet trainingSet;
  if (!LoadImageSet(TrainingImagesPath, TrainingLabelsPath, &trainingSet, &errorMessage)) {
    std::cout << "Error detected during data load: " << errorMessage << std::endl;
    return false;
  }
  std::cout << "Loaded " << trainingSet.size() << " training samples." << std::endl;
  if (!HasNetworkPixelCount(trainingSet, "training")) return false;

  std::cout << "Loading verification data..." << std::endl;
  ImageSet verificationSet;
  if (!LoadImageSet(TestImagesPath, TestLabelsPath, &verificationSet, &errorMessage)) {
    std::cout << "Error detected during data load: " << errorMessage << std::endl;
    return false;
  }
  std::cout << "Loaded " << verificationSet.size() << " verification samples." << std::endl;
  if (!HasNetworkPixelCount(verificationSet, "verification")) return false;

  std::cout << "Initiating training sequence." << std::endl;
  const uint64_t start = TimeStampMilliseconds();
  {
    const NeuralNetwork network(networkFileName, {kPixelCount, 500, 300, 200, 100, 10}, 0.5, 1.0, trainingSet,
                                &verificationSet);
  }
  const uint64_t end = TimeStampMilliseconds();
  std::cout << "Training took " << ElapsedSeconds(start, end) << " seconds." << std::endl;

  // Training prints a failed save but goes on. The first epoch always saves, so an output
  // file that was not replaced at all means that every save failed. (A device or a pipe is
  // written in place and cannot be checked this way; a folder can never be written.)
  const FileStamp outputAfter = StampOf(networkFileName);
  if (outputBefore.exists && !S_ISREG(outputBefore.mode)) return !S_ISDIR(outputBefore.mode);
  return outputAfter.exists && !Unchanged(outputBefore, outputAfter);
}
