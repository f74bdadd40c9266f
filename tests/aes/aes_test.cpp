// Byte-oriented AES and its buffer routines against FIPS-197, the NIST CAVP
// and SP 800-38A vectors, and OpenSSL as an independent oracle.
#include "aes/aes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "oracle.h"
#include "vectors.h"

namespace pellfold {
namespace {

using test::Bytes;
using test::FromHex;
using test::ToHex;

int NkForKey(const Bytes& key) {
  return static_cast<int>(key.size() / 4);
}

Bytes Expand(const Bytes& key) {
  Bytes schedule(static_cast<std::size_t>(AESScheduleSize(NkForKey(key))));
  AESKeyExpansion(key.data(), schedule.data(), NkForKey(key));
  return schedule;
}

// ---------------------------------------------------------------------------
// FIPS-197 Appendix A (key expansion) and C (cipher examples), all key sizes:
// the block routines are general in Nk.

TEST(AESKeyExpansion, MatchesFips197AppendixA) {
  const auto records = test::ReadVectorFile("FIPS197_AppendixA_KeyExpansion.txt");
  ASSERT_EQ(records.size(), 3u);
  for (const auto& r : records) {
    SCOPED_TRACE(r.section);
    const Bytes schedule = Expand(r.Hex("KEY"));
    const std::size_t words = schedule.size() / 4;
    for (std::size_t i = 0; i < words; ++i) {
      EXPECT_EQ(ToHex(schedule.data() + 4 * i, 4), r.Get("w[" + std::to_string(i) + "]"))
          << "word " << i;
    }
  }
}

TEST(AESCipher, MatchesFips197AppendixCBothWays) {
  const auto records = test::ReadVectorFile("FIPS197_AppendixC_Examples.txt");
  ASSERT_EQ(records.size(), 3u);
  for (const auto& r : records) {
    SCOPED_TRACE(r.section);
    const Bytes key = r.Hex("KEY");
    const Bytes plain = r.Hex("PLAINTEXT");
    const Bytes cipher = r.Hex("CIPHERTEXT");
    const int nr = NkForKey(key) + 6;
    const Bytes schedule = Expand(key);
    for (int round = 0; round <= nr; ++round) {
      char name[32];
      std::snprintf(name, sizeof name, "round[%2d].k_sch", round);
      EXPECT_EQ(ToHex(schedule.data() + 16 * round, 16), r.Get(name));
    }
    Bytes out(16);
    AESCipher(plain.data(), out.data(), schedule.data(), nr);
    EXPECT_EQ(out, cipher);
    AESInvCipher(cipher.data(), out.data(), schedule.data(), nr);
    EXPECT_EQ(out, plain);
    // In place gives the same as separate arrays.
    Bytes block = plain;
    AESCipher(block.data(), block.data(), schedule.data(), nr);
    EXPECT_EQ(block, cipher);
    AESInvCipher(block.data(), block.data(), schedule.data(), nr);
    EXPECT_EQ(block, plain);
  }
}

// ---------------------------------------------------------------------------
// CAVP AES-256 known-answer and multi-block files through the buffer
// routines: a 32-byte password is the key itself.

class Aes256CavpFile : public testing::TestWithParam<const char*> {};

TEST_P(Aes256CavpFile, BufferRoutinesReproduceEveryRecord) {
  const std::string file = GetParam();
  const bool cbc = file.rfind("CBC", 0) == 0;
  const auto records = test::ReadVectorFile(file);
  ASSERT_FALSE(records.empty());
  int checked = 0;
  for (const auto& r : records) {
    SCOPED_TRACE(r.source);
    const Bytes key = r.Hex("KEY");
    ASSERT_EQ(key.size(), 32u);
    const bool encrypt = r.section == "ENCRYPT";
    Bytes buffer = r.Hex(encrypt ? "PLAINTEXT" : "CIPHERTEXT");
    const Bytes expected = r.Hex(encrypt ? "CIPHERTEXT" : "PLAINTEXT");
    const auto length = static_cast<std::int32_t>(buffer.size());
    std::int32_t result = 0;
    if (cbc) {
      const Bytes iv = r.Hex("IV");
      Bytes vector = iv;
      result = encrypt ? AESCbcEncrypt(buffer.data(), length, key.data(), 32, vector.data())
                       : AESCbcDecrypt(buffer.data(), length, key.data(), 32, vector.data());
      EXPECT_EQ(vector, iv) << "the vector is only read";
    } else {
      result = encrypt ? AESEcbEncrypt(buffer.data(), length, key.data(), 32)
                       : AESEcbDecrypt(buffer.data(), length, key.data(), 32);
    }
    EXPECT_EQ(result, 1);
    EXPECT_EQ(ToHex(buffer), ToHex(expected));
    ++checked;
  }
  EXPECT_EQ(checked, static_cast<int>(records.size()));
}

INSTANTIATE_TEST_SUITE_P(Vectors, Aes256CavpFile,
                         testing::Values("ECBGFSbox256.rsp", "ECBKeySbox256.rsp",
                                         "ECBVarKey256.rsp", "ECBVarTxt256.rsp", "ECBMMT256.rsp",
                                         "CBCGFSbox256.rsp", "CBCKeySbox256.rsp",
                                         "CBCVarKey256.rsp", "CBCVarTxt256.rsp", "CBCMMT256.rsp"));

TEST(AESBufferRoutines, MatchSp80038aAes256Examples) {
  int checked = 0;
  for (const auto& r : test::ReadVectorFile("SP800-38A_AES_ECB_CBC.txt")) {
    const Bytes key = r.Hex("KEY");
    if (key.size() != 32) continue;
    SCOPED_TRACE(r.section);
    const bool encrypt = r.Get("DIRECTION") == "ENCRYPT";
    Bytes buffer = r.Hex(encrypt ? "PLAINTEXT" : "CIPHERTEXT");
    const auto length = static_cast<std::int32_t>(buffer.size());
    if (r.Get("MODE") == "CBC") {
      const Bytes iv = r.Hex("IV");
      encrypt ? AESCbcEncrypt(buffer.data(), length, key.data(), 32, iv.data())
              : AESCbcDecrypt(buffer.data(), length, key.data(), 32, iv.data());
    } else {
      encrypt ? AESEcbEncrypt(buffer.data(), length, key.data(), 32)
              : AESEcbDecrypt(buffer.data(), length, key.data(), 32);
    }
    EXPECT_EQ(buffer, r.Hex(encrypt ? "CIPHERTEXT" : "PLAINTEXT"));
    ++checked;
  }
  EXPECT_EQ(checked, 4);  // F.1.5, F.1.6, F.2.5, F.2.6
}

// ---------------------------------------------------------------------------
// Tables: derived here independently, by shift-and-add multiplication and a
// brute-force inverse, rather than copied.

std::uint8_t GfMul(std::uint8_t a, std::uint8_t b) {
  std::uint8_t product = 0;
  for (int bit = 0; bit < 8; ++bit) {
    if ((b >> bit) & 1) product ^= a;
    a = static_cast<std::uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1B : 0));
  }
  return product;
}

