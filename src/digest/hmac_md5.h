// HMAC-MD5 (RFC 2104 with MD5: 64-byte blocks, 16-byte result) in one call.
#pragma once

#include <cstdint>

namespace pellfold {

constexpr std::uint32_t kHMACMD5Size = 16;

// Computes HMAC-MD5 of dataLength bytes at data under keyLength bytes at key
// and writes the 16 bytes to digest. A key longer than 64 bytes is replaced
// by its MD5 digest first, as RFC 2104 prescribes; a key of 64 bytes or fewer
// is used as it is, zero-extended to the block.
//
// data is not read when dataLength is 0, nor key when keyLength is 0 (either
// may then be null). A negative keyLength counts as 0, an empty key, as in
// the rest of the library; it is never handed on as a byte count.
//
// digest receives the inner digest during the call and is read back for the
// outer one. It may overlap data or key: both are consumed before digest is
// first written. Pads, the reduced key and the contexts are left on the stack
// unwiped.
void HMACMD5(const std::uint8_t* data, std::uint32_t dataLength, const std::uint8_t* key,
             std::int32_t keyLength, std::uint8_t* digest);

}  // namespace pellfold
