// libFuzzer target for the digests. The input is a key length, a split
// schedule, a key and a message. MD5, SHA-256 (on every compression path)
// and HMAC-MD5 fed the message in the scheduled pieces must equal the
// one-call results and OpenSSL's; HMAC-MD5 must also equal the RFC 2104
// construction written out below from the MD5 functions alone.
//
// Input: byte 0 is the key length (0..255), byte 1 the schedule length s
// (0..15), then s schedule bytes (piece sizes, used in turn; a zero is an
// empty update), the key, and the message: whatever is left.
#include <openssl/evp.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "digest/hmac_md5.h"
#include "digest/md5.h"
#include "digest/sha256.h"
#include "digest/sha256_path.h"

namespace {

struct Input {
  const std::uint8_t* schedule;
  std::size_t scheduleLength;
  const std::uint8_t* key;
  std::size_t keyLength;
  const std::uint8_t* message;
  std::size_t messageLength;
};

void Require(bool ok) {
  if (!ok) __builtin_trap();
}

// Calls update(piece, length) for the message in the scheduled pieces.
template <typename Update>
void Pieces(const Input& in, Update update) {
  // A schedule without a nonzero size would never advance: one piece then.
  const bool sized = std::any_of(in.schedule, in.schedule + in.scheduleLength,
                                 [](std::uint8_t b) { return b != 0; });
  std::size_t done = 0;
  for (std::size_t i = 0; done < in.messageLength; ++i) {
    const std::size_t rest = in.messageLength - done;
    const std::size_t size =
        sized ? std::min<std::size_t>(in.schedule[i % in.scheduleLength], rest) : rest;
    update(in.message + done, static_cast<std::uint32_t>(size));
    done += size;
  }
  update(in.message + done, 0);  // an empty update at the end changes nothing
}

void Oracle(const EVP_MD* md, const std::uint8_t* data, std::size_t size, std::uint8_t* out) {
  unsigned int length = 0;
  Require(EVP_Digest(data, size, out, &length, md, nullptr) == 1);
}

void CheckMd5(const Input& in) {
  std::uint8_t whole[16], split[16], oracle[16];
  pellfold::MD5Context context;
  pellfold::MD5Init(&context);
  pellfold::MD5Update(&context, in.message, static_cast<std::uint32_t>(in.messageLength));
  pellfold::MD5Final(&context, whole);
  pellfold::MD5Init(&context);
  Pieces(in, [&](const std::uint8_t* p, std::uint32_t n) { pellfold::MD5Update(&context, p, n); });
  pellfold::MD5Final(&context, split);
  Oracle(EVP_md5(), in.message, in.messageLength, oracle);
  Require(std::memcmp(whole, split, 16) == 0 && std::memcmp(whole, oracle, 16) == 0);
}

void CheckSha256OnePath(const Input& in) {
  std::uint8_t whole[32], split[32], oracle[32];
  pellfold::SHA256Context context;
  pellfold::SHA256Init(&context);
  pellfold::SHA256Update(&context, in.message, static_cast<std::uint32_t>(in.messageLength));
  pellfold::SHA256Final(&context, whole);
  pellfold::SHA256Init(&context);
  Pieces(in,
         [&](const std::uint8_t* p, std::uint32_t n) { pellfold::SHA256Update(&context, p, n); });
  pellfold::SHA256Final(&context, split);
  Oracle(EVP_sha256(), in.message, in.messageLength, oracle);
  Require(std::memcmp(whole, split, 32) == 0 && std::memcmp(whole, oracle, 32) == 0);
}

// Once on every compression path: the portable one by forcing it, the
// other as chosen.
void CheckSha256(const Input& in) {
  const pellfold::SHA256Path* paths[4] = {};
  const int count = pellfold::SHA256PathList(paths, 4);
  for (int i = 0; i < count; ++i) {
    pellfold::SHA256ForcePortable(paths[i] == pellfold::SHA256PathPortable());
    Require(pellfold::SHA256PathSelect() == paths[i]);
    CheckSha256OnePath(in);
  }
  pellfold::SHA256ForcePortable(false);
}

// HMAC(K, m) = MD5((K' ^ opad) || MD5((K' ^ ipad) || m)), where K' is the key,
// or its MD5 digest when longer than a block, zero-filled to 64 bytes.
void ComposedHmacMd5(const Input& in, std::uint8_t* mac) {
  std::uint8_t block[64] = {};
  pellfold::MD5Context context;
  if (in.keyLength > 64) {
    pellfold::MD5Init(&context);
    pellfold::MD5Update(&context, in.key, static_cast<std::uint32_t>(in.keyLength));
    pellfold::MD5Final(&context, block);
  } else if (in.keyLength != 0) {
    std::memcpy(block, in.key, in.keyLength);
  }
  std::uint8_t pad[64];
  for (std::size_t i = 0; i < 64; ++i) pad[i] = block[i] ^ 0x36;
  std::uint8_t inner[16];
  pellfold::MD5Init(&context);
  pellfold::MD5Update(&context, pad, 64);
  pellfold::MD5Update(&context, in.message, static_cast<std::uint32_t>(in.messageLength));
  pellfold::MD5Final(&context, inner);
  for (std::size_t i = 0; i < 64; ++i) pad[i] = block[i] ^ 0x5c;
  pellfold::MD5Init(&context);
  pellfold::MD5Update(&context, pad, 64);
  pellfold::MD5Update(&context, inner, 16);
  pellfold::MD5Final(&context, mac);
}

void CheckHmacMd5(const Input& in) {
  const auto keyLength = static_cast<std::int32_t>(in.keyLength);
  std::uint8_t whole[16], split[16], composed[16];
  pellfold::HMACMD5(in.message, static_cast<std::uint32_t>(in.messageLength), in.key, keyLength,
                    whole);
  pellfold::HMACMD5Context context;
  pellfold::HMACMD5Init(&context, in.key, keyLength);
  Pieces(in,
         [&](const std::uint8_t* p, std::uint32_t n) { pellfold::HMACMD5Update(&context, p, n); });
  pellfold::HMACMD5Final(&context, split);
  ComposedHmacMd5(in, composed);
  Require(std::memcmp(whole, split, 16) == 0 && std::memcmp(whole, composed, 16) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  Input in{};
  std::size_t at = 2;
  in.scheduleLength = std::min<std::size_t>(data[1] % 16, size - at);
  in.schedule = data + at;
  at += in.scheduleLength;
  in.keyLength = std::min<std::size_t>(data[0], size - at);
  in.key = data + at;
  at += in.keyLength;
  in.message = data + at;
  in.messageLength = size - at;
  CheckMd5(in);
  CheckSha256(in);
  CheckHmacMd5(in);
  return 0;
}
