#include "layout.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace pellfold::host {

acbc_status InspectDescriptor(int fd, Layout* layout, int* error) {
  *error = 0;
  acbc_info info{};
  errno = 0;
  const acbc_status status = acbc_inspect_fd(fd, &info);
  if (status != ACBC_OK && status != ACBC_E_DAMAGED && status != ACBC_E_NOT_ACBC) {
    // The inspection leaves the failing read's errno.
    *error = errno != 0 ? errno : EIO;
    return status;
  }
  bool hasMagic = false;
  if (status == ACBC_E_NOT_ACBC) {
    // The magic with no usable length after it is told apart, for inspect.
    char magic[5] = {};
    const off_t at = lseek(fd, 0, SEEK_CUR);
    hasMagic = pread(fd, magic, sizeof magic, at < 0 ? 0 : at) == sizeof magic &&
               std::memcmp(magic, "ACBC ", sizeof magic) == 0;
  }
  *layout = LayoutOf(info, status == ACBC_E_NOT_ACBC, hasMagic);
  return ACBC_OK;
}

Layout LayoutOf(const acbc_info& info, bool notAcbc, bool hasMagic) {
  Layout l;
  l.headerBytes = info.file_size < kRecordSize ? info.file_size : kRecordSize;
  l.bodyBytes = info.file_size - l.headerBytes;
  l.recordsPresent = (l.bodyBytes + kRecordSize - 1) / kRecordSize;
  if (notAcbc) {
    l.verdict = hasMagic ? Verdict::kUnreadableLength : Verdict::kNotAcbc;
    return l;
  }
  l.length = info.length;
  if (info.length < 0) {
    l.verdict = Verdict::kNegativeLength;
    return l;
  }
  l.recordsExpected = info.records_expected;
  const std::int64_t expectedBody = l.recordsExpected * kRecordSize;
  const std::int64_t missing =
      (kRecordSize - l.headerBytes) + (l.bodyBytes < expectedBody ? expectedBody - l.bodyBytes : 0);
  if (missing > 0) {
    l.verdict = Verdict::kTruncated;
    l.missingBytes = missing;
  } else if (info.trailing_bytes > 0) {
    l.verdict = Verdict::kTrailingBytes;
    l.trailingBytes = info.trailing_bytes;
  } else {
    l.verdict = Verdict::kConsistent;
  }
  return l;
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
    // A header no length can be read from is not ACBC to any reader: the
    // same words as a wrong magic.
    case Verdict::kUnreadableLength:
    case Verdict::kNotAcbc: return "not an ACBC file";
  }
  return "unknown";
}

}  // namespace pellfold::host
