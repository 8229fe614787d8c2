// The members' mean output per input, summed per block on the thread that runs the block.
#include "ensemble/mean_output.h"

#include <stdexcept>

#include "math/activation.h"

namespace {

[[noreturn]] void ThrowSubscript() { throw std::out_of_range("invalid vector subscript"); }

void CheckOutputs(std::span<const ForwardNetwork> members) {
  for (const ForwardNetwork& member : members) {
    if (member.OutputSize() < members.front().OutputSize()) ThrowSubscript();
  }
}

void CheckPixels(std::span<const ForwardNetwork> members, const ImageSet& samples) {
  for (const ForwardNetwork& member : members) {
    for (const SampleView sample : samples) {
      if (sample.pixels.size() < member.InputSize()) ThrowSubscript();
    }
  }
}

// Runs the members over the inputs and calls visit(threadIndex, input, memberOutputs, mean)
// once per input, memberOutputs[e] pointing at member e's outputs when withMembers (empty
// otherwise). visit must not throw nor allocate.
template <typename Visit>
void ForEachMean(std::span<const ForwardNetwork> members, size_t inputCount,
                 const std::function<const double*(size_t)>& inputOf, ThreadPool& pool, bool withMembers,
                 const Visit& visit) {
  if (members.empty() || inputCount == 0) return;
  CheckOutputs(members);
  const size_t outputCount = members.front().OutputSize();
  const size_t blockSize = ForwardNetwork::kBlock;  // FeedForwardInBlocks' blocks are no longer
  const double memberCount = static_cast<double>(members.size());
  // Everything the threads use is allocated here, so that no allocation can fail inside them.
  // The outputs are summed as they come, and kept per member only when the caller wants them.
  struct ThreadState {
    Vector sums;        // blockSize rows of outputCount: the outputs added so far
    Vector memberRows;  // with members: member e's row s at (e * blockSize + s) * outputCount
    std::vector<const double*> outputs;  // with members: one per member, for the input visited
    Vector mean;
  };
  std::vector<ThreadState> states(pool.ThreadCount());
  for (ThreadState& state : states) {
    state.sums.resize(blockSize * outputCount);
    if (withMembers) {
      state.memberRows.resize(members.size() * blockSize * outputCount);
      state.outputs.resize(members.size());
    }
    state.mean.resize(outputCount);
  }
  std::vector<const ForwardNetwork*> pointers;
  for (const ForwardNetwork& member : members) pointers.push_back(&member);
  FeedForwardInBlocks(
      pointers, inputCount, inputOf, pool,
      [&](uint32_t threadIndex, size_t first, size_t count, size_t member, const double* outputs) {
        ThreadState& state = states[threadIndex];
        if (member == 0) std::fill(state.sums.begin(), state.sums.end(), 0.0);
        for (size_t s = 0; s < count; ++s) {
          double* sum = state.sums.data() + s * outputCount;
          const double* output = outputs + s * members[member].OutputStride();
          for (size_t i = 0; i < outputCount; ++i) sum[i] = sum[i] + output[i];
          if (withMembers) {
            std::copy(output, output + outputCount,
                      state.memberRows.data() + (member * blockSize + s) * outputCount);
          }
        }
        if (member + 1 < members.size()) return;
        for (size_t s = 0; s < count; ++s) {
          const double* sum = state.sums.data() + s * outputCount;
          for (size_t i = 0; i < outputCount; ++i) state.mean[i] = sum[i] / memberCount;
          for (size_t e = 0; e < state.outputs.size(); ++e) {
            state.outputs[e] = state.memberRows.data() + (e * blockSize + s) * outputCount;
          }
          visit(threadIndex, first + s, state.outputs, state.mean);
        }
      });
}

}  // namespace

double CountCorrectOfMean(std::span<const ForwardNetwork> members, const ImageSet& samples,
                          ThreadPool& pool) {
  if (members.empty()) return 0.0;
  CheckPixels(members, samples);
  // One count per thread; the total does not depend on which thread counted what.
  std::vector<double> counts(pool.ThreadCount(), 0.0);
  ForEachMean(
      members, samples.size(), [&](size_t s) { return samples[s].pixels.data(); }, pool, false,
      [&](uint32_t threadIndex, size_t sample, const std::vector<const double*>&, const Vector& mean) {
        if (ArgMax(samples[sample].target) == ArgMax(mean)) counts[threadIndex] += 1.0;
      });
  double correct = 0.0;
  for (double count : counts) correct += count;
  return correct;
}

SetOutputs OutputsOfMean(std::span<const ForwardNetwork> members, size_t inputCount,
                         const std::function<const double*(size_t)>& inputOf, ThreadPool& pool) {
  SetOutputs result;
  if (members.empty()) return result;
  CheckOutputs(members);
  const size_t outputCount = members.front().OutputSize();
  result.mean.assign(inputCount, Vector(outputCount, 0.0));
  result.members.assign(members.size(), std::vector<Vector>(inputCount, Vector(outputCount, 0.0)));
  ForEachMean(members, inputCount, inputOf, pool, true,
              [&](uint32_t, size_t input, const std::vector<const double*>& outputs, const Vector& mean) {
                std::copy(mean.begin(), mean.end(), result.mean[input].begin());
                for (size_t e = 0; e < outputs.size(); ++e) {
                  std::copy(outputs[e], outputs[e] + outputCount, result.members[e][input].begin());
                }
              });
  return result;
}

SetOutputs OutputsOfMean(std::span<const ForwardNetwork> members, const ImageSet& samples, ThreadPool& pool) {
  CheckPixels(members, samples);
  return OutputsOfMean(
      members, samples.size(), [&](size_t s) { return samples[s].pixels.data(); }, pool);
}
