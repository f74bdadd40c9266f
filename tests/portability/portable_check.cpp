// Byte-order and portability check, without GoogleTest or OpenSSL so that it
// builds for any target: every component runs against the published vectors,
// then prints a transcript of results on seeded data. CI builds it natively
// and for a big-endian target run under an emulator; both must pass every
// vector and print the same transcript.
//
//   portable_check [--portable]
//
// The ACBC files and SHA-256 go through the record and compression paths the
// library chooses for this processor, or with --portable through the
// portable ones; the transcript must not change.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "aes/aes.h"
#include "aes/aes_record.h"
#include "aestable/aestable.h"
#include "digest/hmac_md5.h"
#include "digest/md5.h"
#include "digest/sha256.h"
#include "digest/sha256_path.h"
#include "service/acbc_format.h"
#include "util/byteorder.h"
#include "vectors.h"

namespace {

using pellfold::test::Bytes;
using pellfold::test::ReadVectorFile;
using pellfold::test::ToHex;
using pellfold::test::VectorRecord;

int passed = 0;
int failed = 0;

void Check(bool ok, const std::string& what) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    std::fprintf(stderr, "FAILED: %s\n", what.c_str());
  }
}

Bytes Sha256(const std::uint8_t* data, std::size_t size) {
  pellfold::SHA256Context context;
  pellfold::SHA256Init(&context);
  pellfold::SHA256Update(&context, data, static_cast<std::uint32_t>(size));
  Bytes digest(pellfold::kSHA256DigestSize);
  pellfold::SHA256Final(&context, digest.data());
  return digest;
}

Bytes Md5(const std::uint8_t* data, std::size_t size) {
  pellfold::MD5Context context;
  pellfold::MD5Init(&context);
  pellfold::MD5Update(&context, data, static_cast<std::uint32_t>(size));
  Bytes digest(pellfold::kMD5DigestSize);
  pellfold::MD5Final(&context, digest.data());
  return digest;
}

// ---------------------------------------------------------------------------
// Vectors.

void CheckFips197() {
  for (const VectorRecord& r : ReadVectorFile("FIPS197_AppendixA_KeyExpansion.txt")) {
    const Bytes key = r.Hex("KEY");
    const auto nk = static_cast<std::int32_t>(key.size() / 4);
    Bytes schedule(static_cast<std::size_t>(pellfold::AESScheduleSize(nk)));
    pellfold::AESKeyExpansion(key.data(), schedule.data(), nk);
    pellfold::AESTableContext context;
    pellfold::AESTableSetKey(&context, key.data(), 32 * nk);
    for (std::size_t i = 0; i < schedule.size() / 4; ++i) {
      const std::string expected = r.Get("w[" + std::to_string(i) + "]");
      Check(ToHex(schedule.data() + 4 * i, 4) == expected, r.section + " byte schedule");
      std::uint8_t word[4];
      pellfold::StoreBe32(word, context.EncRoundKeys[i]);
      Check(ToHex(word, 4) == expected, r.section + " table schedule");
    }
  }
  for (const VectorRecord& r : ReadVectorFile("FIPS197_AppendixC_Examples.txt")) {
    const Bytes key = r.Hex("KEY"), plain = r.Hex("PLAINTEXT"), cipher = r.Hex("CIPHERTEXT");
    const auto nk = static_cast<std::int32_t>(key.size() / 4);
    Bytes schedule(static_cast<std::size_t>(pellfold::AESScheduleSize(nk)));
    pellfold::AESKeyExpansion(key.data(), schedule.data(), nk);
    pellfold::AESTableContext context;
    pellfold::AESTableSetKey(&context, key.data(), 32 * nk);
    Bytes out(16);
    pellfold::AESCipher(plain.data(), out.data(), schedule.data(), nk + 6);
    Check(out == cipher, r.section + " byte encrypt");
    pellfold::AESInvCipher(cipher.data(), out.data(), schedule.data(), nk + 6);
    Check(out == plain, r.section + " byte decrypt");
    pellfold::AESTableEncryptBlock(&context, plain.data(), out.data());
    Check(out == cipher, r.section + " table encrypt");
    pellfold::AESTableDecryptBlock(&context, cipher.data(), out.data());
    Check(out == plain, r.section + " table decrypt");
  }
}

