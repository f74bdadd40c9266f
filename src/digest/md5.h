// MD5 message digest (RFC 1321) as a streaming interface over a caller-owned
// context.
//
// Use: MD5Init, then any number of MD5Update calls (none included), then
// MD5Final. The digest depends only on the concatenation of the inputs, never
// on how they were split. Nothing allocates and nothing is reported. Input
// and output pointers may have any alignment: every word is assembled from
// single bytes in little-endian order. Contexts are plain data owned by the
// caller, one thread at a time per context; MD5Padding is the only shared
// object and is never written.
//
// Nothing is wiped: after MD5Final the context still holds the digest words
// and the last block, which callers that care must clear themselves.
#pragma once

#include <cstdint>

namespace pellfold {

constexpr std::uint32_t kMD5DigestSize = 16;
constexpr std::uint32_t kMD5BlockSize = 64;

struct MD5Context {
  // Message bytes absorbed so far, a 64-bit count: count[0] holds the low 32
  // bits, count[1] the high 32 bits. Bytes, not bits; MD5Final forms the bits.
  std::uint32_t count[2];
  // Chaining words A, B, C, D.
  std::uint32_t state[4];
  // The first count[0] % 64 bytes are input not yet compressed.
  std::uint8_t buffer[kMD5BlockSize];
};

// 0x80 followed by 63 zero bytes; MD5Final feeds a prefix of it as padding.
extern const std::uint8_t MD5Padding[kMD5BlockSize];

// Starts a new digest: count zero, chaining words at their initial values.
// The buffer is left as it is; nothing reads it before it is filled.
void MD5Init(MD5Context* context);

// Absorbs length bytes from input. A zero length changes nothing (not even
// count) and does not read input, which may then be null. Whole blocks are
// compressed directly from input; only partial blocks are copied into the
// context.
void MD5Update(MD5Context* context, const std::uint8_t* input, std::uint32_t length);

// Appends the padding and the 64-bit little-endian bit length (byte count
// times 8, modulo 2^64), then writes the 16-byte digest, A, B, C, D each
// little-endian. The context is not reset: count is left at the padded total
// (a multiple of 64), state holds the digest words and buffer the last block.
// Updating or finishing it again continues from there and is not the digest
// of anything the caller fed; start over with MD5Init.
void MD5Final(MD5Context* context, std::uint8_t* digest);

// Compresses the 64-byte block into context->state; reads no other field and
// writes no other field. The block may be context->buffer.
void MD5Transform(MD5Context* context, const std::uint8_t* block);

}  // namespace pellfold
