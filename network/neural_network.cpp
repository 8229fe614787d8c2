// Construction, the forward pass and batched counting of NeuralNetwork.
#include "network/neural_network.h"

#include <cmath>
#include <iostream>

#include "math/activation.h"
#include "network/random.h"
#include "settings/settings.h"

NeuralNetwork::NeuralNetwork(const std::string& networkFileName, const std::vector<uint32_t>& layerSizes,
                             double learningRate, double weightDecayFactor, ImageSet& trainingSet,
                             const ImageSet* testSet, bool* savesSucceeded)
    : NeuralNetwork(WithLayers(layerSizes, learningRate, weightDecayFactor)) {
  const bool saved = Train(networkFileName, trainingSet, testSet);
  if (savesSucceeded != nullptr) *savesSucceeded = saved;
}

NeuralNetwork::NeuralNetwork(const std::string& networkFileName) {
  std::string errorMessage;
  LoadFile(networkFileName, &errorMessage);
  if (!errorMessage.empty()) std::cout << errorMessage << std::endl;
}

NeuralNetwork::NeuralNetwork(std::istream& input) { Load(input, nullptr); }

NeuralNetwork NeuralNetwork::WithLayers(const std::vector<uint32_t>& layerSizes, double learningRate,
                                        double weightDecayFactor) {
  NeuralNetwork network;
  network.learningRate = learningRate;
  network.weightDecayFactor = weightDecayFactor;
  network.batchSize = kDefaultBatchSize;
  network.epochCount = kDefaultEpochCount;
  for (size_t k = 0; k + 1 < layerSizes.size(); ++k) {
    network.AddLayer(layerSizes[k], layerSizes[k + 1]);
    FillRandomNormal(network.biases.back());
    for (Vector& row : network.weights.back().data) FillRandomNormal(row);
  }
  return network;
}

void NeuralNetwork::ScaleWeightsByInputCount() {
  for (Matrix& layer : weights) {
    const double root = std::sqrt(static_cast<double>(layer.columnCount));
    for (Vector& row : layer.data)
      for (double& weight : row) weight /= root;
  }
}

void NeuralNetwork::AddLayer(uint32_t inputSize, uint32_t outputSize) {
  weights.emplace_back(inputSize, outputSize);
  biases.emplace_back(outputSize, 0.0);
  activations.emplace_back(outputSize, 0.0);
  weightedInputs.emplace_back(outputSize, 0.0);
}

Vector NeuralNetwork::FeedForward(std::span<const double> input) {
  std::span<const double> previous = input;
  for (size_t k = 0; k < weights.size(); ++k) {
    weightedInputs[k] = weights[k] * previous + biases[k];
    activations[k] = Sigmoid(weightedInputs[k]);
    previous = activations[k];
  }
  return activations.empty() ? Vector() : activations.back();
}

double NeuralNetwork::CountCorrect(const ImageSet& samples, uint32_t threadCount) {
  if (samples.empty()) return 0.0;
  // Blocks of images through a contiguous copy of the network, on the threads the processors
  // can run.
  ThreadPool pool(ThreadsWorthStarting(threadCount == 0 ? kMaxThreadCount : threadCount));
  const double correct = Engine(pool).CountCorrect(samples);
  FeedForward(samples.back().pixels);  // the cache holds the last sample, as documented
  return correct;
}

TrainingEngine NeuralNetwork::Engine(ThreadPool& pool, const LayerKernels& kernels) const {
  return TrainingEngine(weights, biases, {learningRate, weightDecayFactor}, pool, kernels);
}

ForwardNetwork NeuralNetwork::ForClassifying(const LayerKernels& kernels) const {
  std::vector<uint32_t> sizes;
  if (!weights.empty()) sizes.push_back(InputSize());
  for (const Vector& layerBiases : biases) sizes.push_back(static_cast<uint32_t>(layerBiases.size()));
  ForwardNetwork network(sizes, kernels);
  for (size_t k = 0; k < network.LayerCount(); ++k) {
    for (size_t r = 0; r < weights[k].rowCount; ++r) {
      const std::span<double> row = network.WeightRow(k, r);
      std::copy_n(weights[k].data[r].begin(), row.size(), row.begin());
    }
    std::copy(biases[k].begin(), biases[k].end(), network.Biases(k).begin());
  }
  return network;
}

void NeuralNetwork::CopyFrom(const TrainingEngine& engine) { engine.CopyTo(weights, biases); }

uint32_t NeuralNetwork::InputSize() const { return weights.empty() ? 0 : weights.front().columnCount; }

uint32_t NeuralNetwork::OutputSize() const {
  return biases.empty() ? 0 : static_cast<uint32_t>(biases.back().size());
}
