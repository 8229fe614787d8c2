// The forward pass through the evaluation that --verify uses.
#include "python/prediction.h"

#include <algorithm>
#include <thread>

#include "engine/thread_pool.h"
#include "engine/training_engine.h"
#include "math/activation.h"

std::vector<double> MeanOutputs(std::span<const NeuralNetwork> members, const double* rows, size_t rowCount) {
  const size_t inputSize = members.front().InputSize();
  const size_t outputSize = members.front().OutputSize();
  // The evaluation reads samples from an image set; targets are not needed, so they stay empty.
  ImageSet samples;
  for (size_t row = 0; row < rowCount; ++row) {
    const double* pixels = rows + row * inputSize;
    samples.push_back(ImageSample{Vector(pixels, pixels + inputSize), Vector()});
  }
  ThreadPool pool(ThreadsWorthStarting(std::max(1u, std::thread::hardware_concurrency())));
  std::vector<TrainingEngine> engines;
  engines.reserve(members.size());
  for (const NeuralNetwork& member : members) engines.push_back(member.Engine(pool));
  std::vector<const TrainingEngine*> engineViews;
  for (const TrainingEngine& engine : engines) engineViews.push_back(&engine);
  const SetOutputs outputs = OutputsOfMeanOutput(engineViews, samples);

  std::vector<double> means(rowCount * outputSize);
  for (size_t row = 0; row < rowCount; ++row) {
    std::copy(outputs.mean[row].begin(), outputs.mean[row].end(), means.begin() + row * outputSize);
  }
  return means;
}

std::vector<int64_t> Answers(const std::vector<double>& outputs, size_t width) {
  std::vector<int64_t> answers(width == 0 ? 0 : outputs.size() / width);
  for (size_t row = 0; row < answers.size(); ++row) {
    answers[row] = ArgMax(std::span<const double>(outputs.data() + row * width, width));
  }
  return answers;
}
