// The ACBC file and descriptor calls of acbc.h, over the input and output
// machinery of service/acbc_io.h.
#include <acbc.h>
#include <sys/types.h>

#include <cerrno>

#include "service/acbc_engine.h"
#include "service/acbc_io.h"
#include "service/acbc_jobs.h"

namespace pellfold::acbc {

// Reads the header record (the rest zero-filled) and classifies the file.
acbc_status ReadLayout(const Input& in, Layout* layout, acbc_result* r) {
  std::uint8_t header[kRecord] = {};
  FdSource source{in.fd, in.base,
                  in.base + static_cast<off_t>(in.size < kRecord ? in.size : kRecord)};
  const std::int64_t got = ReadFull(FdReader(&source), header, sizeof header, r);
  if (got < 0) return r->status;
  *layout = Classify(header, got, in.size - got);
  if (layout->haveLength) r->length = layout->length;
  return ACBC_OK;
}

// Reads and checks the padding of the record that holds the plaintext's
// last byte.
acbc_status CheckPasswordAt(const Input& in, const Layout& layout, const CallKey& key,
                            acbc_result* r) {
  std::uint8_t record[kRecord];
  const off_t at = in.base + kRecord + static_cast<off_t>((layout.recordsExpected - 1) * kRecord);
  FdSource source{in.fd, at, at + kRecord};
  const std::int64_t got = ReadFull(FdReader(&source), record, sizeof record, r);
  r->bytes_read -= got > 0 ? got : 0;  // looked at, not consumed
  if (got < 0) return r->status;
  if (got < kRecord) return Fail(r, ACBC_E_INPUT_CHANGED, 0);
  return CheckPadding(key, layout.length, record, r);
}

namespace {

constexpr unsigned kEncryptFlags = ACBC_REPLACE | ACBC_NO_SYNC;
constexpr unsigned kDecryptFlags =
    ACBC_REPLACE | ACBC_SALVAGE | ACBC_NO_PASSWORD_CHECK | ACBC_NO_SYNC;
constexpr unsigned kRekeyFlags = ACBC_REPLACE | ACBC_NO_SYNC;

// A file call as one job: prepare, run and commit in a row, in `r`.
acbc_status RunJob(acbc_job_kind kind, const char* inputPath, int inputFd, const char* output,
                   unsigned flags, const void* password, std::size_t passwordLength,
                   const void* newPassword, std::size_t newLength, const acbc_progress* progress,
                   acbc_result* r) {
  return RunFileCall(kind, inputPath, inputFd, output, flags, r, [&](Job* job) {
    return JobRun(job, password, passwordLength, newPassword, newLength, progress, r);
  });
}

acbc_status InspectInput(const Input& in, acbc_info* info, acbc_result* r) {
  Layout layout;
  const acbc_status status = ReadLayout(in, &layout, r);
  if (status != ACBC_OK) return status;
  FillInfo(layout, info);
  return layout.status;
}

void ResetInfo(acbc_info* info) {
  info->file_size = 0;
  info->length = -1;
  info->records_expected = 0;
  info->records_present = 0;
  info->trailing_bytes = 0;
}

// The status of an inspect call, with errno left as the failing call had it.
acbc_status InspectStatus(acbc_status status, const acbc_result& r) {
  if (r.error_number != 0) errno = r.error_number;
  return status;
}

}  // namespace

}  // namespace pellfold::acbc

using namespace pellfold::acbc;

