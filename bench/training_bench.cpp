// Measures the training engine against the plain reference and against the machine's limit.
//
// On full-size random data (60,000 training and 10,000 test images of 784 pixels, the
// 784-500-300-200-100-10 network) it first checks that the engine agrees with the plain
// per-sample step, then prints seconds per training epoch and per 10,000-image evaluation for
// the reference and the engine with 1 and 2 threads, the achieved GFLOP/s, and the FMA peak
// of this machine measured in the same run.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <thread>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "network/kernels.h"
#include "network/neural_network.h"
#include "network/random.h"
#include "network/shuffle.h"
#include "network/thread_pool.h"
#include "network/training_engine.h"

namespace {

const std::vector<uint32_t> kLayerSizes{784, 500, 300, 200, 100, 10};
constexpr size_t kTrainingCount = 60000;
constexpr size_t kTestCount = 10000;
constexpr size_t kBatchSize = 10;
constexpr size_t kReferenceBatches = 200;    // of the 6,000 in an epoch
constexpr size_t kReferenceEvaluations = 1000;  // of the 10,000 test images

// Multiply-adds per sample: forward through every weight, back-propagated errors through the
// weights above the first layer, and the update of every weight.
constexpr double kWeights = 623000;
constexpr double kUpperWeights = 623000 - 784 * 500;
constexpr double kTrainingFlops = 2.0 * kTrainingCount * (2 * kWeights + kUpperWeights);
constexpr double kEvaluationFlops = 2.0 * kTestCount * kWeights;

double Seconds(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double BestOf(int repeats, const std::function<void()>& work) {
  double best = 1e300;
  for (int i = 0; i < repeats; ++i) best = std::min(best, Seconds(work));
  return best;
}

ImageSet RandomImages(size_t count, std::mt19937& engine) {
  std::uniform_real_distribution<double> pixel(0.0, 1.0);
  ImageSet set(count);
  for (ImageSample& sample : set) {
    sample.pixels.resize(784);
    for (double& value : sample.pixels) value = pixel(engine);
    sample.target.assign(10, 0.0);
    sample.target[engine() % 10] = 1.0;
  }
  return set;
}

#if defined(__x86_64__)
// Twelve independent chains of 4-lane FMAs: enough to fill both FMA pipes whatever their latency.
__attribute__((target("avx2,fma"))) double FmaLoop(long iterations) {
  __m256d chains[12];
  for (int i = 0; i < 12; ++i) chains[i] = _mm256_set1_pd(0.001 * i);
  const __m256d factor = _mm256_set1_pd(0.999999);
  const __m256d offset = _mm256_set1_pd(1e-7);
  for (long n = 0; n < iterations; ++n) {
#pragma GCC unroll 12
    for (int i = 0; i < 12; ++i) chains[i] = _mm256_fmadd_pd(chains[i], factor, offset);
  }
  __m256d sum = chains[0];
  for (int i = 1; i < 12; ++i) sum = _mm256_add_pd(sum, chains[i]);
  double lanes[4];
  _mm256_storeu_pd(lanes, sum);
  return lanes[0] + lanes[1] + lanes[2] + lanes[3];
}

// GFLOP/s of the FMA loop running on threadCount threads at once.
double FmaPeak(uint32_t threadCount) {
  constexpr long kIterations = 100'000'000;
  std::vector<double> sinks(threadCount);
  const double seconds = Seconds([&] {
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < threadCount; ++t) {
      threads.emplace_back([&sinks, t] { sinks[t] = FmaLoop(kIterations); });
    }
    for (std::thread& thread : threads) thread.join();
  });
  return 2.0 * 4 * 12 * kIterations * threadCount / seconds / 1e9;
}
#endif

double LargestRelativeDifference(const NeuralNetwork& a, const NeuralNetwork& b) {
  double largest = 0.0;
  auto compare = [&](double x, double y) {
    const double scale = std::max({std::fabs(x), std::fabs(y), 1e-300});
    largest = std::max(largest, std::fabs(x - y) / scale);
  };
  for (size_t k = 0; k < a.weights.size(); ++k) {
    for (size_t r = 0; r < a.weights[k].rowCount; ++r) {
      for (size_t c = 0; c < a.weights[k].columnCount; ++c) compare(a.weights[k].data[r][c], b.weights[k].data[r][c]);
      compare(a.biases[k][r], b.biases[k][r]);
    }
  }
  return largest;
}

bool SameWeights(const NeuralNetwork& a, const NeuralNetwork& b) {
  return a.weights.size() == b.weights.size() && LargestRelativeDifference(a, b) == 0.0;
}

}  // namespace

