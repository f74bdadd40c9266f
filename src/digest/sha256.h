// SHA-256 message digest (FIPS 180-2) as a streaming interface over a
// caller-owned context.
//
// Same design as MD5 (digest/md5.h): SHA256Init, any number of SHA256Update
// calls (none included), then SHA256Final; the result depends only on the
// concatenation of the inputs. Nothing allocates, nothing is reported or
// wiped, and pointers may have any alignment: every word is read big-endian
// without a cast to a wider type. Blocks are compressed on the fastest path
// the processor has (SHA instructions where present, digest/sha256_path.h),
// all of which give the same words. One thread at a time per context.
#pragma once

#include <cstdint>

namespace pellfold {

constexpr std::uint32_t kSHA256DigestSize = 32;
constexpr std::uint32_t kSHA256BlockSize = 64;

struct SHA256Context {
  // Message bytes absorbed so far, a 64-bit count: count[0] holds the low 32
  // bits, count[1] the high 32 bits. Bytes, not bits; SHA256Final forms the
  // bits.
  std::uint32_t count[2];
  // Chaining words H0 to H7.
  std::uint32_t state[8];
  // The first count[0] % 64 bytes are input not yet compressed.
  std::uint8_t buffer[kSHA256BlockSize];
};

// 0x80 followed by 63 zero bytes; SHA256Final feeds a prefix of it as padding.
extern const std::uint8_t SHA256Padding[kSHA256BlockSize];

// Starts a new digest: count zero, chaining words at the initial hash value.
// The buffer is left as it is.
void SHA256Init(SHA256Context* context);

// Absorbs length bytes from input. A zero length changes nothing (not even
// count) and does not read input, which may then be null. Whole blocks are
// compressed directly from input; only partial blocks are copied.
void SHA256Update(SHA256Context* context, const std::uint8_t* input, std::uint32_t length);

// Appends the padding and the 64-bit big-endian bit length (byte count times
// 8, modulo 2^64), then writes the 32-byte digest, H0 to H7 each big-endian.
// The context is not reset: count is left at the padded total (a multiple of
// 64), state holds the digest words and buffer the last block. Start over
// with SHA256Init.
void SHA256Final(SHA256Context* context, std::uint8_t* digest);

// Compresses the 64-byte block into context->state on the selected path;
// reads and writes no other field. The block may be context->buffer.
void SHA256Transform(SHA256Context* context, const std::uint8_t* block);

}  // namespace pellfold
