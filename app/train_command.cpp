// mnist-mlp --train: loads both data sets and trains one network into the named file, with
// the shape and hyperparameters of the settings (settings/settings.h).
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>

#include "app/commands.h"
#include "app/training_progress.h"
#include "engine/kernels.h"
#include "mnist/image_set.h"
#include "network/neural_network.h"
#include "settings/settings.h"

namespace {

constexpr uint32_t kPixelCount = 784;  // 28 x 28, the input layer
// 400 MB of weights per copy of the network (the model, the engine's copy and the file it
// saves): beyond this a typo in MNIST_MLP_HIDDEN_LAYERS, not an experiment, is the likely cause.
constexpr uint64_t kMaxWeightCount = 50'000'000;

// The pixel count, the hidden layers of the settings, one output per digit.
std::vector<uint32_t> LayerSizes() {
  std::vector<uint32_t> sizes{kPixelCount};
  for (uint32_t hidden : HiddenLayersSetting()) sizes.push_back(hidden);
  sizes.push_back(DigitCount);
  return sizes;
}

bool WithinWeightLimit(const std::vector<uint32_t>& layerSizes) {
  uint64_t weightCount = 0;
  for (size_t k = 0; k + 1 < layerSizes.size(); ++k)
    weightCount += uint64_t{layerSizes[k]} * layerSizes[k + 1];
  if (weightCount <= kMaxWeightCount) return true;
  std::cerr << "mnist-mlp: the network " << LayerSizesText(layerSizes) << " would have " << weightCount
            << " weights, more than the " << kMaxWeightCount
            << " that --train allows; choose smaller MNIST_MLP_HIDDEN_LAYERS." << std::endl;
  return false;
}

// The file a save of `name` creates: the name itself, or where its chain of links ends.
std::filesystem::path SaveTarget(const std::filesystem::path& name) {
  std::filesystem::path target = name;
  std::error_code error;
  for (int link = 0; link < 40 && std::filesystem::is_symlink(target, error); ++link) {
    const std::filesystem::path next = std::filesystem::read_symlink(target, error);
    if (error) break;
    target = next.is_absolute() ? next : target.parent_path() / next;
  }
  return target;
}

// Whether a file can be created in the network file's folder, tried by creating one: a
// missing or read-only folder would otherwise fail every save, and only after the training.
bool CanCreateInFolder(const std::string& networkFileName) {
  std::filesystem::path folder = SaveTarget(networkFileName).parent_path();
  if (folder.empty()) folder = ".";
  std::string probe = (folder / ".mnist-mlp-write-check-XXXXXX").string();
  const int descriptor = mkstemp(probe.data());
  if (descriptor >= 0) {
    close(descriptor);
    unlink(probe.c_str());
    return true;
  }
  std::cerr << "mnist-mlp: cannot create the network file " << networkFileName << " in the folder "
            << folder.string() << ": " << std::strerror(errno) << "; nothing was trained." << std::endl;
  return false;
}

// Refuses images that do not fit the input layer: a longer image would have its tail
// ignored, a shorter one would stop training with an exception.
bool HasNetworkPixelCount(const ImageSet& set, const char* setName) {
  for (const SampleView sample : set) {
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

  const std::vector<uint32_t> layerSizes = LayerSizes();
  if (!WithinWeightLimit(layerSizes) || !CanCreateInFolder(networkFileName)) return false;

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
    // As the training constructor does, with the batch size of the settings as well.
    NeuralNetwork network =
        NeuralNetwork::WithLayers(layerSizes, LearningRateSetting(), WeightDecaySetting());
    network.batchSize = BatchSizeSetting();
    network.epochCount = EpochCountSetting();
    EpochObserver onEpoch;
    std::optional<TrainingProgress> progress;
    if (ProgressWanted()) {
      progress.emplace(std::cerr, network, trainingSet.size(), ThreadCountSetting(), BestKernels().name,
                       TimeStampMilliseconds());
      onEpoch = [&progress](const EpochResult& result) {
        progress->EpochDone(result, TimeStampMilliseconds());
      };
    }
    savesSucceeded = network.Train(networkFileName, trainingSet, &verificationSet, onEpoch);
  }
  const uint64_t end = TimeStampMilliseconds();
  std::cout << "Training took " << ElapsedSeconds(start, end) << " seconds." << std::endl;
  // Training prints each failed save and goes on; the command still reports the failure.
  return savesSucceeded;
}
