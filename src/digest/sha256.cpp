// SHA-256 (FIPS 180-2): init, streaming update, final, the portable unrolled
// block compression and the choice of compression path.
#include "digest/sha256.h"

#include <atomic>
#include <bit>

#include "digest/block_stream.h"
#include "digest/sha256_path.h"
#include "util/byteorder.h"

namespace pellfold {

const std::uint8_t SHA256Padding[kSHA256BlockSize] = {0x80};

namespace {

// The logical functions of FIPS 180-2 for SHA-256.
constexpr std::uint32_t Ch(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
  return (x & y) ^ (~x & z);
}
constexpr std::uint32_t Maj(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
  return (x & y) ^ (x & z) ^ (y & z);
}
constexpr std::uint32_t BigSigma0(std::uint32_t x) {
  return std::rotr(x, 2) ^ std::rotr(x, 13) ^ std::rotr(x, 22);
}
constexpr std::uint32_t BigSigma1(std::uint32_t x) {
  return std::rotr(x, 6) ^ std::rotr(x, 11) ^ std::rotr(x, 25);
}
constexpr std::uint32_t SmallSigma0(std::uint32_t x) {
  return std::rotr(x, 7) ^ std::rotr(x, 18) ^ (x >> 3);
}
constexpr std::uint32_t SmallSigma1(std::uint32_t x) {
  return std::rotr(x, 17) ^ std::rotr(x, 19) ^ (x >> 10);
}

// One round with message word w and constant k. Rather than shifting all
// eight working variables down, the caller rotates their roles: this round's
// new e lands in d and its new a in h, and the next round names h as a.
inline void Round(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t& d,
                  std::uint32_t e, std::uint32_t f, std::uint32_t g, std::uint32_t& h,
                  std::uint32_t w, std::uint32_t k) {
  const std::uint32_t t1 = h + BigSigma1(e) + Ch(e, f, g) + k + w;
  const std::uint32_t t2 = BigSigma0(a) + Maj(a, b, c);
  d += t1;
  h = t1 + t2;
}

}  // namespace

void SHA256Init(SHA256Context* context) {
  context->count[0] = 0;
  context->count[1] = 0;
  context->state[0] = 0x6a09e667;
  context->state[1] = 0xbb67ae85;
  context->state[2] = 0x3c6ef372;
  context->state[3] = 0xa54ff53a;
  context->state[4] = 0x510e527f;
  context->state[5] = 0x9b05688c;
  context->state[6] = 0x1f83d9ab;
  context->state[7] = 0x5be0cd19;
}

void SHA256Update(SHA256Context* context, const std::uint8_t* input, std::uint32_t length) {
  const SHA256Path* path = SHA256PathSelect();
  digest_detail::AbsorbBlockRuns(context, input, length,
                                 [context, path](const std::uint8_t* blocks, std::uint32_t n) {
                                   path->compress(context->state, blocks, n);
                                 });
}

void SHA256Final(SHA256Context* context, std::uint8_t* digest) {
  std::uint8_t lengthField[8];
  StoreBe32(lengthField, digest_detail::BitCountHigh(context->count));
  StoreBe32(lengthField + 4, digest_detail::BitCountLow(context->count));
  SHA256Update(context, SHA256Padding, digest_detail::PaddingLength(context->count[0]));
  // The buffer now holds 56 bytes, so these 8 complete and compress the last block.
  SHA256Update(context, lengthField, sizeof lengthField);
  for (std::size_t i = 0; i < 8; ++i) StoreBe32(digest + 4 * i, context->state[i]);
}

void SHA256Transform(SHA256Context* context, const std::uint8_t* block) {
  SHA256PathSelect()->compress(context->state, block, 1);
}

namespace {

// Fully unrolled: the 48 schedule words and the 64 rounds are written out,
// each round with its constant K (the first 32 bits of the fractional part of
// the cube root of the n-th prime).
void CompressBlock(std::uint32_t* state, const std::uint8_t* block) {
  std::uint32_t w[64];
  for (std::size_t j = 0; j < 16; ++j) w[j] = LoadBe32(block + 4 * j);
  w[16] = SmallSigma1(w[14]) + w[9] + SmallSigma0(w[1]) + w[0];
  w[17] = SmallSigma1(w[15]) + w[10] + SmallSigma0(w[2]) + w[1];
  w[18] = SmallSigma1(w[16]) + w[11] + SmallSigma0(w[3]) + w[2];
  w[19] = SmallSigma1(w[17]) + w[12] + SmallSigma0(w[4]) + w[3];
  w[20] = SmallSigma1(w[18]) + w[13] + SmallSigma0(w[5]) + w[4];
  w[21] = SmallSigma1(w[19]) + w[14] + SmallSigma0(w[6]) + w[5];
  w[22] = SmallSigma1(w[20]) + w[15] + SmallSigma0(w[7]) + w[6];
  w[23] = SmallSigma1(w[21]) + w[16] + SmallSigma0(w[8]) + w[7];
  w[24] = SmallSigma1(w[22]) + w[17] + SmallSigma0(w[9]) + w[8];
  w[25] = SmallSigma1(w[23]) + w[18] + SmallSigma0(w[10]) + w[9];
  w[26] = SmallSigma1(w[24]) + w[19] + SmallSigma0(w[11]) + w[10];
  w[27] = SmallSigma1(w[25]) + w[20] + SmallSigma0(w[12]) + w[11];
  w[28] = SmallSigma1(w[26]) + w[21] + SmallSigma0(w[13]) + w[12];
  w[29] = SmallSigma1(w[27]) + w[22] + SmallSigma0(w[14]) + w[13];
  w[30] = SmallSigma1(w[28]) + w[23] + SmallSigma0(w[15]) + w[14];
  w[31] = SmallSigma1(w[29]) + w[24] + SmallSigma0(w[16]) + w[15];
  w[32] = SmallSigma1(w[30]) + w[25] + SmallSigma0(w[17]) + w[16];
  w[33] = SmallSigma1(w[31]) + w[26] + SmallSigma0(w[18]) + w[17];
  w[34] = SmallSigma1(w[32]) + w[27] + SmallSigma0(w[19]) + w[18];
  w[35] = SmallSigma1(w[33]) + w[28] + SmallSigma0(w[20]) + w[19];
  w[36] = SmallSigma1(w[34]) + w[29] + SmallSigma0(w[21]) + w[20];
  w[37] = SmallSigma1(w[35]) + w[30] + SmallSigma0(w[22]) + w[21];
  w[38] = SmallSigma1(w[36]) + w[31] + SmallSigma0(w[23]) + w[22];
  w[39] = SmallSigma1(w[37]) + w[32] + SmallSigma0(w[24]) + w[23];
  w[40] = SmallSigma1(w[38]) + w[33] + SmallSigma0(w[25]) + w[24];
  w[41] = SmallSigma1(w[39]) + w[34] + SmallSigma0(w[26]) + w[25];
  w[42] = SmallSigma1(w[40]) + w[35] + SmallSigma0(w[27]) + w[26];
  w[43] = SmallSigma1(w[41]) + w[36] + SmallSigma0(w[28]) + w[27];
  w[44] = SmallSigma1(w[42]) + w[37] + SmallSigma0(w[29]) + w[28];
  w[45] = SmallSigma1(w[43]) + w[38] + SmallSigma0(w[30]) + w[29];
  w[46] = SmallSigma1(w[44]) + w[39] + SmallSigma0(w[31]) + w[30];
  w[47] = SmallSigma1(w[45]) + w[40] + SmallSigma0(w[32]) + w[31];
  w[48] = SmallSigma1(w[46]) + w[41] + SmallSigma0(w[33]) + w[32];
  w[49] = SmallSigma1(w[47]) + w[42] + SmallSigma0(w[34]) + w[33];
  w[50] = SmallSigma1(w[48]) + w[43] + SmallSigma0(w[35]) + w[34];
  w[51] = SmallSigma1(w[49]) + w[44] + SmallSigma0(w[36]) + w[35];
  w[52] = SmallSigma1(w[50]) + w[45] + SmallSigma0(w[37]) + w[36];
  w[53] = SmallSigma1(w[51]) + w[46] + SmallSigma0(w[38]) + w[37];
  w[54] = SmallSigma1(w[52]) + w[47] + SmallSigma0(w[39]) + w[38];
  w[55] = SmallSigma1(w[53]) + w[48] + SmallSigma0(w[40]) + w[39];
  w[56] = SmallSigma1(w[54]) + w[49] + SmallSigma0(w[41]) + w[40];
  w[57] = SmallSigma1(w[55]) + w[50] + SmallSigma0(w[42]) + w[41];
  w[58] = SmallSigma1(w[56]) + w[51] + SmallSigma0(w[43]) + w[42];
  w[59] = SmallSigma1(w[57]) + w[52] + SmallSigma0(w[44]) + w[43];
  w[60] = SmallSigma1(w[58]) + w[53] + SmallSigma0(w[45]) + w[44];
  w[61] = SmallSigma1(w[59]) + w[54] + SmallSigma0(w[46]) + w[45];
  w[62] = SmallSigma1(w[60]) + w[55] + SmallSigma0(w[47]) + w[46];
  w[63] = SmallSigma1(w[61]) + w[56] + SmallSigma0(w[48]) + w[47];

  std::uint32_t a = state[0];
  std::uint32_t b = state[1];
  std::uint32_t c = state[2];
  std::uint32_t d = state[3];
  std::uint32_t e = state[4];
  std::uint32_t f = state[5];
  std::uint32_t g = state[6];
  std::uint32_t h = state[7];

  Round(a, b, c, d, e, f, g, h, w[0], 0x428a2f98);
  Round(h, a, b, c, d, e, f, g, w[1], 0x71374491);
  Round(g, h, a, b, c, d, e, f, w[2], 0xb5c0fbcf);
  Round(f, g, h, a, b, c, d, e, w[3], 0xe9b5dba5);
  Round(e, f, g, h, a, b, c, d, w[4], 0x3956c25b);
  Round(d, e, f, g, h, a, b, c, w[5], 0x59f111f1);
  Round(c, d, e, f, g, h, a, b, w[6], 0x923f82a4);
  Round(b, c, d, e, f, g, h, a, w[7], 0xab1c5ed5);
  Round(a, b, c, d, e, f, g, h, w[8], 0xd807aa98);
  Round(h, a, b, c, d, e, f, g, w[9], 0x12835b01);
  Round(g, h, a, b, c, d, e, f, w[10], 0x243185be);
  Round(f, g, h, a, b, c, d, e, w[11], 0x550c7dc3);
  Round(e, f, g, h, a, b, c, d, w[12], 0x72be5d74);
  Round(d, e, f, g, h, a, b, c, w[13], 0x80deb1fe);
  Round(c, d, e, f, g, h, a, b, w[14], 0x9bdc06a7);
  Round(b, c, d, e, f, g, h, a, w[15], 0xc19bf174);
  Round(a, b, c, d, e, f, g, h, w[16], 0xe49b69c1);
  Round(h, a, b, c, d, e, f, g, w[17], 0xefbe4786);
  Round(g, h, a, b, c, d, e, f, w[18], 0x0fc19dc6);
  Round(f, g, h, a, b, c, d, e, w[19], 0x240ca1cc);
  Round(e, f, g, h, a, b, c, d, w[20], 0x2de92c6f);
  Round(d, e, f, g, h, a, b, c, w[21], 0x4a7484aa);
  Round(c, d, e, f, g, h, a, b, w[22], 0x5cb0a9dc);
  Round(b, c, d, e, f, g, h, a, w[23], 0x76f988da);
  Round(a, b, c, d, e, f, g, h, w[24], 0x983e5152);
  Round(h, a, b, c, d, e, f, g, w[25], 0xa831c66d);
  Round(g, h, a, b, c, d, e, f, w[26], 0xb00327c8);
  Round(f, g, h, a, b, c, d, e, w[27], 0xbf597fc7);
  Round(e, f, g, h, a, b, c, d, w[28], 0xc6e00bf3);
  Round(d, e, f, g, h, a, b, c, w[29], 0xd5a79147);
  Round(c, d, e, f, g, h, a, b, w[30], 0x06ca6351);
  Round(b, c, d, e, f, g, h, a, w[31], 0x14292967);
  Round(a, b, c, d, e, f, g, h, w[32], 0x27b70a85);
  Round(h, a, b, c, d, e, f, g, w[33], 0x2e1b2138);
  Round(g, h, a, b, c, d, e, f, w[34], 0x4d2c6dfc);
  Round(f, g, h, a, b, c, d, e, w[35], 0x53380d13);
  Round(e, f, g, h, a, b, c, d, w[36], 0x650a7354);
  Round(d, e, f, g, h, a, b, c, w[37], 0x766a0abb);
  Round(c, d, e, f, g, h, a, b, w[38], 0x81c2c92e);
  Round(b, c, d, e, f, g, h, a, w[39], 0x92722c85);
  Round(a, b, c, d, e, f, g, h, w[40], 0xa2bfe8a1);
  Round(h, a, b, c, d, e, f, g, w[41], 0xa81a664b);
  Round(g, h, a, b, c, d, e, f, w[42], 0xc24b8b70);
  Round(f, g, h, a, b, c, d, e, w[43], 0xc76c51a3);
  Round(e, f, g, h, a, b, c, d, w[44], 0xd192e819);
  Round(d, e, f, g, h, a, b, c, w[45], 0xd6990624);
  Round(c, d, e, f, g, h, a, b, w[46], 0xf40e3585);
  Round(b, c, d, e, f, g, h, a, w[47], 0x106aa070);
  Round(a, b, c, d, e, f, g, h, w[48], 0x19a4c116);
  Round(h, a, b, c, d, e, f, g, w[49], 0x1e376c08);
  Round(g, h, a, b, c, d, e, f, w[50], 0x2748774c);
  Round(f, g, h, a, b, c, d, e, w[51], 0x34b0bcb5);
  Round(e, f, g, h, a, b, c, d, w[52], 0x391c0cb3);
  Round(d, e, f, g, h, a, b, c, w[53], 0x4ed8aa4a);
  Round(c, d, e, f, g, h, a, b, w[54], 0x5b9cca4f);
  Round(b, c, d, e, f, g, h, a, w[55], 0x682e6ff3);
  Round(a, b, c, d, e, f, g, h, w[56], 0x748f82ee);
  Round(h, a, b, c, d, e, f, g, w[57], 0x78a5636f);
  Round(g, h, a, b, c, d, e, f, w[58], 0x84c87814);
  Round(f, g, h, a, b, c, d, e, w[59], 0x8cc70208);
  Round(e, f, g, h, a, b, c, d, w[60], 0x90befffa);
  Round(d, e, f, g, h, a, b, c, w[61], 0xa4506ceb);
  Round(c, d, e, f, g, h, a, b, w[62], 0xbef9a3f7);
  Round(b, c, d, e, f, g, h, a, w[63], 0xc67178f2);

  // After 64 rounds (a multiple of 8) the roles are back where they started.
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}

void CompressPortable(std::uint32_t* state, const std::uint8_t* blocks, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) CompressBlock(state, blocks + i * kSHA256BlockSize);
}

constexpr SHA256Path kPortable = {"portable", CompressPortable};

std::atomic<bool> forcePortable{false};

}  // namespace

// Paths this build lacks; the instruction paths live in files of their own
// that the build adds only for their architecture.
#if !defined(PELLFOLD_SHA256_X86)
const SHA256Path* SHA256PathX86() {
  return nullptr;
}
#endif
#if !defined(PELLFOLD_SHA256_ARM)
const SHA256Path* SHA256PathArm() {
  return nullptr;
}
#endif

const SHA256Path* SHA256PathPortable() {
  return &kPortable;
}

int SHA256PathList(const SHA256Path** paths, int max) {
  int n = 0;
  for (const SHA256Path* path : {SHA256PathX86(), SHA256PathArm(), SHA256PathPortable()}) {
    if (path != nullptr && n < max) paths[n++] = path;
  }
  return n;
}

const SHA256Path* SHA256PathSelect() {
  // A function-local static is initialised exactly once, even when several
  // threads get here first at the same moment.
  static const SHA256Path* const chosen = [] {
    const SHA256Path* first = nullptr;
    SHA256PathList(&first, 1);
    return first;
  }();
  return forcePortable.load(std::memory_order_relaxed) ? &kPortable : chosen;
}

void SHA256ForcePortable(bool force) {
  forcePortable.store(force, std::memory_order_relaxed);
}

}  // namespace pellfold
