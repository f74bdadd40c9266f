// HMAC-MD5 on top of the streaming MD5.
#include "digest/hmac_md5.h"

#include <cstring>

#include "digest/md5.h"

namespace pellfold {

void HMACMD5(const std::uint8_t* data, std::uint32_t dataLength, const std::uint8_t* key,
             std::int32_t keyLength, std::uint8_t* digest) {
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
  std::uint8_t outerPad[kMD5BlockSize] = {};
  // A key length of 0 or less copies nothing: a negative one is an empty key,
  // never a byte count that would run over the pads.
  if (keyLength > 0) {
    std::memcpy(innerPad, key, static_cast<std::size_t>(keyLength));
    std::memcpy(outerPad, key, static_cast<std::size_t>(keyLength));
  }
  for (std::uint32_t i = 0; i < kMD5BlockSize; ++i) {
    innerPad[i] ^= 0x36;
    outerPad[i] ^= 0x5c;
  }

  MD5Context context;
  MD5Init(&context);
  MD5Update(&context, innerPad, kMD5BlockSize);
  MD5Update(&context, data, dataLength);
  MD5Final(&context, digest);

  // The inner digest is read back from the caller's area and then overwritten.
  MD5Init(&context);
  MD5Update(&context, outerPad, kMD5BlockSize);
  MD5Update(&context, digest, kMD5DigestSize);
  MD5Final(&context, digest);
}

}  // namespace pellfold
