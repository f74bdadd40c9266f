// The aarch64 record path: the ARMv8 cryptography extension through
// compiler intrinsics. This file is compiled for the extension; its code
// runs only after the kernel has reported the AES instructions present.
//
// AESE is AddRoundKey, SubBytes and ShiftRows; AESMC is MixColumns. AESD
// and AESIMC are their inverses, used with the equivalent inverse cipher's
// round keys. As on x86-64, eight records' CBC chains are encrypted side by
// side, and eight blocks of one record are decrypted together.
#include <arm_neon.h>
#include <sys/auxv.h>

#include "aes/aes.h"
#include "aes/aes_record.h"
#include "util/byteorder.h"
#include "util/wipe.h"

#ifndef HWCAP_AES
#define HWCAP_AES (1 << 3)
#endif

// The lanes and rounds are unrolled so that every lane's state stays in a
// register.
#define PELLFOLD_UNROLL _Pragma("GCC unroll 16")

namespace pellfold {
namespace {

constexpr std::size_t kRounds = 14;
constexpr std::size_t kBlock = kAESBlockSize;
constexpr std::size_t kBlocksPerRecord = kAESRecordSize / kBlock;
constexpr std::size_t kLanes = 8;

// SubWord in the AES unit: with the word in all four columns, ShiftRows
// only moves equal bytes among columns, so AESE with a zero round key
// leaves SubWord(w) in every column.
inline std::uint32_t SubWord(std::uint32_t w) {
  const uint8x16_t state = vreinterpretq_u8_u32(vdupq_n_u32(w));
  return vgetq_lane_u32(vreinterpretq_u32_u8(vaeseq_u8(state, vdupq_n_u8(0))), 0);
}

// The AES-256 key schedule over words whose low byte is the first byte in
// memory, the order in which a vector lane holds them; RotWord is then a
// rotation right by 8. No table and no branch sees the key.
void ExpandKey(const std::uint8_t* rawKey, std::uint8_t* schedule) {
  std::uint32_t w[4 * (kRounds + 1)];
  for (std::size_t i = 0; i < 8; ++i) w[i] = LoadLe32(rawKey + 4 * i);
  std::uint32_t rcon = 1;
  for (std::size_t i = 8; i < 4 * (kRounds + 1); ++i) {
    std::uint32_t t = w[i - 1];
    if (i % 8 == 0) {
      t = SubWord((t >> 8) | (t << 24)) ^ rcon;
      rcon <<= 1;
    } else if (i % 8 == 4) {
      t = SubWord(t);
    }
    w[i] = w[i - 8] ^ t;
  }
  for (std::size_t i = 0; i < 4 * (kRounds + 1); ++i) StoreLe32(schedule + 4 * i, w[i]);
  SecureZero(w, sizeof w);
}

// Encryption round keys in order; decryption round keys for the equivalent
// inverse cipher: the encryption keys in reverse, the inner ones through
// AESIMC (InvMixColumns).
void SetKeyArm(AESRecordKey* key, const std::uint8_t* rawKey) {
  std::uint8_t* enc = key->blocks;
  std::uint8_t* dec = key->blocks + (kRounds + 1) * kBlock;
  ExpandKey(rawKey, enc);
  for (std::size_t r = 0; r <= kRounds; ++r) {
    uint8x16_t k = vld1q_u8(enc + (kRounds - r) * kBlock);
    if (r != 0 && r != kRounds) k = vaesimcq_u8(k);
    vst1q_u8(dec + r * kBlock, k);
  }
}

struct Keys {
  uint8x16_t k[kRounds + 1];
};

inline void LoadKeys(const std::uint8_t* bytes, Keys* keys) {
  for (std::size_t r = 0; r <= kRounds; ++r) keys->k[r] = vld1q_u8(bytes + r * kBlock);
}

template <std::size_t N>
inline void EncryptChains(const Keys& keys, uint8x16_t vector, std::uint8_t* records) {
  uint8x16_t chain[N];
  PELLFOLD_UNROLL
  for (std::size_t j = 0; j < N; ++j) chain[j] = vector;
  for (std::size_t b = 0; b < kBlocksPerRecord; ++b) {
    std::uint8_t* block = records + b * kBlock;
    PELLFOLD_UNROLL
    for (std::size_t j = 0; j < N; ++j) {
      chain[j] = veorq_u8(vld1q_u8(block + j * kAESRecordSize), chain[j]);
    }
    PELLFOLD_UNROLL
    for (std::size_t r = 0; r < kRounds - 1; ++r) {
      PELLFOLD_UNROLL
      for (std::size_t j = 0; j < N; ++j) chain[j] = vaesmcq_u8(vaeseq_u8(chain[j], keys.k[r]));
    }
    PELLFOLD_UNROLL
    for (std::size_t j = 0; j < N; ++j) {
      chain[j] = veorq_u8(vaeseq_u8(chain[j], keys.k[kRounds - 1]), keys.k[kRounds]);
      vst1q_u8(block + j * kAESRecordSize, chain[j]);
    }
  }
}

void EncryptArm(const AESRecordKey* key, const std::uint8_t* vector, std::uint8_t* records,
                std::size_t count) {
  Keys keys;
  LoadKeys(key->blocks, &keys);
  const uint8x16_t iv = vld1q_u8(vector);
  std::size_t r = 0;
  for (; r + kLanes <= count; r += kLanes) {
    EncryptChains<kLanes>(keys, iv, records + r * kAESRecordSize);
  }
  for (; r + 4 <= count; r += 4) EncryptChains<4>(keys, iv, records + r * kAESRecordSize);
  for (; r < count; ++r) EncryptChains<1>(keys, iv, records + r * kAESRecordSize);
  SecureZero(&keys, sizeof keys);
}

void DecryptArm(const AESRecordKey* key, const std::uint8_t* vector, std::uint8_t* records,
                std::size_t count) {
  Keys keys;
  LoadKeys(key->blocks + (kRounds + 1) * kBlock, &keys);
  const uint8x16_t iv = vld1q_u8(vector);
  for (std::size_t r = 0; r < count; ++r) {
    std::uint8_t* record = records + r * kAESRecordSize;
    uint8x16_t previous = iv;
    for (std::size_t b = 0; b < kBlocksPerRecord; b += kLanes) {
      std::uint8_t* block = record + b * kBlock;
      uint8x16_t cipher[kLanes], x[kLanes];
      PELLFOLD_UNROLL
      for (std::size_t j = 0; j < kLanes; ++j) {
        cipher[j] = vld1q_u8(block + j * kBlock);
        x[j] = cipher[j];
      }
      PELLFOLD_UNROLL
      for (std::size_t k = 0; k < kRounds - 1; ++k) {
        PELLFOLD_UNROLL
        for (std::size_t j = 0; j < kLanes; ++j) x[j] = vaesimcq_u8(vaesdq_u8(x[j], keys.k[k]));
      }
      PELLFOLD_UNROLL
      for (std::size_t j = 0; j < kLanes; ++j) {
        x[j] = veorq_u8(vaesdq_u8(x[j], keys.k[kRounds - 1]), keys.k[kRounds]);
        vst1q_u8(block + j * kBlock, veorq_u8(x[j], j == 0 ? previous : cipher[j - 1]));
      }
      previous = cipher[kLanes - 1];
    }
  }
  SecureZero(&keys, sizeof keys);
}

constexpr AESRecordPath kArm = {"ARMv8 crypto", SetKeyArm, EncryptArm, DecryptArm};

}  // namespace

const AESRecordPath* AESRecordPathArm() {
  static const bool present = (getauxval(AT_HWCAP) & HWCAP_AES) != 0;
  return present ? &kArm : nullptr;
}

}  // namespace pellfold