TEST(AESTables, EqualIndependentlyDerivedValues) {
  for (int i = 0; i < 256; ++i) {
    const auto x = static_cast<std::uint8_t>(i);
    std::uint8_t inverse = 0;
    for (int c = 1; c < 256 && x != 0; ++c) {
      if (GfMul(x, static_cast<std::uint8_t>(c)) == 1) inverse = static_cast<std::uint8_t>(c);
    }
    std::uint8_t s = 0x63;
    for (int k = 0; k < 5; ++k) {  // affine map: y ^ rotl(y,1..4) ^ 0x63
      s ^= static_cast<std::uint8_t>((inverse << k) | (inverse >> ((8 - k) & 7)));
    }
    EXPECT_EQ(AESSBox[i], s) << i;
    EXPECT_EQ(AESInvSBox[s], x) << i;
    EXPECT_EQ(AESMul2[i], GfMul(x, 2)) << i;
    EXPECT_EQ(AESMul4[i], GfMul(x, 4)) << i;
    EXPECT_EQ(AESMul8[i], GfMul(x, 8)) << i;
  }
  // Round constants: powers of {02}, period 51, framed by 0x8d and 0x00.
  EXPECT_EQ(AESRcon[0], 0x8D);
  std::uint8_t power = 1;
  for (int i = 1; i <= 254; ++i) {
    EXPECT_EQ(AESRcon[i], power) << i;
    power = GfMul(power, 2);
  }
  EXPECT_EQ(AESRcon[51], 0x8D);
  EXPECT_EQ(AESRcon[52], 0x01);
  EXPECT_EQ(AESRcon[255], 0x00);
}

