// Strict parsing of the MNIST_MLP_* environment variables: a value is taken only when the
// whole text is one, so that a typo never silently becomes a 300-epoch run with defaults.
#include "settings/settings.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>

namespace {

// Decimal digits only, at least one, fitting 32 bits: from_chars of an unsigned type takes no
// sign or blank, stops at the x of "0x2", and reports overflow; the whole text must be used.
std::optional<uint32_t> ParseUnsigned(std::string_view text) {
  uint32_t value = 0;
  const auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || stop != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<uint32_t> ParsePositive(std::string_view text) {
  const std::optional<uint32_t> value = ParseUnsigned(text);
  return value.value_or(0) > 0 ? value : std::nullopt;
}

// A decimal number such as 0.5, .5, 5e-2 or 2. It must start with a digit or a point, which
// keeps out signs, blanks, "inf" and "nan", and hold no x, which keeps out hexadecimal; the
// whole text must be the number; overflow gives infinity and underflow 0, and what remains
// must be finite and above 0. (strtod rather than from_chars: the WebAssembly build's library
// has no from_chars for doubles; the program never changes the C locale.)
std::optional<double> ParsePositiveNumber(std::string_view text) {
  if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.') ||
      text.find_first_of("xX") != std::string_view::npos)
    return std::nullopt;
  const std::string terminated(text);
  char* stop = nullptr;
  const double value = std::strtod(terminated.c_str(), &stop);
  if (stop != terminated.c_str() + terminated.size()) return std::nullopt;
  if (!std::isfinite(value) || value <= 0.0) return std::nullopt;
  return value;
}

std::optional<uint32_t> ParseBatchSize(std::string_view text) {
  const std::optional<uint32_t> value = ParsePositive(text);
  return value.value_or(0) <= kMaxBatchSize ? value : std::nullopt;
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

std::optional<double> ParseWeightDecay(std::string_view text) {
  const std::optional<double> value = ParsePositiveNumber(text);
  return value.value_or(2.0) <= 1.0 ? value : std::nullopt;
}

std::optional<bool> ParseSwitch(std::string_view text) {
  if (text == "1") return true;
  if (text == "0") return false;
  return std::nullopt;
}

// The parsed value of a set variable; nothing when it is unset or invalid.
template <typename Parse>
auto Setting(const char* name, Parse parse) -> decltype(parse(std::string_view())) {
  const char* text = std::getenv(name);
  if (text == nullptr) return std::nullopt;
  return parse(text);
}

struct Variable {
  const char* name;
  bool (*valid)(std::string_view text);
  const char* accepts;
};

template <auto Parse>
bool Valid(std::string_view text) {
  return Parse(text).has_value();
}

const Variable kVariables[] = {
    {"MNIST_MLP_EPOCHS", Valid<ParsePositive>, "a positive whole number in decimal digits, such as 300"},
    {"MNIST_MLP_SEED", Valid<ParseUnsigned>, "a whole number from 0 to 4294967295 in decimal digits"},
    {"MNIST_MLP_THREADS", Valid<ParsePositive>,
     "a positive whole number in decimal digits (more than 256 counts as 256)"},
    {"MNIST_MLP_LEARNING_RATE", Valid<ParsePositiveNumber>,
     "a positive decimal number such as 0.5, 0.05 or 5e-2 (no sign, not inf or nan)"},
    {"MNIST_MLP_BATCH_SIZE", Valid<ParseBatchSize>, "a whole number from 1 to 10000 in decimal digits"},
    {"MNIST_MLP_HIDDEN_LAYERS", Valid<ParseHiddenLayers>,
     "1 to 100 positive whole numbers separated by commas without blanks, such as 800 or 500,300,200,100"},
    {"MNIST_MLP_WEIGHT_DECAY", Valid<ParseWeightDecay>,
     "a decimal number above 0 and at most 1, such as 1 or 0.9999"},
    {"MNIST_MLP_PROGRESS", Valid<ParseSwitch>, "1 (show the progress of --train) or 0 (never show it)"},
};

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

}  // namespace

std::optional<std::string> SettingsProblem() {
  for (const Variable& variable : kVariables) {
    const char* text = std::getenv(variable.name);
    if (text == nullptr || variable.valid(text)) continue;
    return std::string(variable.name) + "=\"" + Printable(text) + "\" is not valid: it accepts " +
           variable.accepts + ", or unset it.";
  }
  return std::nullopt;
}

uint32_t EpochCountSetting() {
  return Setting("MNIST_MLP_EPOCHS", ParsePositive).value_or(kDefaultEpochCount);
}

std::optional<uint32_t> SeedSetting() { return Setting("MNIST_MLP_SEED", ParseUnsigned); }

uint32_t ThreadCountSetting() {
  if (const std::optional<uint32_t> threads = Setting("MNIST_MLP_THREADS", ParsePositive))
    return std::min(*threads, kMaxThreadCount);
  return std::clamp<uint32_t>(std::thread::hardware_concurrency(), 1, kMaxThreadCount);
}

double LearningRateSetting() {
  return Setting("MNIST_MLP_LEARNING_RATE", ParsePositiveNumber).value_or(kDefaultLearningRate);
}

uint32_t BatchSizeSetting() {
  return Setting("MNIST_MLP_BATCH_SIZE", ParseBatchSize).value_or(kDefaultBatchSize);
}

std::vector<uint32_t> HiddenLayersSetting() {
  return Setting("MNIST_MLP_HIDDEN_LAYERS", ParseHiddenLayers)
      .value_or(std::vector<uint32_t>{500, 300, 200, 100});
}

double WeightDecaySetting() {
  return Setting("MNIST_MLP_WEIGHT_DECAY", ParseWeightDecay).value_or(kDefaultWeightDecay);
}

std::optional<bool> ProgressSetting() { return Setting("MNIST_MLP_PROGRESS", ParseSwitch); }