extern "C" {

ACBC_API acbc_status acbc_encrypt_file(const char* input, const char* output, const void* password,
                                       size_t password_length, unsigned flags,
                                       const acbc_progress* progress, acbc_result* result) {
  acbc_result r;
  ResetResult(&r);
  if (input == nullptr || output == nullptr || !PasswordValid(password, password_length) ||
      !FlagsValid(flags, kEncryptFlags)) {
    return Finish(result, &r, ACBC_E_ARGUMENT);
  }
  if (EmptyKey(password, password_length)) return Finish(result, &r, ACBC_E_EMPTY_PASSWORD);
  EncryptionPasswordWarnings(password_length, &r);
  const acbc_status status = RunJob(ACBC_JOB_ENCRYPT, input, -1, output, flags, password,
                                    password_length, nullptr, 0, progress, &r);
  return Finish(result, &r, status);
}

ACBC_API acbc_status acbc_encrypt_fd(int input_fd, const char* output, const void* password,
                                     size_t password_length, unsigned flags,
                                     const acbc_progress* progress, acbc_result* result) {
  acbc_result r;
  ResetResult(&r);
  if (output == nullptr || !PasswordValid(password, password_length) ||
      !FlagsValid(flags, kEncryptFlags)) {
    return Finish(result, &r, ACBC_E_ARGUMENT);
  }
  if (EmptyKey(password, password_length)) return Finish(result, &r, ACBC_E_EMPTY_PASSWORD);
  EncryptionPasswordWarnings(password_length, &r);
  const acbc_status status = RunJob(ACBC_JOB_ENCRYPT, nullptr, input_fd, output, flags, password,
                                    password_length, nullptr, 0, progress, &r);
  return Finish(result, &r, status);
}

ACBC_API acbc_status acbc_decrypt_file(const char* input, const char* output, const void* password,
                                       size_t password_length, unsigned flags,
                                       const acbc_progress* progress, acbc_result* result) {
  acbc_result r;
  ResetResult(&r);
  if (input == nullptr || output == nullptr || !PasswordValid(password, password_length) ||
      !FlagsValid(flags, kDecryptFlags)) {
    return Finish(result, &r, ACBC_E_ARGUMENT);
  }
  const acbc_status status = RunJob(ACBC_JOB_DECRYPT, input, -1, output, flags, password,
                                    password_length, nullptr, 0, progress, &r);
  return Finish(result, &r, status);
}

ACBC_API acbc_status acbc_decrypt_fd(int input_fd, const char* output, const void* password,
                                     size_t password_length, unsigned flags,
                                     const acbc_progress* progress, acbc_result* result) {
  acbc_result r;
  ResetResult(&r);
  if (output == nullptr || !PasswordValid(password, password_length) ||
      !FlagsValid(flags, kDecryptFlags)) {
    return Finish(result, &r, ACBC_E_ARGUMENT);
  }
  const acbc_status status = RunJob(ACBC_JOB_DECRYPT, nullptr, input_fd, output, flags, password,
                                    password_length, nullptr, 0, progress, &r);
  return Finish(result, &r, status);
}

ACBC_API acbc_status acbc_rekey_file(const char* input, const char* output,
                                     const void* old_password, size_t old_length,
                                     const void* new_password, size_t new_length, unsigned flags,
                                     const acbc_progress* progress, acbc_result* result) {
  acbc_result r;
  ResetResult(&r);
  if (input == nullptr || !PasswordValid(old_password, old_length) ||
      !PasswordValid(new_password, new_length) || !FlagsValid(flags, kRekeyFlags)) {
    return Finish(result, &r, ACBC_E_ARGUMENT);
  }
  if (EmptyKey(new_password, new_length)) return Finish(result, &r, ACBC_E_EMPTY_PASSWORD);
  const acbc_status status = RunJob(ACBC_JOB_REKEY, input, -1, output, flags, old_password,
                                    old_length, new_password, new_length, progress, &r);
  return Finish(result, &r, status);
}

ACBC_API acbc_status acbc_verify_file(const char* path, const void* password,
                                      size_t password_length, acbc_result* result) {
  acbc_result r;
  ResetResult(&r);
  if (path == nullptr || !PasswordValid(password, password_length)) {
    return Finish(result, &r, ACBC_E_ARGUMENT);
  }
  const acbc_status status = RunJob(ACBC_JOB_VERIFY, path, -1, nullptr, 0, password,
                                    password_length, nullptr, 0, nullptr, &r);
  return Finish(result, &r, status);
}

ACBC_API acbc_status acbc_verify_fd(int fd, const void* password, size_t password_length,
                                    acbc_result* result) {
  acbc_result r;
  ResetResult(&r);
  if (!PasswordValid(password, password_length)) return Finish(result, &r, ACBC_E_ARGUMENT);
  const acbc_status status = RunJob(ACBC_JOB_VERIFY, nullptr, fd, nullptr, 0, password,
                                    password_length, nullptr, 0, nullptr, &r);
  return Finish(result, &r, status);
}

ACBC_API acbc_status acbc_inspect_file(const char* path, acbc_info* info) {
  if (path == nullptr || info == nullptr) return ACBC_E_ARGUMENT;
  ResetInfo(info);
  acbc_result r;
  ResetResult(&r);
  Input in;
  acbc_status status = OpenInputPath(path, &in, &r);
  if (status == ACBC_OK) status = InspectInput(in, info, &r);
  CloseInput(&in);
  return InspectStatus(status, r);
}

ACBC_API acbc_status acbc_inspect_fd(int fd, acbc_info* info) {
  if (info == nullptr) return ACBC_E_ARGUMENT;
  ResetInfo(info);
  acbc_result r;
  ResetResult(&r);
  Input in;
  acbc_status status = OpenInputFd(fd, &in, &r);
  if (status == ACBC_OK) status = InspectInput(in, info, &r);
  return InspectStatus(status, r);
}

ACBC_API acbc_status acbc_inspect_layout_fd(int fd, acbc_layout* layout, acbc_result* result) {
  acbc_result r;
  ResetResult(&r);
  if (layout == nullptr) return Finish(result, &r, ACBC_E_ARGUMENT);
  Layout found;
  FillLayout(found, layout);
  Input in;
  acbc_status status = OpenInputFd(fd, &in, &r);
  if (status == ACBC_OK) status = ReadLayout(in, &found, &r);
  if (status == ACBC_OK) FillLayout(found, layout);
  return Finish(result, &r, status);
}

}  // extern "C"
