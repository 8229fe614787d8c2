// The forward pass through the classifying networks that --verify counts with.
#include "python/prediction.h"

#include <algorithm>

#include "engine/forward_network.h"
#include "engine/thread_pool.h"
#include "ensemble/mean_output.h"
#include "math/activation.h"
#include "settings/settings.h"

std::vector<double> MeanOutputs(std::span<const NeuralNetwork> members, const double* rows, size_t rowCount) {
  const size_t inputSize = members.front().InputSize();
  const size_t outputSize = members.front().OutputSize();
  std::vector<ForwardNetwork> classifiers;
  classifiers.reserve(members.size());
  for (const NeuralNetwork& member : members) classifiers.push_back(member.ForClassifying());
  ThreadPool pool(ThreadsWorthStarting(kMaxThreadCount));
  const SetOutputs outputs = OutputsOfMean(
      classifiers, rowCount, [&](size_t row) { return rows + row * inputSize; }, pool);

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
