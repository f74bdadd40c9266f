#include "layout.h"

#include <cerrno>
#include <cstring>

#include "service/acbc.h"

namespace pellfold::host {

std::size_t ReadHeaderRecord(std::FILE* input, std::uint8_t* record, int* error) {
  std::memset(record, 0, kAcbcRecordSize);
  const std::size_t got = std::fread(record, 1, kAcbcRecordSize, input);
  *error = got < kAcbcRecordSize && std::ferror(input) ? errno : 0;
  return got;
}

std::int64_t ReadBodyBytes(std::FILE* input, const std::uint8_t* record, std::int64_t headerBytes,
                           int* error) {
  *error = 0;
  const Layout header = Classify(record, headerBytes, 0);
  std::int64_t needed = 0;
  if (header.verdict == Verdict::kNegativeLength) {
    // The verdict is known, but the records present are still told: count
    // them as far as the largest body any ACBC file can have.
    needed = (kAcbcMaxLength / kAcbcRecordSize + 1) * kAcbcRecordSize + 1;
  } else if (header.recordsExpected > 0) {
    needed = header.recordsExpected * kAcbcRecordSize + 1;
  }
  std::int64_t total = 0;
  char buffer[1 << 15];
  while (total < needed) {
    const std::int64_t left = needed - total;
    const std::size_t want = left < static_cast<std::int64_t>(sizeof buffer)
                                 ? static_cast<std::size_t>(left)
                                 : sizeof buffer;
    const std::size_t got = std::fread(buffer, 1, want, input);
    total += static_cast<std::int64_t>(got);
    if (got < want) break;
  }
  if (std::ferror(input)) *error = errno;
  return total;
}

Layout Classify(const std::uint8_t* record, std::int64_t headerBytes, std::int64_t bodyBytes) {
  Layout layout;
  layout.headerBytes = headerBytes;
  layout.bodyBytes = bodyBytes;
  layout.recordsPresent = (bodyBytes + kAcbcRecordSize - 1) / kAcbcRecordSize;
  if (headerBytes < 5 || std::memcmp(record, "ACBC ", 5) != 0) {
    layout.verdict = Verdict::kNotAcbc;
    return layout;
  }
  // The library's own parser decides, so that inspect and decrypt agree
  // with AESDecrypt on which headers are usable.
  if (!AcbcParseHeader(record, &layout.length)) {
    layout.verdict = Verdict::kUnreadableLength;
    return layout;
  }
  if (layout.length < 0) {
    layout.verdict = Verdict::kNegativeLength;
    return layout;
  }
  // floor(L / 512) + 1 records: a length that is a multiple of 512 (0
  // included) still ends with a record, the encryption of 512 zeros.
  layout.recordsExpected = layout.length / kAcbcRecordSize + 1;
  const std::int64_t expectedBody = layout.recordsExpected * kAcbcRecordSize;
  const std::int64_t missing =
      (kAcbcRecordSize - headerBytes) + (bodyBytes < expectedBody ? expectedBody - bodyBytes : 0);
  if (missing > 0) {
    layout.verdict = Verdict::kTruncated;
    layout.missingBytes = missing;
  } else if (bodyBytes > expectedBody) {
    layout.verdict = Verdict::kTrailingBytes;
    layout.trailingBytes = bodyBytes - expectedBody;
  } else {
    layout.verdict = Verdict::kConsistent;
  }
  return layout;
}

const char* VerdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::kConsistent: return "consistent";
    case Verdict::kTruncated: return "truncated";
    case Verdict::kTrailingBytes: return "trailing-bytes";
    case Verdict::kNegativeLength: return "negative-length";
    case Verdict::kUnreadableLength: return "unreadable-length";
    case Verdict::kNotAcbc: return "not-acbc";
  }
  return "unknown";
}

std::string DescribeVerdict(const Layout& layout) {
  switch (layout.verdict) {
    case Verdict::kConsistent: return "consistent";
    case Verdict::kTruncated:
      return "truncated, " + std::to_string(layout.missingBytes) + " bytes missing";
    case Verdict::kTrailingBytes:
      return "trailing bytes, " + std::to_string(layout.trailingBytes) + " after the last record";
    case Verdict::kNegativeLength: return "negative length";
    // A header the library cannot read a length from is not ACBC to any
    // reader: the same words as a wrong magic.
    case Verdict::kUnreadableLength:
    case Verdict::kNotAcbc: return "not an ACBC file";
  }
  return "unknown";
}

}  // namespace pellfold::host
