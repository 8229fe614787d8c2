// A small persistent pool of threads that run one task together and meet at barriers.
//
// The calling thread takes part as thread 0, so a pool of one thread starts no thread at all.
// The pool owns its worker threads and joins them on destruction. One task runs at a time;
// Run and Barrier may only be used by the thread that made the pool and by the task itself.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

class ThreadPool {
 public:
  // threadCount threads in all, the caller included; 0 counts as 1.
  explicit ThreadPool(uint32_t threadCount);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  uint32_t ThreadCount() const { return threadCount_; }

  // Calls task(threadIndex) once on each thread, index 0 on the caller, and returns when every
  // call has returned. The task must not throw.
  void Run(const std::function<void(uint32_t threadIndex)>& task);

  // Inside a task: returns once every thread has called it, so that what any thread wrote
  // before its call is visible to every thread after. Spins briefly, then yields the
  // processor, then sleeps (see thread_pool.cpp), so that waiting costs little both on an
  // idle machine and on one with more runnable threads than processors.
  void Barrier();

 private:
  void WorkerLoop(uint32_t threadIndex);
  // Waits until value differs from seen: spins, yields, then sleeps on the atomic.
  static void AwaitChange(const std::atomic<uint32_t>& value, uint32_t seen);

  uint32_t threadCount_;
  std::vector<std::thread> workers_;
  const std::function<void(uint32_t)>* task_ = nullptr;
  std::atomic<uint32_t> taskGeneration_{0};  // bumped to start a task (or to stop)
  std::atomic<bool> stopping_{false};
  // The barrier: arrivals count up to threadCount_; the last arrival resets the count and
  // bumps the generation that the others wait on. Separate cache lines avoid false sharing.
  alignas(64) std::atomic<uint32_t> arrivals_{0};
  alignas(64) std::atomic<uint32_t> barrierGeneration_{0};
};

// The half-open share [begin, end) of itemCount items that thread threadIndex of threadCount
// takes when the items are dealt in whole units of unitSize (the last unit may be shorter):
// contiguous, in thread order, sizes differing by at most one unit.
struct Share {
  size_t begin;
  size_t end;
};
Share ShareOf(size_t itemCount, size_t unitSize, uint32_t threadIndex, uint32_t threadCount);

// How many of `requested` threads are worth starting for work that never waits: no more than
// the processors (when the system can tell them), since a thread that waits for a processor
// only costs memory. At least 1.
uint32_t ThreadsWorthStarting(uint32_t requested);
