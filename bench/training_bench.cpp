// Measures the training engine against the plain reference and against the machine's limit.
//
// On full-size random data (60,000 training and 10,000 test images of 784 pixels, the
// 784-500-300-200-100-10 network, mini-batches of 10) it first checks that the engine agrees
// with the plain per-sample step and that its results do not depend on the thread count, then
// prints seconds per training epoch and per 10,000-image evaluation for the reference, the
// engine with portable loops and the engine with vector kernels on 1 and 2 threads, the
// achieved GFLOP/s and their ratio to the FMA peak measured in the same run. Built with
// MNIST_MLP_PHASE_TIMERS, it also prints where the vector kernels' epochs spend their time, per
// thread, next to the time each phase would take at the FMA peak or the streaming limit.
// Before the epochs it measures the ceilings those phases are held to: each product kernel
// alone on every layer shape with its data in the cache, and the update alone on weights too
// large for one cache level after another.
//
// The reference takes minutes per epoch, so it runs a fixed part of an epoch and is scaled
// up; the output says so. Exits with status 1 when a check fails.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "bench/random_images.h"
#include "bench/scaling_model.h"
#include "engine/kernels.h"
#include "engine/thread_pool.h"
#include "engine/training_engine.h"
#include "network/neural_network.h"
#include "network/random.h"
#include "network/shuffle.h"

namespace {

const std::vector<uint32_t> kLayerSizes{784, 500, 300, 200, 100, 10};
constexpr size_t kTrainingCount = 60000;
constexpr size_t kTestCount = 10000;
constexpr size_t kBatchSize = 10;
constexpr size_t kBatchesPerEpoch = kTrainingCount / kBatchSize;
constexpr size_t kReferenceBatches = 200;  // of the 6,000 in an epoch
constexpr size_t kReferenceImages = 1000;  // of the 10,000 test images
constexpr size_t kPortableBatches = 600;   // the portable loops are also slow
constexpr size_t kPortableImages = 2000;
constexpr int kEpochRepeats = 3;  // best of, for the vector kernels
constexpr int kEvaluationRepeats = 3;

// Multiply-adds per training sample: the forward pass through every weight, the errors
// carried back through every weight above the first layer, and the update of every weight.
constexpr double kWeights = 623000;
constexpr double kUpperWeights = kWeights - 784 * 500;
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

#if defined(__x86_64__)
// Twelve independent chains of 4-lane FMAs: enough to keep both FMA pipes busy whatever
// their latency. Returns the sum so that the loop cannot be dropped.
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

// The same with 8-lane AVX-512 FMAs.
__attribute__((target("avx512f"))) double FmaLoop512(long iterations) {
  __m512d chains[12];
  for (int i = 0; i < 12; ++i) chains[i] = _mm512_set1_pd(0.001 * i);
  const __m512d factor = _mm512_set1_pd(0.999999);
  const __m512d offset = _mm512_set1_pd(1e-7);
  for (long n = 0; n < iterations; ++n) {
#pragma GCC unroll 12
    for (int i = 0; i < 12; ++i) chains[i] = _mm512_fmadd_pd(chains[i], factor, offset);
  }
  __m512d sum = chains[0];
  for (int i = 1; i < 12; ++i) sum = _mm512_add_pd(sum, chains[i]);
  double lanes[8];
  _mm512_storeu_pd(lanes, sum);
  return lanes[0] + lanes[1] + lanes[2] + lanes[3] + lanes[4] + lanes[5] + lanes[6] + lanes[7];
}

// GFLOP/s of an FMA loop of `lanes` lanes running on threadCount threads at once; best of 3.
double FmaPeak(uint32_t threadCount, int lanes) {
  constexpr long kIterations = 50'000'000;
  std::vector<double> sinks(threadCount);
  const double seconds = BestOf(3, [&] {
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < threadCount; ++t) {
      threads.emplace_back(
          [&sinks, t, lanes] { sinks[t] = lanes == 8 ? FmaLoop512(kIterations) : FmaLoop(kIterations); });
    }
    for (std::thread& thread : threads) thread.join();
  });
  return 2.0 * lanes * 12 * kIterations * threadCount / seconds / 1e9;
}

