// Where one training epoch's time goes, phase by phase, for one kernel set on a given number of
// threads: the default network (784-500-300-200-100-10), mini-batches of 10, 60,000 random
// images, as the page and mnist-mlp train it. The same source runs natively and, compiled to
// WebAssembly with threads and SIMD128 (scripts/bench-page), in node, so the page's epoch can be
// set beside the native one phase by phase. Built without MNIST_MLP_PHASE_TIMERS it prints only
// the epoch's seconds.
//
//   phase_bench [THREADS [KERNELS]]     KERNELS: best (the default) or portable
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench/random_images.h"
#include "engine/kernels.h"
#include "engine/thread_pool.h"
#include "engine/training_engine.h"
#include "network/neural_network.h"
#include "network/random.h"
#include "network/shuffle.h"

namespace {

constexpr size_t kTrainingCount = 60000;
constexpr uint32_t kBatchSize = 10;

}  // namespace

int main(int argc, char** argv) {
  const uint32_t threads = argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 2;
  const std::string kernelChoice = argc > 2 ? argv[2] : "best";
  if (threads < 1 || threads > 64 || (kernelChoice != "best" && kernelChoice != "portable")) {
    std::fprintf(stderr, "usage: phase_bench [THREADS (1-64) [best|portable]]\n");
    return 2;
  }
  const LayerKernels& kernels = kernelChoice == "portable" ? PortableKernels() : BestKernels();

  std::mt19937 random(12345);
  ImageSet training = RandomImages(kTrainingCount, random);
  ResetRandomSeeds(1);
  const NeuralNetwork initial = NeuralNetwork::WithLayers({784, 500, 300, 200, 100, 10}, 0.5, 1.0);
  ThreadPool pool(threads);
  TrainingEngine engine = initial.Engine(pool, kernels);

  // A training epoch as NeuralNetwork::Train runs it: shuffle, then every mini-batch.
  const auto start = std::chrono::steady_clock::now();
  std::mt19937 shuffleEngine(NextRandomSeed());
  ShuffleSamples(training, shuffleEngine);
  engine.TrainEpoch(training, kBatchSize);
  const double epoch = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  std::printf("%s kernels, %u thread%s: epoch %.2f s\n", kernels.name, threads, threads == 1 ? "" : "s",
              epoch);
  if (!kPhaseTimers) return 0;
  // Per phase the mean over the threads, the slowest thread and the mean's share of the epoch.
  std::printf("%-22s %9s %12s %7s\n", "phase", "mean [s]", "slowest [s]", "share");
  double exclusiveMean = 0.0;
  for (size_t phase = 0; phase < kPhaseCount; ++phase) {
    double sum = 0.0, slowest = 0.0;
    for (const PhaseTimes& times : engine.PhaseSeconds()) {
      sum += times.seconds[phase];
      slowest = std::max(slowest, times.seconds[phase]);
    }
    const double mean = sum / threads;
    if (static_cast<Phase>(phase) != Phase::kFused) exclusiveMean += mean;  // kFused holds others
    std::printf("%-22s %9.3f %12.3f %6.1f%%\n", kPhaseNames[phase], mean, slowest, 100 * mean / epoch);
  }
  std::printf("%-22s %9.3f\n", "other (shuffle, start)", epoch - exclusiveMean);
  return 0;
}