// Every ECB file through the table engine block by block, and the AES-256
// ones (ECB and CBC) through the buffer routines.
void CheckCavp() {
  const char* files[] = {"ECBGFSbox128.rsp",  "ECBGFSbox192.rsp",  "ECBGFSbox256.rsp",
                         "ECBKeySbox128.rsp", "ECBKeySbox192.rsp", "ECBKeySbox256.rsp",
                         "ECBVarKey128.rsp",  "ECBVarKey192.rsp",  "ECBVarKey256.rsp",
                         "ECBVarTxt128.rsp",  "ECBVarTxt192.rsp",  "ECBVarTxt256.rsp",
                         "ECBMMT256.rsp",     "CBCGFSbox256.rsp",  "CBCKeySbox256.rsp",
                         "CBCVarKey256.rsp",  "CBCVarTxt256.rsp",  "CBCMMT256.rsp"};
  for (const char* file : files) {
    const bool cbc = std::strncmp(file, "CBC", 3) == 0;
    for (const VectorRecord& r : ReadVectorFile(file)) {
      const Bytes key = r.Hex("KEY");
      const bool encrypt = r.section == "ENCRYPT";
      const Bytes input = r.Hex(encrypt ? "PLAINTEXT" : "CIPHERTEXT");
      const Bytes expected = r.Hex(encrypt ? "CIPHERTEXT" : "PLAINTEXT");
      const auto length = static_cast<std::int32_t>(input.size());
      if (!cbc) {
        pellfold::AESTableContext context;
        pellfold::AESTableSetKey(&context, key.data(), static_cast<std::int32_t>(8 * key.size()));
        Bytes out(input.size());
        for (std::size_t b = 0; b < input.size(); b += 16) {
          encrypt ? pellfold::AESTableEncryptBlock(&context, &input[b], &out[b])
                  : pellfold::AESTableDecryptBlock(&context, &input[b], &out[b]);
        }
        Check(out == expected, r.source + " table");
      }
      if (key.size() != 32) continue;
      Bytes buffer = input;
      if (cbc) {
        const Bytes iv = r.Hex("IV");
        encrypt ? pellfold::AESCbcEncrypt(buffer.data(), length, key.data(), 32, iv.data())
                : pellfold::AESCbcDecrypt(buffer.data(), length, key.data(), 32, iv.data());
      } else {
        encrypt ? pellfold::AESEcbEncrypt(buffer.data(), length, key.data(), 32)
                : pellfold::AESEcbDecrypt(buffer.data(), length, key.data(), 32);
      }
      Check(buffer == expected, r.source + " buffer routine");
    }
  }
}

void CheckDigests() {
  for (const char* file : {"MD5_RFC1321.txt", "SHA256ShortMsg.rsp", "SHA256LongMsg.rsp"}) {
    const bool md5 = file[0] == 'M';
    for (const VectorRecord& r : ReadVectorFile(file)) {
      const Bytes message = r.Hex("Msg");
      const std::size_t size = std::stoul(r.Get("Len")) / 8;
      const Bytes digest = md5 ? Md5(message.data(), size) : Sha256(message.data(), size);
      Check(ToHex(digest) == r.Get("MD"), r.source);
    }
  }
  for (const VectorRecord& r : ReadVectorFile("HMAC_MD5_RFC2202.txt")) {
    const Bytes key = r.Hex("Key"), message = r.Hex("Msg"), mac = r.Hex("Mac");
    std::uint8_t digest[16];
    pellfold::HMACMD5(message.data(), static_cast<std::uint32_t>(message.size()), key.data(),
                      static_cast<std::int32_t>(key.size()), digest);
    Check(std::memcmp(digest, mac.data(), mac.size()) == 0, r.source);
  }
}

// ---------------------------------------------------------------------------
// Transcript on seeded data: the same on every target, or something depends
// on the host's byte order.

std::uint64_t state = 0x9E3779B97F4A7C15u;

Bytes Seeded(std::size_t size) {
  Bytes out(size);
  for (auto& b : out) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    b = static_cast<std::uint8_t>(state >> 32);
  }
  return out;
}