// GB/s of reading and writing back 5 MB of doubles (the default network's weights, split
// among the threads) again and again: what the update can reach when the weights come from the
// cache level that holds them.
__attribute__((target("avx2,fma"))) void ScaleInPlace(double* values, size_t count) {
  for (size_t i = 0; i < count; ++i) values[i] = values[i] * 0.9999999 + 1e-12;
}

double StreamPeak(uint32_t threadCount) {
  constexpr size_t kDoubles = 623000;
  constexpr int kPasses = 400;
  std::vector<double> values(kDoubles, 1.0);
  const size_t share = kDoubles / threadCount;
  const double seconds = BestOf(3, [&] {
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < threadCount; ++t) {
      threads.emplace_back([&values, share, t] {
        for (int pass = 0; pass < kPasses; ++pass) ScaleInPlace(values.data() + t * share, share);
      });
    }
    for (std::thread& thread : threads) thread.join();
  });
  return 2.0 * sizeof(double) * share * threadCount * kPasses / seconds / 1e9;
}
#endif

// Per thread, seconds per epoch and share of the mean epoch for each phase; the product
// phases also at the FMA peak of one core and the update at the streaming limit, taking each
// thread's work as an even share.
void PrintPhases(const TrainingEngine& engine, const std::string& name, uint32_t threads, int epochs,
                 double epochSeconds, double corePeak, double streamGbs) {
  if (!kPhaseTimers) return;
  const double perThreadSamples = static_cast<double>(kTrainingCount) / threads;
  auto limit = [&](size_t phase) -> double {
    const auto p = static_cast<Phase>(phase);
    if (corePeak > 0 && (p == Phase::kForward || p == Phase::kUpdate))
      return 2.0 * perThreadSamples * kWeights / corePeak / 1e9;
    if (corePeak > 0 && p == Phase::kBackError)
      return 2.0 * perThreadSamples * kUpperWeights / corePeak / 1e9;
    return 0.0;
  };
  std::printf("\n%s, %u thread%s: phases per epoch (mean of %d epochs of %.2f s)\n", name.c_str(), threads,
              threads == 1 ? "" : "s", epochs, epochSeconds);
  std::printf("%-22s", "phase");
  for (uint32_t t = 0; t < threads; ++t) std::printf("  thread %u [s]    %%", t);
  std::printf("  at FMA peak [s]\n");
  std::vector<double> exclusive(threads, 0.0);
  for (size_t phase = 0; phase < kPhaseCount; ++phase) {
    std::printf("%-22s", kPhaseNames[phase]);
    for (uint32_t t = 0; t < threads; ++t) {
      const double seconds = engine.PhaseSeconds()[t].seconds[phase] / epochs;
      if (static_cast<Phase>(phase) != Phase::kFused) exclusive[t] += seconds;
      std::printf("  %12.3f %5.1f", seconds, 100 * seconds / epochSeconds);
    }
    if (limit(phase) > 0) std::printf("  %15.3f", limit(phase));
    std::printf("\n");
  }
  std::printf("%-22s", "other (shuffle, start)");
  for (uint32_t t = 0; t < threads; ++t)
    std::printf("  %12.3f %5.1f", epochSeconds - exclusive[t],
                100 * (epochSeconds - exclusive[t]) / epochSeconds);
  std::printf("\n");
  if (streamGbs > 0) {
    const double bytes = 2.0 * sizeof(double) * kWeights * kBatchesPerEpoch / threads;
    std::printf(
        "update at the streaming limit (%.1f GB/s for 5 MB, each thread its share): %.3f s per thread\n",
        streamGbs, bytes / streamGbs / 1e9 * threads);
  }
}

