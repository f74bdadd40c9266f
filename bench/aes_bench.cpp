// Throughput of the byte-oriented cipher and of the ACBC record loop.
// Compare ratios within one run; absolute numbers on a shared machine are noise.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

#include "aes/aes.h"
#include "service/acbc.h"

namespace {

using pellfold::AESCbcEncrypt;

void BM_AESCipherBlock(benchmark::State& state) {
  std::uint8_t key[32] = {1, 2, 3};
  std::uint8_t schedule[pellfold::kAES256ScheduleSize];
  pellfold::AESKeyExpansion(key, schedule, 8);
  std::uint8_t block[16] = {};
  for (auto _ : state) {
    pellfold::AESCipher(block, block, schedule, 14);
    benchmark::DoNotOptimize(block);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 16);
}
BENCHMARK(BM_AESCipherBlock);

void BM_AESInvCipherBlock(benchmark::State& state) {
  std::uint8_t key[32] = {1, 2, 3};
  std::uint8_t schedule[pellfold::kAES256ScheduleSize];
  pellfold::AESKeyExpansion(key, schedule, 8);
  std::uint8_t block[16] = {};
  for (auto _ : state) {
    pellfold::AESInvCipher(block, block, schedule, 14);
    benchmark::DoNotOptimize(block);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 16);
}
BENCHMARK(BM_AESInvCipherBlock);

// One ACBC record: a key expansion plus 32 chained blocks.
void BM_AESCbcEncryptRecord(benchmark::State& state) {
  std::uint8_t record[512] = {};
  const std::uint8_t password[] = "benchmark password";
  for (auto _ : state) {
    AESCbcEncrypt(record, 512, password, 18, pellfold::kAcbcVector);
    benchmark::DoNotOptimize(record);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 512);
}
BENCHMARK(BM_AESCbcEncryptRecord);

// The whole record loop over 1 MiB held in memory streams.
void BM_AcbcEncryptStream(benchmark::State& state) {
  std::vector<char> plain(1 << 20, 'x');
  std::vector<char> sink(plain.size() + 2048);
  const std::uint8_t password[] = "benchmark password";
  for (auto _ : state) {
    std::FILE* in = fmemopen(plain.data(), plain.size(), "rb");
    std::FILE* out = fmemopen(sink.data(), sink.size(), "wb");
    pellfold::AcbcEncryptStream(in, static_cast<std::int32_t>(plain.size()), out, password, 18);
    std::fclose(in);
    std::fclose(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(plain.size()));
}
BENCHMARK(BM_AcbcEncryptStream)->Unit(benchmark::kMillisecond);

}  // namespace
