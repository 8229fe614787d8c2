// The peak-memory estimate of --train (see training_memory.h). It follows the engine's layout:
// rows padded to whole cache lines, and per layer of n outputs over m inputs three blocks of
// batch x n (activations by parity, deltas) and two of batch x m (the error halves).
#include "app/training_memory.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "engine/forward_network.h"
#include "engine/kernels.h"

namespace {

constexpr uint64_t kDoubleBytes = sizeof(double);
constexpr uint64_t kSampleEntryBytes = 16;  // an ImageSet's entry per sample

uint64_t Padded(uint64_t count) { return (count + kStrideUnit - 1) / kStrideUnit * kStrideUnit; }

}  // namespace

TrainingMemory EstimateTrainingMemory(const std::vector<uint32_t>& layerSizes, uint32_t batchSize,
                                      uint32_t threadCount, uint64_t pixelCount, uint64_t trainingCount,
                                      uint64_t testCount, bool heldOut, bool distorted) {
  TrainingMemory memory;
  const uint64_t imageBytes = pixelCount * kDoubleBytes + kSampleEntryBytes;
  // Splitting off the held-out images copies the training set before the original goes.
  const uint64_t trainingCopies = 1 + (heldOut ? 1 : 0) + (distorted ? 1 : 0);
  memory.images = imageBytes * (trainingCount * trainingCopies + testCount);
  uint64_t parameters = 0;
  uint64_t enginePerBatchRow = layerSizes.empty() ? 0 : 2 * Padded(layerSizes.front());
  for (size_t k = 0; k + 1 < layerSizes.size(); ++k) {
    parameters += Padded(layerSizes[k]) * layerSizes[k + 1] + layerSizes[k + 1];
    enginePerBatchRow += 3 * Padded(layerSizes[k + 1]) + 2 * Padded(layerSizes[k]);
  }
  memory.weights = 3 * parameters * kDoubleBytes;
  memory.batchBlocks = enginePerBatchRow * batchSize * kDoubleBytes;
  memory.threadBuffers = uint64_t{threadCount} * ForwardNetwork::kScratch * kDoubleBytes;
  return memory;
}

uint64_t UsableMemory() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGESIZE);
  uint64_t usable =
      pages > 0 && pageSize > 0 ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize) : UINT64_MAX;
  struct rlimit limit {};
  if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    usable = std::min<uint64_t>(usable, limit.rlim_cur);
  return usable;
}

std::string MemoryText(uint64_t bytes) {
  char text[32];
  const double mebibytes = static_cast<double>(bytes) / (1024.0 * 1024.0);
  if (mebibytes < 1024.0) {
    std::snprintf(text, sizeof text, "%.0f MiB", mebibytes);
  } else {
    std::snprintf(text, sizeof text, "%.1f GiB", mebibytes / 1024.0);
  }
  return text;
}
