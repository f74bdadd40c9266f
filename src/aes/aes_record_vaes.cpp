// The x86-64 record path on VAES: the AES instructions on 256-bit registers,
// two blocks per instruction, through compiler intrinsics.
//
// Only the functions marked PELLFOLD_VAES are compiled for VAES and AVX2,
// and they run only after the processor and the operating system have been
// asked (CPUID for the instructions, XGETBV for the saving of the YMM
// registers), so the library still runs where either is missing.
//
// Encryption keeps 16 records' CBC chains side by side, two records per
// register: the low half of register j holds record 2j's chain, the high
// half record 2j+1's. Fewer than 16 records left over go through the AES-NI
// path. Decryption works 16 consecutive blocks of one record at once, two
// per register. Keys are those of the AES-NI path (same layout, expanded by
// its setKey), each round key broadcast to both halves.
#include "aes/aes.h"

#include <cpuid.h>
#include <immintrin.h>

#include <cstring>

#include "aes/aes_record.h"
#include "util/wipe.h"

#define PELLFOLD_VAES __attribute__((target("vaes,avx2,aes")))

// The lanes and rounds are unrolled so that every lane's state stays in a
// register.
#define PELLFOLD_UNROLL _Pragma("GCC unroll 16")

namespace pellfold {
namespace {

constexpr std::size_t kRounds = 14;
constexpr std::size_t kBlock = kAESBlockSize;
constexpr std::size_t kBlocksPerRecord = kAESRecordSize / kBlock;
// Registers worked side by side; each holds two blocks.
constexpr std::size_t kLanes = 8;

// Bytes move to and from registers by copying, which needs no alignment and
// no pointer cast; the compiler makes unaligned moves of it.
PELLFOLD_VAES inline __m128i Load128(const std::uint8_t* p) {
  __m128i v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

PELLFOLD_VAES inline __m256i Load256(const std::uint8_t* p) {
  __m256i v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

PELLFOLD_VAES inline void Store256(std::uint8_t* p, __m256i v) {
  std::memcpy(p, &v, sizeof v);
}

// One block from each of two places: `low` into the low half.
PELLFOLD_VAES inline __m256i LoadPair(const std::uint8_t* low, const std::uint8_t* high) {
  return _mm256_inserti128_si256(_mm256_castsi128_si256(Load128(low)), Load128(high), 1);
}

PELLFOLD_VAES inline void StorePair(std::uint8_t* low, std::uint8_t* high, __m256i v) {
  const __m128i lo = _mm256_castsi256_si128(v);
  const __m128i hi = _mm256_extracti128_si256(v, 1);
  std::memcpy(low, &lo, sizeof lo);
  std::memcpy(high, &hi, sizeof hi);
}

struct Keys {
  __m256i k[kRounds + 1];
};

PELLFOLD_VAES inline void LoadKeys(const std::uint8_t* bytes, Keys* keys) {
  for (std::size_t r = 0; r <= kRounds; ++r)
    keys->k[r] = _mm256_broadcastsi128_si256(Load128(bytes + r * kBlock));
}

// 2 * kLanes records from `records`, one block of each per step.
PELLFOLD_VAES void EncryptChains(const Keys& keys, __m256i vector, std::uint8_t* records) {
  __m256i chain[kLanes];
  PELLFOLD_UNROLL
  for (std::size_t j = 0; j < kLanes; ++j) chain[j] = vector;
  for (std::size_t b = 0; b < kBlocksPerRecord; ++b) {
    std::uint8_t* block = records + b * kBlock;
    PELLFOLD_UNROLL
    for (std::size_t j = 0; j < kLanes; ++j) {
      const __m256i plain =
          LoadPair(block + 2 * j * kAESRecordSize, block + (2 * j + 1) * kAESRecordSize);
      chain[j] = _mm256_xor_si256(_mm256_xor_si256(plain, chain[j]), keys.k[0]);
    }
    PELLFOLD_UNROLL
    for (std::size_t r = 1; r < kRounds; ++r) {
      PELLFOLD_UNROLL
      for (std::size_t j = 0; j < kLanes; ++j) chain[j] = _mm256_aesenc_epi128(chain[j], keys.k[r]);
    }
    PELLFOLD_UNROLL
    for (std::size_t j = 0; j < kLanes; ++j) {
      chain[j] = _mm256_aesenclast_epi128(chain[j], keys.k[kRounds]);
      StorePair(block + 2 * j * kAESRecordSize, block + (2 * j + 1) * kAESRecordSize, chain[j]);
    }
  }
}

PELLFOLD_VAES void EncryptVaes(const AESRecordKey* key, const std::uint8_t* vector,
                               std::uint8_t* records, std::size_t count) {
  constexpr std::size_t group = 2 * kLanes;
  const std::size_t whole = count / group * group;
  if (whole != 0) {
    Keys keys;
    LoadKeys(key->blocks, &keys);
    const __m256i iv = _mm256_broadcastsi128_si256(Load128(vector));
    for (std::size_t r = 0; r < whole; r += group)
      EncryptChains(keys, iv, records + r * kAESRecordSize);
    SecureZero(&keys, sizeof keys);
  }
  if (whole != count)
    AESRecordPathX86()->encrypt(key, vector, records + whole * kAESRecordSize, count - whole);
}

PELLFOLD_VAES void DecryptVaes(const AESRecordKey* key, const std::uint8_t* vector,
                               std::uint8_t* records, std::size_t count) {
  Keys keys;
  LoadKeys(key->blocks + (kRounds + 1) * kBlock, &keys);
  const __m256i iv = _mm256_broadcastsi128_si256(Load128(vector));
  for (std::size_t r = 0; r < count; ++r) {
    std::uint8_t* record = records + r * kAESRecordSize;
    // The high half holds the ciphertext block before the next group.
    __m256i previous = iv;
    for (std::size_t b = 0; b < kBlocksPerRecord; b += 2 * kLanes) {
      std::uint8_t* block = record + b * kBlock;
      __m256i cipher[kLanes], x[kLanes];
      PELLFOLD_UNROLL
      for (std::size_t j = 0; j < kLanes; ++j) {
        cipher[j] = Load256(block + 2 * j * kBlock);
        x[j] = _mm256_xor_si256(cipher[j], keys.k[0]);
      }
      PELLFOLD_UNROLL
      for (std::size_t k = 1; k < kRounds; ++k) {
        PELLFOLD_UNROLL
        for (std::size_t j = 0; j < kLanes; ++j) x[j] = _mm256_aesdec_epi128(x[j], keys.k[k]);
      }
      PELLFOLD_UNROLL
      for (std::size_t j = 0; j < kLanes; ++j) {
        x[j] = _mm256_aesdeclast_epi128(x[j], keys.k[kRounds]);
        // Blocks 2j and 2j+1 take the ciphertext blocks 2j-1 and 2j: the
        // high half of the register before and the low half of this one.
        const __m256i before =
            _mm256_permute2x128_si256(j == 0 ? previous : cipher[j - 1], cipher[j], 0x21);
        Store256(block + 2 * j * kBlock, _mm256_xor_si256(x[j], before));
      }
      previous = cipher[kLanes - 1];
    }
  }
  SecureZero(&keys, sizeof keys);
}

// VAES and AVX2 from CPUID leaf 7, and the YMM state saved by the operating
// system: OSXSAVE and AVX in leaf 1, then XCR0's SSE and AVX bits.
bool HasVaes() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid_max(0, nullptr) < 7) return false;
  __cpuid(1, a, b, c, d);
  const bool osxsave = (c & bit_OSXSAVE) != 0, avx = (c & bit_AVX) != 0;
  if (!osxsave || !avx) return false;
  unsigned xcr0 = 0, xcr0High = 0;
  __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0High) : "c"(0));
  if ((xcr0 & 0x6u) != 0x6u) return false;
  __cpuid_count(7, 0, a, b, c, d);
  return (b & bit_AVX2) != 0 && (c & bit_VAES) != 0;
}

}  // namespace

const AESRecordPath* AESRecordPathVaes() {
  // The AES-NI path supplies the key expansion and the left-over records.
  static const AESRecordPath path = [] {
    const AESRecordPath* aesni = AESRecordPathX86();
    if (aesni == nullptr || !HasVaes()) return AESRecordPath{nullptr, nullptr, nullptr, nullptr};
    return AESRecordPath{"x86-64 VAES", aesni->setKey, EncryptVaes, DecryptVaes};
  }();
  return path.name != nullptr ? &path : nullptr;
}

}  // namespace pellfold
