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

// Prints "mnist-lab: " and the line on standard error, its control characters escaped so that a
// file name cannot start a line of its own.
void PrintError(const std::string& line);
// The text with control characters and backslashes written as C escapes ("a\nb" -> "a\\nb"):
// a file name on one line of output, whatever bytes it holds.
std::string OneLine(const std::string& text);

// The system's reason for the last failure (errno), as "No such file or directory".
std::string SystemReason();

// The whole file, or false (with the reason in *errorMessage) when it cannot be read.
bool ReadWholeFile(const std::string& fileName, std::string* bytes, std::string* errorMessage);

// Where outputs go. mnist-lab creates at most the last part of an output path: the folder of
// report --out (whose parent must exist), or the file of show -o (whose folder must exist).
// Prints why and returns false when no file can be made in the folder (missing, read-only, not
// a folder); with `create`, makes the folder first if it does not exist.
bool PrepareOutputFolder(const std::string& folder, bool create);
// Whether the output names one of the input files, by any name or link (same device and
// inode); prints the refusal when it does.
bool OverwritesAnInput(const std::string& output, const std::vector<std::string>& inputs);
// Replaces the file atomically with a new regular file: a symbolic link of that name is
// replaced, never followed. Prints the failure and returns false when it cannot.
bool WriteWholeFile(const std::string& fileName, const std::string& bytes);

// The model in the file (network or ensemble; a pipe is read as it arrives), on up to
// threadCount threads, if it classifies digits: 784 inputs (28 x 28), 10 outputs and only
// finite weights. Otherwise prints why and returns null. With modelBytes, the bytes of the model
// are kept there too (the page serves them).
std::unique_ptr<Model> ReadDigitModel(const std::string& fileName, uint32_t threadCount,
                                      std::string* modelBytes = nullptr);
// "network" or "ensemble of N networks".
std::string DescribeModel(const Model& model);

// value with `decimals` digits after the point.
std::string Fixed(double value, int decimals);
// The text as a JSON string literal, quotes included; bytes that are not UTF-8 become U+FFFD.
std::string JsonString(const std::string& text);
// The values as a JSON array of numbers with `decimals` digits after the point; null for a
// value that is not finite.
std::string JsonNumbers(const Vector& values, int decimals);
