// The stream, buffer and text calls of acbc.h; the file calls are in
// acbc_files.cpp.
#include <acbc.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "service/acbc_engine.h"
#include "service/acbc_unsized.h"
#include "util/wipe.h"

namespace pellfold::acbc {
namespace {

// A reader over caller memory.
struct MemorySource {
  const std::uint8_t* bytes;
  std::size_t size;
  std::size_t at;
};

std::ptrdiff_t ReadMemory(void* context, void* buffer, std::size_t size) {
  auto* source = static_cast<MemorySource*>(context);
  const std::size_t left = source->size - source->at;
  const std::size_t n = size < left ? size : left;
  if (n > 0) std::memcpy(buffer, source->bytes + source->at, n);
  source->at += n;
  return static_cast<std::ptrdiff_t>(n);
}

// A writer into caller memory whose capacity was checked beforehand.
struct MemorySink {
  std::uint8_t* bytes;
  std::size_t at;
};

int WriteMemory(void* context, const void* buffer, std::size_t size) {
  auto* sink = static_cast<MemorySink*>(context);
  std::memcpy(sink->bytes + sink->at, buffer, size);
  sink->at += size;
  return 0;
}

bool Overlap(const void* a, std::size_t aSize, const void* b, std::size_t bSize) {
  if (a == nullptr || b == nullptr || aSize == 0 || bSize == 0) return false;
  const auto x = reinterpret_cast<std::uintptr_t>(a);
  const auto y = reinterpret_cast<std::uintptr_t>(b);
  return x < y + bSize && y < x + aSize;
}

constexpr unsigned kDecryptBufferFlags = ACBC_SALVAGE | ACBC_NO_PASSWORD_CHECK;
constexpr unsigned kDecryptStreamFlags = kDecryptBufferFlags | ACBC_TRUST_LENGTH;
constexpr unsigned kEncryptStreamFlags = ACBC_TRUST_LENGTH | ACBC_UNKNOWN_LENGTH;

}  // namespace

}  // namespace pellfold::acbc

using namespace pellfold::acbc;

