// The stream conventions every file format shares: how a failure is detected, how it is
// reported, and how much a stream has left to read.
//
// Loaders and savers never throw for input or output failures: they test the stream after
// each call, and report by assigning one sentence to an optional errorMessage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ios>
#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

// Whether the last operation on the stream failed (fail or bad state).
bool StreamFailed(const std::ios& stream);

// Assigns message to *errorMessage when errorMessage is given, and returns false, so that a
// failure path reads `return ReportError(errorMessage, "...");`.
bool ReportError(std::string* errorMessage, const std::string& message);

// Reads or writes exactly byteCount bytes; false when the stream failed.
bool ReadBytes(std::istream& input, void* bytes, size_t byteCount);
bool WriteBytes(std::ostream& output, const void* bytes, size_t byteCount);

// The bytes between the read position and the end of the stream, or std::nullopt when the
// stream cannot tell (a pipe, a terminal). The position and the state are left as they were.
std::optional<uint64_t> RemainingBytes(std::istream& input);

// The one policy for untrusted sizes: memory follows the bytes that are really there, never the
// count a file claims. Reads up to byteCount bytes into *bytes (replacing its content) and
// returns how many of them the stream holds, byteCount when all are there. A stream that
// knows its length and holds fewer is not read at all; one that cannot tell (a pipe) is read in
// chunks of at most kReadChunkBytes as the data arrive, until byteCount or its end.
inline constexpr size_t kReadChunkBytes = size_t{1} << 20;
uint64_t ReadUpTo(std::istream& input, uint64_t byteCount, std::vector<unsigned char>* bytes);
