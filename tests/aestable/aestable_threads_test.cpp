// Several threads make the process's first key set-up at the same moment and
// then encrypt and decrypt. Built with ThreadSanitizer (label "threads"),
// any unsynchronised access to the shared tables is reported; in every build
// the results are checked against OpenSSL.
#include <gtest/gtest.h>

#include <latch>
#include <thread>
#include <vector>

#include "aestable/aestable.h"
#include "oracle.h"

namespace pellfold {
namespace {

using test::Bytes;

struct Job {
  Bytes key;
  Bytes plain;
  Bytes expected;  // OpenSSL's ECB encryption of plain
  Bytes cipher;
  Bytes decrypted;
  std::int32_t rejected = -1;
  std::int32_t accepted = -1;
};

TEST(AESTableThreads, ConcurrentFirstSetUpThenUse) {
  constexpr int kThreads = 8;
  constexpr std::size_t kBytes = 16 * 32;
  // Everything random or expected is prepared before any engine call, so the
  // engine's first use happens inside the threads.
  std::vector<Job> jobs(kThreads);
  for (std::size_t t = 0; t < jobs.size(); ++t) {
    Job& job = jobs[t];
    job.key = test::RandomBytes(16 + 8 * (t % 3));
    job.plain = test::RandomBytes(kBytes);
    job.expected = test::OracleAesEcb(job.key, job.plain, true);
    job.cipher.resize(kBytes);
    job.decrypted.resize(kBytes);
  }

  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < jobs.size(); ++t) {
    threads.emplace_back([&start, &job = jobs[t], odd = t % 2 == 1] {
      AESTableContext context;
      start.arrive_and_wait();
      // Odd threads open with a rejected length, which takes part in the
      // table generation but not in the key-mixing step.
      if (odd) job.rejected = AESTableSetKey(&context, job.key.data(), 100);
      job.accepted =
          AESTableSetKey(&context, job.key.data(), static_cast<std::int32_t>(8 * job.key.size()));
      for (std::size_t at = 0; at < kBytes; at += 16) {
        AESTableEncryptBlock(&context, &job.plain[at], &job.cipher[at]);
        AESTableDecryptBlock(&context, &job.cipher[at], &job.decrypted[at]);
      }
    });
  }
  for (auto& thread : threads) thread.join();

  for (std::size_t t = 0; t < jobs.size(); ++t) {
    SCOPED_TRACE(t);
    EXPECT_EQ(jobs[t].rejected, t % 2 == 1 ? 1 : -1);
    EXPECT_EQ(jobs[t].accepted, 0);
    EXPECT_EQ(jobs[t].cipher, jobs[t].expected);
    EXPECT_EQ(jobs[t].decrypted, jobs[t].plain);
  }
  EXPECT_EQ(TablesPending, 0);
  EXPECT_EQ(KeyMixPending, 0);
}

}  // namespace
}  // namespace pellfold
