// The three commands of mnist-mlp and what they share. Each command prints its progress,
// results and failures on standard output and returns true when it did its whole job.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "mnist/image_set.h"
#include "settings/settings.h"

// The MNIST data files, looked up in the working directory.
extern const std::string TrainingImagesPath;
extern const std::string TrainingLabelsPath;
extern const std::string TestImagesPath;
extern const std::string TestLabelsPath;

// Loads a data set into *set and prints "Loaded N <setName> samples.", or prints the
// loader's message after "Error detected during data load: " and returns false.
bool LoadDataSet(const std::string& imagePath, const std::string& labelPath, const char* setName,
                 ImageSet* set);

// Whether two names lead to the same file on disk (by any path or link); false when either
// does not exist.
inline bool SameFile(const std::string& a, const std::string& b) {
  struct stat infoA {};
  struct stat infoB {};
  if (a.empty() || b.empty() || stat(a.c_str(), &infoA) != 0 || stat(b.c_str(), &infoB) != 0) return false;
  return infoA.st_dev == infoB.st_dev && infoA.st_ino == infoB.st_ino;
}

// Trains a network (784-500-300-200-100-10 unless the settings say otherwise); training writes
// its best epoch to the file.
bool TrainCommand(const std::string& networkFileName, const Settings& settings);
// Counts the test images that the ensemble in the file classifies correctly.
bool VerifyCommand(const std::string& ensembleFileName, const Settings& settings);
// Writes the networks of the files (those whose sizes agree with the first) as one ensemble.
bool CombineCommand(const std::string& ensembleFileName, const std::vector<std::string>& networkFileNames);

// A time stamp in whole milliseconds from a monotonic wall clock. (clock() would count
// processor time on this platform, not elapsed time.)
inline uint64_t TimeStampMilliseconds() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

// The seconds between two stamps as printed: a float with the stream's default formatting.
inline float ElapsedSeconds(uint64_t startMilliseconds, uint64_t endMilliseconds) {
  return static_cast<float>(static_cast<double>(endMilliseconds - startMilliseconds)) / 1000.0f;
}
