// Strict parsing of decimal numbers (see decimal_text.h).
#include "io/decimal_text.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>

// from_chars of an unsigned type takes no sign or blank, stops at the x of "0x2" and reports
// overflow; the whole text must be used.
std::optional<uint32_t> ParseUnsignedDecimal(std::string_view text) {
  uint32_t value = 0;
  const auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || stop != text.data() + text.size()) return std::nullopt;
  return value;
}

// Overflow gives infinity, which is refused. (strtod rather than from_chars: the WebAssembly
// build's library has no from_chars for doubles; the programs never change the C locale.)
std::optional<double> ParseDecimalNumber(std::string_view text) {
  if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.') ||
      text.find_first_of("xX") != std::string_view::npos)
    return std::nullopt;
  const std::string terminated(text);
  char* stop = nullptr;
  const double value = std::strtod(terminated.c_str(), &stop);
  if (stop != terminated.c_str() + terminated.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}
