// Throughput of the library's components, with OpenSSL doing the same work
// beside them for scale (run it with OPENSSL_ia32cap set to see OpenSSL
// without its AES instructions). Compare ratios within one run; absolute
// numbers on a shared machine are noise.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdio>
#include <vector>

#include "aes/aes.h"
#include "aes/aes_record.h"
#include "aestable/aestable.h"
#include "digest/md5.h"
#include "digest/sha256.h"
#include "service/acbc_format.h"

namespace {

using pellfold::AESRecordPath;
using Block = void (*)(const std::uint8_t*, std::uint8_t*, const std::uint8_t*, std::int32_t);

// One AES-256 block with the byte-oriented cipher, forward or inverse.
template <Block kCipher>
void BM_ByteAES256Block(benchmark::State& state) {
  const std::uint8_t key[32] = {1, 2, 3};
  std::uint8_t schedule[pellfold::kAES256ScheduleSize];
  pellfold::AESKeyExpansion(key, schedule, 8);
  std::uint8_t block[16] = {};
  for (auto _ : state) {
    kCipher(block, block, schedule, 14);
    benchmark::DoNotOptimize(block);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 16);
}
BENCHMARK(BM_ByteAES256Block<pellfold::AESCipher>)->Name("ByteAES256/encrypt");
BENCHMARK(BM_ByteAES256Block<pellfold::AESInvCipher>)->Name("ByteAES256/decrypt");

using TableBlock = void (*)(const pellfold::AESTableContext*, const std::uint8_t*, std::uint8_t*);

// One block with the table-driven engine, for each key length.
template <TableBlock kCipher>
void BM_TableAESBlock(benchmark::State& state) {
  const std::uint8_t key[32] = {1, 2, 3};
  pellfold::AESTableContext context;
  pellfold::AESTableSetKey(&context, key, static_cast<std::int32_t>(state.range(0)));
  std::uint8_t block[16] = {};
  for (auto _ : state) {
    kCipher(&context, block, block);
    benchmark::DoNotOptimize(block);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 16);
}
BENCHMARK(BM_TableAESBlock<pellfold::AESTableEncryptBlock>)
    ->Name("TableAES/encrypt")
    ->Arg(128)
    ->Arg(256);
BENCHMARK(BM_TableAESBlock<pellfold::AESTableDecryptBlock>)
    ->Name("TableAES/decrypt")
    ->Arg(128)
    ->Arg(256);

// OpenSSL AES-256-ECB over 4 KiB, for scale (it may use AES instructions).
void BM_OpenSslAES256(benchmark::State& state) {
  const std::uint8_t key[32] = {1, 2, 3};
  std::vector<std::uint8_t> data(4096), out(4096 + 16);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex(ctx, EVP_aes_256_ecb(), nullptr, key, nullptr);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  int n = 0;
  for (auto _ : state) {
    EVP_EncryptUpdate(ctx, out.data(), &n, data.data(), static_cast<int>(data.size()));
    benchmark::DoNotOptimize(out.data());
  }
  EVP_CIPHER_CTX_free(ctx);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 4096);
}
BENCHMARK(BM_OpenSslAES256);

// One ACBC record: a key expansion plus 32 chained blocks.
void BM_AESCbcEncryptRecord(benchmark::State& state) {
  std::uint8_t record[512] = {};
  const std::uint8_t password[] = "benchmark password";
  for (auto _ : state) {
    pellfold::AESCbcEncrypt(record, 512, password, 18, pellfold::kAcbcVector);
    benchmark::DoNotOptimize(record);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 512);
}
BENCHMARK(BM_AESCbcEncryptRecord);

// 128 records (64 KiB, one read of the record loop) through each record path
// this build and processor have: Arg(i) is the i-th of AESRecordPathList,
// the portable one last; Arg(1) is its direction (1 encrypt, 0 decrypt).
void BM_AESRecordPath(benchmark::State& state) {
  const AESRecordPath* paths[4];
  const int count = pellfold::AESRecordPathList(paths, 4);
  if (state.range(0) >= count) {
    state.SkipWithError("no such record path here");
    return;
  }
  const pellfold::AESRecordPath* path = paths[state.range(0)];
  state.SetLabel(path->name);
  const std::uint8_t key[32] = {1, 2, 3};
  pellfold::AESRecordKey expanded;
  path->setKey(&expanded, key);
  std::vector<std::uint8_t> records(128 * 512);
  const auto work = state.range(1) != 0 ? path->encrypt : path->decrypt;
  for (auto _ : state) {
    work(&expanded, pellfold::kAcbcVector, records.data(), 128);
    benchmark::DoNotOptimize(records.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 128 * 512);
}
BENCHMARK(BM_AESRecordPath)->Name("RecordPath")->ArgsProduct({{0, 1, 2}, {1, 0}});

// OpenSSL AES-256-CBC over the same 64 KiB as one chain, for scale: Arg 1
// encrypts, 0 decrypts.
void BM_OpenSslCbc(benchmark::State& state) {
  const std::uint8_t key[32] = {1, 2, 3};
  std::vector<std::uint8_t> data(128 * 512), out(128 * 512 + 16);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  const int encrypt = static_cast<int>(state.range(0));
  EVP_CipherInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key, pellfold::kAcbcVector, encrypt);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  int n = 0;
  for (auto _ : state) {
    EVP_CipherUpdate(ctx, out.data(), &n, data.data(), static_cast<int>(data.size()));
    benchmark::DoNotOptimize(out.data());
  }
  EVP_CIPHER_CTX_free(ctx);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 128 * 512);
}
BENCHMARK(BM_OpenSslCbc)->Name("OpenSSL/aes-256-cbc")->Arg(1)->Arg(0);

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

// Digests over 64 KiB, ours and OpenSSL's.
template <typename Context, void (*kInit)(Context*),
          void (*kUpdate)(Context*, const std::uint8_t*, std::uint32_t),
          void (*kFinal)(Context*, std::uint8_t*)>
void BM_Digest(benchmark::State& state) {
  std::vector<std::uint8_t> data(1 << 16, 0x5A);
  std::uint8_t digest[32];
  for (auto _ : state) {
    Context context;
    kInit(&context);
    kUpdate(&context, data.data(), static_cast<std::uint32_t>(data.size()));
    kFinal(&context, digest);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) << 16);
}
BENCHMARK(
    BM_Digest<pellfold::MD5Context, pellfold::MD5Init, pellfold::MD5Update, pellfold::MD5Final>)
    ->Name("MD5");
BENCHMARK(BM_Digest<pellfold::SHA256Context, pellfold::SHA256Init, pellfold::SHA256Update,
                    pellfold::SHA256Final>)
    ->Name("SHA256");

void BM_OpenSslDigest(benchmark::State& state) {
  const EVP_MD* md = state.range(0) == 5 ? EVP_md5() : EVP_sha256();
  std::vector<std::uint8_t> data(1 << 16, 0x5A);
  std::uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  for (auto _ : state) {
    EVP_Digest(data.data(), data.size(), digest, &size, md, nullptr);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) << 16);
}
BENCHMARK(BM_OpenSslDigest)->Name("OpenSSL/md5")->Arg(5);
BENCHMARK(BM_OpenSslDigest)->Name("OpenSSL/sha256")->Arg(256);

}  // namespace
