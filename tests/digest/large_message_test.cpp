// Digests of a message longer than 2^32 bytes, whose byte count no longer fits
// the low count word. Hashes 4 GiB per algorithm: CTest label "slow".
#include <gtest/gtest.h>

#include "digest_traits.h"
#include "vectors.h"

namespace pellfold::test {
namespace {

constexpr std::uint64_t kSize = (std::uint64_t{1} << 32) + 1000;

// Digest of kSize zero bytes fed in chunks of an odd size, so the low count
// word wraps in the middle of an update with a partial block pending.
template <typename T>
std::string DigestOfZeros() {
  static const Bytes zeros(1000003);
  typename T::Context context;
  T::Init(&context);
  for (std::uint64_t left = kSize; left > 0;) {
    const std::uint64_t n = std::min<std::uint64_t>(left, zeros.size());
    T::Update(&context, zeros.data(), static_cast<std::uint32_t>(n));
    left -= n;
  }
  EXPECT_EQ(context.count[0], 1000u);
  EXPECT_EQ(context.count[1], 1u);
  Bytes digest(4 * T::kWords);
  T::Final(&context, digest.data());
  EXPECT_EQ(T::LengthField(context.buffer + 56), kSize * 8);
  return ToHex(digest);
}

// Computed once with GNU coreutils and confirmed with OpenSSL:
//   head -c 4294968296 /dev/zero | md5sum      (and | openssl dgst -md5)
//   head -c 4294968296 /dev/zero | sha256sum   (and | openssl dgst -sha256)
TEST(LargeMessage, Md5) {
  EXPECT_EQ(DigestOfZeros<Md5>(), "c3585f1f6d53b90833000eb563ed8e9a");
}
TEST(LargeMessage, Sha256) {
  EXPECT_EQ(DigestOfZeros<Sha256>(),
            "47330b4e9578d8ea3b771713efa25d0e2f03a554c9b3c66308f82fa0986dc027");
}

}  // namespace
}  // namespace pellfold::test
