// Training a network on samples in memory as `mnist-mlp --train` trains one on its files, with
// the network's own rate, decay factor and batch size: each epoch shuffles the training set with
// the next seed of the sequence (network/random.h) and steps through it in mini-batches on the
// fast engine. With a test set the network ends as the epoch that classified most test samples
// correctly (the one --train saves), without one as the last epoch. Plain C++: the caller's
// observer decides whether to stop and what to show.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "mnist/image_set.h"
#include "network/neural_network.h"

struct TrainingObserver {
  // After each epoch: its index from 0 and the percent of the test set correct (NaN without one).
  std::function<void(uint32_t epoch, double accuracy)> onEpoch;
  // Asked before each mini-batch; true stops the training there.
  std::function<bool()> stopRequested;
};

// Trains for epochCount epochs and records epochCount in the network, as --train's file does.
// With a seed, the shuffles draw the seeds that --train draws with MNIST_MLP_SEED=seed after
// making a network of this shape; without one, the process's sequence goes on. Returns false
// when stopped: the network then holds the weights after the last whole mini-batch.
bool TrainNetwork(NeuralNetwork& network, ImageSet& trainingSet, const ImageSet* testSet, uint32_t epochCount,
                  std::optional<uint32_t> seed, const TrainingObserver& observer);

// n(0) .. n(L-1), the input layer first.
std::vector<uint32_t> LayerSizes(const NeuralNetwork& network);

// An image set of `count` rows of `width` pixels (row after row) and their digit labels.
ImageSet LabelledSamples(const double* rows, size_t count, size_t width, const std::vector<uint8_t>& labels);
