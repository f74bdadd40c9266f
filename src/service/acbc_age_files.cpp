// The age file and descriptor calls of acbc.h and acbc_upgrade_file, over
// the input and output machinery of service/acbc_io.h and the age passes of
// age/age.h.
#include <acbc.h>
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "age/age.h"
#include "service/acbc_engine.h"
#include "service/acbc_io.h"
#include "service/acbc_jobs.h"
#include "util/wipe.h"

namespace pellfold::acbc {
namespace {

constexpr unsigned kAgeEncryptFlags = ACBC_REPLACE | ACBC_NO_SYNC | ACBC_AGE_ARMOR;
constexpr unsigned kAgeDecryptFlags = ACBC_REPLACE | ACBC_NO_SYNC;
constexpr unsigned kAgeRekeyFlags = ACBC_REPLACE | ACBC_NO_SYNC;
constexpr unsigned kUpgradeFlags = ACBC_REPLACE | ACBC_NO_SYNC | ACBC_AGE_ARMOR;
constexpr int kMaxScryptWorkFactor = 30;
// Bytes read to tell a format: the age version line, or the armor's first
// line after some white space.
constexpr std::size_t kDetectBytes = 128;

// Keys that are to encrypt: exactly one of a passphrase or recipients.
acbc_status CheckEncryptKeys(const acbc_age_keys* keys) {
  if (keys == nullptr || keys->work_factor < 0 || keys->work_factor > kMaxScryptWorkFactor ||
      (keys->passphrase_length > 0 && keys->passphrase == nullptr) ||
      (keys->recipient_count > 0 && keys->recipients == nullptr)) {
    return ACBC_E_ARGUMENT;
  }
  if (keys->passphrase_length > 0) return keys->recipient_count == 0 ? ACBC_OK : ACBC_E_ARGUMENT;
  if (keys->recipient_count > 0) return keys->passphrase == nullptr ? ACBC_OK : ACBC_E_ARGUMENT;
  return keys->passphrase != nullptr ? ACBC_E_EMPTY_PASSWORD : ACBC_E_ARGUMENT;
}

// Keys that are to decrypt: a passphrase, identities or both.
bool DecryptKeysValid(const acbc_age_keys* keys) {
  return keys != nullptr && keys->work_factor >= 0 &&
         (keys->passphrase_length == 0 || keys->passphrase != nullptr) &&
         (keys->identity_count == 0 || keys->identities != nullptr) &&
         (keys->passphrase_length > 0 || keys->identity_count > 0);
}

Reader WholeInput(const Input& in, FdSource* source) {
  *source = FdSource{in.fd, in.base, in.base + static_cast<off_t>(in.size)};
  return FdReader(source);
}

acbc_status ReadFormat(const Input& in, acbc_format* format, acbc_result* r) {
  std::uint8_t head[kDetectBytes] = {};
  constexpr auto kMost = static_cast<std::int64_t>(kDetectBytes);
  const std::int64_t want = in.size < kMost ? in.size : kMost;
  FdSource source{in.fd, in.base, in.base + static_cast<off_t>(want)};
  const std::int64_t got = ReadFull(FdReader(&source), head, sizeof head, r);
  if (got < 0) return r->status;
  *format = age::DetectFormat(head, static_cast<std::size_t>(got));
  return ACBC_OK;
}

}  // namespace

acbc_status RequireAge(const Input& in, acbc_result* r) {
  acbc_format format = ACBC_FORMAT_UNKNOWN;
  const acbc_status status = ReadFormat(in, &format, r);
  r->bytes_read = 0;
  if (status != ACBC_OK) return status;
  return format == ACBC_FORMAT_AGE ? ACBC_OK : Fail(r, ACBC_E_NOT_AGE, 0);
}

namespace {

int Discard(void* /*context*/, const void* /*buffer*/, std::size_t /*size*/) {
  return 0;
}

// Plaintext on its way into an age file, counted as it passes.
struct Upgrading {
  age::Encoder* encoder;
  std::int64_t bytes;
};

int IntoEncoder(void* context, const void* buffer, std::size_t size) {
  auto* up = static_cast<Upgrading*>(context);
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  up->bytes += static_cast<std::int64_t>(size);
  acbc_result scratch;
  ResetResult(&scratch);
  if (age::EncoderWrite(up->encoder, bytes, size, &scratch) != ACBC_OK) {
    errno = scratch.error_number != 0 ? scratch.error_number : EIO;
    return -1;
  }
  return 0;
}

// Plaintext read back from the age file, compared with the ACBC input's
// records decrypted once more (far cheaper than a digest of each side).
struct ReadBack {
  const Input* in;
  const CallKey* key;
  std::int64_t length;  // the plaintext the input holds
  std::int64_t at;      // plaintext bytes compared so far
  bool same;
  int error;    // errno of a failed read of the input, else 0
  bool shrunk;  // the input ended before its records did
  std::uint8_t records[kChunkSize];
};

// Decrypts the input's records holding plaintext [at, at + size) into
// `records`; false when they cannot be read whole.
bool DecryptAgain(ReadBack* back, std::size_t skip, std::size_t size) {
  constexpr auto kRecordBytes = static_cast<std::size_t>(kRecord);
  const std::size_t count = (skip + size + kRecordBytes - 1) / kRecordBytes;
  const std::size_t want = count * kRecordBytes;
  const std::int64_t first = back->at - static_cast<std::int64_t>(skip);
  FdSource source{back->in->fd, back->in->base + kRecord + static_cast<off_t>(first),
                  back->in->base + static_cast<off_t>(back->in->size)};
  acbc_result scratch;
  ResetResult(&scratch);
  const std::int64_t got = ReadFull(FdReader(&source), back->records, want, &scratch);
  if (got < 0) back->error = scratch.error_number != 0 ? scratch.error_number : EIO;
  back->shrunk = got >= 0 && got < static_cast<std::int64_t>(want);
  if (got != static_cast<std::int64_t>(want)) {
    return false;
  }
  back->key->path->decrypt(&back->key->key, kAcbcVector, back->records, count);
  return true;
}

int AgainstInput(void* context, const void* buffer, std::size_t size) {
  auto* back = static_cast<ReadBack*>(context);
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  while (size > 0 && back->same) {
    const auto skip = static_cast<std::size_t>(back->at % kRecord);
    const std::size_t n = std::min(size, kChunkSize - skip);
    back->same = back->at + static_cast<std::int64_t>(n) <= back->length &&
                 DecryptAgain(back, skip, n) && std::memcmp(back->records + skip, bytes, n) == 0;
    back->at += static_cast<std::int64_t>(n);
    bytes += n;
    size -= n;
  }
  return 0;
}

acbc_status EncryptAgePass(const Input& in, Writer writer, const acbc_age_keys& keys, bool armor,
                           const acbc_progress* progress, acbc_result* r) {
  age::Encoder encoder;
  std::uint8_t chunk[age::kChunkSize];
  FdSource source{};
  const Reader reader = WholeInput(in, &source);
  const Progress report{progress, in.size};
  acbc_status s = age::EncoderStart(&encoder, keys, armor, writer, r);
  std::int64_t done = 0;
  while (s == ACBC_OK) {
    const std::int64_t got = ReadFull(reader, chunk, sizeof chunk, r);
    if (got < 0) {
      s = r->status;
      break;
    }
    if (got == 0 && done < in.size) s = Fail(r, ACBC_E_INPUT_CHANGED, 0);
    if (got == 0) break;
    s = age::EncoderWrite(&encoder, chunk, static_cast<std::size_t>(got), r);
    done += got;
    if (s == ACBC_OK && Report(report, done) != ACBC_OK) s = Fail(r, ACBC_E_CANCELLED, 0);
  }
  if (s == ACBC_OK) s = age::EncoderFinish(&encoder, r);
  if (s == ACBC_OK && in.size == 0 && Report(report, 0) != ACBC_OK) {
    s = Fail(r, ACBC_E_CANCELLED, 0);
  }
  r->bytes_written = encoder.bytesWritten;
  age::EncoderWipe(&encoder);
  SecureZero(chunk, sizeof chunk);
  return s;
}

acbc_status InspectAgeInput(const Input& in, acbc_age_info* info, acbc_result* r) {
  info->file_size = in.size;
  FdSource source{};
  const acbc_status status = age::InspectPass(WholeInput(in, &source), info, r);
  info->file_size = in.size;
  return status;
}

void ResetAgeInfo(acbc_age_info* info) {
  std::memset(info, 0, sizeof *info);
}

// Reads the age file just written back from its start under the encoder's
// file key and compares its plaintext with what went in. An output that is
// not a regular file (a device) cannot be read back and is not.
acbc_status CheckWritten(const Input& in, const CallKey& key, const Output& out,
                         const age::Encoder& encoder, const Upgrading& up, acbc_result* r) {
  if (out.inPlace) return ACBC_OK;
  ReadBack back;
  back.in = &in;
  back.key = &key;
  back.length = up.bytes;
  back.at = 0;
  back.same = true;
  back.error = 0;
  back.shrunk = false;
  FdSource source{out.fd, 0, static_cast<off_t>(encoder.bytesWritten)};
  acbc_result scratch;
  ResetResult(&scratch);
  const acbc_status status =
      age::DecryptPass(FdReader(&source), Writer{AgainstInput, &back}, nullptr, &encoder.key,
                       Progress{nullptr, 0}, &scratch);
  const bool same = status == ACBC_OK && back.same && back.at == up.bytes;
  SecureZero(back.records, sizeof back.records);
  if (same) return ACBC_OK;
  // The input could not be read again: a read failure, with its errno.
  if (back.error != 0) return Fail(r, ACBC_E_READ, back.error);
  if (back.shrunk) return Fail(r, ACBC_E_INPUT_CHANGED, 0);
  // A failed read of the output is a failed write; so is a file that does
  // not give back what went in.
  return Fail(r, ACBC_E_WRITE,
              status == ACBC_E_READ && scratch.error_number != 0 ? scratch.error_number : EIO);
}

acbc_status UpgradePass(Job* job, const CallKey& key, const acbc_age_keys& keys,
                        const acbc_progress* progress, acbc_result* r) {
  const Input& in = job->in;
  const Layout& layout = job->layout;
  age::Encoder encoder;
  Upgrading up{&encoder, 0};
  const std::int64_t body = BodyToRead(layout);
  FdSource source{in.fd, in.base + kRecord, in.base + kRecord + static_cast<off_t>(body)};
  const Writer writer{WriteFd, &job->out.fd};
  acbc_status s = age::EncoderStart(&encoder, keys, (job->flags & ACBC_AGE_ARMOR) != 0, writer, r);
  if (s == ACBC_OK) {
    BodyPlan plan;
    plan.length = layout.length;
    plan.readBytes = body;
    plan.known = true;
    plan.done = layout.headerBytes;
    s = DecryptPass(FdReader(&source), plan, Writer{IntoEncoder, &up}, key,
                    Progress{progress, layout.headerBytes + body}, r);
  }
  if (s == ACBC_OK) s = age::EncoderFinish(&encoder, r);
  r->bytes_written = encoder.bytesWritten;
  if (s == ACBC_OK) s = CheckWritten(in, key, job->out, encoder, up, r);
  age::EncoderWipe(&encoder);
  return s;
}

// The keys a run of an age kind takes, as the file calls check them.
acbc_status AgeRunArguments(const Job& job, const void* password, std::size_t passwordLength,
                            const acbc_age_keys* keys, const acbc_age_keys* newKeys) {
  const bool upgrade = job.kind == ACBC_JOB_UPGRADE;
  if ((upgrade ? !PasswordValid(password, passwordLength)
               : password != nullptr || passwordLength != 0) ||
      ((job.kind == ACBC_JOB_AGE_REKEY) != (newKeys != nullptr))) {
    return ACBC_E_ARGUMENT;
  }
  switch (job.kind) {
    case ACBC_JOB_AGE_ENCRYPT:
    case ACBC_JOB_UPGRADE: return CheckEncryptKeys(keys);
    case ACBC_JOB_AGE_REKEY:
      if (!DecryptKeysValid(keys)) return ACBC_E_ARGUMENT;
      return CheckEncryptKeys(newKeys);
    case ACBC_JOB_AGE_DECRYPT:
    case ACBC_JOB_AGE_VERIFY: return DecryptKeysValid(keys) ? ACBC_OK : ACBC_E_ARGUMENT;
    default: return ACBC_E_ARGUMENT;
  }
}

// A file call of an age kind as one job: prepare, run and commit in a row.
acbc_status RunAgeFileJob(acbc_job_kind kind, const char* inputPath, int inputFd,
                          const char* output, unsigned flags, const void* password,
                          std::size_t passwordLength, const acbc_age_keys* keys,
                          const acbc_age_keys* newKeys, const acbc_progress* progress,
                          acbc_result* r) {
  return RunFileCall(kind, inputPath, inputFd, output, flags, r, [&](Job* job) {
    return JobRunAge(job, password, passwordLength, keys, newKeys, progress, r);
  });
}

}  // namespace

acbc_status JobRunAge(Job* job, const void* password, std::size_t passwordLength,
                      const acbc_age_keys* keys, const acbc_age_keys* newKeys,
                      const acbc_progress* progress, acbc_result* r) {
  if (job->stage != ACBC_JOB_PREPARED) return JobFail(job, Fail(r, ACBC_E_ARGUMENT, 0), r);
  acbc_status status = AgeRunArguments(*job, password, passwordLength, keys, newKeys);
  if (status != ACBC_OK) return JobFail(job, Fail(r, status, 0), r);
  const Input& in = job->in;
  FdSource source{};
  const Writer writer{WriteFd, &job->out.fd};
  const Progress report{progress, in.size};
  // An output written in place is opened when the work starts (for an
  // upgrade, once the ACBC password passed its check).
  if (job->kind != ACBC_JOB_UPGRADE) status = JobOpenInPlace(job, r);
  if (status == ACBC_OK) {
    switch (job->kind) {
      case ACBC_JOB_AGE_ENCRYPT:
        status = EncryptAgePass(in, writer, *keys, (job->flags & ACBC_AGE_ARMOR) != 0, progress, r);
        break;
      case ACBC_JOB_AGE_DECRYPT:
        status = age::DecryptPass(WholeInput(in, &source), writer, keys, nullptr, report, r);
        break;
      case ACBC_JOB_AGE_VERIFY:
        status = age::DecryptPass(WholeInput(in, &source), Writer{Discard, nullptr}, keys, nullptr,
                                  Progress{nullptr, in.size}, r);
        r->bytes_written = 0;
        break;
      case ACBC_JOB_AGE_REKEY:
        status = age::RewrapPass(WholeInput(in, &source), writer, *keys, *newKeys, report, r);
        break;
      case ACBC_JOB_UPGRADE: {
        DecryptionPasswordWarnings(passwordLength, r);
        CallKey key;
        SetUpKey(password, passwordLength, &key);
        status = CheckPasswordAt(in, job->layout, key, r);
        if (status != ACBC_OK) status = Fail(r, status, r->error_number);
        if (status == ACBC_OK) status = JobOpenInPlace(job, r);
        if (status == ACBC_OK) status = UpgradePass(job, key, *keys, progress, r);
        Wipe(&key);
        break;
      }
      default: status = Fail(r, ACBC_E_ARGUMENT, 0); break;
    }
  }
  // Each of them reads all of its input.
  return JobRan(job, status, r, true);
}

}  // namespace pellfold::acbc

