// Full-size random training data for the benchmarks: the engine's time does not depend on
// what the pixels show.
#pragma once

#include <random>

#include "mnist/image_set.h"

// `count` images of 784 uniform random pixels, each with a random one-hot target.
inline ImageSet RandomImages(size_t count, std::mt19937& engine) {
  std::uniform_real_distribution<double> pixel(0.0, 1.0);
  ImageSet set;
  for (size_t i = 0; i < count; ++i) {
    ImageSample sample{Vector(784), Vector(10, 0.0)};
    for (double& value : sample.pixels) value = pixel(engine);
    sample.target[engine() % 10] = 1.0;
    set.push_back(sample);
  }
  return set;
}
