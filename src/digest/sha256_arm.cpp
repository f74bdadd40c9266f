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
      const uint32x4_t wk = vaddq_u32(m[i % 4], vld1q_u32(kSHA256RoundConstants + 4 * i));
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
