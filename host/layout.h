// What an ACBC file's size says next to what its header records, as
// libacbc's inspection tells it. The format has no integrity check, so this
// is the one damage a reader can see before decrypting: a file cut short,
// bytes after the last record, or a header whose length makes no sense.
#pragma once

#include <cstdint>
#include <string>

#include "acbc.h"

namespace pellfold::host {

constexpr std::int64_t kRecordSize = ACBC_RECORD_SIZE;

enum class Verdict {
  kConsistent,        // exactly floor(L / 512) + 1 whole records follow the header
  kTruncated,         // fewer bytes than the header's length needs
  kTrailingBytes,     // more bytes than the header's length needs
  kNegativeLength,    // the header records a length below zero
  kUnreadableLength,  // the magic is there but no usable number follows: not ACBC either
  kNotAcbc,           // the first five bytes are not "ACBC "
};

struct Layout {
  Verdict verdict = Verdict::kNotAcbc;
  std::int64_t length = 0;           // the recorded length, when there is one
  std::int64_t headerBytes = 0;      // 0 to 512: bytes of the header record present
  std::int64_t bodyBytes = 0;        // bytes after the header record
  std::int64_t recordsExpected = 0;  // floor(L / 512) + 1 for L >= 0, else 0
  std::int64_t recordsPresent = 0;   // body records present, a partial last one included
  std::int64_t missingBytes = 0;     // kTruncated: bytes short of a whole file
  std::int64_t trailingBytes = 0;    // kTrailingBytes: bytes after the last record
};

// Inspects the file open as fd (from its current offset) with
// acbc_inspect_fd. Returns ACBC_OK with *layout set when the file could be
// classified (whatever the verdict), else the status of the failure.
acbc_status InspectDescriptor(int fd, Layout* layout, int* error);
// The layout libacbc's inspection (or a job's prepare) reported in `info`;
// `notAcbc` for a file it found not to be ACBC, `hasMagic` when that file
// still starts "ACBC ".
Layout LayoutOf(const acbc_info& info, bool notAcbc, bool hasMagic);

// The verdict as one word for machines: "consistent", "truncated",
// "trailing-bytes", "negative-length", "unreadable-length", "not-acbc".
const char* VerdictName(Verdict verdict);

// The verdict for people, with its numbers: "truncated, 312 bytes missing".
std::string DescribeVerdict(const Layout& layout);

}  // namespace pellfold::host