// GFLOP/s of each product kernel alone on one thread, for every layer of the default network,
// called as training calls it (12-row chunks of the update and the forward pass, the error of
// all rows) on a mini-batch of 10 whose blocks stay in the cache: the ceiling that the tile
// shapes give, against which the phases of an epoch (which also wait for data) are compared.
void PrintKernelsAlone(const LayerKernels& kernels, double corePeak) {
  std::printf("\n%s kernels alone, 1 thread, mini-batch of 10 in the cache: GFLOP/s (%% of FMA peak)\n",
              kernels.name);
  std::printf("%-10s %16s %16s %16s\n", "layer", "update", "forward", "back error");
  std::mt19937 random(7);
  std::uniform_real_distribution<double> value(-1.0, 1.0);
  for (size_t k = 0; k + 1 < kLayerSizes.size(); ++k) {
    const size_t columns = kLayerSizes[k];
    const size_t rows = kLayerSizes[k + 1];
    const size_t stride = (columns + kStrideUnit - 1) / kStrideUnit * kStrideUnit;
    const size_t outputStride = (rows + kStrideUnit - 1) / kStrideUnit * kStrideUnit;
    AlignedBuffer weights(rows * stride);
    AlignedBuffer inputs(kBatchSize * stride);
    AlignedBuffer deltas(kBatchSize * outputStride);
    AlignedBuffer biases(rows);
    AlignedBuffer outputs(kBatchSize * outputStride);
    AlignedBuffer errors(kBatchSize * stride);
    for (size_t r = 0; r < rows; ++r)
      for (size_t c = 0; c < columns; ++c) weights.data()[r * stride + c] = value(random);
    for (size_t s = 0; s < kBatchSize; ++s) {
      for (size_t c = 0; c < columns; ++c) inputs.data()[s * stride + c] = value(random);
      for (size_t r = 0; r < rows; ++r) deltas.data()[s * outputStride + r] = 1e-3 * value(random);
    }
    const int repeats = static_cast<int>(2e9 / (20.0 * rows * columns));
    constexpr size_t kChunk = 12;
    auto rate = [&](const std::function<void()>& pass) {
      return 20.0 * rows * columns * repeats /
             BestOf(3,
                    [&] {
                      for (int i = 0; i < repeats; ++i) pass();
                    }) /
             1e9;
    };
    const double update = rate([&] {
      for (size_t r = 0; r < rows; r += kChunk)
        kernels.update(weights.data(), stride, columns, r, std::min(rows, r + kChunk), inputs.data(),
                       deltas.data(), outputStride, kBatchSize, 1e-3, 1.0);
    });
    const double forward = rate([&] {
      for (size_t r = 0; r < rows; r += kChunk)
        kernels.forward(weights.data(), stride, columns, biases.data(), r, std::min(rows, r + kChunk),
                        inputs.data(), kBatchSize, outputs.data(), outputStride);
    });
    const double backError = rate([&] {
      kernels.backError(weights.data(), stride, 0, rows, 0, stride, deltas.data(), outputStride, kBatchSize,
                        errors.data());
    });
    char name[32];
    std::snprintf(name, sizeof name, "%zux%zu", rows, columns);
    std::printf("%-10s %8.1f (%3.0f%%) %8.1f (%3.0f%%) %8.1f (%3.0f%%)\n", name, update,
                100 * update / corePeak, forward, 100 * forward / corePeak, backError,
                100 * backError / corePeak);
  }
}

