// Seed sequence and normal-distribution fills.
#include "network/random.h"

#include <atomic>
#include <chrono>
#include <cmath>
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

// The natural logarithm of x > 0 from correctly rounded operations only, to within a few
// units in the last place: the C library's log rounds differently from library to library
// (glibc's even from processor to processor), and the page's WebAssembly must draw the
// weights that this program draws. x = m 2^e with m in [sqrt(1/2), sqrt(2)); with
// s = (m - 1) / (m + 1), log m = 2 (s + s^3/3 + s^5/5 + ...), |s| < 0.1716, to s^23.
double NaturalLog(double x) {
  int exponent = 0;
  double m = std::frexp(x, &exponent);
  if (m < 0x1.6a09e667f3bcdp-1) {
    m *= 2.0;
    --exponent;
  }
  const double f = m - 1.0;
  const double s = f / (2.0 + f);
  const double z = s * s;
  double series = 1.0 / 23.0;
  for (int k = 10; k >= 0; --k) series = series * z + 1.0 / (2 * k + 1);
  const double logM = 2.0 * s * series;
  // ln 2 in two parts, the first with trailing zero bits so that exponent * it is exact.
  const double e = exponent;
  return e * 0x1.62e42feep-1 + (e * 0x1.a39ef35793c76p-33 + logM);
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
  // Uniform in [0, 1) from two outputs, 53 bits of them rounded into a double.
  const auto uniform = [&engine] {
    const double low = engine();
    const double high = engine();
    const double value = (low + high * 4294967296.0) / 18446744073709551616.0;
    return value >= 1.0 ? std::nextafter(1.0, 0.0) : value;
  };
  // Marsaglia's polar method, each pair's second value kept for the next element.
  bool saved = false;
  double savedValue = 0.0;
  for (double& value : v) {
    if (saved) {
      value = savedValue;
      saved = false;
      continue;
    }
    double x = 0.0;
    double y = 0.0;
    double radius = 0.0;
    do {
      x = 2.0 * uniform() - 1.0;
      y = 2.0 * uniform() - 1.0;
      radius = x * x + y * y;
    } while (radius > 1.0 || radius == 0.0);
    const double scale = std::sqrt(-2.0 * NaturalLog(radius) / radius);
    savedValue = x * scale;
    saved = true;
    value = y * scale;
  }
}
