// Failure tests, error reporting and length queries for binary streams.
#include "io/stream.h"

#include <algorithm>

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

uint64_t ReadUpTo(std::istream& input, uint64_t byteCount, std::vector<unsigned char>* bytes) {
  bytes->clear();
  const std::optional<uint64_t> remaining = RemainingBytes(input);
  if (remaining && *remaining < byteCount) return *remaining;
  // A known length is read at once; an unknown one a chunk at a time, so that the buffer grows
  // only with what arrived.
  const uint64_t chunk = remaining ? byteCount : kReadChunkBytes;
  while (bytes->size() < byteCount && !StreamFailed(input)) {
    const size_t start = bytes->size();
    const auto wanted = static_cast<size_t>(std::min<uint64_t>(chunk, byteCount - start));
    bytes->resize(start + wanted);
    input.read(reinterpret_cast<char*>(bytes->data() + start), static_cast<std::streamsize>(wanted));
    bytes->resize(start + static_cast<size_t>(input.gcount()));
  }
  return bytes->size();
}
