// Failure tests, error reporting and length queries for binary streams.
#include "io/stream.h"

bool StreamFailed(const std::ios& stream) { return stream.fail() || stream.bad(); }

bool ReportError(std::string* errorMessage, const std::string& message) {
  if (errorMessage != nullptr) *errorMessage = message;
  return false;
}

bool ReadBytes(std::istream& input, void* bytes, size_t byteCount) {
  input.read(static_cast<char*>(bytes), static_cast<std::streamsize>(byteCount));
  return !StreamFailed(input);
}

bool WriteBytes(std::ostream& output, const void* bytes, size_t byteCount) {
  output.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(byteCount));
  return !StreamFailed(output);
}

std::optional<uint64_t> RemainingBytes(std::istream& input) {
  const std::streampos here = input.tellg();
  if (here < 0) {
    input.clear(input.rdstate() & ~std::ios::failbit);
    return std::nullopt;
  }
  input.seekg(0, std::ios::end);
  const std::streampos end = input.tellg();
  input.seekg(here);
  if (end < here) return 0;
  return static_cast<uint64_t>(end - here);
}
