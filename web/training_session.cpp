// The slices of training: a run of mini-batches of the shuffled training set is copied into a
// set of its own (each image distorted as the image of its place in the epoch's order) and
// trained as an epoch of that set, which steps exactly as the same mini-batches do inside the
// whole epoch.
#include "web/training_session.h"

#include <algorithm>
#include <random>
#include <sstream>

#include "math/activation.h"
#include "network/random.h"
#include "network/shuffle.h"

namespace {

constexpr uint32_t kImageSide = 28;
constexpr uint32_t kPixelCount = kImageSide * kImageSide;

std::vector<uint32_t> LayerSizes(const TrainingChoices& choices) {
  std::vector<uint32_t> sizes{kPixelCount};
  sizes.insert(sizes.end(), choices.hiddenLayers.begin(), choices.hiddenLayers.end());
  sizes.push_back(DigitCount);
  return sizes;
}

NeuralNetwork InitialNetwork(const TrainingChoices& choices) {
  ResetRandomSeeds(choices.seed);
  NeuralNetwork network = NeuralNetwork::WithLayers(LayerSizes(choices), choices.learningRate, 1.0);
  network.batchSize = choices.batchSize;
  network.epochCount = choices.epochCount;
  return network;
}

std::string FileOf(const NeuralNetwork& network) {
  std::ostringstream file;
  network.Save(file, nullptr);
  return std::move(file).str();
}

}  // namespace

TrainingSession::TrainingSession(const ImageSet& trainingSet, const ImageSet& testSet,
                                 const TrainingChoices& choices, uint32_t threadCount,
                                 const LayerKernels& kernels)
    : trainingSet_(trainingSet),
      testSet_(testSet),
      network_(InitialNetwork(choices)),
      pool_(threadCount),
      distortion_(choices.distortion) {
  engine_ = std::make_unique<TrainingEngine>(network_.Engine(pool_, kernels));
  const size_t sampleCount =
      choices.sampleLimit == 0 ? trainingSet.size() : std::min(choices.sampleLimit, trainingSet.size());
  for (size_t i = 0; i < sampleCount; ++i)
    order_.push_back(ImageSample{Vector{static_cast<double>(i)}, Vector{}});
}

bool TrainingSession::Step(uint32_t batchCount) {
  if (Done()) return false;
  if (samplesDone_ == 0) {
    const uint32_t seed = NextRandomSeed();
    std::mt19937 random(seed);
    ShuffleSamples(order_, random);
    if (distortion_.kind != DistortionKind::None) {
      epochDistortion_.emplace(distortion_, kImageSide, seed);
      pool_.Run([this](uint32_t thread) {
        const Share fields = ShareOf(epochDistortion_->FieldCount(), 1, thread, pool_.ThreadCount());
        for (size_t f = fields.begin; f < fields.end; ++f) epochDistortion_->DrawField(f);
      });
    }
  }
  const size_t end = std::min(order_.size(), samplesDone_ + size_t{batchCount} * network_.batchSize);
  ImageSet slice;
  for (size_t i = samplesDone_; i < end; ++i) {
    const SampleView sample = trainingSet_[static_cast<size_t>(order_[i].pixels[0])];
    slice.push_back(ImageSample{Vector(sample.pixels.begin(), sample.pixels.end()),
                                Vector(sample.target.begin(), sample.target.end())});
  }
  if (epochDistortion_) {
    // Image i of the epoch's order is distorted as image index i, the index mnist-mlp --train
    // gives it in its shuffled set.
    pool_.Run([&](uint32_t thread) {
      const Share images = ShareOf(slice.size(), 1, thread, pool_.ThreadCount());
      for (size_t i = images.begin; i < images.end; ++i) {
        const size_t source = static_cast<size_t>(order_[samplesDone_ + i].pixels[0]);
        epochDistortion_->Distort(trainingSet_[source].pixels, samplesDone_ + i, slice.PixelsToRedraw(i));
      }
    });
  }
  engine_->TrainEpoch(slice, network_.batchSize);
  samplesDone_ = end;
  if (samplesDone_ < order_.size()) return false;
  Evaluate();
  samplesDone_ = 0;
  ++epochsDone_;
  return true;
}

// The count of mnist-mlp's epoch line (TrainingEngine::CountCorrect), and beside it the matrix
// of labels and answers.
void TrainingSession::Evaluate() {
  EpochEvaluation evaluation{.epoch = epochsDone_};
  std::vector<uint32_t> answers(testSet_.size());
  const ForwardNetwork* member = &engine_->Network();
  FeedForwardInBlocks(
      {&member, 1}, testSet_.size(), [this](size_t s) { return testSet_[s].pixels.data(); }, pool_,
      [&](uint32_t, size_t first, size_t count, size_t, const double* outputs) {
        for (size_t s = 0; s < count; ++s)
          answers[first + s] = ArgMax(std::span(outputs + s * member->OutputStride(), member->OutputSize()));
      });
  double correct = 0.0;
  for (size_t s = 0; s < testSet_.size(); ++s) {
    const uint32_t label = ArgMax(testSet_[s].target);
    if (label == answers[s]) correct += 1.0;
    if (label < DigitCount && answers[s] < DigitCount)
      ++evaluation.confusion[label * DigitCount + answers[s]];
  }
  evaluation.accuracy = (correct * 100.0) / static_cast<double>(testSet_.size());
  lastEvaluation_ = evaluation;
  if (correct > bestCorrect_) {
    bestCorrect_ = correct;
    bestFile_ = CurrentFile();
  }
}

std::string TrainingSession::BestFile() { return bestFile_.empty() ? CurrentFile() : bestFile_; }

std::string TrainingSession::CurrentFile() {
  network_.CopyFrom(*engine_);
  return FileOf(network_);
}

std::vector<double> TrainingSession::FirstLayerWeights() {
  network_.CopyFrom(*engine_);
  std::vector<double> weights;
  for (const Vector& row : network_.weights.front().data)
    weights.insert(weights.end(), row.begin(), row.end());
  return weights;
}
