#include "service/acbc_engine.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "aes/aes.h"
#include "service/acbc_format.h"
#include "util/wipe.h"

namespace pellfold::acbc {

void SetUpKey(const void* password, std::size_t length, CallKey* call) {
  AcbcSetUpKey(static_cast<const std::uint8_t*>(password),
               static_cast<std::int32_t>(std::min(length, kKeyBytes)), call);
}

void ResetResult(acbc_result* result) {
  result->status = ACBC_OK;
  result->error_number = 0;
  result->length = -1;
  result->bytes_read = 0;
  result->bytes_written = 0;
  result->padding_bytes = 0;
  result->warnings = 0;
}

acbc_status Finish(acbc_result* out, acbc_result* result, acbc_status status) {
  result->status = status;
  if (status == ACBC_OK) result->error_number = 0;
  if (out != nullptr) *out = *result;
  return status;
}

acbc_status Fail(acbc_result* result, acbc_status status, int error) {
  result->status = status;
  result->error_number = error;
  return status;
}

bool FlagsValid(unsigned flags, unsigned allowed) {
  return (flags & ~allowed) == 0;
}

bool PasswordValid(const void* password, std::size_t length) {
  return password != nullptr || length == 0;
}

void EncryptionPasswordWarnings(std::size_t length, acbc_result* result) {
  if (length < kShortPassword) result->warnings |= ACBC_WARN_SHORT_PASSWORD;
  if (length > kKeyBytes) result->warnings |= ACBC_WARN_LONG_PASSWORD;
}

void DecryptionPasswordWarnings(std::size_t length, acbc_result* result) {
  if (length > kKeyBytes) result->warnings |= ACBC_WARN_LONG_PASSWORD;
}

bool EmptyKey(const void* password, std::size_t length) {
  const auto* bytes = static_cast<const std::uint8_t*>(password);
  unsigned any = 0;
  for (std::size_t i = 0; i < std::min(length, kKeyBytes); ++i) any |= bytes[i];
  return any == 0;
}

Layout Classify(const std::uint8_t* record, std::int64_t headerBytes, std::int64_t bodyBytes) {
  Layout layout;
  layout.headerBytes = headerBytes;
  layout.bodyBytes = bodyBytes;
  layout.recordsPresent = (bodyBytes + kRecord - 1) / kRecord;
  layout.magic = headerBytes >= 5 && std::memcmp(record, "ACBC ", 5) == 0;
  // A header from which no length can be read is not ACBC to any reader.
  if (headerBytes < 5 || !AcbcParseHeader(record, &layout.length)) return layout;
  layout.haveLength = true;
  if (layout.length < 0) {
    layout.status = ACBC_E_DAMAGED;
    return layout;
  }
  // floor(L / 512) + 1 records: a length that is a multiple of 512 (0
  // included) still ends with a record, the encryption of 512 zeros.
  layout.recordsExpected = layout.length / kRecord + 1;
  const std::int64_t expectedBody = layout.recordsExpected * kRecord;
  if (headerBytes < kRecord || bodyBytes < expectedBody) {
    layout.status = ACBC_E_DAMAGED;
  } else {
    layout.status = ACBC_OK;
    layout.trailingBytes = bodyBytes - expectedBody;
  }
  return layout;
}

// The body bytes a decryption of `layout` reads and the plaintext bytes it
// gives: min(L, the body the length needs), nothing for a negative length.
std::int64_t BodyToRead(const Layout& layout) {
  if (!layout.haveLength || layout.length < 0) return 0;
  const std::int64_t needed = layout.recordsExpected * kRecord;
  return layout.bodyBytes < needed ? layout.bodyBytes : needed;
}

std::int64_t PlaintextSize(const Layout& layout) {
  const std::int64_t body = BodyToRead(layout);
  return layout.haveLength && layout.length >= 0 && layout.length < body ? layout.length : body;
}

void FillInfo(const Layout& layout, acbc_info* info) {
  info->file_size = layout.headerBytes + layout.bodyBytes;
  info->length = layout.haveLength ? layout.length : -1;
  info->records_expected = layout.recordsExpected;
  info->records_present = layout.recordsPresent;
  const std::int64_t expectedBody = layout.recordsExpected * kRecord;
  info->trailing_bytes =
      layout.haveLength && layout.bodyBytes > expectedBody ? layout.bodyBytes - expectedBody : 0;
}

void FillLayout(const Layout& layout, acbc_layout* out) {
  FillInfo(layout, &out->info);
  out->header_bytes = layout.headerBytes;
  out->body_bytes = layout.bodyBytes;
  out->missing_bytes = 0;
  out->padding_bytes = layout.haveLength && layout.length >= 0
                           ? static_cast<int>(kRecord - layout.length % kRecord)
                           : 0;
  if (!layout.haveLength) {
    out->verdict = layout.magic ? ACBC_VERDICT_UNREADABLE_LENGTH : ACBC_VERDICT_NOT_ACBC;
  } else if (layout.length < 0) {
    out->verdict = ACBC_VERDICT_NEGATIVE_LENGTH;
  } else if (layout.status == ACBC_E_DAMAGED) {
    const std::int64_t expectedBody = layout.recordsExpected * kRecord;
    out->verdict = ACBC_VERDICT_TRUNCATED;
    out->missing_bytes = (kRecord - layout.headerBytes) +
                         (layout.bodyBytes < expectedBody ? expectedBody - layout.bodyBytes : 0);
  } else {
    out->verdict = layout.trailingBytes > 0 ? ACBC_VERDICT_TRAILING_BYTES : ACBC_VERDICT_CONSISTENT;
  }
}

acbc_status CheckPadding(const CallKey& key, std::int32_t length, std::uint8_t* record,
                         acbc_result* result) {
  key.path->decrypt(&key.key, kAcbcVector, record, 1);
  const int used = length % kRecord;
  // Every padding byte is looked at, whatever the earlier ones hold.
  unsigned any = 0;
  for (int i = used; i < kRecord; ++i) any |= record[i];
  SecureZero(record, kRecord);
  const int padding = kRecord - used;
  result->padding_bytes = padding;
  if (padding < kConfirmingPadding) result->warnings |= ACBC_WARN_WEAK_CHECK;
  return any == 0 ? ACBC_OK : ACBC_E_WRONG_PASSWORD;
}

acbc_status Report(const Progress& progress, std::int64_t done) {
  if (progress.caller == nullptr || progress.caller->report == nullptr) return ACBC_OK;
  return progress.caller->report(progress.caller->context, done, progress.total) != 0
             ? ACBC_E_CANCELLED
             : ACBC_OK;
}

std::int64_t ReadFull(Reader in, std::uint8_t* buffer, std::size_t size, acbc_result* result) {
  std::size_t got = 0;
  while (got < size) {
    errno = 0;
    const std::ptrdiff_t n = in.read(in.context, buffer + got, size - got);
    if (n == 0) break;
    if (n < 0 || static_cast<std::size_t>(n) > size - got) {
      const int error = n < 0 ? errno : EIO;
      // A reader that gives up on request (ECANCELED) stops the call.
      Fail(result, error == ECANCELED ? ACBC_E_CANCELLED : ACBC_E_READ,
           error == ECANCELED ? 0 : (error != 0 ? error : EIO));
      return -1;
    }
    got += static_cast<std::size_t>(n);
    result->bytes_read += n;
  }
  return static_cast<std::int64_t>(got);
}

acbc_status WriteAll(Writer out, const std::uint8_t* buffer, std::size_t size,
                     acbc_result* result) {
  if (size == 0) return ACBC_OK;
  errno = 0;
  if (out.write(out.context, buffer, size) != 0) {
    const int error = errno;
    return Fail(result, ACBC_E_WRITE, error != 0 ? error : EIO);
  }
  result->bytes_written += static_cast<std::int64_t>(size);
  return ACBC_OK;
}

namespace {

// Asks for one byte more than promised: any is a changed input.
acbc_status ProbeEnd(Reader in, acbc_result* result, bool* more) {
  std::uint8_t extra = 0;
  const std::int64_t got = ReadFull(in, &extra, 1, result);
  if (got < 0) return result->status;
  *more = got > 0;
  return ACBC_OK;
}

acbc_status EncryptChunks(Reader in, std::int32_t length, bool probe, Writer out,
                          const CallKey& key, const Progress& progress, acbc_result* result,
                          std::uint8_t* buffer) {
  AcbcFormatHeader(length, buffer);
  std::int64_t recordsLeft = length / kRecord + 1;
  std::int64_t done = 0;
  std::size_t at = kRecord;  // the first chunk carries the header
  while (recordsLeft > 0) {
    const std::size_t room = (kChunkSize - at) / kRecord;
    const auto records = static_cast<std::size_t>(
        std::min<std::int64_t>(recordsLeft, static_cast<std::int64_t>(room)));
    const auto want = static_cast<std::size_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(records) * kRecord, length - done));
    const std::int64_t got = ReadFull(in, buffer + at, want, result);
    if (got < 0) return result->status;
    if (static_cast<std::size_t>(got) < want) return Fail(result, ACBC_E_INPUT_CHANGED, 0);
    std::memset(buffer + at + want, 0, records * kRecord - want);
    key.path->encrypt(&key.key, kAcbcVector, buffer + at, records);
    recordsLeft -= static_cast<std::int64_t>(records);
    done += got;
    if (recordsLeft == 0 && probe) {
      bool more = false;
      if (ProbeEnd(in, result, &more) != ACBC_OK) return result->status;
      if (more) return Fail(result, ACBC_E_INPUT_CHANGED, 0);
    }
    if (WriteAll(out, buffer, at + records * kRecord, result) != ACBC_OK) return result->status;
    // A length that ends a chunk leaves one record of zeros for the next:
    // done == total is reported once, after it.
    const bool last = recordsLeft == 0;
    if ((last || done < length) && Report(progress, done) != ACBC_OK) {
      return Fail(result, ACBC_E_CANCELLED, 0);
    }
    at = 0;
  }
  return ACBC_OK;
}

