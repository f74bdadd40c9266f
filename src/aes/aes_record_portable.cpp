// The portable record path: table-driven AES-256 over 32-bit column words.
//
// A full round is sixteen lookups in four word tables that fuse SubBytes
// (or InvSubBytes) with that byte's share of MixColumns (or
// InvMixColumns), one XOR with the round key per column; decryption is the
// equivalent inverse cipher with its round keys prepared once per key. The
// tables are computed by the compiler from GF(2^8) arithmetic, so there is
// nothing to set up at run time and nothing writable. Words are taken from
// and put into bytes with LoadBe32 / StoreBe32, so neither alignment nor
// the host's byte order matters.
//
// CBC encryption is one serial chain per record, so a lone chain waits on
// its table loads; four records are worked side by side to keep the
// processor busy.
#include <array>
#include <cstring>

#include "aes/aes.h"
#include "aes/aes_record.h"
#include "util/byteorder.h"
#include "util/wipe.h"

namespace pellfold {
namespace {

constexpr std::uint8_t Xtime(std::uint8_t a) {
  return static_cast<std::uint8_t>((a << 1) ^ ((a & 0x80) != 0 ? 0x1B : 0x00));
}

constexpr std::uint8_t Mul(std::uint8_t a, std::uint8_t b) {
  std::uint8_t product = 0;
  for (; b != 0; b = static_cast<std::uint8_t>(b >> 1), a = Xtime(a)) {
    if ((b & 1) != 0) product = static_cast<std::uint8_t>(product ^ a);
  }
  return product;
}

// S(x): the inverse x^254 (which maps 0 to 0), then the affine map. The
// power is taken by squaring, to stay well inside compilers' limits on
// constant evaluation.
constexpr std::uint8_t SubByte(std::uint8_t x) {
  std::uint8_t inverse = 1;
  std::uint8_t power = x;
  for (int e = 254; e != 0; e >>= 1, power = Mul(power, power)) {
    if ((e & 1) != 0) inverse = Mul(inverse, power);
  }
  std::uint8_t s = 0x63;
  for (int k = 0; k < 5; ++k) {
    s = static_cast<std::uint8_t>(s ^ ((inverse << k) | (inverse >> (8 - k))));
  }
  return s;
}

constexpr std::array<std::uint8_t, 256> MakeSBox() {
  std::array<std::uint8_t, 256> s{};
  for (int i = 0; i < 256; ++i)
    s[static_cast<std::size_t>(i)] = SubByte(static_cast<std::uint8_t>(i));
  return s;
}
constexpr std::array<std::uint8_t, 256> kSBox = MakeSBox();

constexpr std::array<std::uint8_t, 256> MakeInvSBox() {
  std::array<std::uint8_t, 256> r{};
  for (int i = 0; i < 256; ++i)
    r[kSBox[static_cast<std::size_t>(i)]] = static_cast<std::uint8_t>(i);
  return r;
}
constexpr std::array<std::uint8_t, 256> kInvSBox = MakeInvSBox();

constexpr std::uint32_t Word(std::uint8_t b3, std::uint8_t b2, std::uint8_t b1, std::uint8_t b0) {
  return (std::uint32_t{b3} << 24) | (std::uint32_t{b2} << 16) | (std::uint32_t{b1} << 8) |
         std::uint32_t{b0};
}

constexpr std::uint32_t RotateRight(std::uint32_t w, int bits) {
  return bits == 0 ? w : (w >> bits) | (w << (32 - bits));
}

using WordTable = std::array<std::uint32_t, 256>;

// Table k serves the byte k places below the top of a column word:
//   Fwd0[i] = [2s, s, s, 3s] with s = S(i)
//   Rev0[i] = [0E·r, 09·r, 0D·r, 0B·r] with r = S^-1(i)
// and table k is table 0 rotated right by 8k bits.
constexpr WordTable MakeFwd(int k) {
  WordTable t{};
  for (std::size_t i = 0; i < 256; ++i) {
    const std::uint8_t s = kSBox[i];
    t[i] = RotateRight(Word(Mul(s, 2), s, s, Mul(s, 3)), 8 * k);
  }
  return t;
}
constexpr WordTable MakeRev(int k) {
  WordTable t{};
  for (std::size_t i = 0; i < 256; ++i) {
    const std::uint8_t r = kInvSBox[i];
    t[i] = RotateRight(Word(Mul(r, 14), Mul(r, 9), Mul(r, 13), Mul(r, 11)), 8 * k);
  }
  return t;
}
constexpr WordTable kFwd0 = MakeFwd(0), kFwd1 = MakeFwd(1), kFwd2 = MakeFwd(2), kFwd3 = MakeFwd(3);
constexpr WordTable kRev0 = MakeRev(0), kRev1 = MakeRev(1), kRev2 = MakeRev(2), kRev3 = MakeRev(3);

constexpr std::size_t kRounds = 14;
constexpr std::size_t kBlock = kAESBlockSize;
constexpr std::size_t kWords = 4 * (kRounds + 1);  // 60

// InvMixColumns of one word: the S-box undoes the inverse S-box in the
// decryption tables.
std::uint32_t InvMixColumn(std::uint32_t w) {
  return kRev0[kSBox[B3(w)]] ^ kRev1[kSBox[B2(w)]] ^ kRev2[kSBox[B1(w)]] ^ kRev3[kSBox[B0(w)]];
}

void SetKeyPortable(AESRecordKey* key, const std::uint8_t* rawKey) {
  std::uint8_t schedule[kAES256ScheduleSize];
  AESKeyExpansion(rawKey, schedule, 8);
  std::uint32_t* enc = key->words;
  std::uint32_t* dec = key->words + kWords;
  for (std::size_t i = 0; i < kWords; ++i) enc[i] = LoadBe32(schedule + 4 * i);
  SecureZero(schedule, sizeof schedule);
  // Decryption round r uses encryption round key 14 - r, through
  // InvMixColumns for the inner rounds.
  for (std::size_t r = 0; r <= kRounds; ++r) {
    for (std::size_t c = 0; c < 4; ++c) {
      const std::uint32_t w = enc[4 * (kRounds - r) + c];
      dec[4 * r + c] = (r == 0 || r == kRounds) ? w : InvMixColumn(w);
    }
  }
}

struct State {
  std::uint32_t s0, s1, s2, s3;
};

inline State FwdRound(const State& s, const std::uint32_t* rk) {
  return {kFwd0[B3(s.s0)] ^ kFwd1[B2(s.s1)] ^ kFwd2[B1(s.s2)] ^ kFwd3[B0(s.s3)] ^ rk[0],
          kFwd0[B3(s.s1)] ^ kFwd1[B2(s.s2)] ^ kFwd2[B1(s.s3)] ^ kFwd3[B0(s.s0)] ^ rk[1],
          kFwd0[B3(s.s2)] ^ kFwd1[B2(s.s3)] ^ kFwd2[B1(s.s0)] ^ kFwd3[B0(s.s1)] ^ rk[2],
          kFwd0[B3(s.s3)] ^ kFwd1[B2(s.s0)] ^ kFwd2[B1(s.s1)] ^ kFwd3[B0(s.s2)] ^ rk[3]};
}

inline std::uint32_t FwdLast(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                             std::uint32_t rk) {
  return Word(kSBox[B3(a)], kSBox[B2(b)], kSBox[B1(c)], kSBox[B0(d)]) ^ rk;
}

inline State RevRound(const State& s, const std::uint32_t* rk) {
  return {kRev0[B3(s.s0)] ^ kRev1[B2(s.s3)] ^ kRev2[B1(s.s2)] ^ kRev3[B0(s.s1)] ^ rk[0],
          kRev0[B3(s.s1)] ^ kRev1[B2(s.s0)] ^ kRev2[B1(s.s3)] ^ kRev3[B0(s.s2)] ^ rk[1],
          kRev0[B3(s.s2)] ^ kRev1[B2(s.s1)] ^ kRev2[B1(s.s0)] ^ kRev3[B0(s.s3)] ^ rk[2],
          kRev0[B3(s.s3)] ^ kRev1[B2(s.s2)] ^ kRev2[B1(s.s1)] ^ kRev3[B0(s.s0)] ^ rk[3]};
}

inline std::uint32_t RevLast(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                             std::uint32_t rk) {
  return Word(kInvSBox[B3(a)], kInvSBox[B2(b)], kInvSBox[B1(c)], kInvSBox[B0(d)]) ^ rk;
}

// Encrypts the state in place: the state already holds plaintext ^ round key 0.
inline State EncryptState(State s, const std::uint32_t* rk) {
  _Pragma("GCC unroll 16") for (std::size_t r = 1; r < kRounds; ++r) s = FwdRound(s, rk + 4 * r);
  const std::uint32_t* last = rk + 4 * kRounds;
  return {FwdLast(s.s0, s.s1, s.s2, s.s3, last[0]), FwdLast(s.s1, s.s2, s.s3, s.s0, last[1]),
          FwdLast(s.s2, s.s3, s.s0, s.s1, last[2]), FwdLast(s.s3, s.s0, s.s1, s.s2, last[3])};
}

inline State DecryptState(State s, const std::uint32_t* rk) {
  _Pragma("GCC unroll 16") for (std::size_t r = 1; r < kRounds; ++r) s = RevRound(s, rk + 4 * r);
  const std::uint32_t* last = rk + 4 * kRounds;
  return {RevLast(s.s0, s.s3, s.s2, s.s1, last[0]), RevLast(s.s1, s.s0, s.s3, s.s2, last[1]),
          RevLast(s.s2, s.s1, s.s0, s.s3, last[2]), RevLast(s.s3, s.s2, s.s1, s.s0, last[3])};
}

inline State Load(const std::uint8_t* p) {
  return {LoadBe32(p), LoadBe32(p + 4), LoadBe32(p + 8), LoadBe32(p + 12)};
}

inline void Store(std::uint8_t* p, const State& s) {
  StoreBe32(p, s.s0);
  StoreBe32(p + 4, s.s1);
  StoreBe32(p + 8, s.s2);
  StoreBe32(p + 12, s.s3);
}

inline State Xor(const State& a, const State& b) {
  return {a.s0 ^ b.s0, a.s1 ^ b.s1, a.s2 ^ b.s2, a.s3 ^ b.s3};
}

constexpr std::size_t kBlocksPerRecord = kAESRecordSize / kBlock;

// CBC-encrypts N records side by side, each chain from the vector.
template <std::size_t N>
void EncryptChains(const std::uint32_t* rk, const State& vector, std::uint8_t* records) {
  const State key0{rk[0], rk[1], rk[2], rk[3]};
  State chain[N];
  for (std::size_t j = 0; j < N; ++j) chain[j] = vector;
  for (std::size_t b = 0; b < kBlocksPerRecord; ++b) {
    _Pragma("GCC unroll 4") for (std::size_t j = 0; j < N; ++j) {
      std::uint8_t* block = records + j * kAESRecordSize + b * kBlock;
      chain[j] = EncryptState(Xor(Xor(Load(block), chain[j]), key0), rk);
      Store(block, chain[j]);
    }
  }
}

void EncryptPortable(const AESRecordKey* key, const std::uint8_t* vector, std::uint8_t* records,
                     std::size_t count) {
  const State iv = Load(vector);
  std::size_t r = 0;
  for (; r + 4 <= count; r += 4) EncryptChains<4>(key->words, iv, records + r * kAESRecordSize);
  for (; r < count; ++r) EncryptChains<1>(key->words, iv, records + r * kAESRecordSize);
}

// CBC decryption: every block's decryption is independent; the chaining
// XOR uses the ciphertext block before it, kept before it is overwritten.
void DecryptPortable(const AESRecordKey* key, const std::uint8_t* vector, std::uint8_t* records,
                     std::size_t count) {
  const std::uint32_t* rk = key->words + kWords;
  const State key0{rk[0], rk[1], rk[2], rk[3]};
  const State iv = Load(vector);
  for (std::size_t r = 0; r < count; ++r) {
    std::uint8_t* record = records + r * kAESRecordSize;
    State previous = iv;
    for (std::size_t b = 0; b < kBlocksPerRecord; ++b) {
      std::uint8_t* block = record + b * kBlock;
      const State cipher = Load(block);
      Store(block, Xor(DecryptState(Xor(cipher, key0), rk), previous));
      previous = cipher;
    }
  }
}

constexpr AESRecordPath kPortable = {"portable", SetKeyPortable, EncryptPortable, DecryptPortable};

}  // namespace

const AESRecordPath* AESRecordPathPortable() {
  return &kPortable;
}

}  // namespace pellfold
