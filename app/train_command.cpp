// mnist-mlp --train: loads both data sets and trains one network into the named file.
#include <iostream>

#include "app/commands.h"
#include "mnist/image_set.h"
#include "network/neural_network.h"

namespace {

constexpr uint32_t kPixelCount = 784;  // 28 x 28, the input layer

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
  for (const std::string& dataPath :
       {TrainingImagesPath, TrainingLabelsPath, TestImagesPath, TestLabelsPath}) {
    if (SameFile(networkFileName, dataPath)) {
      std::cout << "The network file " << networkFileName << " is the MNIST data file " << dataPath
                << "; choose another name so that training does not overwrite it." << std::endl;
      return false;
    }
  }

  std::cout << "Loading training data..." << std::endl;
  ImageSet trainingSet;
  if (!LoadDataSet(TrainingImagesPath, TrainingLabelsPath, "training", &trainingSet)) return false;
  if (!HasNetworkPixelCount(trainingSet, "training")) return false;

  std::cout << "Loading verification data..." << std::endl;
  ImageSet verificationSet;
  if (!LoadDataSet(TestImagesPath, TestLabelsPath, "verification", &verificationSet)) return false;
  if (!HasNetworkPixelCount(verificationSet, "verification")) return false;

  std::cout << "Initiating training sequence." << std::endl;
  const uint64_t start = TimeStampMilliseconds();
  bool savesSucceeded = false;
  {
    const NeuralNetwork network(networkFileName, {kPixelCount, 500, 300, 200, 100, 10}, 0.5, 1.0, trainingSet,
                                &verificationSet, &savesSucceeded);
  }
  const uint64_t end = TimeStampMilliseconds();
  std::cout << "Training took " << ElapsedSeconds(start, end) << " seconds." << std::endl;
  // Training prints each failed save and goes on; the command still reports the failure.
  return savesSucceeded;
}
