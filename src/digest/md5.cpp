// MD5 (RFC 1321): init, streaming update, final and the unrolled block
// compression.
#include "digest/md5.h"

#include <bit>

#include "digest/block_stream.h"
#include "util/byteorder.h"

namespace pellfold {

const std::uint8_t MD5Padding[kMD5BlockSize] = {0x80};

namespace {

// The four auxiliary functions of RFC 1321, each on 32-bit words bitwise.
// F and G are written in forms that give the same bits with fewer
// operations: F selects y where x is set and z elsewhere, which is
// z ^ (x & (y ^ z)); the two terms of G never share a set bit, so their OR
// is their sum, and the steps add them separately.
constexpr std::uint32_t F(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
  return z ^ (x & (y ^ z));
}
constexpr std::uint32_t H(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
  return x ^ y ^ z;
}
constexpr std::uint32_t I(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
  return y ^ (x | ~z);
}

// One step [abcd k s i] of round 1 to 4: a = b + ((a + f(b, c, d) + X[k] + T[i]) <<< s).
// The callers rotate the roles of a, b, c and d instead of moving the values.
// X[k] + T[i], and in G the term that does not involve b, the previous
// step's result, are added first, while that result is still being computed.
inline void StepF(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                  std::uint32_t x, int s, std::uint32_t t) {
  a = b + std::rotl(a + x + t + F(b, c, d), s);
}
inline void StepG(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                  std::uint32_t x, int s, std::uint32_t t) {
  a = b + std::rotl(a + x + t + (c & ~d) + (b & d), s);
}
inline void StepH(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                  std::uint32_t x, int s, std::uint32_t t) {
  a = b + std::rotl(a + x + t + H(b, c, d), s);
}
inline void StepI(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                  std::uint32_t x, int s, std::uint32_t t) {
  a = b + std::rotl(a + x + t + I(b, c, d), s);
}

}  // namespace

void MD5Init(MD5Context* context) {
  context->count[0] = 0;
  context->count[1] = 0;
  context->state[0] = 0x67452301;
  context->state[1] = 0xefcdab89;
  context->state[2] = 0x98badcfe;
  context->state[3] = 0x10325476;
}

void MD5Update(MD5Context* context, const std::uint8_t* input, std::uint32_t length) {
  digest_detail::AbsorbBlocks<MD5Context, MD5Transform>(context, input, length);
}

void MD5Final(MD5Context* context, std::uint8_t* digest) {
  std::uint8_t lengthField[8];
  StoreLe32(lengthField, digest_detail::BitCountLow(context->count));
  StoreLe32(lengthField + 4, digest_detail::BitCountHigh(context->count));
  MD5Update(context, MD5Padding, digest_detail::PaddingLength(context->count[0]));
  // The buffer now holds 56 bytes, so these 8 complete and compress the last block.
  MD5Update(context, lengthField, sizeof lengthField);
  for (std::size_t i = 0; i < 4; ++i) StoreLe32(digest + 4 * i, context->state[i]);
}

// The 64 steps are written out with their message word, rotation and additive
// constant T[i] = floor(2^32 * |sin(i)|) in place, as RFC 1321 lists them.
void MD5Transform(MD5Context* context, const std::uint8_t* block) {
  std::uint32_t x[16];
  for (std::size_t j = 0; j < 16; ++j) x[j] = LoadLe32(block + 4 * j);
  std::uint32_t a = context->state[0];
  std::uint32_t b = context->state[1];
  std::uint32_t c = context->state[2];
  std::uint32_t d = context->state[3];

  // Round 1
  StepF(a, b, c, d, x[0], 7, 0xd76aa478);
  StepF(d, a, b, c, x[1], 12, 0xe8c7b756);
  StepF(c, d, a, b, x[2], 17, 0x242070db);
  StepF(b, c, d, a, x[3], 22, 0xc1bdceee);
  StepF(a, b, c, d, x[4], 7, 0xf57c0faf);
  StepF(d, a, b, c, x[5], 12, 0x4787c62a);
  StepF(c, d, a, b, x[6], 17, 0xa8304613);
  StepF(b, c, d, a, x[7], 22, 0xfd469501);
  StepF(a, b, c, d, x[8], 7, 0x698098d8);
  StepF(d, a, b, c, x[9], 12, 0x8b44f7af);
  StepF(c, d, a, b, x[10], 17, 0xffff5bb1);
  StepF(b, c, d, a, x[11], 22, 0x895cd7be);
  StepF(a, b, c, d, x[12], 7, 0x6b901122);
  StepF(d, a, b, c, x[13], 12, 0xfd987193);
  StepF(c, d, a, b, x[14], 17, 0xa679438e);
  StepF(b, c, d, a, x[15], 22, 0x49b40821);
  // Round 2
  StepG(a, b, c, d, x[1], 5, 0xf61e2562);
  StepG(d, a, b, c, x[6], 9, 0xc040b340);
  StepG(c, d, a, b, x[11], 14, 0x265e5a51);
  StepG(b, c, d, a, x[0], 20, 0xe9b6c7aa);
  StepG(a, b, c, d, x[5], 5, 0xd62f105d);
  StepG(d, a, b, c, x[10], 9, 0x02441453);
  StepG(c, d, a, b, x[15], 14, 0xd8a1e681);
  StepG(b, c, d, a, x[4], 20, 0xe7d3fbc8);
  StepG(a, b, c, d, x[9], 5, 0x21e1cde6);
  StepG(d, a, b, c, x[14], 9, 0xc33707d6);
  StepG(c, d, a, b, x[3], 14, 0xf4d50d87);
  StepG(b, c, d, a, x[8], 20, 0x455a14ed);
  StepG(a, b, c, d, x[13], 5, 0xa9e3e905);
  StepG(d, a, b, c, x[2], 9, 0xfcefa3f8);
  StepG(c, d, a, b, x[7], 14, 0x676f02d9);
  StepG(b, c, d, a, x[12], 20, 0x8d2a4c8a);
  // Round 3
  StepH(a, b, c, d, x[5], 4, 0xfffa3942);
  StepH(d, a, b, c, x[8], 11, 0x8771f681);
  StepH(c, d, a, b, x[11], 16, 0x6d9d6122);
  StepH(b, c, d, a, x[14], 23, 0xfde5380c);
  StepH(a, b, c, d, x[1], 4, 0xa4beea44);
  StepH(d, a, b, c, x[4], 11, 0x4bdecfa9);
  StepH(c, d, a, b, x[7], 16, 0xf6bb4b60);
  StepH(b, c, d, a, x[10], 23, 0xbebfbc70);
  StepH(a, b, c, d, x[13], 4, 0x289b7ec6);
  StepH(d, a, b, c, x[0], 11, 0xeaa127fa);
  StepH(c, d, a, b, x[3], 16, 0xd4ef3085);
  StepH(b, c, d, a, x[6], 23, 0x04881d05);
  StepH(a, b, c, d, x[9], 4, 0xd9d4d039);
  StepH(d, a, b, c, x[12], 11, 0xe6db99e5);
  StepH(c, d, a, b, x[15], 16, 0x1fa27cf8);
  StepH(b, c, d, a, x[2], 23, 0xc4ac5665);
  // Round 4
  StepI(a, b, c, d, x[0], 6, 0xf4292244);
  StepI(d, a, b, c, x[7], 10, 0x432aff97);
  StepI(c, d, a, b, x[14], 15, 0xab9423a7);
  StepI(b, c, d, a, x[5], 21, 0xfc93a039);
  StepI(a, b, c, d, x[12], 6, 0x655b59c3);
  StepI(d, a, b, c, x[3], 10, 0x8f0ccc92);
  StepI(c, d, a, b, x[10], 15, 0xffeff47d);
  StepI(b, c, d, a, x[1], 21, 0x85845dd1);
  StepI(a, b, c, d, x[8], 6, 0x6fa87e4f);
  StepI(d, a, b, c, x[15], 10, 0xfe2ce6e0);
  StepI(c, d, a, b, x[6], 15, 0xa3014314);
  StepI(b, c, d, a, x[13], 21, 0x4e0811a1);
  StepI(a, b, c, d, x[4], 6, 0xf7537e82);
  StepI(d, a, b, c, x[11], 10, 0xbd3af235);
  StepI(c, d, a, b, x[2], 15, 0x2ad7d2bb);
  StepI(b, c, d, a, x[9], 21, 0xeb86d391);

  context->state[0] += a;
  context->state[1] += b;
  context->state[2] += c;
  context->state[3] += d;
}

}  // namespace pellfold
