// libFuzzer target for the ciphers. A fuzzer-chosen key, key length, vector
// and data go through the byte-oriented cipher, the table engine, the ECB and
// CBC buffer routines and the ACBC record encryption. Every way must give the
// same bytes, decryption must give the data back, and the buffer routines
// must write exactly the whole blocks that cover their length.
//
// Input: byte 0 picks the key length (128, 192 or 256 bits, by value mod 3),
// byte 1 is the password length for the buffer routines as a signed byte
// (negative counts as empty, more than 32 reads only 32), then the 32-byte
// key, the 16-byte vector and the data. Missing header bytes are zero.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "aes/aes.h"
#include "aes/aes_record.h"
#include "aestable/aestable.h"
#include "service/acbc_format.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kHeader = 2 + 32 + 16;
constexpr std::uint8_t kGuard = 0xA5;

void Require(bool ok) {
  if (!ok) __builtin_trap();
}

// Both engines agree block by block for the chosen key length, in place and
// out of place, and each decrypts what it encrypted.
void CheckEngines(const std::uint8_t* key, std::int32_t keyBits, const Bytes& blocks) {
  const std::int32_t nk = keyBits / 32;
  std::uint8_t schedule[pellfold::AESScheduleSize(8)];
  pellfold::AESKeyExpansion(key, schedule, nk);
  pellfold::AESTableContext context;
  Require(pellfold::AESTableSetKey(&context, key, keyBits) == 0 && context.RoundCount == nk + 6);
  for (std::size_t b = 0; b < blocks.size(); b += 16) {
    const std::uint8_t* in = &blocks[b];
    std::uint8_t bytewise[16], table[16], back[16], inPlace[16];
    pellfold::AESCipher(in, bytewise, schedule, nk + 6);
    pellfold::AESTableEncryptBlock(&context, in, table);
    std::memcpy(inPlace, in, 16);
    pellfold::AESTableEncryptBlock(&context, inPlace, inPlace);
    Require(std::memcmp(bytewise, table, 16) == 0 && std::memcmp(table, inPlace, 16) == 0);
    pellfold::AESInvCipher(bytewise, back, schedule, nk + 6);
    Require(std::memcmp(back, in, 16) == 0);
    pellfold::AESTableDecryptBlock(&context, table, back);
    Require(std::memcmp(back, in, 16) == 0);
    // Decryption is a permutation too: the engines agree on any block.
    pellfold::AESInvCipher(in, bytewise, schedule, nk + 6);
    pellfold::AESTableDecryptBlock(&context, in, table);
    Require(std::memcmp(bytewise, table, 16) == 0);
  }
}

// The reference for the AES-256 buffer routines: the table engine, block by
// block, with the chain (CBC, when vector is set) formed here.
Bytes Reference(const std::uint8_t* key, const std::uint8_t* vector, const Bytes& blocks) {
  pellfold::AESTableContext context;
  pellfold::AESTableSetKey(&context, key, 256);
  Bytes out(blocks.size());
  std::uint8_t chain[16] = {};  // stays zero for ECB
  if (vector != nullptr) std::memcpy(chain, vector, 16);
  for (std::size_t b = 0; b < blocks.size(); b += 16) {
    std::uint8_t block[16];
    for (std::size_t k = 0; k < 16; ++k)
      block[k] = static_cast<std::uint8_t>(blocks[b + k] ^ chain[k]);
    pellfold::AESTableEncryptBlock(&context, block, &out[b]);
    if (vector != nullptr) std::memcpy(chain, &out[b], 16);
  }
  return out;
}

// Runs a buffer routine on a copy of data, zero-filled to whole blocks and
// followed by guard bytes: it must return 1 and turn exactly the blocks that
// cover length into expected; every byte after them keeps its value.
template <typename Routine>
void CheckBuffer(Routine routine, const Bytes& data, std::int32_t length, const Bytes& expected) {
  const std::size_t covered = length <= 0 ? 0 : (static_cast<std::size_t>(length) + 15) / 16 * 16;
  Bytes buffer = data;
  buffer.resize(std::max(covered, data.size()), 0);
  buffer.insert(buffer.end(), 16, kGuard);
  const Bytes before = buffer;
  Require(routine(buffer.data(), length) == 1);
  const auto end = static_cast<std::ptrdiff_t>(covered);
  Require(std::equal(buffer.begin(), buffer.begin() + end, expected.begin()));
  Require(std::equal(buffer.begin() + end, buffer.end(), before.begin() + end));
}

