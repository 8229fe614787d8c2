// mnist-lab: looking at what a network learned. Its subcommands and what they share.
// Results go to standard output; every failure is one line on standard error that names the
// file it concerns. A subcommand returns the exit status: 0 done, 1 something failed (the rest
// was still done), 2 the arguments make no sense.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ensemble/model_file.h"
#include "math/vector.h"
#include "settings/settings.h"

// The settings were read once by the entry point (settings/settings.h).
int ReportCommand(const std::vector<std::string>& arguments, const Settings& settings);
int ClassifyCommand(const std::vector<std::string>& arguments, const Settings& settings);
int ShowCommand(const std::vector<std::string>& arguments, const Settings& settings);
int PageCommand(const std::vector<std::string>& arguments, const Settings& settings);

// The MNIST test files, under the names mnist-mlp reads.
inline constexpr const char* kTestImagesName = "t10k-images.idx3-ubyte";
inline constexpr const char* kTestLabelsName = "t10k-labels.idx1-ubyte";

// Prints "mnist-lab: " and the line on standard error.
void PrintError(const std::string& line);

// The whole file, or false (with the reason in *errorMessage) when it cannot be read.
bool ReadWholeFile(const std::string& fileName, std::string* bytes, std::string* errorMessage);
// Replaces the file atomically; prints the failure and returns false when it cannot.
bool WriteWholeFile(const std::string& fileName, const std::string& bytes);

// The model in the file (network or ensemble), on up to threadCount threads; prints the
// failure and returns null.
std::unique_ptr<Model> ReadModelFile(const std::string& fileName, uint32_t threadCount);
// "network" or "ensemble of N networks".
std::string DescribeModel(const Model& model);

// value with `decimals` digits after the point.
std::string Fixed(double value, int decimals);
// The text as a JSON string literal, quotes included.
std::string JsonString(const std::string& text);
// The values as a JSON array of numbers with `decimals` digits after the point.
std::string JsonNumbers(const Vector& values, int decimals);
