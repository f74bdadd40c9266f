// Byte-order helpers.
//
// Every multi-byte value in Pellfold is assembled from, and taken apart into,
// single bytes with shifts, so no buffer needs any alignment and no result
// depends on the host's byte order. Nothing in the library casts a byte
// pointer to a wider type; it uses these helpers instead.
#pragma once

#include <cstdint>

namespace pellfold {

// Reads the four bytes at p as a big-endian word: p[0] is the top byte.
constexpr std::uint32_t LoadBe32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

// Writes w to p[0..3], top byte first.
constexpr void StoreBe32(std::uint8_t* p, std::uint32_t w) {
  p[0] = static_cast<std::uint8_t>(w >> 24);
  p[1] = static_cast<std::uint8_t>(w >> 16);
  p[2] = static_cast<std::uint8_t>(w >> 8);
  p[3] = static_cast<std::uint8_t>(w);
}

// Reads the four bytes at p as a little-endian word: p[0] is the low byte.
constexpr std::uint32_t LoadLe32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
         (std::uint32_t{p[3]} << 24);
}

// Writes w to p[0..3], low byte first.
constexpr void StoreLe32(std::uint8_t* p, std::uint32_t w) {
  p[0] = static_cast<std::uint8_t>(w);
  p[1] = static_cast<std::uint8_t>(w >> 8);
  p[2] = static_cast<std::uint8_t>(w >> 16);
  p[3] = static_cast<std::uint8_t>(w >> 24);
}

// Byte 3 (the top byte) .. byte 0 of a word, e.g. as table indices.
constexpr std::uint32_t B3(std::uint32_t w) {
  return w >> 24;
}
constexpr std::uint32_t B2(std::uint32_t w) {
  return (w >> 16) & 0xFF;
}
constexpr std::uint32_t B1(std::uint32_t w) {
  return (w >> 8) & 0xFF;
}
constexpr std::uint32_t B0(std::uint32_t w) {
  return w & 0xFF;
}

}  // namespace pellfold
