// The page's training run natively, for the browser test: trains on the four MNIST files of
// the working directory as the page does and writes the best epoch's network file.
//   train_natively portable|best SEED EPOCHS BATCH RATE HIDDEN[,HIDDEN...] DISTORTION OUTPUT
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>

#include "web/training_session.h"

int main(int argc, char** argv) {
  const auto distortion = argc == 9 ? ParseDistortion(argv[7]) : std::nullopt;
  if (!distortion) {
    std::cerr << "usage: train_natively portable|best SEED EPOCHS BATCH RATE HIDDEN DISTORTION OUTPUT\n";
    return 2;
  }
  TrainingChoices choices{.hiddenLayers = {},
                          .learningRate = std::strtod(argv[5], nullptr),
                          .batchSize = static_cast<uint32_t>(std::stoul(argv[4])),
                          .epochCount = static_cast<uint32_t>(std::stoul(argv[3])),
                          .seed = static_cast<uint32_t>(std::stoul(argv[2])),
                          .distortion = *distortion};
  std::istringstream hidden(argv[6]);
  for (std::string size; std::getline(hidden, size, ',');) choices.hiddenLayers.push_back(std::stoul(size));
  ImageSet sets[2];
  std::string error;
  if (!LoadImageSet("train-images.idx3-ubyte", "train-labels.idx1-ubyte", &sets[0], &error) ||
      !LoadImageSet("t10k-images.idx3-ubyte", "t10k-labels.idx1-ubyte", &sets[1], &error)) {
    std::cerr << "train_natively: " << error << "\n";
    return 1;
  }
  const LayerKernels& kernels = std::string(argv[1]) == "portable" ? PortableKernels() : BestKernels();
  TrainingSession session(sets[0], sets[1], choices, 2, kernels);
  while (!session.Done()) session.Step(7);  // slices that end inside mini-batches' runs
  std::ofstream(argv[8], std::ios::binary) << session.BestFile();
  return 0;
}
