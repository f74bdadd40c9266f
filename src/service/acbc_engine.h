// The record passes behind acbc.h: header verdicts, the password check and
// the chunked encrypt, decrypt and rekey loops, over plain reader and writer
// callbacks so that files, descriptors, buffers and caller streams share
// them. Everything lives on the calling thread's stack.
#pragma once

#include <acbc.h>

#include <cstddef>
#include <cstdint>

#include "service/acbc_format.h"

namespace pellfold::acbc {

constexpr int kRecord = kAcbcRecordSize;
// Records per read and write: 64 KiB, whole pages on every system.
constexpr std::size_t kChunkRecords = 128;
constexpr std::size_t kChunkSize = kChunkRecords * kRecord;
constexpr std::int64_t kMaxLength = kAcbcMaxLength;
// With fewer zero padding bytes than this a wrong password passes the check
// with odds of 2^-24 or worse.
constexpr int kConfirmingPadding = 4;
constexpr std::size_t kKeyBytes = 32;
constexpr std::size_t kShortPassword = 8;

// A sequential byte source and sink with the contract of acbc_read_fn and
// acbc_write_fn.
struct Reader {
  acbc_read_fn read;
  void* context;
};
struct Writer {
  acbc_write_fn write;
  void* context;
};

// The key for one call (see AcbcCallKey), from a password of any length:
// only its first 32 bytes reach the key. Wiped by Wipe().
using CallKey = AcbcCallKey;
void SetUpKey(const void* password, std::size_t length, CallKey* call);
inline void Wipe(CallKey* call) {
  AcbcWipeKey(call);
}

// The result of the call being made: every entry point fills one and copies
// it out on return.
void ResetResult(acbc_result* result);
acbc_status Finish(acbc_result* out, acbc_result* result, acbc_status status);
// Records a failure with its error number; returns the status.
acbc_status Fail(acbc_result* result, acbc_status status, int error);

// What an ACBC file's header and size say.
struct Layout {
  acbc_status status = ACBC_E_NOT_ACBC;  // ACBC_OK, ACBC_E_NOT_ACBC or ACBC_E_DAMAGED
  bool haveLength = false;
  bool magic = false;  // the record starts "ACBC " (with or without a usable length)
  std::int32_t length = 0;
  std::int64_t headerBytes = 0;      // bytes of the header record present, 0 .. 512
  std::int64_t bodyBytes = 0;        // bytes after the header record
  std::int64_t recordsExpected = 0;  // floor(L / 512) + 1, or 0 for a negative L
  std::int64_t recordsPresent = 0;   // a partial last one included
  std::int64_t trailingBytes = 0;    // bytes after the records the length needs
};
// `record` holds headerBytes bytes and zeros after them.
Layout Classify(const std::uint8_t* record, std::int64_t headerBytes, std::int64_t bodyBytes);
void FillInfo(const Layout& layout, acbc_info* info);
// The layout as acbc.h publishes it: the info, the verdict, what is missing.
void FillLayout(const Layout& layout, acbc_layout* out);
// The body bytes a decryption of `layout` reads (none for a negative
// length, at most the records the length needs) and the plaintext bytes it
// writes from them: what AESDecrypt writes.
std::int64_t BodyToRead(const Layout& layout);
std::int64_t PlaintextSize(const Layout& layout);

// Decrypts `record` (the body record holding the plaintext's last byte, in
// place) and tests that every byte after the plaintext is zero, with no
// branch on the bytes. Sets result->padding_bytes and the weak-check
// warning; returns ACBC_OK or ACBC_E_WRONG_PASSWORD.
acbc_status CheckPadding(const CallKey& key, std::int32_t length, std::uint8_t* record,
                         acbc_result* result);

// Progress for one call: the caller's callback, the total and the last
// value reported.
struct Progress {
  const acbc_progress* caller;
  std::int64_t total;
};
// Reports `done`; ACBC_E_CANCELLED when the callback asks to stop.
acbc_status Report(const Progress& progress, std::int64_t done);

// Flags and password checks shared by the entry points.
bool FlagsValid(unsigned flags, unsigned allowed);
bool PasswordValid(const void* password, std::size_t length);
// Warnings for a password that is to encrypt: short or long.
void EncryptionPasswordWarnings(std::size_t length, acbc_result* result);
// The warning for a password that is to decrypt: long.
void DecryptionPasswordWarnings(std::size_t length, acbc_result* result);
// True when no byte of the key the password gives is set: an empty
// password, or one whose first 32 bytes are all NUL (the key zero-fills a
// short password, so trailing NULs never change it).
bool EmptyKey(const void* password, std::size_t length);

// Writes the header for `length` and floor(length / 512) + 1 records read
// from `in`, exactly `length` bytes. The first write is the header and 127
// records, each later one 128 records, so that every write after the first
// starts on a 64 KiB boundary. When `probe` is set one more byte is asked
// for at the end and any is ACBC_E_INPUT_CHANGED, as is a reader that ends
// early.
acbc_status EncryptPass(Reader in, std::int32_t length, bool probe, Writer out, const CallKey& key,
                        const Progress& progress, acbc_result* result);

// How a decrypt pass ends its input.
struct BodyPlan {
  std::int32_t length = 0;
  // Body bytes to read: all a file has (up to the records the length needs),
  // or for a stream the records the length needs.
  std::int64_t readBytes = 0;
  // The bytes are known to be there (a file): ending early means the file
  // shrank, ACBC_E_INPUT_CHANGED. Otherwise (a stream) ending early is a
  // truncated body: ACBC_E_DAMAGED unless `salvage`.
  bool known = false;
  bool salvage = false;
  // Check the padding of the last record before its chunk is written (a
  // stream; a file's was checked before the pass).
  bool checkPadding = false;
  // Ask for one byte after the records (a stream) to tell trailing data.
  bool probe = false;
  // Bytes already consumed (the header) and counted in the progress.
  std::int64_t done = 0;
};
// Decrypts the body from `in` into `out` and writes, per record of n bytes,
// min(remaining, n) bytes while the remaining count is not negative: the
// bytes AESDecrypt writes.
acbc_status DecryptPass(Reader in, const BodyPlan& plan, Writer out, const CallKey& key,
                        const Progress& progress, acbc_result* result);

// Reads the body records of a checked file under `oldKey` and writes them,
// after a new header, encrypted under `newKey`: the file AESEncypt would
// write for the plaintext. `in` must deliver the floor(L / 512) + 1 records.
acbc_status RekeyPass(Reader in, std::int32_t length, Writer out, const CallKey& oldKey,
                      const CallKey& newKey, const Progress& progress, acbc_result* result);

// Reads up to `size` bytes, calling the reader until it has them or it
// reports the end. Returns the bytes read, or -1 after a failure recorded in
// `result` (ACBC_E_READ with the reader's errno).
std::int64_t ReadFull(Reader in, std::uint8_t* buffer, std::size_t size, acbc_result* result);

// Passes a whole buffer to the writer; ACBC_E_WRITE with its errno.
acbc_status WriteAll(Writer out, const std::uint8_t* buffer, std::size_t size, acbc_result* result);

}  // namespace pellfold::acbc
