// mnist-mlp --verify: counts the test images an ensemble file classifies correctly.
#include <fstream>
#include <iostream>

#include "app/commands.h"
#include "engine/thread_pool.h"
#include "ensemble/mean_output.h"
#include "ensemble/network_ensemble.h"
#include "mnist/image_set.h"
#include "network/network_file.h"
#include "settings/settings.h"

namespace {

// A network file given where an ensemble belongs (an easy slip) reads as an ensemble header with
// a nonsense member count; standard output says what the file is instead, and standard error
// how to make an ensemble of it.
void ExplainNetworkInPlaceOfEnsemble(const std::string& networkFileName) {
  std::cout << "The file " << networkFileName << " holds a network, not an ensemble." << std::endl;
  std::string ensembleName = networkFileName;
  if (ensembleName.size() > 4 && ensembleName.ends_with(".net")) ensembleName.resize(ensembleName.size() - 4);
  ensembleName += ".ens";
  std::cerr << "mnist-mlp: " << networkFileName
            << " is a network file, not an ensemble file; make a one-member ensemble of it with" << std::endl
            << "mnist-mlp:   mnist-mlp --combine " << ensembleName << " " << networkFileName << std::endl
            << "mnist-mlp: and verify that." << std::endl;
}

}  // namespace

bool VerifyCommand(const std::string& ensembleFileName, const Settings& settings) {
  if (ensembleFileName.empty()) {
    std::cout << "You must specify a valid network filename to load." << std::endl;
    return false;
  }

  std::cout << "Loading verification data..." << std::endl;
  ImageSet verificationSet;
  if (!LoadDataSet(TestImagesPath, TestLabelsPath, "verification", &verificationSet)) return false;

  // The members are held once, in the layout they classify in.
  std::vector<ForwardNetwork> members;
  std::string ensembleMessage;
  std::ifstream ensembleFile(ensembleFileName, std::ios::binary);
  if (!ReadEnsembleForClassifying(ensembleFile, &members, &ensembleMessage)) {
    if (HoldsNetworkRecord(ensembleFileName)) {
      ExplainNetworkInPlaceOfEnsemble(ensembleFileName);
    } else {
      std::cout << ensembleMessage << std::endl;
      ExplainUnreadable(ensembleFileName);
    }
    return false;
  }
  ensembleFile.close();
  // A network reads as many pixels as it has inputs; fewer would stop the count with an
  // exception. (Extra pixels are ignored, as the network itself does.)
  const uint32_t inputSize = members.front().InputSize();
  for (const SampleView sample : verificationSet) {
    if (sample.pixels.size() < inputSize) {
      std::cout << "The ensemble's networks need " << inputSize
                << " inputs, but the verification images have only " << sample.pixels.size() << " pixels."
                << std::endl;
      return false;
    }
  }

  std::cout << "Initiating verification sequence." << std::endl;
  const uint64_t start = TimeStampMilliseconds();
  ThreadPool pool(ThreadsWorthStarting(settings.threadCount));
  const double correct = CountCorrectOfMean(members, verificationSet, pool);
  const uint64_t end = TimeStampMilliseconds();
  // The count is a whole number in a double; printed as a double, a million would read 1e+06.
  std::cout << "Total correct: " << static_cast<uint64_t>(correct) << std::endl;
  std::cout << "Training accuracy: " << correct * 100.0 / static_cast<double>(verificationSet.size()) << "."
            << std::endl;
  std::cout << "Verification took " << ElapsedSeconds(start, end) << " seconds." << std::endl;
  return true;
}
