// HMAC-MD5 (RFC 2104 with MD5: 64-byte blocks, 16-byte result), in one call
// or streamed over a caller-owned context.
#pragma once

#include <cstdint>

#include "digest/md5.h"

namespace pellfold {

constexpr std::uint32_t kHMACMD5Size = 16;

// Streaming state: the inner MD5, already fed the inner pad, and the outer
// pad kept for the final step.
struct HMACMD5Context {
  MD5Context inner;
  std::uint8_t outerPad[kMD5BlockSize];
};

// Starts a message under keyLength bytes at key. A key longer than 64 bytes
// is replaced by its MD5 digest first, as RFC 2104 prescribes; a key of 64
// bytes or fewer is used as it is, zero-extended to the block. key is not
// read when keyLength is 0 (it may then be null). A negative keyLength
// counts as 0, an empty key, as in the rest of the library; it is never
// handed on as a byte count.
void HMACMD5Init(HMACMD5Context* context, const std::uint8_t* key, std::int32_t keyLength);

// Adds length bytes at data (any alignment; not read when length is 0).
void HMACMD5Update(HMACMD5Context* context, const std::uint8_t* data, std::uint32_t length);

// Writes the 16-byte result to digest. digest receives the inner digest
// first and is read back for the outer one. The context is spent afterwards.
void HMACMD5Final(HMACMD5Context* context, std::uint8_t* digest);

// HMAC-MD5 of dataLength bytes at data under keyLength bytes at key, written
// to digest: Init, Update and Final in one call, with the same rules. digest
// may overlap data or key: both are consumed before digest is first written.
// Pads, the reduced key and the contexts are left on the stack unwiped.
void HMACMD5(const std::uint8_t* data, std::uint32_t dataLength, const std::uint8_t* key,
             std::int32_t keyLength, std::uint8_t* digest);

}  // namespace pellfold