// GFLOP/s of the update alone on one thread over layers of 784 columns and more and more rows,
// so that the weights it reads and writes back every pass outgrow each level of the cache:
// where the rate falls, the weights come from a slower level than the arithmetic needs.
void PrintUpdateBySize(const LayerKernels& kernels, double corePeak) {
  std::printf("%s update alone by the size of the weights (784 columns, 1 thread):", kernels.name);
  constexpr size_t kColumns = 784;
  for (size_t rows : {100, 500, 800, 1200, 2000}) {
    AlignedBuffer weights(rows * kColumns);
    AlignedBuffer inputs(kBatchSize * kColumns);
    const size_t outputStride = (rows + kStrideUnit - 1) / kStrideUnit * kStrideUnit;
    AlignedBuffer deltas(kBatchSize * outputStride);
    std::fill(inputs.data(), inputs.data() + kBatchSize * kColumns, 0.5);
    std::fill(deltas.data(), deltas.data() + kBatchSize * outputStride, 1e-3);
    const int repeats = static_cast<int>(2e9 / (20.0 * rows * kColumns));
    const double seconds = BestOf(3, [&] {
      for (int i = 0; i < repeats; ++i) {
        for (size_t r = 0; r < rows; r += 12)
          kernels.update(weights.data(), kColumns, kColumns, r, std::min(rows, r + 12), inputs.data(),
                         deltas.data(), outputStride, kBatchSize, 1e-3, 1.0);
      }
    });
    const double gflops = 20.0 * rows * kColumns * repeats / seconds / 1e9;
    std::printf(" %.1f MB %.0f%%;", rows * kColumns * 8 / 1e6, 100 * gflops / corePeak);
  }
  std::printf("\n");
}

double LargestRelativeDifference(const NeuralNetwork& a, const NeuralNetwork& b) {
  double largest = 0.0;
  // A NaN on either side is the largest difference: std::max would drop it, and a NaN weight
  // is exactly what this check is there to catch.
  auto compare = [&](double x, double y) {
    const double difference = std::fabs(x - y) / std::max({std::fabs(x), std::fabs(y), 1e-300});
    largest = std::isnan(difference) ? INFINITY : std::max(largest, difference);
  };
  for (size_t k = 0; k < a.weights.size(); ++k) {
    for (size_t r = 0; r < a.weights[k].rowCount; ++r) {
      for (size_t c = 0; c < a.weights[k].columnCount; ++c)
        compare(a.weights[k].data[r][c], b.weights[k].data[r][c]);
      compare(a.biases[k][r], b.biases[k][r]);
    }
  }
  return largest;
}

bool IdenticalParameters(const NeuralNetwork& a, const NeuralNetwork& b) {
  for (size_t k = 0; k < a.weights.size(); ++k) {
    if (a.weights[k].data != b.weights[k].data || a.biases[k] != b.biases[k]) return false;
  }
  return true;
}

// Round trip of a cache line between two threads, in nanoseconds: a measure of the state of
// the host. On this machine's virtual processors it was about 500 ns when 2-thread timings
// were good and several microseconds when the host ran other work on them, which every
// barrier of a 2-thread mini-batch then pays for.
double CacheLineRoundTrip() {
  alignas(64) static std::atomic<int> flag{0};
  constexpr int kRounds = 20000;
  flag.store(0);
  std::thread partner([] {
    for (int i = 0; i < kRounds; ++i) {
      while (flag.load(std::memory_order_acquire) != 2 * i + 1) {
      }
      flag.store(2 * i + 2, std::memory_order_release);
    }
  });
  const double seconds = Seconds([] {
    for (int i = 0; i < kRounds; ++i) {
      flag.store(2 * i + 1, std::memory_order_release);
      while (flag.load(std::memory_order_acquire) != 2 * i + 2) {
      }
    }
  });
  partner.join();
  return seconds / kRounds * 1e9;
}

std::string LoadAverage() {
  std::ifstream file("/proc/loadavg");
  std::string oneMinute;
  file >> oneMinute;
  return file ? oneMinute : "unknown";
}

struct Row {
  std::string name;
  uint32_t threads;
  double trainSeconds;
  double evaluationSeconds;
  bool scaled;
  double ownPeak;  // GFLOP/s of the FMA loop of the row's own instruction set, or 0
};