Bytes ReadAll(std::FILE* f) {
  std::rewind(f);
  Bytes out;
  std::uint8_t chunk[4096];
  std::size_t n = 0;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) out.insert(out.end(), chunk, chunk + n);
  return out;
}

void Transcript() {
  const std::string password = "portable password";
  const auto* pw = reinterpret_cast<const std::uint8_t*>(password.data());
  const auto pwLength = static_cast<std::int32_t>(password.size());
  // 70001 and 200000 bytes span several reads of the record loop (64 KiB).
  for (std::size_t size :
       {0u, 1u, 15u, 16u, 17u, 55u, 56u, 64u, 511u, 512u, 513u, 1025u, 70001u, 200000u}) {
    // The data starts one byte into its buffer, so nothing is aligned.
    Bytes buffer = Seeded(size + 1);
    const std::uint8_t* data = buffer.data() + 1;
    std::printf("md5 %zu: %s\n", size, ToHex(Md5(data, size)).c_str());
    std::printf("sha256 %zu: %s\n", size, ToHex(Sha256(data, size)).c_str());
    std::uint8_t mac[16];
    pellfold::HMACMD5(data, static_cast<std::uint32_t>(size), data,
                      static_cast<std::int32_t>(size % 100), mac);
    std::printf("hmac-md5 %zu: %s\n", size, ToHex(mac, 16).c_str());

    std::FILE* plain = std::tmpfile();
    std::FILE* acbc = std::tmpfile();
    std::FILE* back = std::tmpfile();
    std::fwrite(data, 1, size, plain);
    std::rewind(plain);
    Check(pellfold::AcbcEncryptStream(plain, static_cast<std::int32_t>(size), acbc, pw, pwLength) ==
              pellfold::AcbcStatus::kOk,
          "acbc encrypt");
    const Bytes file = ReadAll(acbc);
    std::printf("acbc %zu: %zu bytes, sha256 %s\n", size, file.size(),
                ToHex(Sha256(file.data(), file.size())).c_str());
    std::rewind(acbc);
    std::int32_t length = 0;
    Check(pellfold::AcbcReadHeader(acbc, &length) == pellfold::AcbcStatus::kOk &&
              pellfold::AcbcDecryptBody(acbc, length, back, pw, pwLength) ==
                  pellfold::AcbcStatus::kOk &&
              ReadAll(back) == Bytes(data, data + size),
          "acbc round trip " + std::to_string(size));
    std::fclose(plain);
    std::fclose(acbc);
    std::fclose(back);
  }
  for (std::int32_t bits : {128, 192, 256}) {
    const Bytes key = Seeded(32);
    pellfold::AESTableContext context;
    pellfold::AESTableSetKey(&context, key.data(), bits);
    Bytes blocks = Seeded(64);
    for (std::size_t b = 0; b < blocks.size(); b += 16) {
      pellfold::AESTableEncryptBlock(&context, &blocks[b], &blocks[b]);
    }
    std::printf("table aes-%d: %s\n", bits, ToHex(blocks).c_str());
  }
  // A length of 1000 transforms 63 whole blocks, 1008 bytes; the buffer owns them.
  Bytes ecb = Seeded(1024);
  pellfold::AESEcbEncrypt(ecb.data(), 1000, pw, pwLength);
  std::printf("ecb: %s\n", ToHex(Sha256(ecb.data(), ecb.size())).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 || (argc == 2 && std::strcmp(argv[1], "--portable") != 0)) {
    std::fprintf(stderr, "usage: portable_check [--portable]\n");
    return 2;
  }
  pellfold::AESRecordForcePortable(argc == 2);
  pellfold::SHA256ForcePortable(argc == 2);
  // On stderr, so that the transcripts of both paths compare equal.
  std::fprintf(stderr, "record path: %s\n", pellfold::AESRecordPathSelect()->name);
  std::fprintf(stderr, "sha256 path: %s\n", pellfold::SHA256PathSelect()->name);
  try {
    CheckFips197();
    CheckCavp();
    CheckDigests();
    Transcript();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    ++failed;
  }
  std::printf("portable_check: %d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
