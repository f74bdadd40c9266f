// HMAC-MD5 on top of the streaming MD5.
#include "digest/hmac_md5.h"

#include <cstring>

namespace pellfold {

void HMACMD5Init(HMACMD5Context* context, const std::uint8_t* key, std::int32_t keyLength) {
  std::uint8_t reducedKey[kMD5DigestSize];
  if (keyLength > static_cast<std::int32_t>(kMD5BlockSize)) {
    MD5Context keyContext;
    MD5Init(&keyContext);
    MD5Update(&keyContext, key, static_cast<std::uint32_t>(keyLength));
    MD5Final(&keyContext, reducedKey);
    key = reducedKey;
    keyLength = kMD5DigestSize;
  }

  std::uint8_t innerPad[kMD5BlockSize] = {};
  std::memset(context->outerPad, 0, sizeof context->outerPad);
  // A key length of 0 or less copies nothing: a negative one is an empty key,
  // never a byte count that would run over the pads.
  if (keyLength > 0) {
    std::memcpy(innerPad, key, static_cast<std::size_t>(keyLength));
    std::memcpy(context->outerPad, key, static_cast<std::size_t>(keyLength));
  }
  for (std::uint32_t i = 0; i < kMD5BlockSize; ++i) {
    innerPad[i] ^= 0x36;
    context->outerPad[i] ^= 0x5c;
  }
  MD5Init(&context->inner);
  MD5Update(&context->inner, innerPad, kMD5BlockSize);
}

void HMACMD5Update(HMACMD5Context* context, const std::uint8_t* data, std::uint32_t length) {
  MD5Update(&context->inner, data, length);
}

void HMACMD5Final(HMACMD5Context* context, std::uint8_t* digest) {
  MD5Final(&context->inner, digest);
  // The inner digest is read back from the caller's area and then overwritten.
  MD5Context outer;
  MD5Init(&outer);
  MD5Update(&outer, context->outerPad, kMD5BlockSize);
  MD5Update(&outer, digest, kMD5DigestSize);
  MD5Final(&outer, digest);
}

void HMACMD5(const std::uint8_t* data, std::uint32_t dataLength, const std::uint8_t* key,
             std::int32_t keyLength, std::uint8_t* digest) {
  HMACMD5Context context;
  HMACMD5Init(&context, key, keyLength);
  HMACMD5Update(&context, data, dataLength);
  HMACMD5Final(&context, digest);
}

}  // namespace pellfold
