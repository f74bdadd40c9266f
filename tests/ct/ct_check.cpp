// Runs the cipher code with its secrets marked undefined for valgrind's
// memcheck, which then reports every branch and every memory index that
// depends on them: the constant-time check of `scripts/test.sh --stage ct`.
//
//   ct_check records   every record path here (the hardware ones the CPU
//                      reports, the portable one always): setKey, encrypt,
//                      decrypt
//   ct_check acbc      libacbc's buffer calls and its password check (the
//                      padding of the last record) through the selected
//                      record path, and through the forced portable one
//   ct_check table     the table-driven engine, which indexes its tables by
//                      key and data: memcheck must report it
//
// The key and the plaintext are marked undefined before the calls and the
// results defined again after them, so checking the results afterwards is
// no finding. Outside valgrind the marks do nothing and the program still
// checks every result against the byte-oriented cipher.
#include <valgrind/memcheck.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "acbc.h"
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

// 25 records: a 16-record group, an eight-record one and one left over.
constexpr std::size_t kRecords = 25;

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

// Encrypts a buffer and decrypts it again with libacbc, the password and the
// plaintext secret; then the wrong password, which the padding check must
// refuse, and acbc_verify_fd on the file. Lengths: a last record of mostly
// padding, and one padding byte.
void CheckAcbcWith(const std::string& label) {
  for (const std::size_t length : {std::size_t{1000}, std::size_t{1535}}) {
    Bytes plain = Pattern(length, 6), password = Pattern(20, 7);
    Bytes file(static_cast<std::size_t>(acbc_encrypted_size(static_cast<std::int64_t>(length))));
    Bytes back(length);
    acbc_result result;
    Secret(plain.data(), plain.size());
    Secret(password.data(), password.size());
    const acbc_status encrypted = acbc_encrypt_buffer(
        plain.data(), length, file.data(), file.size(), password.data(), password.size(), &result);
    Public(file.data(), file.size());
    const acbc_status decrypted =
        acbc_decrypt_buffer(file.data(), file.size(), back.data(), back.size(), password.data(),
                            password.size(), 0, &result);
    Public(back.data(), back.size());
    Bytes wrong = password;
    wrong[0] ^= 1;
    Secret(wrong.data(), wrong.size());
    const acbc_status refused = acbc_decrypt_buffer(
        file.data(), file.size(), back.data(), back.size(), wrong.data(), wrong.size(), 0, &result);
    // The same check on a descriptor.
    std::FILE* stream = std::tmpfile();
    const bool stored = stream != nullptr &&
                        std::fwrite(file.data(), 1, file.size(), stream) == file.size() &&
                        std::fflush(stream) == 0 && std::fseek(stream, 0, SEEK_SET) == 0;
    Secret(password.data(), password.size());
    const acbc_status verified =
        stored ? acbc_verify_fd(fileno(stream), password.data(), password.size(), &result)
               : ACBC_E_READ;
    // A range across the last two records, with its own password check.
    Bytes range(600);
    const acbc_status ranged = stored
                                   ? acbc_read_at(fileno(stream), range.data(), range.size(), 400,
                                                  password.data(), password.size(), 0, &result)
                                   : ACBC_E_READ;
    Public(range.data(), range.size());
    if (stream != nullptr) std::fclose(stream);
    acbc_status statuses[] = {encrypted, decrypted, refused, verified, ranged};
    Public(statuses, sizeof statuses);
    Public(plain.data(), plain.size());
    Public(back.data(), back.size());
    Report(label + ", " + std::to_string(length) + " bytes",
           statuses[0] == ACBC_OK && statuses[1] == ACBC_OK &&
               statuses[2] == ACBC_E_WRONG_PASSWORD && statuses[3] == ACBC_OK &&
               statuses[4] == ACBC_OK && back == plain &&
               std::equal(range.begin(), range.end(), plain.begin() + 400));
  }
}

void CheckAcbc() {
  CheckAcbcWith(std::string("libacbc (") + pellfold::AESRecordPathSelect()->name + ")");
  pellfold::AESRecordForcePortable(true);
  CheckAcbcWith("libacbc (forced portable)");
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
  } else if (mode == "acbc") {
    CheckAcbc();
  } else if (mode == "table") {
    CheckTable();
  } else {
    std::fprintf(stderr, "usage: ct_check records|acbc|table\n");
    return 2;
  }
  return failures == 0 ? 0 : 1;
}
