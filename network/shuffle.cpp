// The training set's shuffle, a fixed Fisher-Yates walk.
#include "network/shuffle.h"

void ShuffleSamples(ImageSet& samples, std::mt19937& engine) {
  constexpr uint32_t kMax = 4294967295u;
  for (uint32_t i = 1; i < samples.size(); ++i) {
    const uint32_t q = i + 1;
    uint32_t r = 0;
    do {
      r = static_cast<uint32_t>(engine());
    } while (!(r / q < kMax / q || kMax % q == i));
    const uint32_t j = r % q;
    if (j != i) samples.Swap(i, j);
  }
}
