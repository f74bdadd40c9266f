// Every SHA-256 compression path this build and processor have, the forced
// portable one included, through SHA256Update against OpenSSL on random
// messages fed in random pieces.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "digest/sha256_path.h"
#include "digest_traits.h"

namespace pellfold::test {
namespace {

std::vector<const SHA256Path*> Paths() {
  const SHA256Path* paths[8];
  const int n = SHA256PathList(paths, 8);
  return {paths, paths + n};
}

class SHA256Paths : public testing::TestWithParam<const SHA256Path*> {
 protected:
  // The portable path is reached by forcing it, the others are the chosen one.
  void SetUp() override { SHA256ForcePortable(GetParam() == SHA256PathPortable()); }
  void TearDown() override { SHA256ForcePortable(false); }
};

TEST_P(SHA256Paths, RandomMessagesAndSplitsMatchOracle) {
  ASSERT_EQ(SHA256PathSelect(), GetParam());
  auto& rng = TestRng();
  // Around the block and padding edges, then long runs of whole blocks.
  for (std::size_t length :
       {0u, 1u, 55u, 56u, 63u, 64u, 65u, 127u, 128u, 129u, 1000u, 4096u, 65536u + 7u, 1048576u}) {
    SCOPED_TRACE(length);
    const Bytes message = RandomBytes(length + 1);  // one byte in: nothing aligned
    const Bytes expected = OracleSha256(Bytes(message.begin() + 1, message.end()));
    for (int split = 0; split < 4; ++split) {
      std::vector<std::size_t> pieces;
      for (std::size_t sum = 0; split != 0 && sum < length; sum += pieces.back()) {
        pieces.push_back(rng() % (split == 1 ? 70 : split == 2 ? 700 : 70000));
      }
      SHA256Context context;
      EXPECT_EQ(Sha256::Run(message.data() + 1, length, pieces, &context), expected)
          << GetParam()->name << " split " << split;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Available, SHA256Paths, testing::ValuesIn(Paths()),
                         [](const testing::TestParamInfo<const SHA256Path*>& param) {
                           std::string name;
                           for (const char c : std::string(param.param->name)) {
                             if (std::isalnum(static_cast<unsigned char>(c))) name += c;
                           }
                           return name;
                         });

}  // namespace
}  // namespace pellfold::test
