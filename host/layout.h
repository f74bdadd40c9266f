// What an ACBC file's size says next to what its header records. The format
// has no integrity check, so this is the one damage a reader can see before
// decrypting: a file cut short, bytes after the last record, or a header
// whose length makes no sense.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace pellfold::host {

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
  std::int32_t length = 0;           // the recorded length, when there is one
  std::int64_t headerBytes = 0;      // 0 to 512: bytes of the header record present
  std::int64_t bodyBytes = 0;        // bytes after the header record
  std::int64_t recordsExpected = 0;  // floor(L / 512) + 1 for L >= 0, else 0
  std::int64_t recordsPresent = 0;   // body records present, a partial last one included
  std::int64_t missingBytes = 0;     // kTruncated: bytes short of a whole file
  std::int64_t trailingBytes = 0;    // kTrailingBytes: bytes after the last record
};

// Reads the header record: up to 512 bytes into record[0..511], the rest
// zero-filled as the library's reader leaves it. Returns the bytes read;
// *error is errno after a read error, else 0.
std::size_t ReadHeaderRecord(std::FILE* input, std::uint8_t* record, int* error);

// Reads the bytes after the header record only as far as the verdict needs:
// none when the header is not ACBC, up to one byte past the records the
// length needs, and for a negative length as far as the largest body an ACBC
// file can have; so a source that never ends, like /dev/zero, is not read for
// ever. Returns the bytes read; *error is
// errno after a read error, else 0.
std::int64_t ReadBodyBytes(std::FILE* input, const std::uint8_t* record, std::int64_t headerBytes,
                           int* error);

// Classifies a file from its header record (zero-filled past headerBytes)
// and the number of bytes that follow it.
Layout Classify(const std::uint8_t* record, std::int64_t headerBytes, std::int64_t bodyBytes);

// The verdict as one word for machines: "consistent", "truncated",
// "trailing-bytes", "negative-length", "unreadable-length", "not-acbc".
const char* VerdictName(Verdict verdict);

// The verdict for people, with its numbers: "truncated, 312 bytes missing".
std::string DescribeVerdict(const Layout& layout);

}  // namespace pellfold::host