acbc_status DecryptChunks(Reader in, const BodyPlan& plan, Writer out, const CallKey& key,
                          const Progress& progress, acbc_result* result, std::uint8_t* buffer) {
  // remaining starts at the recorded length and drops by every record's
  // byte count while it is not negative.
  std::int32_t remaining = plan.length;
  std::int64_t left = plan.length >= 0 ? plan.readBytes : 0;
  std::int64_t done = plan.done;
  bool ended = false;
  while (left > 0 && !ended) {
    const auto want = static_cast<std::size_t>(
        std::min<std::int64_t>(left, static_cast<std::int64_t>(kChunkSize)));
    const std::int64_t read = ReadFull(in, buffer, want, result);
    if (read < 0) return result->status;
    const auto got = static_cast<std::size_t>(read);
    left -= read;
    done += read;
    if (got < want) {
      if (plan.known) return Fail(result, ACBC_E_INPUT_CHANGED, 0);
      if (!plan.salvage) return Fail(result, ACBC_E_DAMAGED, 0);
      result->warnings |= ACBC_WARN_SALVAGED;
      ended = true;
    }
    // Only the chunk's last record can be short. The bytes the records give
    // form one run from the chunk's start: remaining only drops and every
    // earlier record is whole.
    std::size_t keep = 0;
    std::size_t used = 0;
    for (std::size_t at = 0; at < got && remaining >= 0; at += kRecord, ++used) {
      const auto count = static_cast<std::int32_t>(std::min<std::size_t>(kRecord, got - at));
      keep += static_cast<std::size_t>(std::min(remaining, count));
      remaining -= count;
    }
    if (used > 0) {
      // A short last record is decrypted with zeros after its bytes.
      const std::size_t end = used * kRecord;
      if (got < end) std::memset(buffer + got, 0, end - got);
      if (left == 0 && !ended && plan.checkPadding) {
        // The record holding the plaintext's last byte ends the body: its
        // padding decides before any of this chunk is written.
        std::uint8_t last[kRecord];
        std::memcpy(last, buffer + end - kRecord, kRecord);
        if (CheckPadding(key, plan.length, last, result) != ACBC_OK) {
          SecureZero(buffer, want);
          return Fail(result, ACBC_E_WRONG_PASSWORD, 0);
        }
      }
      key.path->decrypt(&key.key, kAcbcVector, buffer, used);
      if (WriteAll(out, buffer, keep, result) != ACBC_OK) return result->status;
    }
    if (Report(Progress{progress.caller, ended ? done : progress.total}, done) != ACBC_OK) {
      return Fail(result, ACBC_E_CANCELLED, 0);
    }
  }
  if (plan.probe && !ended && plan.length >= 0) {
    bool more = false;
    if (ProbeEnd(in, result, &more) != ACBC_OK) return result->status;
    if (more) result->warnings |= ACBC_WARN_TRAILING_DATA;
  }
  if (plan.length < 0 || plan.readBytes == 0) {
    // Nothing to read after the header: its report is the last.
    if (Report(Progress{progress.caller, done}, done) != ACBC_OK) {
      return Fail(result, ACBC_E_CANCELLED, 0);
    }
  }
  return ACBC_OK;
}

