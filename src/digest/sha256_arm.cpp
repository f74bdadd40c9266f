// The aarch64 SHA-256 path: the ARMv8 SHA2 instructions through compiler
// intrinsics. This file is compiled for the cryptography extension; its code
// runs only after the kernel has reported the SHA2 instructions present.
//
// SHA256H runs four rounds and gives the new (A, B, C, D), SHA256H2 the new
// (E, F, G, H) from the same four words W + K and the old (A, B, C, D).
// SHA256SU0 and SHA256SU1 extend the message schedule four words at a time.
#include <arm_neon.h>
#include <sys/auxv.h>

#include "digest/sha256.h"
#include "digest/sha256_path.h"

#ifndef HWCAP_SHA2
#define HWCAP_SHA2 (1 << 6)
#endif

// The groups of four rounds are unrolled so that the schedule stays in
// registers.
#define PELLFOLD_UNROLL _Pragma("GCC unroll 16")

namespace pellfold {
namespace {

// The round constants K0 to K63 of FIPS 180-2.
constexpr std::uint32_t kK[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

void CompressArm(std::uint32_t* state, const std::uint8_t* blocks, std::size_t count) {
  uint32x4_t abcd = vld1q_u32(state);
  uint32x4_t efgh = vld1q_u32(state + 4);
  for (std::size_t b = 0; b < count; ++b) {
    const std::uint8_t* block = blocks + b * kSHA256BlockSize;
    const uint32x4_t abcdSaved = abcd;
    const uint32x4_t efghSaved = efgh;
    // The last four schedule vectors, W[4i..4i+3] in m[i % 4]; the message
    // words are big-endian, so each one's bytes are reversed on loading.
    uint32x4_t m[4];
    PELLFOLD_UNROLL
    for (std::size_t i = 0; i < 16; ++i) {
      if (i < 4) {
        m[i] = vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(block + 16 * i)));
      } else {
        m[i % 4] = vsha256su1q_u32(vsha256su0q_u32(m[i % 4], m[(i + 1) % 4]), m[(i + 2) % 4],
                                   m[(i + 3) % 4]);
      }
      const uint32x4_t wk = vaddq_u32(m[i % 4], vld1q_u32(kK + 4 * i));
      const uint32x4_t abcdBefore = abcd;
      abcd = vsha256hq_u32(abcd, efgh, wk);
      efgh = vsha256h2q_u32(efgh, abcdBefore, wk);
    }
    abcd = vaddq_u32(abcd, abcdSaved);
    efgh = vaddq_u32(efgh, efghSaved);
  }
  vst1q_u32(state, abcd);
  vst1q_u32(state + 4, efgh);
}

constexpr SHA256Path kArm = {"ARMv8 SHA2", CompressArm};

}  // namespace

const SHA256Path* SHA256PathArm() {
  static const bool present = (getauxval(AT_HWCAP) & HWCAP_SHA2) != 0;
  return present ? &kArm : nullptr;
}

}  // namespace pellfold
