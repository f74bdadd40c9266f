// Every record path this build and processor have, against the byte-oriented
// cipher's AESCbcEncrypt / AESCbcDecrypt record by record.
#include "aes/aes_record.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "aes/aes.h"
#include "oracle.h"

namespace pellfold {
namespace {

using test::Bytes;

std::vector<const AESRecordPath*> Paths() {
  const AESRecordPath* paths[8];
  const int n = AESRecordPathList(paths, 8);
  return {paths, paths + n};
}

class AESRecordPaths : public testing::TestWithParam<const AESRecordPath*> {};

TEST_P(AESRecordPaths, MatchTheByteOrientedCipherBothWays) {
  const AESRecordPath* path = GetParam();
  // 0-3 records, past the side-by-side widths, and a few MiB.
  for (std::size_t records : {0u, 1u, 2u, 3u, 4u, 7u, 8u, 9u, 12u, 16u, 17u, 31u, 6144u}) {
    SCOPED_TRACE(records);
    const Bytes key = test::RandomBytes(32);
    const Bytes vector = test::RandomBytes(16);
    // One byte in, so nothing is aligned.
    Bytes data = test::RandomBytes(records * kAESRecordSize + 1);
    Bytes expected(data.begin() + 1, data.end());
    Bytes inverse = expected;
    for (std::size_t r = 0; r < records; ++r) {
      AESCbcEncrypt(&expected[r * kAESRecordSize], kAESRecordSize, key.data(), 32, vector.data());
      AESCbcDecrypt(&inverse[r * kAESRecordSize], kAESRecordSize, key.data(), 32, vector.data());
    }
    AESRecordKey expanded;
    path->setKey(&expanded, key.data());
    Bytes work = data;
    path->encrypt(&expanded, vector.data(), work.data() + 1, records);
    EXPECT_TRUE(Bytes(work.begin() + 1, work.end()) == expected) << path->name << " encrypt";
    path->decrypt(&expanded, vector.data(), work.data() + 1, records);
    EXPECT_TRUE(work == data) << path->name << " round trip";
    path->decrypt(&expanded, vector.data(), data.data() + 1, records);
    EXPECT_TRUE(Bytes(data.begin() + 1, data.end()) == inverse) << path->name << " decrypt";
  }
}

INSTANTIATE_TEST_SUITE_P(Available, AESRecordPaths, testing::ValuesIn(Paths()),
                         [](const testing::TestParamInfo<const AESRecordPath*>& param) {
                           std::string name;
                           for (const char c : std::string(param.param->name)) {
                             if (std::isalnum(static_cast<unsigned char>(c))) name += c;
                           }
                           return name;
                         });

TEST(AESRecordPathSelect, ForcedPortableAndBack) {
  const AESRecordPath* chosen = AESRecordPathSelect();
  EXPECT_EQ(chosen, Paths().front());
  AESRecordForcePortable(true);
  EXPECT_EQ(AESRecordPathSelect(), AESRecordPathPortable());
  AESRecordForcePortable(false);
  EXPECT_EQ(AESRecordPathSelect(), chosen);
}

}  // namespace
}  // namespace pellfold
