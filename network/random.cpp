// Seed sequence and normal-distribution fills.
#include "network/random.h"

#include <atomic>
#include <chrono>
#include <random>

namespace {

// Low 32 bits of the system clock in 100-nanosecond units since 1970-01-01 00:00 UTC.
uint32_t ClockSeed() {
  const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  const auto ticks =
      std::chrono::duration_cast<std::chrono::duration<int64_t, std::ratio<1, 10000000>>>(sinceEpoch);
  return static_cast<uint32_t>(static_cast<uint64_t>(ticks.count()));
}

// A bijection of 32-bit values (the MurmurHash3 finaliser): distinct counters always give
// distinct seeds, and neighbouring counters give unrelated ones.
uint32_t Mix(uint32_t x) {
  x ^= x >> 16;
  x *= 0x85ebca6bu;
  x ^= x >> 13;
  x *= 0xc2b2ae35u;
  x ^= x >> 16;
  return x;
}

struct SeedState {
  std::atomic<uint32_t> base{ClockSeed()};
  std::atomic<uint32_t> counter{0};
};

SeedState& State() {
  static SeedState state;
  return state;
}

}  // namespace

uint32_t NextRandomSeed() {
  SeedState& state = State();
  return Mix(state.base.load() + state.counter.fetch_add(1));
}

void ResetRandomSeeds(uint32_t base) {
  SeedState& state = State();
  state.base.store(base);
  state.counter.store(0);
}

void FillRandomNormal(Vector& v) {
  std::mt19937 engine(NextRandomSeed());
  std::normal_distribution<double> distribution(0.0, 1.0);
  for (double& value : v) value = distribution(engine);
}
