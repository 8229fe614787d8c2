// A model of how a mini-batch's work spreads over more threads than this machine has: the
// engine's schedule (engine/training_engine.cpp) replayed on paper for any thread count,
// counting multiply-adds rather than timing them. It is the figure for machines bigger than
// the one the benchmark runs on, next to the 1- and 2-thread epochs it measures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct ScalingEstimate {
  uint32_t threadsStarted;  // the engine's cap: no more than the widest layer has units of rows
  double multiplyAdds;      // of the whole mini-batch
  double largestShare;      // the sum over the barrier-separated phases of the busiest thread's share
  uint32_t barriers;        // per mini-batch
};

// The mini-batch of `samples` samples through layers of `sizes` (input first) on `threads`
// threads, rows dealt in whole cache lines (8 rows). With twoHalves, the schedule before every
// layer was dealt among all threads: layer 0 dealt in units of `rowUnit` (the kernels' tile),
// each other layer in two halves (cut at whole tiles) for threads 0 and 1.
ScalingEstimate EstimateMiniBatch(const std::vector<uint32_t>& sizes, size_t samples, uint32_t threads,
                                  size_t rowUnit, bool twoHalves);

// Prints the model for 1 ... 64 threads: the busiest thread's share, the barriers and the
// speed-up over one thread they allow, by the work alone and with each barrier costing
// `barrierSeconds` at `secondsPerMultiplyAdd` for one thread's arithmetic.
void PrintScalingModel(const std::vector<uint32_t>& sizes, size_t samples, size_t rowUnit,
                       const char* kernelsName, double secondsPerMultiplyAdd, double barrierSeconds);
