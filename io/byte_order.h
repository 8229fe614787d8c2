// Numbers to and from the bytes of a file. Network and ensemble files are little-endian with
// doubles as their 8 IEEE 754 bytes; the headers of MNIST's IDX files are big-endian.
// Every number crosses the file boundary through these helpers, never by writing a struct.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

static_assert(std::endian::native == std::endian::little,
              "the little-endian helpers copy the host's representation");

// Stores value's sizeof(T) bytes, least significant first, at destination.
template <typename T>
void EncodeLittleEndian(unsigned char* destination, T value) {
  std::memcpy(destination, &value, sizeof value);
}

// The T stored least significant byte first at source.
template <typename T>
T DecodeLittleEndian(const unsigned char* source) {
  T value;
  std::memcpy(&value, source, sizeof value);
  return value;
}

// The 32-bit value stored most significant byte first at bytes.
inline uint32_t DecodeBigEndian32(const unsigned char* bytes) {
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
         uint32_t{bytes[3]};
}