// Every way of encrypting ACBC records must give reference: 512-byte records,
// each chained by itself from the fixed vector. That is the buffer routine
// called record by record, and every record path the build and processor
// have (the portable one always), each of which must also decrypt back.
void CheckRecordPaths(const std::uint8_t* password, std::int32_t passwordLength,
                      const Bytes& records, const Bytes& reference) {
  Bytes buffer = records;
  for (std::size_t r = 0; r < buffer.size(); r += pellfold::kAcbcRecordSize) {
    Require(pellfold::AESCbcEncrypt(&buffer[r], pellfold::kAcbcRecordSize, password, passwordLength,
                                    pellfold::kAcbcVector) == 1);
  }
  Require(buffer == reference);

  std::uint8_t key[32];
  pellfold::AESPasswordKey(password, passwordLength, key);
  const std::size_t count = records.size() / pellfold::kAESRecordSize;
  const pellfold::AESRecordPath* paths[4] = {};
  const int pathCount = pellfold::AESRecordPathList(paths, 4);
  for (int i = 0; i < pathCount; ++i) {
    pellfold::AESRecordKey recordKey;
    paths[i]->setKey(&recordKey, key);
    buffer = records;
    paths[i]->encrypt(&recordKey, pellfold::kAcbcVector, buffer.data(), count);
    Require(buffer == reference);
    paths[i]->decrypt(&recordKey, pellfold::kAcbcVector, buffer.data(), count);
    Require(buffer == records);
  }
}

void CheckAcbcRecords(const std::uint8_t* password, std::int32_t passwordLength,
                      const std::uint8_t* key, const Bytes& data) {
  const std::size_t size =
      (data.size() / pellfold::kAcbcRecordSize + 1) * pellfold::kAcbcRecordSize;
  Bytes records = data;
  records.resize(size, 0);
  Bytes reference;
  for (std::size_t r = 0; r < size; r += pellfold::kAcbcRecordSize) {
    const auto first = records.begin() + static_cast<std::ptrdiff_t>(r);
    const Bytes one =
        Reference(key, pellfold::kAcbcVector, Bytes(first, first + pellfold::kAcbcRecordSize));
    reference.insert(reference.end(), one.begin(), one.end());
  }
  CheckRecordPaths(password, passwordLength, records, reference);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  std::uint8_t header[kHeader] = {};
  std::memcpy(header, input, std::min(size, kHeader));
  const std::int32_t keyBits = 128 + 64 * (header[0] % 3);
  const auto passwordLength = static_cast<std::int32_t>(static_cast<std::int8_t>(header[1]));
  const std::uint8_t* key = header + 2;
  const std::uint8_t* vector = header + 34;
  const Bytes data(input + std::min(size, kHeader), input + size);
  const auto length = static_cast<std::int32_t>(data.size());
  Bytes blocks = data;
  blocks.resize((data.size() + 15) / 16 * 16, 0);

  CheckEngines(key, keyBits, blocks);

  // The buffer routines key AES-256 with the password's first 32 bytes,
  // zero-filled; the password here is the key field.
  std::uint8_t aes256Key[32] = {};
  std::memcpy(aes256Key, key, static_cast<std::size_t>(std::clamp(passwordLength, 0, 32)));
  const Bytes ecb = Reference(aes256Key, nullptr, blocks);
  const Bytes cbc = Reference(aes256Key, vector, blocks);
  using pellfold::AESCbcDecrypt;
  using pellfold::AESCbcEncrypt;
  using pellfold::AESEcbDecrypt;
  using pellfold::AESEcbEncrypt;
  const auto ecbEncrypt = [&](std::uint8_t* b, std::int32_t n) {
    return AESEcbEncrypt(b, n, key, passwordLength);
  };
  const auto ecbDecrypt = [&](std::uint8_t* b, std::int32_t n) {
    return AESEcbDecrypt(b, n, key, passwordLength);
  };
  const auto cbcEncrypt = [&](std::uint8_t* b, std::int32_t n) {
    return AESCbcEncrypt(b, n, key, passwordLength, vector);
  };
  const auto cbcDecrypt = [&](std::uint8_t* b, std::int32_t n) {
    return AESCbcDecrypt(b, n, key, passwordLength, vector);
  };
  CheckBuffer(ecbEncrypt, data, length, ecb);
  CheckBuffer(ecbDecrypt, ecb, length, blocks);
  CheckBuffer(cbcEncrypt, data, length, cbc);
  CheckBuffer(cbcDecrypt, cbc, length, blocks);
  // A length of zero or below transforms nothing; null arguments are refused.
  CheckBuffer(cbcEncrypt, data, -length, data);
  Require(AESCbcEncrypt(nullptr, length, key, passwordLength, vector) == 0 &&
          AESEcbDecrypt(blocks.data(), length, nullptr, passwordLength) == 0 &&
          AESCbcDecrypt(blocks.data(), length, key, passwordLength, nullptr) == 0);

  CheckAcbcRecords(key, passwordLength, aes256Key, data);
  return 0;
}
