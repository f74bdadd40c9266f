// Block routines of the table-driven engine.
//
// The state is four column words s0..s3 (state word indices taken modulo 4).
// A full encryption round builds t_i from byte 3 of s_i, byte 2 of s_(i+1),
// byte 1 of s_(i+2) and byte 0 of s_(i+3): the byte taken from s_(i+k) has
// been shifted left by k rows, so one lookup in FwdTablek does ShiftRows,
// SubBytes and that byte's share of MixColumns at once. Decryption walks the
// rows the other way, s_(i+3), s_(i+2), s_(i+1), for InvShiftRows.
//
// The rounds are written out one call each, with no loop: the only
// decisions are the two round-count tests for 192- and 256-bit keys.
#include "aestable/aestable.h"
#include "util/byteorder.h"

namespace pellfold {
namespace {

struct State {
  std::uint32_t s0, s1, s2, s3;
};

// The first AddRoundKey; all sixteen input bytes are read here, before the
// final round writes any output, which makes in-place use safe.
inline State Load(const std::uint8_t* in, const std::uint32_t* rk) {
  return {LoadBe32(in) ^ rk[0], LoadBe32(in + 4) ^ rk[1], LoadBe32(in + 8) ^ rk[2],
          LoadBe32(in + 12) ^ rk[3]};
}

inline State FwdRound(const State& s, const std::uint32_t* rk) {
  return {
      FwdTable0[B3(s.s0)] ^ FwdTable1[B2(s.s1)] ^ FwdTable2[B1(s.s2)] ^ FwdTable3[B0(s.s3)] ^ rk[0],
      FwdTable0[B3(s.s1)] ^ FwdTable1[B2(s.s2)] ^ FwdTable2[B1(s.s3)] ^ FwdTable3[B0(s.s0)] ^ rk[1],
      FwdTable0[B3(s.s2)] ^ FwdTable1[B2(s.s3)] ^ FwdTable2[B1(s.s0)] ^ FwdTable3[B0(s.s1)] ^ rk[2],
      FwdTable0[B3(s.s3)] ^ FwdTable1[B2(s.s0)] ^ FwdTable2[B1(s.s1)] ^ FwdTable3[B0(s.s2)] ^
          rk[3]};
}

inline State RevRound(const State& s, const std::uint32_t* rk) {
  return {
      RevTable0[B3(s.s0)] ^ RevTable1[B2(s.s3)] ^ RevTable2[B1(s.s2)] ^ RevTable3[B0(s.s1)] ^ rk[0],
      RevTable0[B3(s.s1)] ^ RevTable1[B2(s.s0)] ^ RevTable2[B1(s.s3)] ^ RevTable3[B0(s.s2)] ^ rk[1],
      RevTable0[B3(s.s2)] ^ RevTable1[B2(s.s1)] ^ RevTable2[B1(s.s0)] ^ RevTable3[B0(s.s3)] ^ rk[2],
      RevTable0[B3(s.s3)] ^ RevTable1[B2(s.s2)] ^ RevTable2[B1(s.s1)] ^ RevTable3[B0(s.s0)] ^
          rk[3]};
}

// The last round has no (Inv)MixColumns: plain S-box words, shifted into
// their byte places, then the round key, then the big-endian store.
inline std::uint32_t SboxWord(const std::uint32_t* sbox, std::uint32_t a, std::uint32_t b,
                              std::uint32_t c, std::uint32_t d) {
  return (sbox[B3(a)] << 24) ^ (sbox[B2(b)] << 16) ^ (sbox[B1(c)] << 8) ^ sbox[B0(d)];
}

inline void FwdFinal(const State& s, const std::uint32_t* rk, std::uint8_t* out) {
  StoreBe32(out, SboxWord(FwdSbox, s.s0, s.s1, s.s2, s.s3) ^ rk[0]);
  StoreBe32(out + 4, SboxWord(FwdSbox, s.s1, s.s2, s.s3, s.s0) ^ rk[1]);
  StoreBe32(out + 8, SboxWord(FwdSbox, s.s2, s.s3, s.s0, s.s1) ^ rk[2]);
  StoreBe32(out + 12, SboxWord(FwdSbox, s.s3, s.s0, s.s1, s.s2) ^ rk[3]);
}

inline void RevFinal(const State& s, const std::uint32_t* rk, std::uint8_t* out) {
  StoreBe32(out, SboxWord(RevSbox, s.s0, s.s3, s.s2, s.s1) ^ rk[0]);
  StoreBe32(out + 4, SboxWord(RevSbox, s.s1, s.s0, s.s3, s.s2) ^ rk[1]);
  StoreBe32(out + 8, SboxWord(RevSbox, s.s2, s.s1, s.s0, s.s3) ^ rk[2]);
  StoreBe32(out + 12, SboxWord(RevSbox, s.s3, s.s2, s.s1, s.s0) ^ rk[3]);
}

}  // namespace

void AESTableEncryptBlock(const AESTableContext* context, const std::uint8_t* input,
                          std::uint8_t* output) {
  const std::uint32_t* rk = context->EncRoundKeys;
  State s = Load(input, rk);
  s = FwdRound(s, rk + 4);
  s = FwdRound(s, rk + 8);
  s = FwdRound(s, rk + 12);
  s = FwdRound(s, rk + 16);
  s = FwdRound(s, rk + 20);
  s = FwdRound(s, rk + 24);
  s = FwdRound(s, rk + 28);
  s = FwdRound(s, rk + 32);
  s = FwdRound(s, rk + 36);
  rk += 40;
  // Two separate tests, each adding two rounds: 10 -> none, 12 -> rounds
  // 10 and 11, 14 -> rounds 10 to 13. rk ends at the last round key.
  const std::int32_t rounds = context->RoundCount;
  if (rounds > 10) {
    s = FwdRound(s, rk);
    s = FwdRound(s, rk + 4);
    rk += 8;
  }
  if (rounds > 12) {
    s = FwdRound(s, rk);
    s = FwdRound(s, rk + 4);
    rk += 8;
  }
  FwdFinal(s, rk, output);
}

void AESTableDecryptBlock(const AESTableContext* context, const std::uint8_t* input,
                          std::uint8_t* output) {
  const std::uint32_t* rk = context->DecRoundKeys;
  State s = Load(input, rk);
  s = RevRound(s, rk + 4);
  s = RevRound(s, rk + 8);
  s = RevRound(s, rk + 12);
  s = RevRound(s, rk + 16);
  s = RevRound(s, rk + 20);
  s = RevRound(s, rk + 24);
  s = RevRound(s, rk + 28);
  s = RevRound(s, rk + 32);
  s = RevRound(s, rk + 36);
  rk += 40;
  const std::int32_t rounds = context->RoundCount;
  if (rounds > 10) {
    s = RevRound(s, rk);
    s = RevRound(s, rk + 4);
    rk += 8;
  }
  if (rounds > 12) {
    s = RevRound(s, rk);
    s = RevRound(s, rk + 4);
    rk += 8;
  }
  // DecRoundKeys[4·Nr ..] holds the first encryption round key.
  RevFinal(s, rk, output);
}

}  // namespace pellfold
