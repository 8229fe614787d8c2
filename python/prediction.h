// The module's forward pass: the mean of the members' outputs for rows of inputs, on one
// thread per processor. Plain C++ without Python objects, so that it runs with the interpreter lock
// released. The members' outputs are those --verify counts with, bit for bit.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "network/neural_network.h"

// rowCount rows of members.front().InputSize() values in; rowCount rows of OutputSize() values
// out, row after row. Precondition: at least one member, all with the first member's sizes.
std::vector<double> MeanOutputs(std::span<const NeuralNetwork> members, const double* rows, size_t rowCount);

// Per row of outputs (rowCount rows of `width`), the index of the first largest value: the
// digit the classifier answers.
std::vector<int64_t> Answers(const std::vector<double>& outputs, size_t width);