using namespace pellfold::acbc;

extern "C" {

ACBC_API acbc_status acbc_detect_file(const char* path, acbc_format* format, acbc_result* result) {
  acbc_result r;
  ResetResult(&r);
  if (path == nullptr || format == nullptr) return Finish(result, &r, ACBC_E_ARGUMENT);
  *format = ACBC_FORMAT_UNKNOWN;
  Input in;
  acbc_status status = OpenInputPath(path, &in, &r);
  if (status == ACBC_OK) status = ReadFormat(in, format, &r);
  CloseInput(&in);
  return Finish(result, &r, status);
}

ACBC_API acbc_status acbc_detect_fd(int fd, acbc_format* format, acbc_result* result) {
  acbc_result r;
  ResetResult(&r);
  if (format == nullptr) return Finish(result, &r, ACBC_E_ARGUMENT);
  *format = ACBC_FORMAT_UNKNOWN;
  Input in;
  acbc_status status = OpenInputFd(fd, &in, &r);
  if (status == ACBC_OK) status = ReadFormat(in, format, &r);
  return Finish(result, &r, status);
}

ACBC_API acbc_status acbc_age_encrypt_file(const char* input, const char* output,
                                           const acbc_age_keys* keys, unsigned flags,
                                           const acbc_progress* progress, acbc_result* result) {
  acbc_result r;
  ResetResult(&r);
  if (input == nullptr || output == nullptr || !FlagsValid(flags, kAgeEncryptFlags)) {
    return Finish(result, &r, ACBC_E_ARGUMENT);
  }
  acbc_status status = CheckEncryptKeys(keys);
  if (status != ACBC_OK) return Finish(result, &r, status);
  status = RunAgeFileJob(ACBC_JOB_AGE_ENCRYPT, input, -1, output, flags, nullptr, 0, keys, nullptr,
                         progress, &r);
  return Finish(result, &r, status);
}

ACBC_API acbc_status acbc_age_encrypt_fd(int input_fd, const char* output,
                                         const acbc_age_keys* keys, unsigned flags,
                                         const acbc_progress* progress, acbc_result* result) {
  acbc_result r;
  ResetResult(&r);
  if (output == nullptr || !FlagsValid(flags, kAgeEncryptFlags)) {
    return Finish(result, &r, ACBC_E_ARGUMENT);
  }
  acbc_status status = CheckEncryptKeys(keys);
  if (status != ACBC_OK) return Finish(result, &r, status);
  status = RunAgeFileJob(ACBC_JOB_AGE_ENCRYPT, nullptr, input_fd, output, flags, nullptr, 0, keys,
                         nullptr, progress, &r);
  return Finish(result, &r, status);
}

ACBC_API acbc_status acbc_age_decrypt_file(const char* input, const char* output,
                                           const acbc_age_keys* keys, unsigned flags,
                                           const acbc_progress* progress, acbc_result* result) {
  acbc_result r;
  ResetResult(&r);
  if (input == nullptr || output == nullptr || !DecryptKeysValid(keys) ||
      !FlagsValid(flags, kAgeDecryptFlags)) {
    return Finish(result, &r, ACBC_E_ARGUMENT);
  }
  const acbc_status status = RunAgeFileJob(ACBC_JOB_AGE_DECRYPT, input, -1, output, flags, nullptr,
                                           0, keys, nullptr, progress, &r);
  return Finish(result, &r, status);
}

ACBC_API acbc_status acbc_age_decrypt_fd(int input_fd, const char* output,
                                         const acbc_age_keys* keys, unsigned flags,
                                         const acbc_progress* progress, acbc_result* result) {
  acbc_result r;
  ResetResult(&r);
  if (output == nullptr || !DecryptKeysValid(keys) || !FlagsValid(flags, kAgeDecryptFlags)) {
    return Finish(result, &r, ACBC_E_ARGUMENT);
  }
  const acbc_status status = RunAgeFileJob(ACBC_JOB_AGE_DECRYPT, nullptr, input_fd, output, flags,
                                           nullptr, 0, keys, nullptr, progress, &r);
  return Finish(result, &r, status);
}

ACBC_API acbc_status acbc_age_verify_file(const char* path, const acbc_age_keys* keys,
                                          acbc_result* result) {
  acbc_result r;
  ResetResult(&r);
  if (path == nullptr || !DecryptKeysValid(keys)) return Finish(result, &r, ACBC_E_ARGUMENT);
  const acbc_status status = RunAgeFileJob(ACBC_JOB_AGE_VERIFY, path, -1, nullptr, 0, nullptr, 0,
                                           keys, nullptr, nullptr, &r);
  return Finish(result, &r, status);
}

ACBC_API acbc_status acbc_age_verify_fd(int fd, const acbc_age_keys* keys, acbc_result* result) {
  acbc_result r;
  ResetResult(&r);
  if (!DecryptKeysValid(keys)) return Finish(result, &r, ACBC_E_ARGUMENT);
  const acbc_status status = RunAgeFileJob(ACBC_JOB_AGE_VERIFY, nullptr, fd, nullptr, 0, nullptr, 0,
                                           keys, nullptr, nullptr, &r);
  return Finish(result, &r, status);
}

ACBC_API acbc_status acbc_age_inspect_file(const char* path, acbc_age_info* info,
                                           acbc_result* result) {
  acbc_result r;
  ResetResult(&r);
  if (path == nullptr || info == nullptr) return Finish(result, &r, ACBC_E_ARGUMENT);
  ResetAgeInfo(info);
  Input in;
  acbc_status status = OpenInputPath(path, &in, &r);
  if (status == ACBC_OK) status = InspectAgeInput(in, info, &r);
  CloseInput(&in);
  return Finish(result, &r, status);
}

ACBC_API acbc_status acbc_age_inspect_fd(int fd, acbc_age_info* info, acbc_result* result) {
  acbc_result r;
  ResetResult(&r);
  if (info == nullptr) return Finish(result, &r, ACBC_E_ARGUMENT);
  ResetAgeInfo(info);
  Input in;
  acbc_status status = OpenInputFd(fd, &in, &r);
  if (status == ACBC_OK) status = InspectAgeInput(in, info, &r);
  return Finish(result, &r, status);
}

ACBC_API acbc_status acbc_age_rekey_file(const char* input, const char* output,
                                         const acbc_age_keys* old_keys,
                                         const acbc_age_keys* new_keys, unsigned flags,
                                         const acbc_progress* progress, acbc_result* result) {
  acbc_result r;
  ResetResult(&r);
  if (input == nullptr || !DecryptKeysValid(old_keys) || !FlagsValid(flags, kAgeRekeyFlags)) {
    return Finish(result, &r, ACBC_E_ARGUMENT);
  }
  acbc_status status = CheckEncryptKeys(new_keys);
  if (status != ACBC_OK) return Finish(result, &r, status);
  status = RunAgeFileJob(ACBC_JOB_AGE_REKEY, input, -1, output, flags, nullptr, 0, old_keys,
                         new_keys, progress, &r);
  return Finish(result, &r, status);
}

ACBC_API acbc_status acbc_upgrade_file(const char* input, const char* output, const void* password,
                                       size_t password_length, const acbc_age_keys* keys,
                                       unsigned flags, const acbc_progress* progress,
                                       acbc_result* result) {
  acbc_result r;
  ResetResult(&r);
  if (input == nullptr || output == nullptr || !PasswordValid(password, password_length) ||
      !FlagsValid(flags, kUpgradeFlags)) {
    return Finish(result, &r, ACBC_E_ARGUMENT);
  }
  acbc_status status = CheckEncryptKeys(keys);
  if (status != ACBC_OK) return Finish(result, &r, status);
  status = RunAgeFileJob(ACBC_JOB_UPGRADE, input, -1, output, flags, password, password_length,
                         keys, nullptr, progress, &r);
  return Finish(result, &r, status);
}

}  // extern "C"
