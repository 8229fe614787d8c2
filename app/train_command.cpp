// mnist-mlp --train: loads both data sets and trains one network into the named file, with
// the shape and hyperparameters of the settings (settings/settings.h). With held-out images
// (MNIST_MLP_VALIDATION) the epochs are measured and chosen on them, and the test set is
// measured once at the end, for the saved network.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>

#include "app/commands.h"
#include "app/training_memory.h"
#include "app/training_progress.h"
#include "engine/kernels.h"
#include "io/byte_order.h"
#include "mnist/image_set.h"
#include "network/neural_network.h"

namespace {

constexpr uint32_t kPixelCount = 784;  // 28 x 28, the input layer
// 400 MB of weights per copy of the network (the model, the engine's copy and the file it
// saves): beyond this a typo in MNIST_MLP_HIDDEN_LAYERS, not an experiment, is the likely cause.
constexpr uint64_t kMaxWeightCount = 50'000'000;

// The pixel count, the hidden layers of the settings, one output per digit.
std::vector<uint32_t> LayerSizes(const Settings& settings) {
  std::vector<uint32_t> sizes{kPixelCount};
  for (uint32_t hidden : settings.hiddenLayers) sizes.push_back(hidden);
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

// The image count and pixels per image that an IDX image file's header claims; nothing when
// the header cannot be read (the load then says why) or the file is not a regular file: reading
// a named pipe's header here would take it from the load.
struct ImageFileHeader {
  uint64_t imageCount = 0;
  uint64_t pixelCount = 0;
};
std::optional<ImageFileHeader> ReadImageFileHeader(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  std::ifstream file(path, std::ios::binary);
  unsigned char header[16];
  if (!file.read(reinterpret_cast<char*>(header), sizeof header) ||
      DecodeBigEndian32(header) != ImageFileMagic)
    return std::nullopt;
  return ImageFileHeader{DecodeBigEndian32(header + 4),
                         uint64_t{DecodeBigEndian32(header + 8)} * DecodeBigEndian32(header + 12)};
}

// Held-out images must leave some to train on.
bool ValidationFitsTrainingSet(uint32_t validationCount, uint64_t trainingCount) {
  if (validationCount == 0 || validationCount < trainingCount) return true;
  std::cerr << "mnist-mlp: MNIST_MLP_VALIDATION=" << validationCount << " is not valid: it must be below the "
            << trainingCount << " images of " << TrainingImagesPath << ", or unset it." << std::endl;
  return false;
}

// Refuses a run whose estimated peak exceeds the memory the process may use, before anything
// is loaded: otherwise it would fail only after the load, or be killed.
bool WithinMemory(const std::vector<uint32_t>& layerSizes, const Settings& settings) {
  const std::optional<ImageFileHeader> training = ReadImageFileHeader(TrainingImagesPath);
  const std::optional<ImageFileHeader> test = ReadImageFileHeader(TestImagesPath);
  if (training && !ValidationFitsTrainingSet(settings.validationCount, training->imageCount)) return false;
  const TrainingMemory memory = EstimateTrainingMemory(
      layerSizes, settings.batchSize, settings.threadCount, training ? training->pixelCount : 0,
      training ? training->imageCount : 0, test ? test->imageCount : 0, settings.validationCount > 0,
      settings.distortion.kind != DistortionKind::None);
  const uint64_t usable = UsableMemory();
  if (memory.Total() <= usable) return true;
  std::cerr << "mnist-mlp: training " << LayerSizesText(layerSizes) << " in batches of " << settings.batchSize
            << " would need about " << MemoryText(memory.Total()) << " (mini-batch blocks "
            << MemoryText(memory.batchBlocks) << ", weights " << MemoryText(memory.weights) << ", images "
            << MemoryText(memory.images) << "), more than the " << MemoryText(usable)
            << " this process may use; choose a smaller MNIST_MLP_BATCH_SIZE or MNIST_MLP_HIDDEN_LAYERS."
            << std::endl;
  return false;
}

// The last validationCount samples of the set, which keeps the others.
ImageSet SplitOffHeldOut(ImageSet& trainingSet, uint32_t validationCount) {
  const auto split = trainingSet.begin() + (trainingSet.size() - validationCount);
  ImageSet heldOut(split, trainingSet.end());
  trainingSet = ImageSet(trainingSet.begin(), split);
  return heldOut;
}

// On standard error, once training is over: the test accuracy of the network the file holds,
// which no choice was made on.
void ReportTestAccuracy(const std::string& networkFileName, const ImageSet& testSet, uint32_t threadCount) {
  NeuralNetwork saved;
  std::string errorMessage;
  saved.LoadFile(networkFileName, &errorMessage);
  if (!errorMessage.empty() || saved.weights.empty() || testSet.empty()) {
    std::cerr << "mnist-mlp: the saved network could not be read back to measure it on the test set: "
              << errorMessage << std::endl;
    return;
  }
  const double correct = saved.CountCorrect(testSet, threadCount);
  std::cerr << "mnist-mlp: test accuracy of the saved network, chosen on the held-out images: "
            << correct * 100.0 / static_cast<double>(testSet.size()) << "% ("
            << static_cast<uint64_t>(correct) << " of " << testSet.size() << ")" << std::endl;
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

bool TrainCommand(const std::string& networkFileName, const Settings& settings) {
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

  const std::vector<uint32_t> layerSizes = LayerSizes(settings);
  if (!WithinWeightLimit(layerSizes) || !WithinMemory(layerSizes, settings) ||
      !CanCreateInFolder(networkFileName))
    return false;

  std::cout << "Loading training data..." << std::endl;
  ImageSet trainingSet;
  if (!LoadDataSet(TrainingImagesPath, TrainingLabelsPath, "training", &trainingSet)) return false;
  if (!HasNetworkPixelCount(trainingSet, "training")) return false;
  if (!ValidationFitsTrainingSet(settings.validationCount, trainingSet.size())) return false;

  std::cout << "Loading verification data..." << std::endl;
  ImageSet verificationSet;
  if (!LoadDataSet(TestImagesPath, TestLabelsPath, "verification", &verificationSet)) return false;
  if (!HasNetworkPixelCount(verificationSet, "verification")) return false;
  std::optional<ImageSet> heldOut;
  if (settings.validationCount > 0) heldOut = SplitOffHeldOut(trainingSet, settings.validationCount);

  std::cout << "Initiating training sequence." << std::endl;
  const uint64_t start = TimeStampMilliseconds();
  bool savesSucceeded = false;
  {
    // As the training constructor does, with the batch size and epochs of the settings as well.
    NeuralNetwork network =
        NeuralNetwork::WithLayers(layerSizes, settings.learningRate, settings.weightDecay);
    if (settings.scaledStartingWeights) network.ScaleWeightsByInputCount();
    network.batchSize = settings.batchSize;
    network.epochCount = settings.epochCount;
    const TrainingOptions options{.threadCount = settings.threadCount,
                                  .learningRateDecay = settings.learningRateDecay,
                                  .distortion = settings.distortion};
    EpochObserver onEpoch;
    std::optional<TrainingProgress> progress;
    if (ProgressWanted(settings)) {
      progress.emplace(std::cerr, network, trainingSet.size(), settings, BestKernels().name,
                       TimeStampMilliseconds());
      onEpoch = [&progress](const EpochResult& result) {
        progress->EpochDone(result, TimeStampMilliseconds());
      };
    }
    savesSucceeded =
        network.Train(networkFileName, trainingSet, heldOut ? &*heldOut : &verificationSet, onEpoch, options);
  }
  const uint64_t end = TimeStampMilliseconds();
  std::cout << "Training took " << ElapsedSeconds(start, end) << " seconds." << std::endl;
  if (heldOut && settings.epochCount > 0)
    ReportTestAccuracy(networkFileName, verificationSet, settings.threadCount);
  // Training prints each failed save and goes on; the command still reports the failure.
  return savesSucceeded;
}
