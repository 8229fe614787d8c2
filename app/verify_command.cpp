// mnist-mlp --verify: counts the test images an ensemble file classifies correctly.
#include <iostream>

#include "app/commands.h"
#include "ensemble/network_ensemble.h"
#include "mnist/image_set.h"

bool VerifyCommand(const std::string& ensembleFileName) {
  if (ensembleFileName.empty()) {
    std::cout << "You must specify a valid network filename to load." << std::endl;
    return false;
  }

  std::cout << "Loading verification data..." << std::endl;
  ImageSet verificationSet;
  if (!LoadDataSet(TestImagesPath, TestLabelsPath, "verification", &verificationSet)) return false;

  NetworkEnsemble ensemble;
  std::string ensembleMessage;
  ensemble.Load(ensembleFileName, &ensembleMessage);
  if (!ensembleMessage.empty()) {
    std::cout << ensembleMessage << std::endl;
    return false;
  }
  // A network reads as many pixels as it has inputs; fewer would stop the count with an
  // exception. (Extra pixels are ignored, as the network itself does.)
  const uint32_t inputSize = ensemble.networks.front().InputSize();
  for (const ImageSample& sample : verificationSet) {
    if (sample.pixels.size() < inputSize) {
      std::cout << "The ensemble's networks need " << inputSize
                << " inputs, but the verification images have only " << sample.pixels.size() << " pixels."
                << std::endl;
      return false;
    }
  }

  std::cout << "Initiating verification sequence." << std::endl;
  const uint64_t start = TimeStampMilliseconds();
  const double correct = ensemble.CountCorrect(verificationSet);
  const uint64_t end = TimeStampMilliseconds();
  std::cout << "Total correct: " << correct << std::endl;
  std::cout << "Training accuracy: " << correct * 100.0 / static_cast<double>(verificationSet.size()) << "."
            << std::endl;
  std::cout << "Verification took " << ElapsedSeconds(start, end) << " seconds." << std::endl;
  return true;
}
