// What a --train run will hold in memory at its peak, estimated before anything is loaded, so
// that a run too big for the machine is refused in a second rather than dying after the load.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TrainingMemory {
  uint64_t images = 0;         // both data sets as loaded, the held-out and distorted copies
  uint64_t weights = 0;        // the model, the engine's copy and the copy a save or check loads
  uint64_t batchBlocks = 0;    // the engine's per-layer blocks of one mini-batch
  uint64_t threadBuffers = 0;  // each thread's evaluation scratch
  uint64_t Total() const { return images + weights + batchBlocks + threadBuffers; }
};

// The estimate for a network of layerSizes trained in mini-batches of batchSize on threadCount
// threads, with images of pixelCount pixels: trainingCount of them (validationCount held out
// of them by copying, and all of them copied once more when distorted) and testCount.
TrainingMemory EstimateTrainingMemory(const std::vector<uint32_t>& layerSizes, uint32_t batchSize,
                                      uint32_t threadCount, uint64_t pixelCount, uint64_t trainingCount,
                                      uint64_t testCount, bool heldOut, bool distorted);

// The bytes this process may use: the machine's memory, or the address-space limit when lower.
uint64_t UsableMemory();

// "1.5 GiB", "300 MiB"
std::string MemoryText(uint64_t bytes);
