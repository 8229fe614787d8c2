// The pool runs a task once on every thread, its barrier publishes every earlier write, work is
// dealt in whole units in thread order, and training starts no more threads than find work.
#include "engine/thread_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "engine/training_engine.h"

TEST(ThreadPool, RunsTheTaskOnceOnEveryThread) {
  for (uint32_t threads : {0u, 1u, 2u, 5u}) {
    ThreadPool pool(threads);
    const uint32_t expected = threads == 0 ? 1 : threads;
    ASSERT_EQ(pool.ThreadCount(), expected);
    for (int run = 0; run < 50; ++run) {  // many short runs: no lost wake-up
      std::vector<std::atomic<int>> calls(expected);
      pool.Run([&](uint32_t index) { calls[index].fetch_add(1); });
      for (uint32_t i = 0; i < expected; ++i)
        ASSERT_EQ(calls[i].load(), 1) << threads << " threads, run " << run;
    }
  }
}

TEST(ThreadPool, BarrierMakesEveryEarlierWriteVisible) {
  ThreadPool pool(3);
  std::vector<int> slots(3, 0);
  std::vector<int> sums(3, 0);
  pool.Run([&](uint32_t index) {
    for (int phase = 1; phase <= 200; ++phase) {
      slots[index] = phase * 10 + static_cast<int>(index);
      pool.Barrier();
      int sum = 0;
      for (int slot : slots) sum += slot;
      if (sum != phase * 30 + 3) sums[index] = -1;  // saw a slot of another phase
      pool.Barrier();
    }
    if (sums[index] == 0) sums[index] = 1;
  });
  EXPECT_EQ(sums, std::vector<int>({1, 1, 1}));
}

TEST(ShareOf, DealsWholeUnitsContiguouslyInThreadOrder) {
  for (size_t items : {0u, 1u, 7u, 8u, 500u, 504u, 505u}) {
    for (size_t unit : {1u, 2u, 3u, 8u}) {
      for (uint32_t threads : {1u, 2u, 3u, 4u}) {
        size_t next = 0;
        for (uint32_t t = 0; t < threads; ++t) {
          const Share share = ShareOf(items, unit, t, threads);
          ASSERT_EQ(share.begin, next);
          ASSERT_TRUE(share.end == items || share.end % unit == 0);
          // Earlier threads never get less, and never more than one unit more.
          const size_t size = share.end - share.begin;
          const size_t firstSize = ShareOf(items, unit, 0, threads).end;
          ASSERT_LE(size, firstSize);
          ASSERT_LE((firstSize + unit - 1) / unit, (size + unit - 1) / unit + 1);
          next = share.end;
        }
        ASSERT_EQ(next, items);
      }
    }
  }
}

// Training deals a layer's rows in units of 8 (a cache line of doubles): a thread beyond one
// per unit of the widest layer would find no rows to work on.
TEST(ThreadsWorthUsing, OneThreadPerUnitOfRowsOfTheWidestLayer) {
  const auto layers = [](std::vector<uint32_t> rows) {
    std::vector<Matrix> weights;
    for (uint32_t count : rows) weights.emplace_back(3, count);
    return weights;
  };
  EXPECT_EQ(TrainingEngine::ThreadsWorthUsing(layers({8, 1})), 1u);
  EXPECT_EQ(TrainingEngine::ThreadsWorthUsing(layers({9, 1})), 2u);
  EXPECT_EQ(TrainingEngine::ThreadsWorthUsing(layers({3, 16, 10})), 2u);
  EXPECT_EQ(TrainingEngine::ThreadsWorthUsing(layers({17})), 3u);
}
