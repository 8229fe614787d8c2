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
// The one policy for untrusted sizes: a reader allocates for a size only when the stream is
// known to hold it; what an unknown length allows is the caller's decision, stated there.
std::optional<uint64_t> RemainingBytes(std::istream& input);
