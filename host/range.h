// pellfold decrypt --range: one range of an ACBC file's plaintext, read
// with acbc_read_at, which decrypts only the records that hold it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "acbc.h"

namespace pellfold::host {

struct ByteRange {
  std::int64_t offset = 0;
  std::int64_t length = 0;
};

// Parses OFFSET:LENGTH, each decimal with an optional K, M or G suffix
// (1024-based). Throws UsageError.
ByteRange ParseRange(const std::string& text);

// Decrypts `range` (as far as the plaintext goes) of the ACBC file on `fd`
// into `write`, in pieces of 1 MiB: the password is checked with the first
// piece, before anything is written. A caught terminating signal stops it
// with ACBC_E_CANCELLED. Fills `r` as the library's calls do.
void CopyRange(int fd, const ByteRange& range, const void* password, std::size_t passwordLength,
               acbc_write_fn write, void* context, acbc_result* r);

}  // namespace pellfold::host
