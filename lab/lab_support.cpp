// Files, models and number formatting shared by mnist-lab's subcommands.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include "io/atomic_file.h"
#include "io/stream.h"
#include "lab/lab.h"

void PrintError(const std::string& line) { std::cerr << "mnist-lab: " << line << std::endl; }

bool ReadWholeFile(const std::string& fileName, std::string* bytes, std::string* errorMessage) {
  std::ifstream input(fileName, std::ios::binary);
  if (!input) return ReportError(errorMessage, "cannot be opened");
  std::ostringstream content;
  content << input.rdbuf();
  if (input.bad()) return ReportError(errorMessage, "cannot be read");
  *bytes = std::move(content).str();
  return true;
}

bool WriteWholeFile(const std::string& fileName, const std::string& bytes) {
  const char* failure = "could not be written";
  std::string message;
  const auto write = [&](std::ostream& output, std::string* writeMessage) {
    if (!WriteBytes(output, bytes.data(), bytes.size())) ReportError(writeMessage, failure);
  };
  if (WriteFileAtomically(fileName, write, failure, &message)) return true;
  PrintError(fileName + ": " + message);
  return false;
}

std::unique_ptr<Model> ReadModelFile(const std::string& fileName, uint32_t threadCount) {
  std::ifstream input(fileName, std::ios::binary);
  if (!input) {
    PrintError(fileName + ": cannot be opened");
    return nullptr;
  }
  std::string message;
  std::unique_ptr<Model> model = Model::Read(input, threadCount, &message);
  if (model == nullptr) PrintError(fileName + ": " + message);
  return model;
}

std::string DescribeModel(const Model& model) {
  if (model.Kind() == ModelKind::Network) return "network";
  return "ensemble of " + std::to_string(model.MemberCount()) + " networks";
}

std::string Fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string JsonString(const std::string& text) {
  std::string literal = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      literal += '\\';
      literal += c;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      literal += escaped;
    } else {
      literal += c;
    }
  }
  return literal + "\"";
}

std::string JsonNumbers(const Vector& values, int decimals) {
  std::string array = "[";
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) array += ',';
    array += Fixed(values[i], decimals);
  }
  return array + "]";
}
