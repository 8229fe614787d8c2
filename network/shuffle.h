// The per-epoch shuffle of the training set.
#pragma once

#include <random>

#include "mnist/image_set.h"

// For i = 1 .. n-1 in order: draw r from the engine until r / (i+1) < 4294967295 / (i+1) or
// 4294967295 % (i+1) == i, then swap samples i and r % (i+1) when they differ. A fixed
// algorithm rather than std::shuffle, so one seed gives one order on every standard library.
void ShuffleSamples(ImageSet& samples, std::mt19937& engine);
