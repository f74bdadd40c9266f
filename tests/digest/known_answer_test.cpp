// Published digests: the RFC 1321 suite for MD5, the NIST SHAVS byte-oriented
// files and the FIPS 180-2 examples for SHA-256.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "digest_traits.h"
#include "vectors.h"

namespace pellfold::test {
namespace {

struct VectorFile {
  const char* name;
  std::size_t records;
  Bytes (*digest)(const Bytes&);
};

class DigestVectorFile : public ::testing::TestWithParam<VectorFile> {};

// Len is in bits; Msg is "00" for the empty message.
TEST_P(DigestVectorFile, MatchesEveryRecord) {
  const auto records = ReadVectorFile(GetParam().name);
  ASSERT_EQ(records.size(), GetParam().records);
  for (const auto& record : records) {
    Bytes message = record.Hex("Msg");
    message.resize(std::stoul(record.Get("Len")) / 8);
    EXPECT_EQ(ToHex(GetParam().digest(message)), record.Get("MD")) << record.source;
  }
}

INSTANTIATE_TEST_SUITE_P(Files, DigestVectorFile,
                         ::testing::Values(VectorFile{"MD5_RFC1321.txt", 7, Md5::Run},
                                           VectorFile{"SHA256ShortMsg.rsp", 65, Sha256::Run},
                                           VectorFile{"SHA256LongMsg.rsp", 64, Sha256::Run}));

// FIPS 180-2 Appendix B: one-block, two-block and long message.
TEST(Sha256Examples, FipsAppendixB) {
  const std::pair<std::string, const char*> examples[] = {
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& [text, digest] : examples) {
    EXPECT_EQ(ToHex(Sha256::Run(Bytes(text.begin(), text.end()))), digest) << text.size();
  }
}

}  // namespace
}  // namespace pellfold::test
