// Every routine that takes a byte pointer gives the same bytes whatever the
// alignment of its buffers: each run places all inputs and outputs at one
// offset (0 to 15) from 64-byte-aligned storage and must reproduce the run at
// offset 0. The sanitizer build adds -fsanitize=alignment, which reports any
// misaligned access of a wider type on the way.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "aes/aes.h"
#include "aes/aes_record.h"
#include "aestable/aestable.h"
#include "digest/hmac_md5.h"
#include "digest/md5.h"
#include "digest/sha256.h"
#include "digest/sha256_path.h"
#include "oracle.h"
#include "service/acbc_format.h"
#include "util/text.h"
#include "vectors.h"

namespace pellfold::test {
namespace {

// Storage aligned to 64 bytes; At() copies content to the given offset in it.
class Slot {
 public:
  std::uint8_t* At(std::size_t offset, const Bytes& content) {
    std::memset(storage_, 0xEE, sizeof storage_);
    std::memcpy(storage_ + offset, content.data(), content.size());
    return storage_ + offset;
  }

 private:
  alignas(64) std::uint8_t storage_[2048];
};

using Results = std::map<std::string, Bytes>;

// Feeds message to update in pieces of 1, 63, 136 and the rest, so that
// whole blocks are read straight from the misaligned buffer.
template <typename Update>
void Pieces(const std::uint8_t* message, Update update) {
  update(message, 1);
  update(message + 1, 63);
  update(message + 64, 136);
  update(message + 200, 100);
}

Results RunAll(std::size_t offset) {
  static const Bytes message = RandomBytes(300), key = RandomBytes(80), vector = RandomBytes(16);
  Slot a, b, c, d;
  Results r;
  for (std::int32_t nk : {4, 6, 8}) {
    const std::string bits = std::to_string(32 * nk);
    const auto size = static_cast<std::size_t>(AESScheduleSize(nk));
    std::uint8_t* schedule = c.At(offset, Bytes(size));
    AESKeyExpansion(a.At(offset, key), schedule, nk);
    r["schedule " + bits] = Bytes(schedule, schedule + size);
    std::uint8_t* block = b.At(offset, Bytes(16));
    AESCipher(a.At(offset, message), block, schedule, nk + 6);
    r["AESCipher " + bits] = Bytes(block, block + 16);
    AESInvCipher(block, block, schedule, nk + 6);
    r["AESInvCipher " + bits] = Bytes(block, block + 16);

    AESTableContext context;
    AESTableSetKey(&context, a.At(offset, key), 32 * nk);
    AESTableEncryptBlock(&context, a.At(offset, message), block);
    r["AESTableEncryptBlock " + bits] = Bytes(block, block + 16);
    AESTableDecryptBlock(&context, a.At(offset, message), block);
    r["AESTableDecryptBlock " + bits] = Bytes(block, block + 16);
  }

  // 100 bytes: the routines transform 7 whole blocks, 112 bytes.
  const auto buffer = [&](auto routine, const char* name) {
    std::uint8_t* data = a.At(offset, message);
    routine(data, b.At(offset, key), c.At(offset, vector));
    r[name] = Bytes(data, data + 128);
  };
  buffer([](auto* p, auto* k, auto* v) { AESCbcEncrypt(p, 100, k, 32, v); }, "AESCbcEncrypt");
  buffer([](auto* p, auto* k, auto* v) { AESCbcDecrypt(p, 100, k, 32, v); }, "AESCbcDecrypt");
  buffer([](auto* p, auto* k, auto*) { AESEcbEncrypt(p, 100, k, 32); }, "AESEcbEncrypt");
  buffer([](auto* p, auto* k, auto*) { AESEcbDecrypt(p, 100, k, 32); }, "AESEcbDecrypt");

  // Every record path the build and processor have, on three records.
  static const Bytes records = RandomBytes(3 * kAESRecordSize);
  const AESRecordPath* paths[4] = {};
  const int pathCount = AESRecordPathList(paths, 4);
  for (int i = 0; i < pathCount; ++i) {
    AESRecordKey recordKey;
    paths[i]->setKey(&recordKey, b.At(offset, key));
    std::uint8_t* data = a.At(offset, records);
    paths[i]->encrypt(&recordKey, c.At(offset, vector), data, 3);
    r[std::string("records encrypted, ") + paths[i]->name] = Bytes(data, data + records.size());
    paths[i]->decrypt(&recordKey, c.At(offset, vector), data, 3);
    r[std::string("records decrypted, ") + paths[i]->name] = Bytes(data, data + records.size());
  }

  const std::uint8_t* text = a.At(offset, message);
  std::uint8_t* digest = d.At(offset, Bytes(32));
  MD5Context md5;
  MD5Init(&md5);
  Pieces(text, [&](const std::uint8_t* p, std::uint32_t n) { MD5Update(&md5, p, n); });
  MD5Final(&md5, digest);
  r["MD5"] = Bytes(digest, digest + 16);
  // Every SHA-256 path: the portable one by forcing it, the other as chosen.
  const SHA256Path* shaPaths[4] = {};
  const int shaPathCount = SHA256PathList(shaPaths, 4);
  for (int i = 0; i < shaPathCount; ++i) {
    SHA256ForcePortable(shaPaths[i] == SHA256PathPortable());
    SHA256Context sha;
    SHA256Init(&sha);
    Pieces(text, [&](const std::uint8_t* p, std::uint32_t n) { SHA256Update(&sha, p, n); });
    SHA256Final(&sha, digest);
    r[std::string("SHA256, ") + SHA256PathSelect()->name] = Bytes(digest, digest + 32);
  }
  SHA256ForcePortable(false);
  for (std::int32_t keyLength : {20, 80}) {  // used as it is, and hashed first
    const std::string name = "HMAC-MD5 key " + std::to_string(keyLength);
    HMACMD5Context hmac;
    HMACMD5Init(&hmac, b.At(offset, key), keyLength);
    Pieces(text, [&](const std::uint8_t* p, std::uint32_t n) { HMACMD5Update(&hmac, p, n); });
    HMACMD5Final(&hmac, digest);
    r[name] = Bytes(digest, digest + 16);
    HMACMD5(text, 300, b.At(offset, key), keyLength, digest);
    r[name + " one call"] = Bytes(digest, digest + 16);
  }

  char* line = reinterpret_cast<char*>(a.At(offset, {'a', 'b', '\r', '\n', 0}));
  TrimLineEnd(line);
  r["TrimLineEnd"] = Bytes(line, line + 5);
  std::uint8_t* record = c.At(offset, Bytes(kAcbcRecordSize));
  AcbcFormatHeader(-1234567, record);
  r["AcbcFormatHeader"] = Bytes(record, record + kAcbcRecordSize);
  std::int32_t length = 0;
  const std::string parsed =
      (AcbcParseHeader(record, &length) ? "ok " : "bad ") + std::to_string(length);
  r["AcbcParseHeader"] = Bytes(parsed.begin(), parsed.end());
  return r;
}

class Alignment : public ::testing::TestWithParam<std::size_t> {};

TEST_P(Alignment, EveryRoutineGivesTheAlignedResult) {
  static const Results aligned = RunAll(0);
  const Results shifted = RunAll(GetParam());
  ASSERT_EQ(shifted.size(), aligned.size());
  for (const auto& [name, bytes] : aligned)
    EXPECT_EQ(ToHex(shifted.at(name)), ToHex(bytes)) << name;
}

INSTANTIATE_TEST_SUITE_P(Offsets, Alignment, ::testing::Range<std::size_t>(1, 16));

}  // namespace
}  // namespace pellfold::test
