// libFuzzer target: a fuzzer-chosen password and ACBC file through
// libacbc's buffer and descriptor calls. Input: one byte for the password
// length (mod 40), one byte of flags, the password, then the file.
// - acbc_decrypt_buffer never fails on a buffer as long as result->length
//   asks for;
// - without flags, ACBC_OK only when the plaintext encrypts again to the
//   file's records (the header may be spelt differently, trailing bytes
//   aside);
// - acbc_verify_fd and acbc_inspect_fd on the same bytes in a memfd agree
//   with the buffer call's verdict;
// - acbc_decrypt_stream, fed in short reads (the flags byte's high bits
//   choose their size), succeeds exactly when the buffer call does, with the
//   same plaintext.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "acbc.h"
#include "fuzz_stream.h"

namespace {

int Memfd() {
  static const int fd = memfd_create("acbc_buffer_fuzz", MFD_CLOEXEC);
  if (fd < 0) std::abort();
  return fd;
}

using fuzz::ReadSource;
using fuzz::Require;
using fuzz::Source;
using fuzz::WriteSink;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t passwordLength = data[0] % 40u;
  const unsigned flags = data[1] & (ACBC_SALVAGE | ACBC_NO_PASSWORD_CHECK);
  if (size < 2 + passwordLength) return 0;
  const std::uint8_t* password = data + 2;
  const std::uint8_t* file = password + passwordLength;
  const std::size_t fileSize = size - 2 - passwordLength;

  acbc_result sizing{};
  acbc_status status =
      acbc_decrypt_buffer(file, fileSize, nullptr, 0, password, passwordLength, flags, &sizing);
  std::vector<std::uint8_t> plain;
  acbc_result result = sizing;
  if (status == ACBC_E_BUFFER_TOO_SMALL) {
    Require(sizing.length > 0);
    plain.resize(static_cast<std::size_t>(sizing.length));
    status = acbc_decrypt_buffer(file, fileSize, plain.data(), plain.size(), password,
                                 passwordLength, flags, &result);
    Require(status != ACBC_E_BUFFER_TOO_SMALL);
  }
  Require(result.status == status);
  // Under ACBC_SALVAGE the header's length may be negative; nothing is
  // written then.
  if (status == ACBC_OK) {
    Require(result.bytes_written >= 0 &&
            static_cast<std::size_t>(result.bytes_written) <= plain.size());
  }

  Source source{file, fileSize, 1u + (data[1] >> 3) * 97u};
  std::vector<std::uint8_t> streamed;
  acbc_result streamResult{};
  const acbc_status streamStatus =
      acbc_decrypt_stream(ReadSource, &source, WriteSink, &streamed, password, passwordLength,
                          flags, nullptr, &streamResult);
  Require((streamStatus == ACBC_OK) == (status == ACBC_OK));
  if (status == ACBC_OK) {
    Require(streamed.size() == static_cast<std::size_t>(result.bytes_written) &&
            std::equal(streamed.begin(), streamed.end(), plain.begin()));
  }

  if (flags == 0) {
    if (status == ACBC_OK) {
      Require(result.length >= 0 && result.bytes_written == result.length);
      // The key is the password zero-filled to 32 bytes, so "\0" stands for
      // an empty password, which encryption refuses.
      const std::uint8_t zero = 0;
      const std::uint8_t* again = passwordLength > 0 ? password : &zero;
      const std::size_t length = static_cast<std::size_t>(result.length);
      std::vector<std::uint8_t> encrypted(
          static_cast<std::size_t>(acbc_encrypted_size(result.length)));
      Require(acbc_encrypt_buffer(plain.data(), length, encrypted.data(), encrypted.size(), again,
                                  passwordLength > 0 ? passwordLength : 1, nullptr) == ACBC_OK);
      Require(fileSize >= encrypted.size());
      Require(std::memcmp(encrypted.data() + 512, file + 512, encrypted.size() - 512) == 0);
      Require(((result.warnings & ACBC_WARN_TRAILING_DATA) != 0) == (fileSize > encrypted.size()));
    }

    const int fd = Memfd();
    Require(ftruncate(fd, 0) == 0);
    Require(pwrite(fd, file, fileSize, 0) == static_cast<ssize_t>(fileSize));
    acbc_result verified{};
    Require(acbc_verify_fd(fd, password, passwordLength, &verified) == status);
    acbc_info info{};
    const acbc_status inspected = acbc_inspect_fd(fd, &info);
    Require(info.file_size == static_cast<std::int64_t>(fileSize));
    if (status == ACBC_E_NOT_ACBC || status == ACBC_E_DAMAGED) Require(inspected == status);
    if (status == ACBC_OK || status == ACBC_E_WRONG_PASSWORD) {
      Require(inspected == ACBC_OK && info.length == result.length &&
              info.records_present >= info.records_expected);
    }
  }
  return 0;
}
