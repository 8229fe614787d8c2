// Messages, whole-file reads and number formatting shared by mnist-lab's subcommands.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "io/stream.h"
#include "lab/lab.h"

void PrintError(const std::string& line) { std::cerr << "mnist-lab: " << OneLine(line) << std::endl; }

std::string OneLine(const std::string& text) {
  std::string line;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      line += "\\\\";
    } else if (c == '\n') {
      line += "\\n";
    } else if (byte < 0x20 || byte == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      line += escaped;
    } else {
      line += c;
    }
  }
  return line;
}

std::string SystemReason() { return std::strerror(errno); }

bool ReadWholeFile(const std::string& fileName, std::string* bytes, std::string* errorMessage) {
  std::ifstream input(fileName, std::ios::binary);
  if (!input) return ReportError(errorMessage, "cannot be opened: " + SystemReason());
  std::ostringstream content;
  content << input.rdbuf();
  if (input.bad()) return ReportError(errorMessage, "cannot be read: " + SystemReason());
  *bytes = std::move(content).str();
  return true;
}

std::string DescribeModel(const Model& model) {
  if (model.Kind() == ModelKind::Network) return "network";
  return "ensemble of " + std::to_string(model.MemberCount()) +
         (model.MemberCount() == 1 ? " network" : " networks");
}

std::string Fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

namespace {

// The length of the UTF-8 sequence at text[at], or 0 when the bytes there are not one
// (overlong forms, surrogates and code points above U+10FFFF are not).
size_t Utf8SequenceLength(const std::string& text, size_t at) {
  const auto byte = [&](size_t i) {
    return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0;
  };
  const unsigned char lead = byte(0);
  size_t length = 0;
  unsigned char low = 0x80, high = 0xbf;  // the range of the second byte
  if (lead < 0x80) return 1;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) low = 0xa0;
    if (lead == 0xed) high = 0x9f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) low = 0x90;
    if (lead == 0xf4) high = 0x8f;
  } else {
    return 0;
  }
  if (byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if (byte(i) < 0x80 || byte(i) > 0xbf) return 0;
  return length;
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string literal = "\"";
  for (size_t at = 0; at < text.size();) {
    const char c = text[at];
    const size_t length = Utf8SequenceLength(text, at);
    if (length == 0) {
      literal += "\\ufffd";
      ++at;
      continue;
    }
    if (c == '"' || c == '\\') {
      literal += '\\';
      literal += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
      literal += escaped;
    } else {
      literal.append(text, at, length);
    }
    at += length;
  }
  return literal + "\"";
}

std::string JsonNumbers(const Vector& values, int decimals) {
  std::string array = "[";
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) array += ',';
    array += std::isfinite(values[i]) ? Fixed(values[i], decimals) : "null";
  }
  return array + "]";
}
