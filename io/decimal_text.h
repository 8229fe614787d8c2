// Numbers written by people, read strictly: a value is taken only when the whole text is one,
// so that a typo is refused instead of becoming another number.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// Decimal digits only, at least one, fitting 32 bits: no sign, blank, hexadecimal or trailing text.
std::optional<uint32_t> ParseUnsignedDecimal(std::string_view text);

// A finite decimal number from 0 up, such as 0, 0.5, .5, 5e-2 or 2.: it starts with a digit or a
// point (no sign, blank, "inf" or "nan") and holds no x (no hexadecimal).
std::optional<double> ParseDecimalNumber(std::string_view text);
