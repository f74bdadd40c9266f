// Runs the cipher code with its secrets marked undefined for valgrind's
// memcheck, which then reports every branch and every memory index that
// depends on them: the constant-time check of `scripts/test.sh --stage ct`.
//
//   ct_check records   every record path here (the hardware ones the CPU
//                      reports, the portable one always): setKey, encrypt,
//                      decrypt
//   ct_check table     the table-driven engine, which indexes its tables by
//                      key and data: memcheck must report it
//
// The key and the plaintext are marked undefined before the calls and the
// results defined again after them, so checking the results afterwards is
// no finding. Outside valgrind the marks do nothing and the program still
// checks every result against the byte-oriented cipher.
#include <valgrind/memcheck.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "aes/aes.h"
#include "aes/aes_record.h"
#include "aestable/aestable.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void Secret(void* p, std::size_t size) {
  (void)VALGRIND_MAKE_MEM_UNDEFINED(p, size);
}
void Public(void* p, std::size_t size) {
  (void)VALGRIND_MAKE_MEM_DEFINED(p, size);
}

// Deterministic filler: the check needs varied bytes, not random ones.
Bytes Pattern(std::size_t size, unsigned seed) {
  Bytes b(size);
  for (std::size_t i = 0; i < size; ++i) {
    seed = seed * 1103515245u + 12345u;
    b[i] = static_cast<std::uint8_t>(seed >> 16);
  }
  return b;
}

int failures = 0;

void Report(const std::string& what, bool ok) {
  std::printf("ct: %s: %s\n", what.c_str(), ok ? "ok" : "WRONG RESULT");
  if (!ok) ++failures;
}

// Nine records: two four-record groups and one left over.
constexpr std::size_t kRecords = 9;

void CheckPath(const pellfold::AESRecordPath* path, const std::string& label) {
  Bytes key = Pattern(32, 1), vector = Pattern(16, 2);
  Bytes data = Pattern(kRecords * pellfold::kAESRecordSize, 3);
  Bytes expected = data;
  for (std::size_t r = 0; r < kRecords; ++r) {
    pellfold::AESCbcEncrypt(&expected[r * pellfold::kAESRecordSize], pellfold::kAESRecordSize,
                            key.data(), 32, vector.data());
  }
  Bytes work = data;
  pellfold::AESRecordKey expanded;
  Secret(key.data(), key.size());
  Secret(work.data(), work.size());
  path->setKey(&expanded, key.data());
  path->encrypt(&expanded, vector.data(), work.data(), kRecords);
  Public(work.data(), work.size());
  const bool encrypted = work == expected;
  Secret(work.data(), work.size());
  path->decrypt(&expanded, vector.data(), work.data(), kRecords);
  Public(work.data(), work.size());
  Public(&expanded, sizeof expanded);
  Report(label + " (" + path->name + ")", encrypted && work == data);
}

void CheckRecords() {
  const pellfold::AESRecordPath* paths[8];
  const int n = pellfold::AESRecordPathList(paths, 8);
  for (int i = 0; i < n; ++i) CheckPath(paths[i], "record path");
  pellfold::AESRecordForcePortable(true);
  CheckPath(pellfold::AESRecordPathSelect(), "forced portable");
  pellfold::AESRecordForcePortable(false);
}

void CheckTable() {
  Bytes key = Pattern(32, 4), block = Pattern(16, 5);
  Bytes expected = block;
  pellfold::AESEcbEncrypt(expected.data(), 16, key.data(), 32);
  pellfold::AESTableContext context;
  Bytes out(16), back(16);
  Secret(key.data(), key.size());
  Secret(block.data(), block.size());
  pellfold::AESTableSetKey(&context, key.data(), 256);
  pellfold::AESTableEncryptBlock(&context, block.data(), out.data());
  pellfold::AESTableDecryptBlock(&context, out.data(), back.data());
  Public(out.data(), out.size());
  Public(back.data(), back.size());
  Public(block.data(), block.size());
  Report("table engine", out == expected && back == block);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc == 2 ? argv[1] : "";
  if (mode == "records") {
    CheckRecords();
  } else if (mode == "table") {
    CheckTable();
  } else {
    std::fprintf(stderr, "usage: ct_check records|table\n");
    return 2;
  }
  return failures == 0 ? 0 : 1;
}