int main() {
  std::printf("Training engine benchmark: 784-500-300-200-100-10, mini-batches of 10, random data\n");
  std::printf("kernels: %s; hardware threads: %u\n", BestKernels().name, std::thread::hardware_concurrency());

  double peak[3] = {0, 0, 0};
#if defined(__x86_64__)
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
    peak[1] = FmaPeak(1);
    peak[2] = FmaPeak(2);
    std::printf("FMA peak (independent 4-lane AVX2 FMAs): %.1f GFLOP/s on 1 thread, %.1f on 2\n", peak[1], peak[2]);
  }
#endif

  std::mt19937 random(12345);
  ImageSet training = RandomImages(kTrainingCount, random);
  const ImageSet test = RandomImages(kTestCount, random);
  ResetRandomSeeds(1);
  NeuralNetwork initial = NeuralNetwork::WithLayers(kLayerSizes, 0.5, 1.0);

  // Agreement: one mini-batch, reference against engine with 1 and 2 threads.
  {
    NeuralNetwork reference = initial;
    reference.TrainMiniBatch(training, 0, kBatchSize);
    for (uint32_t threads : {1u, 2u}) {
      ThreadPool pool(threads);
      TrainingEngine engine(initial, pool);
      engine.TrainMiniBatch(training, 0, kBatchSize);
      NeuralNetwork fast = initial;
      engine.CopyTo(fast);
      const double difference = LargestRelativeDifference(reference, fast);
      std::printf("agreement after one mini-batch, %u thread(s): largest relative weight difference %.2e %s\n",
                  threads, difference, difference <= 1e-9 ? "(ok, limit 1e-9)" : "(FAILED, limit 1e-9)");
      if (!(difference <= 1e-9)) return 1;
    }
  }

  // Thread independence: 20 mini-batches on 1 and on 2 threads give identical weights.
  {
    NeuralNetwork results[2] = {initial, initial};
    for (uint32_t threads : {1u, 2u}) {
      ThreadPool pool(threads);
      TrainingEngine engine(initial, pool);
      for (size_t b = 0; b < 20; ++b) engine.TrainMiniBatch(training, b * kBatchSize, (b + 1) * kBatchSize);
      engine.CopyTo(results[threads - 1]);
    }
    const bool same = SameWeights(results[0], results[1]);
    std::printf("20 mini-batches on 1 and on 2 threads: %s\n", same ? "bit-identical weights (ok)" : "DIFFERENT weights (FAILED)");
    if (!same) return 1;
  }

  const double referenceBatch = Seconds([&] {
    NeuralNetwork reference = initial;
    for (size_t b = 0; b < kReferenceBatches; ++b) reference.TrainMiniBatch(training, b * kBatchSize, (b + 1) * kBatchSize);
  }) / kReferenceBatches;
  const double referenceTrain = referenceBatch * (kTrainingCount / kBatchSize);
  const double referenceEval = Seconds([&] {
    NeuralNetwork reference = initial;
    for (size_t p = 0; p < kReferenceEvaluations; ++p) reference.FeedForward(test[p].pixels);
  }) * (kTestCount / kReferenceEvaluations);
  std::printf("\n%-28s %10s %10s %9s %10s %9s\n", "engine", "train [s]", "GFLOP/s", "of peak", "eval [s]", "of peak");
  std::printf("%-28s %10.1f %10.2f %9s %10.2f %9s   (%zu mini-batches and %zu images timed, scaled up)\n",
              "reference, 1 thread", referenceTrain, kTrainingFlops / referenceTrain / 1e9, "", referenceEval,
              "", kReferenceBatches, kReferenceEvaluations);

  double fastTrain[3] = {0, 0, 0};
  double fastEval[3] = {0, 0, 0};
  for (uint32_t threads : {1u, 2u}) {
    ThreadPool pool(threads);
    TrainingEngine engine(initial, pool);
    ResetRandomSeeds(2);
    fastTrain[threads] = BestOf(2, [&] {
      std::mt19937 shuffleEngine(NextRandomSeed());
      ShuffleSamples(training, shuffleEngine);
      engine.TrainEpoch(training, kBatchSize);
    });
    fastEval[threads] = BestOf(3, [&] { engine.CountCorrect(test); });
    const double gflops = kTrainingFlops / fastTrain[threads] / 1e9;
    const double evalGflops = kEvaluationFlops / fastEval[threads] / 1e9;
    char name[64];
    std::snprintf(name, sizeof name, "%s, %u thread%s", BestKernels().name, threads, threads > 1 ? "s" : "");
    std::printf("%-28s %10.2f %10.1f %8.0f%% %10.3f %8.0f%%\n", name, fastTrain[threads], gflops,
                peak[threads] > 0 ? 100 * gflops / peak[threads] : 0.0, fastEval[threads],
                peak[threads] > 0 ? 100 * evalGflops / peak[threads] : 0.0);
  }
  return 0;
}