std::string Percent(double gflops, double peak) {
  if (peak <= 0) return "";
  char text[16];
  std::snprintf(text, sizeof text, "%.0f%%", 100 * gflops / peak);
  return text;
}

// Ratios to the AVX2 peak with the same thread count, and to the row's own peak.
void PrintRow(const Row& row, const double avx2Peak[3]) {
  const double trainGflops = kTrainingFlops / row.trainSeconds / 1e9;
  const double evaluationGflops = kEvaluationFlops / row.evaluationSeconds / 1e9;
  const double peak = row.threads <= 2 ? avx2Peak[row.threads] : 0.0;
  std::printf("%-24s %7u %9.2f%s %8.1f %7s %7s %9.3f%s %8.1f %7s %7s\n", row.name.c_str(), row.threads,
              row.trainSeconds, row.scaled ? "*" : " ", trainGflops, Percent(trainGflops, peak).c_str(),
              Percent(trainGflops, row.ownPeak).c_str(), row.evaluationSeconds, row.scaled ? "*" : " ",
              evaluationGflops, Percent(evaluationGflops, peak).c_str(),
              Percent(evaluationGflops, row.ownPeak).c_str());
}

}  // namespace

int main() {
  std::printf("Training engine benchmark: %s network, mini-batches of %zu, random full-size data\n",
              "784-500-300-200-100-10", kBatchSize);
  std::printf("hardware threads: %u; vector kernels: %s; load average before the run: %s%s\n",
              std::thread::hardware_concurrency(), BestKernels().name, LoadAverage().c_str(),
              " (timings need an otherwise idle machine)");

  const double roundTripBefore = CacheLineRoundTrip();
  std::printf(
      "cache-line round trip between two threads: %.0f ns before the timings (microseconds mean that the "
      "host is busy and 2-thread timings suffer)\n",
      roundTripBefore);
  double peak[3] = {0, 0, 0};     // AVX2, by thread count
  double peak512[3] = {0, 0, 0};  // AVX-512, by thread count
  double stream[3] = {0, 0, 0};   // GB/s of the update's memory traffic alone, by thread count
#if defined(__x86_64__)
  if (Avx2Kernels() != nullptr) {
    peak[1] = FmaPeak(1, 4);
    peak[2] = FmaPeak(2, 4);
    std::printf("FMA peak, independent 4-lane AVX2 FMAs: %.1f GFLOP/s on 1 thread, %.1f on 2 threads\n",
                peak[1], peak[2]);
  }
  if (Avx512Kernels() != nullptr) {
    peak512[1] = FmaPeak(1, 8);
    peak512[2] = FmaPeak(2, 8);
    std::printf("FMA peak, independent 8-lane AVX-512 FMAs: %.1f GFLOP/s on 1 thread, %.1f on 2 threads\n",
                peak512[1], peak512[2]);
  }
  if (kPhaseTimers && Avx2Kernels() != nullptr) {
    stream[1] = StreamPeak(1);
    stream[2] = StreamPeak(2);
    std::printf("streaming read and write of 5 MB: %.1f GB/s on 1 thread, %.1f on 2 threads\n", stream[1],
                stream[2]);
  }
#endif

#if defined(__x86_64__)
  if (Avx2Kernels() != nullptr) {
    PrintKernelsAlone(*Avx2Kernels(), peak[1]);
    PrintUpdateBySize(*Avx2Kernels(), peak[1]);
  }
  if (Avx512Kernels() != nullptr) PrintKernelsAlone(*Avx512Kernels(), peak512[1]);
#endif

  std::mt19937 random(12345);
  ImageSet training = RandomImages(kTrainingCount, random);
  const ImageSet test = RandomImages(kTestCount, random);
  ResetRandomSeeds(1);
  const NeuralNetwork initial = NeuralNetwork::WithLayers(kLayerSizes, 0.5, 1.0);

  // Checks first: one mini-batch against the plain step, then 20 mini-batches on 1 and 2 threads.
  {
    NeuralNetwork reference = initial;
    reference.TrainMiniBatch(training, 0, kBatchSize);
    for (const LayerKernels* kernels : {&PortableKernels(), Avx2Kernels(), Avx512Kernels()}) {
      if (kernels == nullptr) continue;
      ThreadPool pool(2);
      TrainingEngine engine = initial.Engine(pool, *kernels);
      engine.TrainMiniBatch(training, 0, kBatchSize);
      NeuralNetwork fast = initial;
      fast.CopyFrom(engine);
      const double difference = LargestRelativeDifference(reference, fast);
      const bool agrees = difference <= 1e-9;
      std::printf(
          "check: one mini-batch, %s kernels against the plain step: largest relative difference %.1e %s\n",
          kernels->name, difference, agrees ? "(ok, limit 1e-9)" : "(FAILED, limit 1e-9)");
      if (!agrees) return 1;
    }
    NeuralNetwork results[2] = {initial, initial};
    for (uint32_t threads : {1u, 2u}) {
      ThreadPool pool(threads);
      TrainingEngine engine = initial.Engine(pool);
      for (size_t b = 0; b < 20; ++b) engine.TrainMiniBatch(training, b * kBatchSize, (b + 1) * kBatchSize);
      results[threads - 1].CopyFrom(engine);
    }
    const bool same = IdenticalParameters(results[0], results[1]);
    std::printf("check: 20 mini-batches on 1 and on 2 threads: %s\n",
                same ? "bit-identical weights (ok)" : "DIFFERENT weights (FAILED)");
    if (!same) return 1;
  }

  std::vector<Row> rows;
  {
    NeuralNetwork reference = initial;
    const double train = Seconds([&] {
                           for (size_t b = 0; b < kReferenceBatches; ++b)
                             reference.TrainMiniBatch(training, b * kBatchSize, (b + 1) * kBatchSize);
                         }) *
                         (static_cast<double>(kBatchesPerEpoch) / kReferenceBatches);
    const double evaluation = Seconds([&] {
                                for (size_t p = 0; p < kReferenceImages; ++p)
                                  reference.FeedForward(test[p].pixels);
                              }) *
                              (static_cast<double>(kTestCount) / kReferenceImages);
    rows.push_back({"reference (per sample)", 1, train, evaluation, true, 0.0});
  }
  {
    ThreadPool pool(1);
    TrainingEngine engine = initial.Engine(pool, PortableKernels());
    const ImageSet trainingPart(training.begin(), training.begin() + kPortableBatches * kBatchSize);
    const ImageSet testPart(test.begin(), test.begin() + kPortableImages);
    const double train = Seconds([&] { engine.TrainEpoch(trainingPart, kBatchSize); }) *
                         (static_cast<double>(kBatchesPerEpoch) / kPortableBatches);
    const double evaluation =
        Seconds([&] { engine.CountCorrect(testPart); }) * (static_cast<double>(kTestCount) / kPortableImages);
    rows.push_back({"engine, portable loops", 1, train, evaluation, true, 0.0});
  }
  for (const LayerKernels* kernels : {Avx2Kernels(), Avx512Kernels()}) {
    if (kernels == nullptr) continue;
    for (uint32_t threads : {1u, 2u}) {
      ThreadPool pool(threads);
      TrainingEngine engine = initial.Engine(pool, *kernels);
      ResetRandomSeeds(2);
      // A training epoch as NeuralNetwork::Train runs it: shuffle, then every mini-batch.
      double allEpochs = 0.0;
      const double train = BestOf(kEpochRepeats, [&] {
        allEpochs += Seconds([&] {
          std::mt19937 shuffleEngine(NextRandomSeed());
          ShuffleSamples(training, shuffleEngine);
          engine.TrainEpoch(training, kBatchSize);
        });
      });
      const double evaluation = BestOf(kEvaluationRepeats, [&] { engine.CountCorrect(test); });
      const double ownPeak = kernels == Avx2Kernels() ? peak[threads] : peak512[threads];
      PrintPhases(engine, std::string("engine, ") + kernels->name, threads, kEpochRepeats,
                  allEpochs / kEpochRepeats, ownPeak / threads,
                  kernels == Avx2Kernels() ? stream[threads] : 0);
      rows.push_back({std::string("engine, ") + kernels->name, threads, train, evaluation, false, ownPeak});
    }
  }

  std::printf("\n%-24s %7s %10s %8s %7s %7s %10s %8s %7s %7s\n", "", "threads", "epoch [s]", "GFLOP/s",
              "of AVX2", "of own", "eval [s]", "GFLOP/s", "of AVX2", "of own");
  for (const Row& row : rows) PrintRow(row, peak);
  std::printf(
      "* timed on %zu of the %zu mini-batches and %zu of the %zu test images (portable loops: %zu and %zu), "
      "scaled up\n",
      kReferenceBatches, kBatchesPerEpoch, kReferenceImages, kTestCount, kPortableBatches, kPortableImages);
  std::printf(
      "epoch: shuffle and %zu mini-batches, %.3g floating-point operations; evaluation: %zu images, %.3g\n",
      kBatchesPerEpoch, kTrainingFlops, kTestCount, kEvaluationFlops);

  std::printf(
      "of AVX2: GFLOP/s over the AVX2 FMA peak with as many threads; of own: over the peak of the row's "
      "own instructions\n");

  const Row& reference = rows[0];
  std::printf("\n");
  for (const Row& row : rows) {
    if (row.scaled || row.threads != 2) continue;
    const double epochWithEvaluation = row.trainSeconds + row.evaluationSeconds;
    std::printf(
        "%s, 2 threads: %.0fx the reference per epoch, %.0fx per evaluation; a --train epoch (training and "
        "test evaluation) %.2f s, 300 epochs about %.0f minutes\n",
        row.name.c_str(), reference.trainSeconds / row.trainSeconds,
        reference.evaluationSeconds / row.evaluationSeconds, epochWithEvaluation,
        300 * epochWithEvaluation / 60);
  }

  std::printf("cache-line round trip between two threads: %.0f ns after the timings\n", CacheLineRoundTrip());

  // The model takes one thread's arithmetic from the fastest measured 1-thread epoch and a
  // barrier as one cache-line round trip (the last arrival's write reaching each waiter).
  for (const Row& row : rows) {
    if (row.scaled || row.threads != 1 || row.name != std::string("engine, ") + BestKernels().name) continue;
    const double secondsPerMultiplyAdd = row.trainSeconds / (kTrainingFlops / 2);
    const double barrierSeconds = roundTripBefore * 1e-9;
    for (const LayerKernels* kernels : {Avx2Kernels(), Avx512Kernels()}) {
      if (kernels != nullptr)
        PrintScalingModel(kLayerSizes, kBatchSize, kernels->rowUnit, kernels->name, secondsPerMultiplyAdd,
                          barrierSeconds);
    }
    if (Avx512Kernels() == nullptr) {  // its tiles of 4 rows (kernels_avx512.cpp), for machines that have it
      PrintScalingModel(kLayerSizes, kBatchSize, 4, "AVX-512 (not on this processor)", secondsPerMultiplyAdd,
                        barrierSeconds);
    }
  }

  NeuralNetwork copy = initial;
  ThreadPool pool(1);
  const double copyIn = BestOf(5, [&] { TrainingEngine engine = initial.Engine(pool); });
  TrainingEngine engine = initial.Engine(pool);
  const double copyOut = BestOf(5, [&] { copy.CopyFrom(engine); });
  std::printf(
      "copying the weights into the engine: %.2f ms (with its buffers); back into the matrices: %.2f ms\n",
      copyIn * 1e3, copyOut * 1e3);
  return 0;
}
