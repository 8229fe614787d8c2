// Strict parsing of the MNIST_MLP_* environment variables into one Settings value.
#include "settings/settings.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <thread>

#include "io/decimal_text.h"

namespace {

constexpr std::string_view kPrefix = "MNIST_MLP_";

std::optional<uint32_t> ParsePositive(std::string_view text) {
  const std::optional<uint32_t> value = ParseUnsignedDecimal(text);
  return value.value_or(0) > 0 ? value : std::nullopt;
}

std::optional<double> ParsePositiveNumber(std::string_view text) {
  const std::optional<double> value = ParseDecimalNumber(text);
  return value.value_or(0.0) > 0.0 ? value : std::nullopt;
}

// Above 0 and at most 1: a factor that shrinks or keeps.
std::optional<double> ParseFactor(std::string_view text) {
  const std::optional<double> value = ParsePositiveNumber(text);
  return value.value_or(2.0) <= 1.0 ? value : std::nullopt;
}

std::optional<std::vector<uint32_t>> ParseHiddenLayers(std::string_view text) {
  std::vector<uint32_t> sizes;
  for (size_t start = 0;;) {
    const size_t comma = std::min(text.find(',', start), text.size());
    const std::optional<uint32_t> size = ParsePositive(text.substr(start, comma - start));
    if (!size || sizes.size() == kMaxHiddenLayerCount) return std::nullopt;
    sizes.push_back(*size);
    if (comma == text.size()) return sizes;
    start = comma + 1;
  }
}

std::optional<bool> ParseStartingWeights(std::string_view text) {
  if (text == "scaled") return true;
  if (text == "normal") return false;
  return std::nullopt;
}

std::optional<bool> ParseSwitch(std::string_view text) {
  if (text == "1") return true;
  if (text == "0") return false;
  return std::nullopt;
}

// Stores the parsed value in the field; false when the text is not valid.
template <typename Parse, typename Field>
bool Store(Parse parse, std::string_view text, Field& field) {
  auto value = parse(text);
  if (!value) return false;
  field = std::move(*value);
  return true;
}

struct Variable {
  const char* name;
  bool (*take)(std::string_view text, Settings& settings);
  const char* accepts;
};

const Variable kVariables[] = {
    {"MNIST_MLP_EPOCHS",
     [](std::string_view t, Settings& s) { return Store(ParsePositive, t, s.epochCount); },
     "a positive whole number in decimal digits, such as 300"},
    {"MNIST_MLP_SEED", [](std::string_view t, Settings& s) { return Store(ParseUnsignedDecimal, t, s.seed); },
     "a whole number from 0 to 4294967295 in decimal digits"},
    {"MNIST_MLP_THREADS",
     [](std::string_view t, Settings& s) {
       if (!Store(ParsePositive, t, s.threadCount)) return false;
       s.threadCount = std::min(s.threadCount, kMaxThreadCount);
       return true;
     },
     "a positive whole number in decimal digits (more than 256 counts as 256)"},
    {"MNIST_MLP_LEARNING_RATE",
     [](std::string_view t, Settings& s) { return Store(ParsePositiveNumber, t, s.learningRate); },
     "a positive decimal number such as 0.5, 0.05 or 5e-2 (no sign, not inf or nan)"},
    {"MNIST_MLP_LEARNING_RATE_DECAY",
     [](std::string_view t, Settings& s) { return Store(ParseFactor, t, s.learningRateDecay); },
     "a decimal number above 0 and at most 1, such as 1 or 0.95"},
    {"MNIST_MLP_BATCH_SIZE",
     [](std::string_view t, Settings& s) {
       return Store(ParsePositive, t, s.batchSize) && s.batchSize <= kMaxBatchSize;
     },
     "a whole number from 1 to 10000 in decimal digits"},
    {"MNIST_MLP_HIDDEN_LAYERS",
     [](std::string_view t, Settings& s) { return Store(ParseHiddenLayers, t, s.hiddenLayers); },
     "1 to 100 positive whole numbers separated by commas without blanks, such as 800 or 500,300,200,100"},
    {"MNIST_MLP_WEIGHT_DECAY",
     [](std::string_view t, Settings& s) { return Store(ParseFactor, t, s.weightDecay); },
     "a decimal number above 0 and at most 1, such as 1 or 0.9999"},
    {"MNIST_MLP_VALIDATION",
     [](std::string_view t, Settings& s) { return Store(ParseUnsignedDecimal, t, s.validationCount); },
     "a whole number in decimal digits, below the number of training images, such as 10000"},
    {"MNIST_MLP_DISTORTION",
     [](std::string_view t, Settings& s) { return Store(ParseDistortion, t, s.distortion); },
     "none, affine or elastic, optionally followed by a colon and name=value pairs separated by commas, "
     "such as elastic:alpha=34,sigma=4,rotate=10,scale=10,shear=10 (alpha from 0 to 1000, sigma above 0 "
     "and at most 10, rotate degrees to 180, scale percent to 50, shear degrees to 60; alpha and sigma for "
     "elastic only)"},
    {"MNIST_MLP_STARTING_WEIGHTS",
     [](std::string_view t, Settings& s) { return Store(ParseStartingWeights, t, s.scaledStartingWeights); },
     "normal (standard normal starting weights) or scaled (those divided by the square root of the "
     "layer's input count)"},
    {"MNIST_MLP_PROGRESS", [](std::string_view t, Settings& s) { return Store(ParseSwitch, t, s.progress); },
     "1 (show the progress of --train) or 0 (never show it)"},
};

// Read by the scripts, not by the programs: known, so not refused.
const char* const kScriptVariables[] = {"MNIST_MLP_BUILD_DIR"};

// The value as it can be shown on one line: control characters become '?', and a long value
// is cut short.
std::string Printable(std::string_view text) {
  constexpr size_t kShownLength = 60;
  std::string shown;
  for (char c : text.substr(0, kShownLength))
    shown += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? '?' : c;
  if (text.size() > kShownLength) shown += "...";
  return shown;
}

// The number of single-character insertions, deletions and substitutions from a to b.
size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::string NearestVariable(std::string_view name) {
  const char* nearest = kVariables[0].name;
  for (const Variable& variable : kVariables)
    if (EditDistance(name, variable.name) < EditDistance(name, nearest)) nearest = variable.name;
  return nearest;
}

bool IsKnown(std::string_view name) {
  return std::any_of(std::begin(kVariables), std::end(kVariables),
                     [&](const Variable& variable) { return name == variable.name; }) ||
         std::any_of(std::begin(kScriptVariables), std::end(kScriptVariables),
                     [&](const char* known) { return name == known; });
}

// The value of the variable in the environment, or nothing.
std::optional<std::string_view> Lookup(const char* const* environment, std::string_view name) {
  for (const char* const* entry = environment; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    if (text.size() > name.size() && text.starts_with(name) && text[name.size()] == '=')
      return text.substr(name.size() + 1);
  }
  return std::nullopt;
}

uint32_t ProcessorThreadCount() {
  return std::clamp<uint32_t>(std::thread::hardware_concurrency(), 1, kMaxThreadCount);
}

}  // namespace

Settings DefaultSettings() {
  Settings settings;
  settings.threadCount = ProcessorThreadCount();
  return settings;
}

Settings ReadSettings(const char* const* environment, std::string* problem) {
  Settings settings = DefaultSettings();
  for (const Variable& variable : kVariables) {
    const std::optional<std::string_view> text = Lookup(environment, variable.name);
    if (!text || variable.take(*text, settings)) continue;
    *problem = std::string(variable.name) + "=\"" + Printable(*text) + "\" is not valid: it accepts " +
               variable.accepts + ", or unset it.";
    return DefaultSettings();
  }
  for (const char* const* entry = environment; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const std::string_view name = text.substr(0, text.find('='));
    if (!name.starts_with(kPrefix) || IsKnown(name)) continue;
    *problem = Printable(name) + " is not a known setting: did you mean " + NearestVariable(name) +
               "? (the README lists the settings), or unset it.";
    return DefaultSettings();
  }
  return settings;
}