acbc_status RekeyChunks(Reader in, std::int32_t length, Writer out, const CallKey& oldKey,
                        const CallKey& newKey, const Progress& progress, acbc_result* result,
                        std::uint8_t* buffer) {
  AcbcFormatHeader(length, buffer);
  const std::int64_t records = length / kRecord + 1;
  std::int64_t recordsLeft = records;
  std::int64_t done = kRecord;
  std::size_t at = kRecord;
  while (recordsLeft > 0) {
    const auto count = static_cast<std::size_t>(std::min<std::int64_t>(
        recordsLeft, static_cast<std::int64_t>((kChunkSize - at) / kRecord)));
    const std::int64_t got = ReadFull(in, buffer + at, count * kRecord, result);
    if (got < 0) return result->status;
    if (static_cast<std::size_t>(got) < count * kRecord) {
      return Fail(result, ACBC_E_INPUT_CHANGED, 0);
    }
    oldKey.path->decrypt(&oldKey.key, kAcbcVector, buffer + at, count);
    recordsLeft -= static_cast<std::int64_t>(count);
    if (recordsLeft == 0) {
      // Zeros after the plaintext, as AESEncypt writes them (the password
      // check found them there already).
      const std::size_t used = static_cast<std::size_t>(length % kRecord);
      std::memset(buffer + at + (count - 1) * kRecord + used, 0, kRecord - used);
    }
    newKey.path->encrypt(&newKey.key, kAcbcVector, buffer + at, count);
    if (WriteAll(out, buffer, at + count * kRecord, result) != ACBC_OK) return result->status;
    done += got;
    if (Report(progress, done) != ACBC_OK) return Fail(result, ACBC_E_CANCELLED, 0);
    at = 0;
  }
  return ACBC_OK;
}

}  // namespace

acbc_status EncryptPass(Reader in, std::int32_t length, bool probe, Writer out, const CallKey& key,
                        const Progress& progress, acbc_result* result) {
  std::uint8_t buffer[kChunkSize];
  const acbc_status status = EncryptChunks(in, length, probe, out, key, progress, result, buffer);
  SecureZero(buffer, sizeof buffer);
  return status;
}

acbc_status DecryptPass(Reader in, const BodyPlan& plan, Writer out, const CallKey& key,
                        const Progress& progress, acbc_result* result) {
  std::uint8_t buffer[kChunkSize];
  const acbc_status status = DecryptChunks(in, plan, out, key, progress, result, buffer);
  SecureZero(buffer, sizeof buffer);
  return status;
}

acbc_status RekeyPass(Reader in, std::int32_t length, Writer out, const CallKey& oldKey,
                      const CallKey& newKey, const Progress& progress, acbc_result* result) {
  std::uint8_t buffer[kChunkSize];
  const acbc_status status = RekeyChunks(in, length, out, oldKey, newKey, progress, result, buffer);
  SecureZero(buffer, sizeof buffer);
  return status;
}

}  // namespace pellfold::acbc
