// A small, fast random stream for the distortions: SplitMix64 (Steele, Lea and Flood, 2014).
// Seeding is one addition, so a stream per image costs nothing, and the output is fixed by
// the algorithm on every platform, unlike the standard library's distributions.
#pragma once

#include <cstdint>

class SplitMix {
 public:
  explicit SplitMix(uint64_t seed) : state_(seed) {}

  uint64_t Next() {
    uint64_t z = (state_ += 0x9e3779b97f4a7c15u);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
    return z ^ (z >> 31);
  }
  // Uniform in [0, 1), from the top 53 bits.
  double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
  // Uniform in [-limit, limit).
  double Symmetric(double limit) { return (2.0 * Unit() - 1.0) * limit; }
  // Uniform in 0 .. count - 1 (count > 0; the bias of the modulo is below 2^-32 for the small
  // counts used here).
  uint32_t Below(uint32_t count) { return static_cast<uint32_t>(Next() % count); }

 private:
  uint64_t state_;
};

// A seed for stream `index` of a family drawn from `seed`: neighbouring indices give unrelated
// streams.
inline uint64_t StreamSeed(uint64_t seed, uint64_t index) {
  return SplitMix(seed ^ (index * 0xd1342543de82ef95u)).Next();
}
