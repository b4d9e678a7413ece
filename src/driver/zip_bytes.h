#pragma once
// The little-endian fields of ZIP headers, read and written in place.

#include <cstdint>

inline std::uint16_t get16(const unsigned char* at) {
  return static_cast<std::uint16_t>(at[0] | (at[1] << 8));
}

inline std::uint32_t get32(const unsigned char* at) {
  return static_cast<std::uint32_t>(get16(at)) | (static_cast<std::uint32_t>(get16(at + 2)) << 16);
}

inline std::uint64_t get64(const unsigned char* at) {
  return get32(at) | (static_cast<std::uint64_t>(get32(at + 4)) << 32);
}

// Each returns the byte after the field.
inline unsigned char* put16(unsigned char* at, unsigned value) {
  at[0] = static_cast<unsigned char>(value);
  at[1] = static_cast<unsigned char>(value >> 8);
  return at + 2;
}

inline unsigned char* put32(unsigned char* at, std::uint32_t value) {
  return put16(put16(at, value & 0xFFFF), value >> 16);
}

inline unsigned char* put64(unsigned char* at, std::uint64_t value) {
  return put32(put32(at, static_cast<std::uint32_t>(value)),
               static_cast<std::uint32_t>(value >> 32));
}
