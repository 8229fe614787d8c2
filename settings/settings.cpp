// Parsing of the MNIST_MLP_* environment variables.
#include "settings/settings.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

// The variable's value when it is set and holds only an unsigned decimal number that fits.
std::optional<uint32_t> UnsignedVariable(const char* name) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return std::nullopt;
  const char* end = text + std::strlen(text);
  uint32_t value = 0;
  const auto [stop, error] = std::from_chars(text, end, value);
  if (error != std::errc() || stop != end) return std::nullopt;
  return value;
}

}  // namespace

uint32_t EpochCountSetting() {
  const std::optional<uint32_t> epochs = UnsignedVariable("MNIST_MLP_EPOCHS");
  return epochs.value_or(0) > 0 ? *epochs : kDefaultEpochCount;
}

std::optional<uint32_t> SeedSetting() { return UnsignedVariable("MNIST_MLP_SEED"); }

uint32_t ThreadCountSetting() {
  const std::optional<uint32_t> threads = UnsignedVariable("MNIST_MLP_THREADS");
  if (threads.value_or(0) > 0) return std::min(*threads, kMaxThreadCount);
  return std::clamp<uint32_t>(std::thread::hardware_concurrency(), 1, kMaxThreadCount);
}
