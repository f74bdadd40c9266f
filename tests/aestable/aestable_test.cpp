// Table-driven AES engine: FIPS-197 and NIST CAVP known answers, agreement
// with the byte-oriented cipher and with OpenSSL, the generated tables, the
// decryption key schedule and rejected key lengths.
#include "aestable/aestable.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <string>

#include "aes/aes.h"
#include "oracle.h"
#include "vectors.h"

namespace pellfold {
namespace {

using test::Bytes;

// GF(2^8) product by shift and add, independent of the engine's log tables.
std::uint8_t GfMul(std::uint8_t a, std::uint8_t b) {
  std::uint8_t product = 0;
  for (; b != 0; b = static_cast<std::uint8_t>(b >> 1)) {
    if ((b & 1) != 0) product ^= a;
    a = static_cast<std::uint8_t>((a << 1) ^ ((a & 0x80) != 0 ? 0x1B : 0));
  }
  return product;
}

std::uint32_t Word(std::uint8_t b3, std::uint8_t b2, std::uint8_t b1, std::uint8_t b0) {
  return std::uint32_t{b3} << 24 | std::uint32_t{b2} << 16 | std::uint32_t{b1} << 8 | b0;
}

std::uint8_t ByteOf(std::uint32_t w, int k) {
  return static_cast<std::uint8_t>(w >> (8 * k));
}

// InvMixColumns of one column (byte 3 is row 0), straight from the matrix.
std::uint32_t InvMixColumn(std::uint32_t w) {
  static constexpr std::uint8_t kRow0[4] = {0x0E, 0x0B, 0x0D, 0x09};
  std::uint32_t out = 0;
  for (int row = 0; row < 4; ++row) {
    std::uint8_t sum = 0;
    for (int col = 0; col < 4; ++col) sum ^= GfMul(kRow0[(col - row + 4) % 4], ByteOf(w, 3 - col));
    out |= std::uint32_t{sum} << (8 * (3 - row));
  }
  return out;
}

AESTableContext SetUpContext(const Bytes& key) {
  AESTableContext context{};
  EXPECT_EQ(AESTableSetKey(&context, key.data(), static_cast<std::int32_t>(8 * key.size())), 0);
  return context;
}

// ECB over whole blocks, separate input and output buffers.
Bytes Ecb(const AESTableContext& context, const Bytes& in, bool encrypt) {
  Bytes out(in.size());
  for (std::size_t at = 0; at < in.size(); at += 16) {
    (encrypt ? AESTableEncryptBlock : AESTableDecryptBlock)(&context, &in[at], &out[at]);
  }
  return out;
}

// FIPS-197 Appendix A: every expanded key word for the three example keys.
TEST(AESTableKeySchedule, MatchesAppendixAExpansion) {
  const auto records = test::ReadVectorFile("FIPS197_AppendixA_KeyExpansion.txt");
  ASSERT_EQ(records.size(), 3u);
  for (const auto& record : records) {
    SCOPED_TRACE(record.section);
    const AESTableContext context = SetUpContext(record.Hex("KEY"));
    const int words = 4 * (context.RoundCount + 1);
    EXPECT_EQ(context.RoundCount, static_cast<int>(record.Hex("KEY").size() / 4 + 6));
    for (int i = 0; i < words; ++i) {
      const auto& text = record.Get("w[" + std::to_string(i) + "]");
      EXPECT_EQ(context.EncRoundKeys[i], std::stoul(text, nullptr, 16)) << "w[" << i << "]";
    }
  }
}

// FIPS-197 Appendix C: one example per key length, in both directions.
TEST(AESTableBlock, MatchesAppendixCExamples) {
  const auto records = test::ReadVectorFile("FIPS197_AppendixC_Examples.txt");
  ASSERT_EQ(records.size(), 3u);
  for (const auto& record : records) {
    SCOPED_TRACE(record.section);
    const AESTableContext context = SetUpContext(record.Hex("KEY"));
    EXPECT_EQ(Ecb(context, record.Hex("PLAINTEXT"), true), record.Hex("CIPHERTEXT"));
    EXPECT_EQ(Ecb(context, record.Hex("CIPHERTEXT"), false), record.Hex("PLAINTEXT"));
  }
}

// NIST CAVP AESAVS ECB files: KATs for each key length and the multi-block
// messages, processed block by block.
class AESTableCavp : public testing::TestWithParam<const char*> {};

TEST_P(AESTableCavp, MatchesKnownAnswers) {
  const auto records = test::ReadVectorFile(GetParam());
  ASSERT_FALSE(records.empty());
  for (const auto& record : records) {
    SCOPED_TRACE(record.source);
    const AESTableContext context = SetUpContext(record.Hex("KEY"));
    const bool encrypt = record.section == "ENCRYPT";
    ASSERT_TRUE(encrypt || record.section == "DECRYPT");
    const Bytes in = record.Hex(encrypt ? "PLAINTEXT" : "CIPHERTEXT");
    EXPECT_EQ(test::ToHex(Ecb(context, in, encrypt)),
              record.Get(encrypt ? "CIPHERTEXT" : "PLAINTEXT"));
  }
}

INSTANTIATE_TEST_SUITE_P(Files, AESTableCavp,
                         testing::Values("ECBGFSbox128.rsp", "ECBGFSbox192.rsp", "ECBGFSbox256.rsp",
                                         "ECBKeySbox128.rsp", "ECBKeySbox192.rsp",
                                         "ECBKeySbox256.rsp", "ECBVarKey128.rsp",
                                         "ECBVarKey192.rsp", "ECBVarKey256.rsp", "ECBVarTxt128.rsp",
                                         "ECBVarTxt192.rsp", "ECBVarTxt256.rsp", "ECBMMT256.rsp"));

class AESTableByLength : public testing::TestWithParam<int> {};

// Random keys and blocks: the engine agrees with the byte-oriented cipher and
// with OpenSSL in both directions, and in place equals separate buffers.
TEST_P(AESTableByLength, AgreesWithByteCipherAndOpenSsl) {
  const int nk = GetParam() / 32;
  for (int trial = 0; trial < 64; ++trial) {
    const Bytes key = test::RandomBytes(static_cast<std::size_t>(4 * nk));
    const Bytes block = test::RandomBytes(16);
    const AESTableContext context = SetUpContext(key);
    std::uint8_t schedule[AESScheduleSize(8)];
    AESKeyExpansion(key.data(), schedule, nk);
    for (const bool encrypt : {true, false}) {
      SCOPED_TRACE(test::ToHex(key) + (encrypt ? " encrypt " : " decrypt ") + test::ToHex(block));
      Bytes byteCipher(16);
      (encrypt ? AESCipher : AESInvCipher)(block.data(), byteCipher.data(), schedule, nk + 6);
      const Bytes separate = Ecb(context, block, encrypt);
      Bytes inPlace = block;
      (encrypt ? AESTableEncryptBlock : AESTableDecryptBlock)(&context, inPlace.data(),
                                                              inPlace.data());
      EXPECT_EQ(separate, test::OracleAesEcb(key, block, encrypt));
      EXPECT_EQ(separate, byteCipher);
      EXPECT_EQ(inPlace, separate);
      EXPECT_EQ(Ecb(context, separate, !encrypt), block);
    }
  }
}

// Decryption round keys are the encryption round keys in reverse order, the
// middle ones through InvMixColumns (the equivalent inverse cipher).
TEST_P(AESTableByLength, DecryptionKeysFollowEquivalentInverseCipher) {
  const AESTableContext context =
      SetUpContext(test::RandomBytes(static_cast<std::size_t>(GetParam() / 8)));
  const int nr = context.RoundCount;
  for (int j = 0; j < 4; ++j) {
    EXPECT_EQ(context.DecRoundKeys[j], context.EncRoundKeys[4 * nr + j]);
    EXPECT_EQ(context.DecRoundKeys[4 * nr + j], context.EncRoundKeys[j]);
    for (int r = 1; r < nr; ++r) {
      EXPECT_EQ(context.DecRoundKeys[4 * r + j],
                InvMixColumn(context.EncRoundKeys[4 * (nr - r) + j]))
          << "round " << r << " word " << j;
    }
  }
}

// Exactly the documented words are written; the expansion words past the
// cipher's need (192: 52-53, 256: 60-63) continue the FIPS-197 recurrence.
TEST_P(AESTableByLength, WritesOnlyItsWords) {
  const int bits = GetParam();
  const int nk = bits / 32;
  const int nr = nk + 6;
  const int encWritten = bits == 128 ? 44 : bits == 192 ? 54 : 64;
  AESTableContext context;
  std::memset(&context, 0xA5, sizeof context);
  const Bytes key = test::RandomBytes(static_cast<std::size_t>(bits / 8));
  ASSERT_EQ(AESTableSetKey(&context, key.data(), bits), 0);
  EXPECT_EQ(context.RoundCount, nr);
  for (int i = encWritten; i < 64; ++i) EXPECT_EQ(context.EncRoundKeys[i], 0xA5A5A5A5u) << i;
  for (int i = 4 * (nr + 1); i < 64; ++i) EXPECT_EQ(context.DecRoundKeys[i], 0xA5A5A5A5u) << i;
  for (int i = 4 * (nr + 1); i < encWritten; ++i) {
    std::uint32_t temp = context.EncRoundKeys[i - 1];
    if (nk == 8 && i % 8 == 4) {  // SubWord alone
      temp = Word(AESSBox[ByteOf(temp, 3)], AESSBox[ByteOf(temp, 2)], AESSBox[ByteOf(temp, 1)],
                  AESSBox[ByteOf(temp, 0)]);
    }
    EXPECT_EQ(context.EncRoundKeys[i], context.EncRoundKeys[i - nk] ^ temp) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(KeyBits, AESTableByLength, testing::Values(128, 192, 256));

// A rejected length returns 1 and leaves every byte of the context as it was,
// whether the context was blank or held a live key.
class AESTableUnsupported : public testing::TestWithParam<int> {};

TEST_P(AESTableUnsupported, ReturnsOneAndWritesNothing) {
  const Bytes key = test::RandomBytes(64);  // long enough for any length
  AESTableContext patterned;
  std::memset(&patterned, 0x5A, sizeof patterned);
  AESTableContext live = SetUpContext(Bytes(key.begin(), key.begin() + 32));
  for (AESTableContext* context : {&patterned, &live}) {
    const AESTableContext before = *context;
    EXPECT_EQ(AESTableSetKey(context, key.data(), GetParam()), 1);
    EXPECT_EQ(std::memcmp(context, &before, sizeof before), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(KeyBits, AESTableUnsupported,
                         testing::Values(0, 64, 127, 129, 160, 224, 255, 257, 512, -128));

// Generated tables against FIPS-197 and the field arithmetic, computed here
// by other means.
class AESTableTables : public testing::Test {
 protected:
  static void SetUpTestSuite() { SetUpContext(Bytes(16)); }
};

TEST_F(AESTableTables, SboxesMatchStandardAndInvertEachOther) {
  for (std::uint32_t i = 0; i < 256; ++i) {
    EXPECT_EQ(FwdSbox[i], AESSBox[i]) << i;
    EXPECT_EQ(RevSbox[i], AESInvSBox[i]) << i;
    EXPECT_EQ(RevSbox[FwdSbox[i] & 0xFF], i) << i;
  }
}

TEST_F(AESTableTables, ColumnTablesHoldTheirProducts) {
  const std::uint32_t* families[3][4] = {{FwdTable0, FwdTable1, FwdTable2, FwdTable3},
                                         {RevTable0, RevTable1, RevTable2, RevTable3},
                                         {KeyMixTable0, KeyMixTable1, KeyMixTable2, KeyMixTable3}};
  for (int i = 0; i < 256; ++i) {
    const auto s = AESSBox[i];
    const auto r = AESInvSBox[i];
    const auto x = static_cast<std::uint8_t>(i);
    EXPECT_EQ(FwdTable0[i], Word(GfMul(2, s), s, s, GfMul(3, s))) << i;
    EXPECT_EQ(RevTable0[i], Word(GfMul(14, r), GfMul(9, r), GfMul(13, r), GfMul(11, r))) << i;
    EXPECT_EQ(KeyMixTable0[i], Word(GfMul(14, x), GfMul(9, x), GfMul(13, x), GfMul(11, x))) << i;
    for (const auto& family : families) {
      for (int k = 1; k < 4; ++k) EXPECT_EQ(family[k][i], std::rotr(family[0][i], 8 * k)) << i;
    }
  }
}

TEST_F(AESTableTables, ReferenceValues) {
  const std::uint32_t fwd[] = {0x63, 0x7C, 0x77, 0x7B};
  const std::uint32_t rev[] = {0x52, 0x09, 0x6A, 0xD5};
  const std::uint32_t rcon[] = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x1B, 0x36};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(FwdSbox[i], fwd[i]);
    EXPECT_EQ(RevSbox[i], rev[i]);
  }
  for (int i = 0; i < 10; ++i) EXPECT_EQ(RoundConstWords[i], rcon[i] << 24);
  EXPECT_EQ(FwdTable0[0], 0xC66363A5u);
  EXPECT_EQ(FwdTable1[0], 0xA5C66363u);
  EXPECT_EQ(FwdTable3[0], 0x6363A5C6u);
  EXPECT_EQ(RevTable0[0], 0x51F4A750u);
  EXPECT_EQ(RevTable1[0], 0x5051F4A7u);
  for (const std::uint32_t* table : {RevTable0, RevTable1, RevTable2, RevTable3}) {
    EXPECT_EQ(table[0x63], 0u);
  }
  for (const std::uint32_t* table : {KeyMixTable0, KeyMixTable1, KeyMixTable2, KeyMixTable3}) {
    EXPECT_EQ(table[0], 0u);
  }
}

}  // namespace
}  // namespace pellfold
