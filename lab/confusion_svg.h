// The confusion matrix of a report as an SVG heat map: rows are the true digits, columns the
// answers, every cell shows its count; right answers are shaded green by their share of the
// row, wrong ones red by their count against the largest wrong count.
#pragma once

#include <array>
#include <cstdint>
#include <string>

using ConfusionMatrix = std::array<std::array<uint64_t, 10>, 10>;  // [true digit][answer]

// The SVG file; title goes above the matrix.
std::string ConfusionSvg(const ConfusionMatrix& confusion, const std::string& title);
