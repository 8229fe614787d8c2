// mnist-mlp --verify: counts the test images an ensemble file classifies correctly.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>

#include "app/commands.h"
#include "engine/thread_pool.h"
#include "ensemble/mean_output.h"
#include "ensemble/network_ensemble.h"
#include "mnist/image_set.h"
#include "settings/settings.h"

namespace {

// After a failed ensemble load, on standard error: why the file could not be opened, or, when
// it holds a network rather than an ensemble (an easy slip), how to make one of it.
void ExplainFailedEnsembleLoad(const std::string& ensembleFileName) {
  const int descriptor = open(ensembleFileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) {
    std::cerr << "mnist-mlp: cannot open " << ensembleFileName << ": " << std::strerror(errno) << std::endl;
    return;
  }
  close(descriptor);
  NeuralNetwork network;
  std::string networkMessage;
  network.LoadFile(ensembleFileName, &networkMessage);
  if (!networkMessage.empty() || network.weights.empty()) return;
  std::string ensembleName = ensembleFileName;
  if (ensembleName.size() > 4 && ensembleName.ends_with(".net")) ensembleName.resize(ensembleName.size() - 4);
  ensembleName += ".ens";
  std::cerr << "mnist-mlp: " << ensembleFileName
            << " is a network file, not an ensemble file; make a one-member ensemble of it with" << std::endl
            << "mnist-mlp:   mnist-mlp --combine " << ensembleName << " " << ensembleFileName << std::endl
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
    std::cout << ensembleMessage << std::endl;
    ExplainFailedEnsembleLoad(ensembleFileName);
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
  std::cout << "Total correct: " << correct << std::endl;
  std::cout << "Training accuracy: " << correct * 100.0 / static_cast<double>(verificationSet.size()) << "."
            << std::endl;
  std::cout << "Verification took " << ElapsedSeconds(start, end) << " seconds." << std::endl;
  return true;
}
