// The exports keep no shared state: calls on distinct files from several
// threads at once give exactly the files a single thread gives. Run under
// ThreadSanitizer in CI (label "threads").
#include <gtest/gtest.h>

#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "acbc_expect.h"
#include "files.h"
#include "pellfold.h"

namespace pellfold {
namespace {

using test::Bytes;

std::u16string Wide(const std::string& ascii) {
  return {ascii.begin(), ascii.end()};
}

TEST(ExportsThreads, ConcurrentCallsOnDistinctFiles) {
  constexpr std::size_t kThreads = 6;
  test::TempDir dir;
  std::vector<Bytes> plains;
  std::vector<std::string> passwords;
  for (std::size_t t = 0; t < kThreads; ++t) {
    plains.push_back(test::RandomBytes(3000 + 517 * t));
    passwords.push_back("password " + std::to_string(t));
    test::WriteFile(dir / ("plain" + std::to_string(t)), plains.back());
  }
  std::latch start(static_cast<std::ptrdiff_t>(kThreads));
  std::vector<std::int32_t> encrypted(kThreads), decrypted(kThreads);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string n = std::to_string(t);
      const std::u16string plain = Wide(dir / ("plain" + n)), acbc = Wide(dir / ("acbc" + n)),
                           back = Wide(dir / ("back" + n)), password = Wide(passwords[t]);
      start.arrive_and_wait();
      encrypted[t] = AESEncypt(plain.c_str(), acbc.c_str(), password.c_str());
      decrypted[t] = AESDecrypt(acbc.c_str(), back.c_str(), password.c_str());
    });
  }
  for (auto& thread : threads) thread.join();
  for (std::size_t t = 0; t < kThreads; ++t) {
    const std::string n = std::to_string(t);
    EXPECT_EQ(encrypted[t], 999);
    EXPECT_EQ(decrypted[t], 0);
    EXPECT_TRUE(test::ReadFile(dir / ("acbc" + n)) == test::ExpectedAcbc(plains[t], passwords[t]));
    EXPECT_TRUE(test::ReadFile(dir / ("back" + n)) == plains[t]);
  }
}

}  // namespace
}  // namespace pellfold
