// The x86-64 record path: AES-NI instructions through compiler intrinsics.
//
// Only the functions marked PELLFOLD_AESNI are compiled for the AES
// instructions, and they run only after the processor has been asked, so the
// library still runs on an x86-64 without them.
//
// An AES instruction takes several cycles to deliver its result but a new
// one can start every cycle. One CBC encryption chain cannot use that: each
// block waits for the one before it. Records never chain into each other,
// so eight records are encrypted side by side, one block of each per step.
// Decryption has no such wait within a record, and eight blocks of one
// record go through together.
#include <immintrin.h>

#include <cstring>

#include "aes/aes.h"
#include "aes/aes_record.h"
#include "util/wipe.h"

#define PELLFOLD_AESNI __attribute__((target("aes,sse2")))

// The lanes and rounds are unrolled so that every lane's state stays in a
// register.
#define PELLFOLD_UNROLL _Pragma("GCC unroll 16")

namespace pellfold {
namespace {

constexpr std::size_t kRounds = 14;
constexpr std::size_t kBlock = kAESBlockSize;
constexpr std::size_t kBlocksPerRecord = kAESRecordSize / kBlock;
constexpr std::size_t kLanes = 8;

// Blocks move between bytes and registers by copying, which needs no
// alignment and no pointer cast; the compiler makes one unaligned move of it.
PELLFOLD_AESNI inline __m128i LoadBlock(const std::uint8_t* p) {
  __m128i v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

PELLFOLD_AESNI inline void StoreBlock(std::uint8_t* p, __m128i v) {
  std::memcpy(p, &v, sizeof v);
}

// One step of the AES-256 key schedule. `assist` is AESKEYGENASSIST of the
// newest round key, its word 3 (RotWord(SubWord(w)) ^ rcon) or word 2
// (SubWord(w)) broadcast by the caller; `previous` is the round key two
// steps back. Each word of the result is the XOR of `previous`'s words up to
// it, and of the assist word.
PELLFOLD_AESNI inline __m128i ScheduleStep(__m128i previous, __m128i assist) {
  previous = _mm_xor_si128(previous, _mm_slli_si128(previous, 4));
  previous = _mm_xor_si128(previous, _mm_slli_si128(previous, 8));
  return _mm_xor_si128(previous, assist);
}

// Expands the key with AESKEYGENASSIST, which does SubWord in the AES unit:
// no table and no branch sees the key. The instruction wants its round
// constant as an immediate, hence one line per step.
PELLFOLD_AESNI void ExpandKey(const std::uint8_t* rawKey, __m128i* k) {
  k[0] = LoadBlock(rawKey);
  k[1] = LoadBlock(rawKey + kBlock);
#define PELLFOLD_EVEN(i, rcon) \
  k[i] = ScheduleStep(k[(i)-2], _mm_shuffle_epi32(_mm_aeskeygenassist_si128(k[(i)-1], rcon), 0xFF))
#define PELLFOLD_ODD(i) \
  k[i] = ScheduleStep(k[(i)-2], _mm_shuffle_epi32(_mm_aeskeygenassist_si128(k[(i)-1], 0), 0xAA))
  PELLFOLD_EVEN(2, 0x01);
  PELLFOLD_ODD(3);
  PELLFOLD_EVEN(4, 0x02);
  PELLFOLD_ODD(5);
  PELLFOLD_EVEN(6, 0x04);
  PELLFOLD_ODD(7);
  PELLFOLD_EVEN(8, 0x08);
  PELLFOLD_ODD(9);
  PELLFOLD_EVEN(10, 0x10);
  PELLFOLD_ODD(11);
  PELLFOLD_EVEN(12, 0x20);
  PELLFOLD_ODD(13);
  PELLFOLD_EVEN(14, 0x40);
#undef PELLFOLD_EVEN
#undef PELLFOLD_ODD
}

// Encryption round keys in order; decryption round keys for the equivalent
// inverse cipher: the encryption keys in reverse, the inner ones through
// AESIMC (InvMixColumns).
PELLFOLD_AESNI void SetKeyX86(AESRecordKey* key, const std::uint8_t* rawKey) {
  __m128i k[kRounds + 1];
  ExpandKey(rawKey, k);
  std::uint8_t* enc = key->blocks;
  std::uint8_t* dec = key->blocks + (kRounds + 1) * kBlock;
  for (std::size_t r = 0; r <= kRounds; ++r) {
    StoreBlock(enc + r * kBlock, k[r]);
    const __m128i inverse =
        r != 0 && r != kRounds ? _mm_aesimc_si128(k[kRounds - r]) : k[kRounds - r];
    StoreBlock(dec + r * kBlock, inverse);
  }
  SecureZero(k, sizeof k);
}

struct Keys {
  __m128i k[kRounds + 1];
};

PELLFOLD_AESNI inline void LoadKeys(const std::uint8_t* bytes, Keys* keys) {
  for (std::size_t r = 0; r <= kRounds; ++r) keys->k[r] = LoadBlock(bytes + r * kBlock);
}

template <std::size_t N>
PELLFOLD_AESNI inline void EncryptChains(const Keys& keys, __m128i vector, std::uint8_t* records) {
  __m128i chain[N];
  PELLFOLD_UNROLL
  for (std::size_t j = 0; j < N; ++j) chain[j] = vector;
  for (std::size_t b = 0; b < kBlocksPerRecord; ++b) {
    std::uint8_t* block = records + b * kBlock;
    PELLFOLD_UNROLL
    for (std::size_t j = 0; j < N; ++j) {
      chain[j] =
          _mm_xor_si128(_mm_xor_si128(LoadBlock(block + j * kAESRecordSize), chain[j]), keys.k[0]);
    }
    PELLFOLD_UNROLL
    for (std::size_t r = 1; r < kRounds; ++r) {
      PELLFOLD_UNROLL
      for (std::size_t j = 0; j < N; ++j) chain[j] = _mm_aesenc_si128(chain[j], keys.k[r]);
    }
    PELLFOLD_UNROLL
    for (std::size_t j = 0; j < N; ++j) {
      chain[j] = _mm_aesenclast_si128(chain[j], keys.k[kRounds]);
      StoreBlock(block + j * kAESRecordSize, chain[j]);
    }
  }
}

PELLFOLD_AESNI void EncryptX86(const AESRecordKey* key, const std::uint8_t* vector,
                               std::uint8_t* records, std::size_t count) {
  Keys keys;
  LoadKeys(key->blocks, &keys);
  const __m128i iv = LoadBlock(vector);
  std::size_t r = 0;
  for (; r + kLanes <= count; r += kLanes)
    EncryptChains<kLanes>(keys, iv, records + r * kAESRecordSize);
  for (; r + 4 <= count; r += 4) EncryptChains<4>(keys, iv, records + r * kAESRecordSize);
  for (; r < count; ++r) EncryptChains<1>(keys, iv, records + r * kAESRecordSize);
  SecureZero(&keys, sizeof keys);
}

PELLFOLD_AESNI void DecryptX86(const AESRecordKey* key, const std::uint8_t* vector,
                               std::uint8_t* records, std::size_t count) {
  Keys keys;
  LoadKeys(key->blocks + (kRounds + 1) * kBlock, &keys);
  const __m128i iv = LoadBlock(vector);
  for (std::size_t r = 0; r < count; ++r) {
    std::uint8_t* record = records + r * kAESRecordSize;
    __m128i previous = iv;
    for (std::size_t b = 0; b < kBlocksPerRecord; b += kLanes) {
      std::uint8_t* block = record + b * kBlock;
      __m128i cipher[kLanes], x[kLanes];
      PELLFOLD_UNROLL
      for (std::size_t j = 0; j < kLanes; ++j) {
        cipher[j] = LoadBlock(block + j * kBlock);
        x[j] = _mm_xor_si128(cipher[j], keys.k[0]);
      }
      PELLFOLD_UNROLL
      for (std::size_t k = 1; k < kRounds; ++k) {
        PELLFOLD_UNROLL
        for (std::size_t j = 0; j < kLanes; ++j) x[j] = _mm_aesdec_si128(x[j], keys.k[k]);
      }
      PELLFOLD_UNROLL
      for (std::size_t j = 0; j < kLanes; ++j) {
        x[j] = _mm_aesdeclast_si128(x[j], keys.k[kRounds]);
        StoreBlock(block + j * kBlock, _mm_xor_si128(x[j], j == 0 ? previous : cipher[j - 1]));
      }
      previous = cipher[kLanes - 1];
    }
  }
  SecureZero(&keys, sizeof keys);
}

constexpr AESRecordPath kX86 = {"x86-64 AES-NI", SetKeyX86, EncryptX86, DecryptX86};

}  // namespace

const AESRecordPath* AESRecordPathX86() {
  static const bool present = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("aes") && __builtin_cpu_supports("sse2");
  }();
  return present ? &kX86 : nullptr;
}

}  // namespace pellfold