extern "C" {

ACBC_API int64_t acbc_encrypted_size(int64_t length) {
  if (length < 0 || length > kMaxLength) return -1;
  return kRecord * (length / kRecord + 2);
}

ACBC_API acbc_status acbc_encrypt_stream_flags(acbc_read_fn read, void* read_context,
                                               int64_t length, acbc_write_fn write,
                                               void* write_context, const void* password,
                                               size_t password_length, unsigned flags,
                                               const acbc_progress* progress, acbc_result* result) {
  acbc_result r;
  ResetResult(&r);
  if (read == nullptr || write == nullptr || !PasswordValid(password, password_length) ||
      !FlagsValid(flags, kEncryptStreamFlags)) {
    return Finish(result, &r, ACBC_E_ARGUMENT);
  }
  const bool unknown = (flags & ACBC_UNKNOWN_LENGTH) != 0;
  if (unknown && (length != -1 || (flags & ACBC_TRUST_LENGTH) != 0)) {
    return Finish(result, &r, ACBC_E_ARGUMENT);
  }
  if (!unknown && (length < 0 || length > kMaxLength)) return Finish(result, &r, ACBC_E_TOO_LARGE);
  r.length = length;
  if (EmptyKey(password, password_length)) return Finish(result, &r, ACBC_E_EMPTY_PASSWORD);
  EncryptionPasswordWarnings(password_length, &r);
  CallKey key;
  SetUpKey(password, password_length, &key);
  if (unknown) {
    const acbc_status status = EncryptUnsizedTo(
        Reader{read, read_context}, key, Writer{write, write_context}, Progress{progress, -1}, &r);
    Wipe(&key);
    return Finish(result, &r, status);
  }
  // Unless the length is trusted, one byte more is asked for to tell a
  // reader that has more than it said.
  const bool probe = (flags & ACBC_TRUST_LENGTH) == 0;
  const acbc_status status =
      EncryptPass(Reader{read, read_context}, static_cast<std::int32_t>(length), probe,
                  Writer{write, write_context}, key, Progress{progress, length}, &r);
  Wipe(&key);
  return Finish(result, &r, status);
}

ACBC_API acbc_status acbc_encrypt_stream(acbc_read_fn read, void* read_context, int64_t length,
                                         acbc_write_fn write, void* write_context,
                                         const void* password, size_t password_length,
                                         const acbc_progress* progress, acbc_result* result) {
  return acbc_encrypt_stream_flags(read, read_context, length, write, write_context, password,
                                   password_length, 0, progress, result);
}

ACBC_API acbc_status acbc_decrypt_stream(acbc_read_fn read, void* read_context, acbc_write_fn write,
                                         void* write_context, const void* password,
                                         size_t password_length, unsigned flags,
                                         const acbc_progress* progress, acbc_result* result) {
  acbc_result r;
  ResetResult(&r);
  if (read == nullptr || write == nullptr || !PasswordValid(password, password_length) ||
      !FlagsValid(flags, kDecryptStreamFlags)) {
    return Finish(result, &r, ACBC_E_ARGUMENT);
  }
  DecryptionPasswordWarnings(password_length, &r);
  const Reader in{read, read_context};
  std::uint8_t header[kRecord] = {};
  const std::int64_t got = ReadFull(in, header, sizeof header, &r);
  if (got < 0) return Finish(result, &r, r.status);
  // The body's size is not known yet: classify as if it were whole, which
  // tells a bad magic, a short header and a negative length.
  Layout layout = Classify(header, got, 0);
  if (!layout.haveLength) return Finish(result, &r, ACBC_E_NOT_ACBC);
  r.length = layout.length;
  const bool salvage = (flags & ACBC_SALVAGE) != 0;
  if (got < kRecord || layout.length < 0) {
    if (!salvage) return Finish(result, &r, ACBC_E_DAMAGED);
    // What AESDecrypt writes for these: nothing.
    r.warnings |= ACBC_WARN_SALVAGED;
    if (Report(Progress{progress, got}, got) != ACBC_OK) {
      return Finish(result, &r, ACBC_E_CANCELLED);
    }
    return Finish(result, &r, ACBC_OK);
  }
  BodyPlan plan;
  plan.length = layout.length;
  plan.readBytes = layout.recordsExpected * kRecord;
  plan.salvage = salvage;
  plan.checkPadding = (flags & ACBC_NO_PASSWORD_CHECK) == 0;
  plan.probe = (flags & ACBC_TRUST_LENGTH) == 0;
  plan.done = got;
  CallKey key;
  SetUpKey(password, password_length, &key);
  const acbc_status status = DecryptPass(in, plan, Writer{write, write_context}, key,
                                         Progress{progress, got + plan.readBytes}, &r);
  Wipe(&key);
  return Finish(result, &r, status);
}

ACBC_API acbc_status acbc_encrypt_buffer(const void* input, size_t length, void* output,
                                         size_t capacity, const void* password,
                                         size_t password_length, acbc_result* result) {
  acbc_result r;
  ResetResult(&r);
  if ((input == nullptr && length > 0) || (output == nullptr && capacity > 0) ||
      !PasswordValid(password, password_length) || Overlap(input, length, output, capacity)) {
    return Finish(result, &r, ACBC_E_ARGUMENT);
  }
  if (length > static_cast<size_t>(kMaxLength)) return Finish(result, &r, ACBC_E_TOO_LARGE);
  r.length = static_cast<std::int64_t>(length);
  if (EmptyKey(password, password_length)) return Finish(result, &r, ACBC_E_EMPTY_PASSWORD);
  EncryptionPasswordWarnings(password_length, &r);
  const std::int64_t size = acbc_encrypted_size(r.length);
  if (capacity < static_cast<size_t>(size)) {
    return Finish(result, &r, ACBC_E_BUFFER_TOO_SMALL);
  }
  MemorySource source{static_cast<const std::uint8_t*>(input), length, 0};
  MemorySink sink{static_cast<std::uint8_t*>(output), 0};
  CallKey key;
  SetUpKey(password, password_length, &key);
  const acbc_status status =
      EncryptPass(Reader{ReadMemory, &source}, static_cast<std::int32_t>(length), false,
                  Writer{WriteMemory, &sink}, key, Progress{nullptr, r.length}, &r);
  Wipe(&key);
  return Finish(result, &r, status);
}

ACBC_API acbc_status acbc_decrypt_buffer(const void* input, size_t size, void* output,
                                         size_t capacity, const void* password,
                                         size_t password_length, unsigned flags,
                                         acbc_result* result) {
  acbc_result r;
  ResetResult(&r);
  if ((input == nullptr && size > 0) || (output == nullptr && capacity > 0) ||
      !PasswordValid(password, password_length) || !FlagsValid(flags, kDecryptBufferFlags) ||
      Overlap(input, size, output, capacity)) {
    return Finish(result, &r, ACBC_E_ARGUMENT);
  }
  DecryptionPasswordWarnings(password_length, &r);
  const auto* bytes = static_cast<const std::uint8_t*>(input);
  std::uint8_t header[kRecord] = {};
  const std::size_t headerBytes = std::min<std::size_t>(size, kRecord);
  if (bytes != nullptr) std::memcpy(header, bytes, headerBytes);
  const Layout layout = Classify(header, static_cast<std::int64_t>(headerBytes),
                                 static_cast<std::int64_t>(size - headerBytes));
  if (!layout.haveLength) return Finish(result, &r, ACBC_E_NOT_ACBC);
  r.length = layout.length;
  r.bytes_read = static_cast<std::int64_t>(headerBytes);
  if (layout.status == ACBC_E_DAMAGED) {
    if ((flags & ACBC_SALVAGE) == 0) return Finish(result, &r, ACBC_E_DAMAGED);
    r.warnings |= ACBC_WARN_SALVAGED;
  }
  if (layout.trailingBytes > 0) r.warnings |= ACBC_WARN_TRAILING_DATA;
  CallKey key;
  SetUpKey(password, password_length, &key);
  acbc_status status = ACBC_OK;
  if (layout.status == ACBC_OK && (flags & ACBC_NO_PASSWORD_CHECK) == 0) {
    std::uint8_t last[kRecord];
    std::memcpy(last, bytes + kRecord + (layout.recordsExpected - 1) * kRecord, kRecord);
    status = CheckPadding(key, layout.length, last, &r);
  }
  const std::int64_t needed = PlaintextSize(layout);
  if (status == ACBC_OK && static_cast<std::uint64_t>(needed) > capacity) {
    r.length = needed;
    status = ACBC_E_BUFFER_TOO_SMALL;
  }
  if (status == ACBC_OK) {
    // The body starts after a whole header; a damaged file may have none.
    const std::uint8_t* body = size > kRecord ? bytes + kRecord : bytes;
    MemorySource source{body, static_cast<std::size_t>(BodyToRead(layout)), 0};
    MemorySink sink{static_cast<std::uint8_t*>(output), 0};
    BodyPlan plan;
    plan.length = layout.length;
    plan.readBytes = BodyToRead(layout);
    plan.known = true;
    plan.salvage = true;
    plan.done = r.bytes_read;
    status = DecryptPass(Reader{ReadMemory, &source}, plan, Writer{WriteMemory, &sink}, key,
                         Progress{nullptr, r.bytes_read + plan.readBytes}, &r);
  }
  Wipe(&key);
  return Finish(result, &r, status);
}

ACBC_API const char* acbc_status_text(acbc_status status) {
  switch (status) {
    case ACBC_OK: return "success";
    case ACBC_E_ARGUMENT: return "invalid argument";
    case ACBC_E_INPUT_OPEN: return "cannot open input";
    case ACBC_E_OUTPUT_OPEN: return "cannot open output";
    case ACBC_E_OUTPUT_EXISTS: return "file exists";
    case ACBC_E_SAME_FILE: return "output is the same file as the input";
    case ACBC_E_INPUT_LENGTH: return "input length cannot be determined (not seekable)";
    case ACBC_E_TOO_LARGE: return "input is 2 GiB or larger";
    case ACBC_E_EMPTY_PASSWORD: return "the password is empty";
    case ACBC_E_NOT_ACBC: return "not an ACBC file";
    case ACBC_E_DAMAGED: return "damaged file (truncated, or a negative length)";
    case ACBC_E_WRONG_PASSWORD: return "wrong password (or the file was altered)";
    case ACBC_E_INPUT_CHANGED: return "input changed while it was being read";
    case ACBC_E_READ: return "read error";
    case ACBC_E_WRITE: return "write error";
    case ACBC_E_BUFFER_TOO_SMALL: return "output buffer too small";
    case ACBC_E_CANCELLED: return "cancelled";
    case ACBC_E_NOT_AGE: return "not an age file";
    case ACBC_E_AGE_HEADER: return "malformed or unsupported age header";
    case ACBC_E_AGE_MAC: return "the age header was altered (MAC mismatch)";
    case ACBC_E_AGE_ARMOR: return "malformed age armor";
    case ACBC_E_NO_MATCH: return "wrong passphrase, or no identity matches";
    case ACBC_E_AGE_PAYLOAD: return "the file was altered or truncated";
    case ACBC_E_WORK_FACTOR: return "scrypt work factor too high";
    case ACBC_E_BAD_KEY: return "invalid recipient or identity";
  }
  return "unknown status";
}

ACBC_API const char* acbc_verdict_name(int verdict) {
  switch (verdict) {
    case ACBC_VERDICT_CONSISTENT: return "consistent";
    case ACBC_VERDICT_TRUNCATED: return "truncated";
    case ACBC_VERDICT_TRAILING_BYTES: return "trailing-bytes";
    case ACBC_VERDICT_NEGATIVE_LENGTH: return "negative-length";
    case ACBC_VERDICT_UNREADABLE_LENGTH: return "unreadable-length";
    case ACBC_VERDICT_NOT_ACBC: return "not-acbc";
    default: break;
  }
  return "unknown";
}

ACBC_API const char* acbc_status_name(acbc_status status) {
  switch (status) {
    case ACBC_OK: return "ok";
    case ACBC_E_ARGUMENT: return "argument";
    case ACBC_E_INPUT_OPEN: return "input_open";
    case ACBC_E_OUTPUT_OPEN: return "output_open";
    case ACBC_E_OUTPUT_EXISTS: return "output_exists";
    case ACBC_E_SAME_FILE: return "same_file";
    case ACBC_E_INPUT_LENGTH: return "input_length";
    case ACBC_E_TOO_LARGE: return "too_large";
    case ACBC_E_EMPTY_PASSWORD: return "empty_password";
    case ACBC_E_NOT_ACBC: return "not_acbc";
    case ACBC_E_DAMAGED: return "damaged";
    case ACBC_E_WRONG_PASSWORD: return "wrong_password";
    case ACBC_E_INPUT_CHANGED: return "input_changed";
    case ACBC_E_READ: return "read";
    case ACBC_E_WRITE: return "write";
    case ACBC_E_BUFFER_TOO_SMALL: return "buffer_too_small";
    case ACBC_E_CANCELLED: return "cancelled";
    case ACBC_E_NOT_AGE: return "not_age";
    case ACBC_E_AGE_HEADER: return "age_header";
    case ACBC_E_AGE_MAC: return "age_mac";
    case ACBC_E_AGE_ARMOR: return "age_armor";
    case ACBC_E_NO_MATCH: return "no_match";
    case ACBC_E_AGE_PAYLOAD: return "age_payload";
    case ACBC_E_WORK_FACTOR: return "work_factor";
    case ACBC_E_BAD_KEY: return "bad_key";
  }
  return "unknown";
}

ACBC_API const char* acbc_version(void) {
  return "1.1.0";
}

}  // extern "C"
