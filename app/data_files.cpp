// The MNIST data files the commands read, and the loader that reports on standard output.
#include <iostream>

#include "app/commands.h"

const std::string TrainingImagesPath = "train-images.idx3-ubyte";
const std::string TrainingLabelsPath = "train-labels.idx1-ubyte";
const std::string TestImagesPath = "t10k-images.idx3-ubyte";
const std::string TestLabelsPath = "t10k-labels.idx1-ubyte";

bool LoadDataSet(const std::string& imagePath, const std::string& labelPath, const char* setName,
                 ImageSet* set) {
  std::string errorMessage;
  if (!LoadImageSet(imagePath, labelPath, set, &errorMessage)) {
    std::cout << "Error detected during data load: " << errorMessage << std::endl;
    return false;
  }
  std::cout << "Loaded " << set->size() << " " << setName << " samples." << std::endl;
  return true;
}
