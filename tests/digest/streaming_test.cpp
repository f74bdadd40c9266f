// Properties of the streaming design that MD5 and SHA-256 share.
#include <gtest/gtest.h>

#include <algorithm>

#include "digest_traits.h"
#include "vectors.h"

namespace pellfold::test {
namespace {

template <typename T>
class DigestStream : public ::testing::Test {};
using Algorithms = ::testing::Types<Md5, Sha256>;
struct AlgorithmName {
  template <typename T>
  static std::string GetName(int) {
    return T::kWords == 4 ? "MD5" : "SHA256";
  }
};
TYPED_TEST_SUITE(DigestStream, Algorithms, AlgorithmName);

// A finished context: count is the least multiple of 64 with room for 0x80 and
// the 8-byte length after `total` bytes, the chaining words are the digest,
// and the last block ends in total * 8.
template <typename T>
void ExpectFinished(const typename T::Context& context, std::uint64_t total, const Bytes& digest) {
  const std::uint64_t count = std::uint64_t{context.count[1]} << 32 | context.count[0];
  EXPECT_EQ(count % 64, 0u);
  EXPECT_TRUE(count - total >= 9 && count - total <= 72) << count;
  for (std::size_t i = 0; i < T::kWords; ++i) EXPECT_EQ(context.state[i], T::Word(&digest[4 * i]));
  EXPECT_EQ(T::LengthField(context.buffer + 56), total * 8);
}

// One update, and pieces of boundary or random sizes (empty ones included) at
// odd addresses, all equal the oracle for lengths around the padding branches.
TYPED_TEST(DigestStream, AnySplitAtAnyAddressMatchesOracle) {
  std::vector<std::size_t> lengths(131);
  for (std::size_t n = 0; n <= 130; ++n) lengths[n] = n;
  lengths.insert(lengths.end(), {191, 192, 193, 999, 1000, 1001, 1023, 1024, 1025, 4097});
  const std::size_t kPieces[] = {0, 1, 55, 56, 63, 64, 65};
  auto& rng = TestRng();
  for (std::size_t length : lengths) {
    SCOPED_TRACE(length);
    const Bytes message = RandomBytes(length);
    const Bytes expected = TypeParam::Oracle(message);
    typename TypeParam::Context context;
    EXPECT_EQ(TypeParam::Run(message.data(), length, {}, &context), expected);
    ExpectFinished<TypeParam>(context, length, expected);
    for (std::size_t offset : {1u, 3u, 7u}) {
      Bytes shifted(offset, 0xee);
      shifted.insert(shifted.end(), message.begin(), message.end());
      std::vector<std::size_t> pieces;
      for (std::size_t sum = 0; sum < length; sum += pieces.back()) {
        pieces.push_back(rng() % 2 ? kPieces[rng() % 7] : rng() % 200);
      }
      EXPECT_EQ(TypeParam::Run(&shifted[offset], length, pieces, &context), expected) << offset;
    }
  }
}

// The count is planted near the 32-bit wrap (the digest is then of no real
// message); count words and length field are checked in 64-bit arithmetic.
TYPED_TEST(DigestStream, ByteCountCarriesIntoHighWord) {
  struct Case {
    std::uint32_t low, high, length;
  };
  const Case cases[] = {
      {0xffffffc0, 0, 64},          // wraps to exactly 0 at a block boundary
      {0xffffffd8, 0, 100},         // wraps mid-update with a partial block pending
      {0xffffffff, 7, 2},           // high word already in use
      {0xffffffff, 0x1fffffff, 1},  // 2^61 bytes: the bit count wraps to 0 mod 2^64
      {0x3fffffff, 0, 2},           // no wrap, but the bit count passes 2^32
      {0xfffffff0, 5, 8},           // low word's top bits move into the high bit word
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.high << ':' << c.low << " + " << c.length);
    typename TypeParam::Context context{};
    TypeParam::Init(&context);
    context.count[0] = c.low;
    context.count[1] = c.high;
    const Bytes data = RandomBytes(c.length);
    TypeParam::Update(&context, data.data(), c.length);
    const std::uint64_t total = (std::uint64_t{c.high} << 32 | c.low) + c.length;
    EXPECT_EQ(context.count[0], static_cast<std::uint32_t>(total));
    EXPECT_EQ(context.count[1], static_cast<std::uint32_t>(total >> 32));
    Bytes digest(4 * TypeParam::kWords);
    TypeParam::Final(&context, digest.data());
    ExpectFinished<TypeParam>(context, total, digest);
  }
}

}  // namespace
}  // namespace pellfold::test
