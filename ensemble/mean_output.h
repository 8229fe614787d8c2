// What an ensemble answers: the mean of its members' outputs, for many inputs at once on a
// pool of threads (engine/forward_network.h runs the members). The mean of an input is the
// members' outputs summed in member order starting from 0.0, then divided once by the member
// count; with one member it is exactly that member's output. Its entries are as many as the
// first member has outputs; the answer is the first largest (ArgMax).
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <vector>

#include "engine/forward_network.h"
#include "engine/thread_pool.h"
#include "math/vector.h"
#include "mnist/image_set.h"

// Every member's outputs and their mean for every input: members[e][i] holds member e's
// first outputs for input i (as many as the first member has), mean[i] their mean.
struct SetOutputs {
  std::vector<Vector> mean;                  // one per input
  std::vector<std::vector<Vector>> members;  // members[e]: one per input
};

// The number of samples whose mean output has its largest entry at the index of the target's
// largest entry. Throws std::out_of_range("invalid vector subscript") when a sample has fewer
// pixels than a member's input layer or a member has fewer outputs than the first.
double CountCorrectOfMean(std::span<const ForwardNetwork> members, const ImageSet& samples, ThreadPool& pool);

// The outputs and means of inputs 0 ... inputCount - 1, inputOf(i) pointing at input i, which
// must have at least every member's InputSize() values; the same exception for the outputs.
SetOutputs OutputsOfMean(std::span<const ForwardNetwork> members, size_t inputCount,
                         const std::function<const double*(size_t)>& inputOf, ThreadPool& pool);
// The same for the samples' pixels, whose lengths are checked as CountCorrectOfMean does.
SetOutputs OutputsOfMean(std::span<const ForwardNetwork> members, const ImageSet& samples, ThreadPool& pool);