// ---------------------------------------------------------------------------
// Differential checks against OpenSSL on random keys, vectors and lengths.

TEST(AESCipher, AgreesWithOpenSslForAllKeySizes) {
  for (int nk : {4, 6, 8}) {
    for (int trial = 0; trial < 200; ++trial) {
      const Bytes key = test::RandomBytes(static_cast<std::size_t>(4 * nk));
      const Bytes plain = test::RandomBytes(16);
      const Bytes schedule = Expand(key);
      Bytes out(16), back(16);
      AESCipher(plain.data(), out.data(), schedule.data(), nk + 6);
      ASSERT_EQ(out, test::OracleAesEcb(key, plain, true)) << "Nk " << nk;
      AESInvCipher(out.data(), back.data(), schedule.data(), nk + 6);
      ASSERT_EQ(back, plain) << "Nk " << nk;
    }
  }
}

// The key the buffer routines derive: first min(n, 32) password bytes,
// zero-filled to 32.
Bytes KeyFromPassword(const Bytes& password) {
  Bytes key(32, 0);
  std::copy_n(password.begin(), std::min<std::size_t>(password.size(), 32), key.begin());
  return key;
}

TEST(AESBufferRoutines, AgreeWithOpenSslOnRandomInputsAndStayInBounds) {
  constexpr std::size_t kGuard = 16;
  constexpr std::uint8_t kGuardByte = 0xA5;
  auto& rng = test::TestRng();
  for (int trial = 0; trial < 300; ++trial) {
    const std::size_t length = 1 + rng() % 700;
    const std::size_t padded = (length + 15) / 16 * 16;  // whole blocks are transformed
    // The password's storage is never empty, so its pointer is never null.
    const Bytes password = test::RandomBytes(48);
    const auto passwordLength = static_cast<std::int32_t>(rng() % 48);
    const Bytes key = KeyFromPassword(Bytes(password.begin(), password.begin() + passwordLength));
    const Bytes iv = test::RandomBytes(16);
    const Bytes plain = test::RandomBytes(padded);
    for (bool cbc : {false, true}) {
      SCOPED_TRACE(testing::Message() << (cbc ? "CBC" : "ECB") << " length " << length
                                      << " password " << passwordLength);
      Bytes buffer(padded + kGuard, kGuardByte);
      std::memcpy(buffer.data(), plain.data(), padded);
      const auto n = static_cast<std::int32_t>(length);
      const std::int32_t result =
          cbc ? AESCbcEncrypt(buffer.data(), n, password.data(), passwordLength, iv.data())
              : AESEcbEncrypt(buffer.data(), n, password.data(), passwordLength);
      ASSERT_EQ(result, 1);
      const Bytes expected =
          cbc ? test::OracleAesCbc(key, iv, plain, true) : test::OracleAesEcb(key, plain, true);
      ASSERT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<long>(padded)), expected);
      for (std::size_t g = padded; g < buffer.size(); ++g) ASSERT_EQ(buffer[g], kGuardByte);

      cbc ? AESCbcDecrypt(buffer.data(), n, password.data(), passwordLength, iv.data())
          : AESEcbDecrypt(buffer.data(), n, password.data(), passwordLength);
      ASSERT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<long>(padded)), plain);
      for (std::size_t g = padded; g < buffer.size(); ++g) ASSERT_EQ(buffer[g], kGuardByte);
    }
  }
}

