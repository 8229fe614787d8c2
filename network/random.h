// Seeds for the random engines of weight initialisation and epoch shuffles.
//
// Every engine is a std::mt19937 seeded with NextRandomSeed(). The seed mixes a per-process
// base with a per-process counter through a bijection, so no two engines of one process ever
// share a seed. The base is the system clock in 100-nanosecond units since 1970 (its low 32
// bits), read once per process, or the base given to ResetRandomSeeds (the programs give it
// MNIST_MLP_SEED): then every run draws the same sequence of seeds and produces the same network.
#pragma once

#include <cstdint>

#include "math/vector.h"

uint32_t NextRandomSeed();

// Starts the seed sequence again from a fixed base: for a run that is to be repeated, and for
// tests that need repeatable networks within one process.
void ResetRandomSeeds(uint32_t base);

// Overwrites every element of v with standard-normal values from a freshly seeded engine.
void FillRandomNormal(Vector& v);
