// First use of the table-driven engine in a fresh process. The tables and
// flags are process-wide and this executable makes no other engine call, so
// the single test below sees them exactly as loaded and walks them through
// their one-time steps in a fixed order.
#include <gtest/gtest.h>

#include <cstring>
#include <span>
#include <vector>

#include "aes/aes.h"
#include "aestable/aestable.h"
#include "vectors.h"

namespace pellfold {
namespace {

using Table = std::span<const std::uint32_t>;

const std::vector<Table> kGenerated = {RoundConstWords, FwdSbox,   RevSbox,   FwdTable0,
                                       FwdTable1,       FwdTable2, FwdTable3, RevTable0,
                                       RevTable1,       RevTable2, RevTable3};
const std::vector<Table> kKeyMix = {KeyMixTable0, KeyMixTable1, KeyMixTable2, KeyMixTable3};

bool AllZero(Table table) {
  for (const std::uint32_t word : table) {
    if (word != 0) return false;
  }
  return true;
}

TEST(AESTableFirstUse, GeneratesOnFirstCallAndBuildsKeyMixOnFirstSuccess) {
  EXPECT_EQ(TablesPending, 1);
  EXPECT_EQ(KeyMixPending, 1);
  for (const Table table : kGenerated) EXPECT_TRUE(AllZero(table));
  for (const Table table : kKeyMix) EXPECT_TRUE(AllZero(table));

  // A rejected first call generates the tables, builds no key-mixing table
  // and leaves the context alone.
  const test::Bytes key = test::FromHex("2b7e151628aed2a6abf7158809cf4f3c");  // FIPS-197 A.1
  AESTableContext context;
  std::memset(&context, 0x3C, sizeof context);
  const AESTableContext blank = context;
  EXPECT_EQ(AESTableSetKey(&context, key.data(), 160), 1);
  EXPECT_EQ(std::memcmp(&context, &blank, sizeof context), 0);
  EXPECT_EQ(TablesPending, 0);
  EXPECT_EQ(KeyMixPending, 1);
  for (const Table table : kGenerated) EXPECT_FALSE(AllZero(table));
  for (int i = 0; i < 256; ++i) EXPECT_EQ(FwdSbox[i], AESSBox[i]) << i;
  for (const Table table : kKeyMix) EXPECT_TRUE(AllZero(table));

  // The first successful call builds them, before it derives the decryption
  // keys: its context equals that of a later, ordinary 128-bit set-up.
  EXPECT_EQ(AESTableSetKey(&context, key.data(), 128), 0);
  EXPECT_EQ(TablesPending, 0);
  EXPECT_EQ(KeyMixPending, 0);
  EXPECT_EQ(KeyMixTable0[1], 0x0E090D0Bu);  // InvMixColumns of the column [1, 0, 0, 0]
  for (const Table table : kKeyMix) EXPECT_FALSE(AllZero(table));
  AESTableContext single = blank;
  EXPECT_EQ(AESTableSetKey(&single, key.data(), 128), 0);
  EXPECT_EQ(std::memcmp(&context, &single, sizeof context), 0);
}

}  // namespace
}  // namespace pellfold