// ---------------------------------------------------------------------------
// Argument handling.

enum class Routine { kCbcEncrypt, kCbcDecrypt, kEcbEncrypt, kEcbDecrypt };

std::int32_t Call(Routine routine, std::uint8_t* buffer, std::int32_t length,
                  const std::uint8_t* password, std::int32_t passwordLength,
                  const std::uint8_t* vector) {
  switch (routine) {
    case Routine::kCbcEncrypt:
      return AESCbcEncrypt(buffer, length, password, passwordLength, vector);
    case Routine::kCbcDecrypt:
      return AESCbcDecrypt(buffer, length, password, passwordLength, vector);
    case Routine::kEcbEncrypt: return AESEcbEncrypt(buffer, length, password, passwordLength);
    case Routine::kEcbDecrypt: return AESEcbDecrypt(buffer, length, password, passwordLength);
  }
  return -1;
}

class AESBufferArguments : public testing::TestWithParam<Routine> {
 protected:
  bool IsCbc() const {
    return GetParam() == Routine::kCbcEncrypt || GetParam() == Routine::kCbcDecrypt;
  }
  const Bytes before_ = test::RandomBytes(64);
  const Bytes password_ = test::RandomBytes(32);
  const Bytes iv_ = test::RandomBytes(16);
};

TEST_P(AESBufferArguments, NonPositiveLengthReturnsOneAndChangesNothing) {
  for (std::int32_t length : {0, -1, -16, INT32_MIN}) {
    Bytes buffer = before_;
    EXPECT_EQ(Call(GetParam(), buffer.data(), length, password_.data(), 32, iv_.data()), 1);
    EXPECT_EQ(buffer, before_) << length;
  }
}

TEST_P(AESBufferArguments, NullPointersReturnZeroAndChangeNothing) {
  Bytes buffer = before_;
  EXPECT_EQ(Call(GetParam(), nullptr, 64, password_.data(), 32, iv_.data()), 0);
  EXPECT_EQ(Call(GetParam(), buffer.data(), 64, nullptr, 32, iv_.data()), 0);
  EXPECT_EQ(buffer, before_);
  // Only the CBC pair takes a vector; the ECB pair ignores the argument.
  EXPECT_EQ(Call(GetParam(), buffer.data(), 64, password_.data(), 32, nullptr), IsCbc() ? 0 : 1);
  if (IsCbc()) {
    EXPECT_EQ(buffer, before_);
  }
}

TEST_P(AESBufferArguments, OnlyTheFirst32PasswordBytesCount) {
  Bytes longA = test::RandomBytes(100);
  Bytes longB = longA;
  longB[40] ^= 0xFF;
  longB[99] ^= 0x01;
  Bytes a = before_, b = before_;
  Call(GetParam(), a.data(), 64, longA.data(), 100, iv_.data());
  Call(GetParam(), b.data(), 64, longB.data(), 45, iv_.data());
  EXPECT_EQ(a, b);

  // An empty password, and a negative length taken as empty, mean the all-zero key.
  const Bytes zeros(32, 0);
  Bytes empty = before_, negative = before_, zeroKey = before_;
  Call(GetParam(), empty.data(), 64, password_.data(), 0, iv_.data());
  Call(GetParam(), negative.data(), 64, password_.data(), -7, iv_.data());
  Call(GetParam(), zeroKey.data(), 64, zeros.data(), 32, iv_.data());
  EXPECT_EQ(empty, zeroKey);
  EXPECT_EQ(negative, zeroKey);
  EXPECT_NE(empty, before_);
}

INSTANTIATE_TEST_SUITE_P(AllRoutines, AESBufferArguments,
                         testing::Values(Routine::kCbcEncrypt, Routine::kCbcDecrypt,
                                         Routine::kEcbEncrypt, Routine::kEcbDecrypt));

}  // namespace
}  // namespace pellfold
