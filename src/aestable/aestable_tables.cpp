// Lookup tables of the table-driven engine and their generation.
//
// The tables live in zero-initialised storage and are computed from the
// field arithmetic of GF(2^8) (reduction polynomial x^8 + x^4 + x^3 + x + 1)
// rather than carried as constants. Products go through power and logarithm
// tables to base 3, a generator of the multiplicative group.
#include <bit>

#include "aestable/aestable.h"

namespace pellfold {

std::uint32_t RoundConstWords[10];
std::uint32_t FwdSbox[256];
std::uint32_t RevSbox[256];
std::uint32_t FwdTable0[256];
std::uint32_t FwdTable1[256];
std::uint32_t FwdTable2[256];
std::uint32_t FwdTable3[256];
std::uint32_t RevTable0[256];
std::uint32_t RevTable1[256];
std::uint32_t RevTable2[256];
std::uint32_t RevTable3[256];
std::uint32_t KeyMixTable0[256];
std::uint32_t KeyMixTable1[256];
std::uint32_t KeyMixTable2[256];
std::uint32_t KeyMixTable3[256];

std::int32_t TablesPending = 1;
std::int32_t KeyMixPending = 1;

namespace {

// Multiplication by x (that is, by 2) in GF(2^8).
constexpr std::uint8_t XTime(std::uint8_t x) {
  return static_cast<std::uint8_t>((x << 1) ^ ((x & 0x80) != 0 ? 0x1B : 0x00));
}

constexpr std::uint8_t Rotl8(std::uint8_t x) {
  return static_cast<std::uint8_t>((x << 1) | (x >> 7));
}

// [b3, b2, b1, b0] from four byte values.
constexpr std::uint32_t Word(std::uint32_t b3, std::uint32_t b2, std::uint32_t b1,
                             std::uint32_t b0) {
  return (b3 << 24) | (b2 << 16) | (b1 << 8) | b0;
}

}  // namespace

void AESTableGenerate() {
  // PowTable[e] = 3^e and LogTable[x] = log_3(x). 3 has order 255, so the
  // walk returns to 1 at e = 255: PowTable[255] = 1 and the last write leaves
  // LogTable[1] = 255, which works as 0 because every exponent is reduced
  // modulo 255. LogTable[0] is never written and never read; neither table
  // needs clearing.
  std::uint8_t PowTable[256];
  std::uint8_t LogTable[256];
  std::uint8_t x = 1;
  for (int e = 0; e < 256; ++e) {
    PowTable[e] = x;
    LogTable[x] = static_cast<std::uint8_t>(e);
    x ^= XTime(x);
  }

  std::uint8_t rcon = 1;
  for (auto& word : RoundConstWords) {
    word = std::uint32_t{rcon} << 24;
    rcon = XTime(rcon);
  }

  // S(i) is the affine map of FIPS-197 applied to the inverse of i; 0 has
  // no inverse and maps to 0x63 directly. For i = 1 the exponent is
  // 255 - 255 = 0 and the inverse is 1, as it should be.
  FwdSbox[0] = 0x63;
  RevSbox[0x63] = 0;
  for (std::uint32_t i = 1; i < 256; ++i) {
    const std::uint8_t y = PowTable[255 - LogTable[i]];
    const std::uint8_t y1 = Rotl8(y);
    const std::uint8_t y2 = Rotl8(y1);
    const std::uint8_t y3 = Rotl8(y2);
    const std::uint8_t y4 = Rotl8(y3);
    const std::uint8_t s = static_cast<std::uint8_t>(y ^ y1 ^ y2 ^ y3 ^ y4 ^ 0x63);
    FwdSbox[i] = s;
    RevSbox[s] = i;
  }

  // m·r through the logarithms; the exponent sum stays below 510. The zero
  // operand has no logarithm and is caught before any lookup.
  const auto multiply = [&PowTable, &LogTable](std::uint8_t m, std::uint8_t r) -> std::uint32_t {
    if (r == 0) return 0;
    return PowTable[(LogTable[m] + LogTable[r]) % 255];
  };

  for (std::uint32_t i = 0; i < 256; ++i) {
    const std::uint8_t s = static_cast<std::uint8_t>(FwdSbox[i]);
    const std::uint8_t s2 = XTime(s);
    FwdTable0[i] = Word(s2, s, s, static_cast<std::uint8_t>(s2 ^ s));
    FwdTable1[i] = std::rotr(FwdTable0[i], 8);
    FwdTable2[i] = std::rotr(FwdTable1[i], 8);
    FwdTable3[i] = std::rotr(FwdTable2[i], 8);

    const std::uint8_t r = static_cast<std::uint8_t>(RevSbox[i]);
    RevTable0[i] = Word(multiply(0x0E, r), multiply(0x09, r), multiply(0x0D, r), multiply(0x0B, r));
    RevTable1[i] = std::rotr(RevTable0[i], 8);
    RevTable2[i] = std::rotr(RevTable1[i], 8);
    RevTable3[i] = std::rotr(RevTable2[i], 8);
  }
}

}  // namespace pellfold
