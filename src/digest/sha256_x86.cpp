// The x86-64 SHA-256 path: the SHA extensions through compiler intrinsics.
//
// Only the functions marked PELLFOLD_SHANI are compiled for the SHA
// instructions, and they run only after the processor has been asked, so
// the library still runs on an x86-64 without them.
//
// SHA256RNDS2 runs two rounds on the working variables held as two vectors,
// (A, B, E, F) and (C, D, G, H) from the top lane down, with the two words
// W + K in the low half of a third; the (C, D, G, H) of the next two rounds
// is the (A, B, E, F) of these. SHA256MSG1 and SHA256MSG2 extend the message
// schedule four words at a time: W[t] = s1(W[t-2]) + W[t-7] + s0(W[t-15]) +
// W[t-16], the W[t-7] term added in between.
#include <cpuid.h>
#include <immintrin.h>

#include <cstring>

#include "digest/sha256.h"
#include "digest/sha256_path.h"

#define PELLFOLD_SHANI __attribute__((target("sha,sse4.1,ssse3")))

// The groups of four rounds are unrolled so that the schedule stays in
// registers.
#define PELLFOLD_UNROLL _Pragma("GCC unroll 16")

namespace pellfold {
namespace {

// Bytes move between memory and registers by copying, which needs no
// alignment and no pointer cast; the compiler makes one unaligned move of it.
PELLFOLD_SHANI inline __m128i Load(const void* p) {
  __m128i v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

PELLFOLD_SHANI inline void Store(void* p, __m128i v) {
  std::memcpy(p, &v, sizeof v);
}

PELLFOLD_SHANI void CompressX86(std::uint32_t* state, const std::uint8_t* blocks,
                                std::size_t count) {
  // Reverses the bytes of each 32-bit lane: message words are big-endian.
  const __m128i byteSwap = _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
  // H0..H3 and H4..H7, lowest lane first, reversed to (D, C, B, A) and
  // (H, G, F, E), then regrouped into (F, E, B, A) and (H, G, D, C).
  const __m128i dcba = _mm_shuffle_epi32(Load(state), 0x1B);
  const __m128i hgfe = _mm_shuffle_epi32(Load(state + 4), 0x1B);
  __m128i abef = _mm_unpackhi_epi64(hgfe, dcba);
  __m128i cdgh = _mm_unpacklo_epi64(hgfe, dcba);

  for (std::size_t b = 0; b < count; ++b) {
    const std::uint8_t* block = blocks + b * kSHA256BlockSize;
    const __m128i abefSaved = abef;
    const __m128i cdghSaved = cdgh;
    // The last four schedule vectors, W[4i..4i+3] in m[i % 4].
    __m128i m[4];
    PELLFOLD_UNROLL
    for (std::size_t i = 0; i < 16; ++i) {
      if (i < 4) {
        m[i] = _mm_shuffle_epi8(Load(block + 16 * i), byteSwap);
      } else {
        // W[t-16..t-13] + s0(W[t-15..t-12]), plus W[t-7..t-4], plus
        // s1(W[t-2..t+1]) as SHA256MSG2 forms it from the vector before.
        __m128i next = _mm_sha256msg1_epu32(m[i % 4], m[(i + 1) % 4]);
        next = _mm_add_epi32(next, _mm_alignr_epi8(m[(i + 3) % 4], m[(i + 2) % 4], 4));
        m[i % 4] = _mm_sha256msg2_epu32(next, m[(i + 3) % 4]);
      }
      const __m128i wk = _mm_add_epi32(m[i % 4], Load(kSHA256RoundConstants + 4 * i));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(wk, 0x0E));
    }
    abef = _mm_add_epi32(abef, abefSaved);
    cdgh = _mm_add_epi32(cdgh, cdghSaved);
  }

  Store(state, _mm_shuffle_epi32(_mm_unpackhi_epi64(cdgh, abef), 0x1B));
  Store(state + 4, _mm_shuffle_epi32(_mm_unpacklo_epi64(cdgh, abef), 0x1B));
}

constexpr SHA256Path kX86 = {"x86-64 SHA extensions", CompressX86};

// CPUID leaf 1: SSSE3 (ECX bit 9) and SSE4.1 (ECX bit 19); leaf 7 subleaf
// 0: the SHA extensions (EBX bit 29).
bool HasShaExtensions() {
  unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
  const bool vector = (ecx & (1u << 9)) != 0 && (ecx & (1u << 19)) != 0;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
  return vector && (ebx & (1u << 29)) != 0;
}

}  // namespace

const SHA256Path* SHA256PathX86() {
  static const bool present = HasShaExtensions();
  return present ? &kX86 : nullptr;
}

}  // namespace pellfold
