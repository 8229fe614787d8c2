// The pool's workers, its barrier and the dealing of work among threads.
#include "engine/thread_pool.h"

#include <algorithm>
#include <chrono>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define MNIST_MLP_PAUSE() _mm_pause()
#else
#define MNIST_MLP_PAUSE() ((void)0)
#endif

namespace {

// Waiting at a barrier: spin for a few microseconds (the usual wait between two running
// threads), then yield the processor for up to 2 ms, then sleep. Yielding matters when more
// threads want to run than there are processors (two trainings at once, a build): the thread
// that is waited for gets the processor instead of a spinning partner. On an idle machine a
// yield returns at once and costs nothing; sleeping only after 2 ms spares the wake-up
// latency of a sleeping thread, which exceeds most phases of a mini-batch.
constexpr int kSpinCount = 200;  // pause instructions: about 4 microseconds
constexpr auto kYieldTime = std::chrono::milliseconds(2);

}  // namespace

ThreadPool::ThreadPool(uint32_t threadCount) : threadCount_(std::max<uint32_t>(threadCount, 1)) {
  workers_.reserve(threadCount_ - 1);
  for (uint32_t index = 1; index < threadCount_; ++index) {
    workers_.emplace_back([this, index] { WorkerLoop(index); });
  }
}

ThreadPool::~ThreadPool() {
  stopping_.store(true);
  taskGeneration_.fetch_add(1);
  taskGeneration_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

void ThreadPool::Run(const std::function<void(uint32_t)>& task) {
  if (threadCount_ == 1) {
    task(0);
    return;
  }
  task_ = &task;
  taskGeneration_.fetch_add(1);
  taskGeneration_.notify_all();
  task(0);
  Barrier();  // every worker has finished its call
  task_ = nullptr;
}

void ThreadPool::WorkerLoop(uint32_t threadIndex) {
  // Not the current value: a worker that starts late must still see the first task.
  uint32_t seen = 0;
  for (;;) {
    AwaitChange(taskGeneration_, seen);
    seen = taskGeneration_.load();
    if (stopping_.load()) return;
    (*task_)(threadIndex);
    Barrier();
  }
}

void ThreadPool::Barrier() {
  if (threadCount_ == 1) return;
  const uint32_t generation = barrierGeneration_.load();
  if (arrivals_.fetch_add(1) + 1 == threadCount_) {
    arrivals_.store(0);
    barrierGeneration_.fetch_add(1);
    barrierGeneration_.notify_all();
    return;
  }
  AwaitChange(barrierGeneration_, generation);
}

void ThreadPool::AwaitChange(const std::atomic<uint32_t>& value, uint32_t seen) {
  for (int spin = 0; spin < kSpinCount; ++spin) {
    if (value.load(std::memory_order_acquire) != seen) return;
    MNIST_MLP_PAUSE();
  }
  const auto yieldEnd = std::chrono::steady_clock::now() + kYieldTime;
  for (int round = 1;; ++round) {
    if (value.load(std::memory_order_acquire) != seen) return;
    std::this_thread::yield();
    if (round % 16 == 0 && std::chrono::steady_clock::now() > yieldEnd) break;
  }
  while (value.load(std::memory_order_acquire) == seen) value.wait(seen);
}

Share ShareOf(size_t itemCount, size_t unitSize, uint32_t threadIndex, uint32_t threadCount) {
  const size_t unitCount = (itemCount + unitSize - 1) / unitSize;
  const size_t base = unitCount / threadCount;
  const size_t extra = unitCount % threadCount;
  const size_t firstUnit = threadIndex * base + std::min<size_t>(threadIndex, extra);
  const size_t units = base + (threadIndex < extra ? 1 : 0);
  return {std::min(firstUnit * unitSize, itemCount), std::min((firstUnit + units) * unitSize, itemCount)};
}

uint32_t ThreadsWorthStarting(uint32_t requested) {
  const uint32_t processors = std::thread::hardware_concurrency();
  return std::max<uint32_t>(processors == 0 ? requested : std::min(requested, processors), 1);
}
