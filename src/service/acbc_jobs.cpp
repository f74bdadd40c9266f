// The job calls of acbc.h: an ACBC file call in steps (prepare without a
// password, run, commit), with the state in the caller's acbc_job bytes.
#include "service/acbc_jobs.h"

#include <acbc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "service/acbc_unsized.h"

namespace pellfold::acbc {

namespace {

static_assert(sizeof(Job) <= sizeof(acbc_job) && alignof(Job) <= alignof(acbc_job),
              "a job must fit the caller's acbc_job");

constexpr std::uint32_t kJobTag = 0x4a6f6273;  // "Jobs"
constexpr unsigned kEncryptFlags = ACBC_REPLACE | ACBC_NO_SYNC;
constexpr unsigned kDecryptFlags =
    ACBC_REPLACE | ACBC_SALVAGE | ACBC_NO_PASSWORD_CHECK | ACBC_NO_SYNC;
constexpr unsigned kRekeyFlags = ACBC_REPLACE | ACBC_NO_SYNC;
constexpr unsigned kAgeEncryptFlags = ACBC_REPLACE | ACBC_NO_SYNC | ACBC_AGE_ARMOR;

bool KindValid(acbc_job_kind kind) {
  return kind >= ACBC_JOB_ENCRYPT && kind <= ACBC_JOB_ENCRYPT_STREAM;
}

unsigned KindFlags(acbc_job_kind kind) {
  switch (kind) {
    case ACBC_JOB_ENCRYPT:
    case ACBC_JOB_ENCRYPT_STREAM: return kEncryptFlags;
    case ACBC_JOB_DECRYPT: return kDecryptFlags;
    case ACBC_JOB_REKEY:
    case ACBC_JOB_WRITE:
    case ACBC_JOB_AGE_DECRYPT:
    case ACBC_JOB_AGE_REKEY: return kRekeyFlags;
    case ACBC_JOB_AGE_ENCRYPT:
    case ACBC_JOB_UPGRADE: return kAgeEncryptFlags;
    case ACBC_JOB_VERIFY:
    case ACBC_JOB_AGE_VERIFY: break;
  }
  return 0;
}

bool HasOutput(acbc_job_kind kind) {
  return kind != ACBC_JOB_VERIFY && kind != ACBC_JOB_AGE_VERIFY;
}

// The kinds whose input is only what their output is made from (its mode
// and identity): the caller gives the data.
bool GivenInput(acbc_job_kind kind) {
  return kind == ACBC_JOB_WRITE || kind == ACBC_JOB_ENCRYPT_STREAM;
}

bool InPlaceAllowed(acbc_job_kind kind) {
  return kind == ACBC_JOB_REKEY || kind == ACBC_JOB_AGE_REKEY;
}

// The kinds acbc_job_run takes.
bool RunsWithPassword(acbc_job_kind kind) {
  return kind == ACBC_JOB_ENCRYPT || kind == ACBC_JOB_DECRYPT || kind == ACBC_JOB_VERIFY ||
         kind == ACBC_JOB_REKEY;
}

// The kinds whose input is an ACBC file, read by its header.
bool ReadsAcbc(acbc_job_kind kind) {
  return kind == ACBC_JOB_DECRYPT || kind == ACBC_JOB_VERIFY || kind == ACBC_JOB_REKEY ||
         kind == ACBC_JOB_UPGRADE;
}

// Whether run checks the password through the last record's padding.
bool ChecksPassword(const Job& job) {
  return ReadsAcbc(job.kind) && job.layout.status == ACBC_OK &&
         (job.flags & ACBC_NO_PASSWORD_CHECK) == 0;
}

// Ends the job: the temporary file goes unless the output was placed, the
// descriptors are closed; what query tells stays.
void End(Job* job, acbc_result* r) {
  if (job->stage == ACBC_JOB_ENDED) return;
  if (job->hasOutput) DiscardOutput(&job->out, r);
  CloseInput(&job->in);
  job->stage = ACBC_JOB_ENDED;
  job->info.stage = ACBC_JOB_ENDED;
}

acbc_status EndOnFailure(Job* job, acbc_status status, acbc_result* r) {
  if (status != ACBC_OK) End(job, r);
  return status;
}

// The header checks of decryption, verification and rekeying, in the order
// the file calls have them: not ACBC before anything about the output, a
// damaged file after it.
acbc_status PrepareChecks(Job* job, const char* output, bool inPlace, acbc_result* r) {
  const Input& in = job->in;
  if (job->kind == ACBC_JOB_ENCRYPT || job->kind == ACBC_JOB_AGE_ENCRYPT) {
    if (job->kind == ACBC_JOB_ENCRYPT && in.size > kMaxLength) {
      return Fail(r, ACBC_E_TOO_LARGE, 0);
    }
    r->length = in.size;
    job->info.input.file_size = in.size;
    job->info.input.length = in.size;
  } else if (GivenInput(job->kind)) {
    job->info.input.file_size = in.size;
  } else if (!ReadsAcbc(job->kind)) {
    job->info.input.file_size = in.size;
    const acbc_status status = RequireAge(in, r);
    if (status != ACBC_OK) return status;
  } else {
    acbc_status status = ReadLayout(in, &job->layout, r);
    if (status != ACBC_OK) return status;
    job->haveLayout = true;
    FillInfo(job->layout, &job->info.input);
    if (!job->layout.haveLength) return Fail(r, ACBC_E_NOT_ACBC, 0);
  }
  if (job->hasOutput) {
    const acbc_status status = PrepareOutput(output, in, job->flags, inPlace, &job->out, r);
    if (status != ACBC_OK) return status;
    job->info.output_existed = job->out.existed || job->out.inPlace ? 1 : 0;
    job->info.output_in_place = job->out.inPlace ? 1 : 0;
    // An upgrade reads its age file back before it is linked.
    job->out.readable = job->kind == ACBC_JOB_UPGRADE;
  }
  if (!ReadsAcbc(job->kind)) return ACBC_OK;
  if (job->layout.status == ACBC_E_DAMAGED) {
    if ((job->flags & ACBC_SALVAGE) == 0) return Fail(r, ACBC_E_DAMAGED, 0);
    r->warnings |= ACBC_WARN_SALVAGED;
  }
  if (job->layout.trailingBytes > 0) r->warnings |= ACBC_WARN_TRAILING_DATA;
  if (ChecksPassword(*job)) job->info.padding_bytes = kRecord - job->layout.length % kRecord;
  return ACBC_OK;
}

acbc_status RunEncrypt(Job* job, const CallKey& key, const acbc_progress* progress,
                       acbc_result* r) {
  const Input& in = job->in;
  FdSource source{in.fd, in.base, in.base + static_cast<off_t>(in.size)};
  Writer writer{WriteFd, &job->out.fd};
  return EncryptPass(FdReader(&source), static_cast<std::int32_t>(in.size), false, writer, key,
                     Progress{progress, in.size}, r);
}

acbc_status RunDecrypt(Job* job, const CallKey& key, const acbc_progress* progress,
                       acbc_result* r) {
  const Input& in = job->in;
  const Layout& layout = job->layout;
  const std::int64_t body = BodyToRead(layout);
  FdSource source{in.fd, in.base + kRecord, in.base + kRecord + static_cast<off_t>(body)};
  Writer writer{WriteFd, &job->out.fd};
  BodyPlan plan;
  plan.length = layout.length;
  plan.readBytes = body;
  plan.known = true;
  plan.salvage = true;
  plan.done = layout.headerBytes;
  return DecryptPass(FdReader(&source), plan, writer, key,
                     Progress{progress, layout.headerBytes + body}, r);
}

acbc_status RunRekey(Job* job, const CallKey& oldKey, const void* newPassword,
                     std::size_t newLength, const acbc_progress* progress, acbc_result* r) {
  EncryptionPasswordWarnings(newLength, r);
  CallKey newKey;
  SetUpKey(newPassword, newLength, &newKey);
  const Input& in = job->in;
  const std::int64_t body = job->layout.recordsExpected * kRecord;
  FdSource source{in.fd, in.base + kRecord, in.base + kRecord + static_cast<off_t>(body)};
  Writer writer{WriteFd, &job->out.fd};
  r->bytes_read = kRecord;
  const acbc_status status = RekeyPass(FdReader(&source), job->layout.length, writer, oldKey,
                                       newKey, Progress{progress, kRecord + body}, r);
  Wipe(&newKey);
  return status;
}

Job* LiveJob(acbc_job* job) {
  if (job == nullptr) return nullptr;
  auto* j = std::launder(reinterpret_cast<Job*>(job->opaque.bytes));
  return j->tag == kJobTag ? j : nullptr;
}

// The job of entry `i` of a batch commit, while it is still to commit: a
// job given twice belongs to its first entry.
Job* Entry(acbc_job* const* jobs, std::size_t i) {
  Job* j = LiveJob(jobs[i]);
  return j != nullptr && j->inBatch && j->batchEntry == i && j->stage == ACBC_JOB_RAN ? j : nullptr;
}

// Whether the output of entry `i` has the same name in the same folder as
// that of an earlier entry of the batch (one folder reached by two paths:
// a bind mount, a link): linking it would replace the other's new output.
bool NamedBefore(acbc_job* const* jobs, std::size_t i) {
  const Job* j = Entry(jobs, i);
  if (j == nullptr || j->folderDevice < 0) return false;
  for (std::size_t k = 0; k < i; ++k) {
    const Job* other = LiveJob(jobs[k]);
    if (other != nullptr && other->inBatch && other->batchEntry == k &&
        other->folderDevice == j->folderDevice && other->folderInode == j->folderInode &&
        std::strcmp(other->out.base, j->out.base) == 0) {
      return true;
    }
  }
  return false;
}

// Whether a job of a batch commit has an output of its own to sync.
bool NeedsSync(const Job* j) {
  return j != nullptr && j->hasOutput && !j->out.inPlace && j->out.sync;
}

// One syncfs() per file system that holds a batch's temporary files, before
// any of them is linked. Where syncfs fails, each file of that file system
// is synced by its commit instead.
void BatchSyncFiles(acbc_job* const* jobs, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    Job* j = Entry(jobs, i);
    if (!NeedsSync(j) || j->syncAsked) continue;
    struct stat st {};
    if (fstat(j->out.fd, &st) != 0) continue;
    const bool synced = syncfs(j->out.fd) == 0;
    for (std::size_t k = i; k < count; ++k) {
      Job* other = Entry(jobs, k);
      struct stat ost {};
      if (NeedsSync(other) && fstat(other->out.fd, &ost) == 0 && ost.st_dev == st.st_dev) {
        other->out.fileSynced = synced;
        other->syncAsked = true;
      }
    }
  }
}

// Syncs each folder that received an output once, after every link; a
// folder sync that fails is every one of its jobs' failure, with the output
// in place.
void BatchSyncFolders(acbc_job* const* jobs, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    Job* j = Entry(jobs, i);
    if (j == nullptr) continue;
    struct stat st {};
    // A folder that cannot be told apart from others is synced by itself.
    const bool known = fstat(j->out.dirFd, &st) == 0;
    const int error = fsync(j->out.dirFd) != 0 && errno != EINVAL && errno != EROFS ? errno : 0;
    for (std::size_t k = i; k < count; ++k) {
      Job* other = Entry(jobs, k);
      struct stat ost {};
      if (other == nullptr) continue;
      if (k != i && (!known || fstat(other->out.dirFd, &ost) != 0 || ost.st_dev != st.st_dev ||
                     ost.st_ino != st.st_ino)) {
        continue;
      }
      if (error != 0) {
        other->result.warnings |= ACBC_WARN_OUTPUT_PLACED;
        Fail(&other->result, ACBC_E_WRITE, error);
      }
      End(other, &other->result);
    }
  }
}

}  // namespace

acbc_status JobFail(Job* job, acbc_status status, acbc_result* r) {
  return EndOnFailure(job, status, r);
}

acbc_status JobOpenInPlace(Job* job, acbc_result* r) {
  return job->hasOutput && job->out.inPlace ? CreateOutput(&job->out, r) : ACBC_OK;
}

acbc_status JobRan(Job* job, acbc_status status, acbc_result* r, bool checkInput) {
  if (status == ACBC_OK && checkInput) status = CheckUnchanged(job->in, r);
  if (status == ACBC_OK) {
    job->stage = ACBC_JOB_RAN;
    job->info.stage = ACBC_JOB_RAN;
  }
  return EndOnFailure(job, status, r);
}

acbc_status JobPrepare(Job* job, acbc_job_kind kind, const char* inputPath, int inputFd,
                       const char* output, unsigned flags, acbc_result* r) {
  job->kind = kind;
  job->info.kind = kind;
  job->flags = flags;
  job->hasOutput = HasOutput(kind);
  job->info.input.length = -1;
  job->stage = ACBC_JOB_PREPARED;
  acbc_status status = ACBC_OK;
  if (GivenInput(kind)) {
    // Only what the output is made from: its mode, and that it is not the
    // output itself.
    job->in.fd = inputFd;
    if (fstat(inputFd, &job->in.st) != 0) status = Fail(r, ACBC_E_INPUT_OPEN, errno);
  } else {
    status = inputPath != nullptr ? OpenInputPath(inputPath, &job->in, r)
                                  : OpenInputFd(inputFd, &job->in, r);
  }
  if (status == ACBC_OK) {
    job->info.input_device = static_cast<std::int64_t>(job->in.st.st_dev);
    job->info.input_inode = static_cast<std::int64_t>(job->in.st.st_ino);
    job->info.input_links = static_cast<std::int64_t>(job->in.st.st_nlink);
    const bool inPlace = InPlaceAllowed(kind) && output == nullptr;
    status = PrepareChecks(job, inPlace ? inputPath : output, inPlace, r);
  }
  // An output written in place (a device, a FIFO) is opened only once the
  // password is known to be right.
  if (status == ACBC_OK && job->hasOutput && !job->out.inPlace) status = CreateOutput(&job->out, r);
  if (status == ACBC_OK) job->info.stage = ACBC_JOB_PREPARED;
  // What the caller writes needs no run.
  if (kind == ACBC_JOB_WRITE) return JobRan(job, status, r, false);
  return EndOnFailure(job, status, r);
}

acbc_status JobRunStream(Job* job, Reader reader, const void* password, std::size_t passwordLength,
                         const acbc_progress* progress, acbc_result* r) {
  if (job->kind != ACBC_JOB_ENCRYPT_STREAM || job->stage != ACBC_JOB_PREPARED ||
      reader.read == nullptr || !PasswordValid(password, passwordLength)) {
    return EndOnFailure(job, Fail(r, ACBC_E_ARGUMENT, 0), r);
  }
  if (EmptyKey(password, passwordLength)) {
    return EndOnFailure(job, Fail(r, ACBC_E_EMPTY_PASSWORD, 0), r);
  }
  EncryptionPasswordWarnings(passwordLength, r);
  CallKey key;
  SetUpKey(password, passwordLength, &key);
  acbc_status status = JobOpenInPlace(job, r);
  const Progress report{progress, -1};
  if (status == ACBC_OK && job->out.inPlace) {
    status = EncryptUnsizedTo(reader, key, Writer{WriteFd, &job->out.fd}, report, r);
  } else if (status == ACBC_OK) {
    status = EncryptUnsized(reader, key, job->out.fd, 0, report, r);
  }
  Wipe(&key);
  // A pipe has no size or times to compare.
  return JobRan(job, status, r, false);
}

acbc_status JobWrite(Job* job, const void* data, std::size_t size, acbc_result* r) {
  if (job->kind != ACBC_JOB_WRITE || job->stage != ACBC_JOB_RAN || (data == nullptr && size > 0)) {
    return EndOnFailure(job, Fail(r, ACBC_E_ARGUMENT, 0), r);
  }
  acbc_status status = job->out.fd < 0 ? JobOpenInPlace(job, r) : ACBC_OK;
  if (status == ACBC_OK && size > 0 && WriteFd(&job->out.fd, data, size) != 0) {
    status = Fail(r, ACBC_E_WRITE, errno);
  }
  if (status == ACBC_OK) r->bytes_written += static_cast<std::int64_t>(size);
  return EndOnFailure(job, status, r);
}

acbc_status JobRun(Job* job, const void* password, std::size_t passwordLength,
                   const void* newPassword, std::size_t newLength, const acbc_progress* progress,
                   acbc_result* r) {
  const bool rekey = job->kind == ACBC_JOB_REKEY;
  if (job->stage != ACBC_JOB_PREPARED || !RunsWithPassword(job->kind) ||
      !PasswordValid(password, passwordLength) || !PasswordValid(newPassword, newLength) ||
      (!rekey && (newPassword != nullptr || newLength != 0))) {
    return EndOnFailure(job, Fail(r, ACBC_E_ARGUMENT, 0), r);
  }
  if ((job->kind == ACBC_JOB_ENCRYPT && EmptyKey(password, passwordLength)) ||
      (rekey && EmptyKey(newPassword, newLength))) {
    return EndOnFailure(job, Fail(r, ACBC_E_EMPTY_PASSWORD, 0), r);
  }
  if (job->kind == ACBC_JOB_ENCRYPT) {
    EncryptionPasswordWarnings(passwordLength, r);
  } else {
    DecryptionPasswordWarnings(passwordLength, r);
  }
  CallKey key;
  SetUpKey(password, passwordLength, &key);
  acbc_status status = ACBC_OK;
  if (ChecksPassword(*job)) {
    status = CheckPasswordAt(job->in, job->layout, key, r);
    if (status != ACBC_OK) status = Fail(r, status, r->error_number);
  }
  if (status == ACBC_OK) status = JobOpenInPlace(job, r);
  if (status == ACBC_OK) {
    switch (job->kind) {
      case ACBC_JOB_ENCRYPT: status = RunEncrypt(job, key, progress, r); break;
      case ACBC_JOB_DECRYPT: status = RunDecrypt(job, key, progress, r); break;
      case ACBC_JOB_REKEY: status = RunRekey(job, key, newPassword, newLength, progress, r); break;
      default: break;  // verification: the password check was all
    }
  }
  Wipe(&key);
  // Verification reads only the last record.
  return JobRan(job, status, r, job->hasOutput);
}

acbc_status JobCommit(Job* job, acbc_result* r) {
  if (job->stage != ACBC_JOB_RAN) return EndOnFailure(job, Fail(r, ACBC_E_ARGUMENT, 0), r);
  // An output written in place that got no write is opened all the same.
  acbc_status status = job->out.fd < 0 ? JobOpenInPlace(job, r) : ACBC_OK;
  if (status != ACBC_OK) return EndOnFailure(job, status, r);
  if (job->hasOutput) {
    status = CommitOutput(&job->out, r);
    job->info.output_placed = job->out.placed ? 1 : 0;
  }
  End(job, r);
  return status;
}

void JobDiscard(Job* job, acbc_result* r) {
  End(job, r);
}

}  // namespace pellfold::acbc

using namespace pellfold::acbc;

namespace {

// A new job in the caller's bytes, with the result it carries.
Job* NewJob(acbc_job* job) {
  auto* j = new (job->opaque.bytes) Job;
  j->tag = kJobTag;
  ResetResult(&j->result);
  return j;
}

// Runs `step` on the job in the caller's bytes when it is live, with the
// result it carries; ACBC_E_ARGUMENT for an ended job or other memory.
template <typename Step>
acbc_status OnLiveJob(acbc_job* job, acbc_result* result, Step step) {
  Job* j = LiveJob(job);
  if (j == nullptr || j->stage == ACBC_JOB_ENDED) {
    acbc_result r;
    ResetResult(&r);
    return Finish(result, &r, ACBC_E_ARGUMENT);
  }
  const acbc_status status = step(j);
  return Finish(result, &j->result, status);
}

}  // namespace

extern "C" {

ACBC_API acbc_status acbc_job_prepare(acbc_job* job, acbc_job_kind kind, const char* input,
                                      const char* output, unsigned flags, acbc_result* result) {
  acbc_result r;
  ResetResult(&r);
  if (job == nullptr) return Finish(result, &r, ACBC_E_ARGUMENT);
  Job* j = NewJob(job);
  const bool outputValid = !HasOutput(kind)       ? output == nullptr
                           : InPlaceAllowed(kind) ? true
                                                  : output != nullptr;
  if (input == nullptr || !KindValid(kind) || GivenInput(kind) || !outputValid ||
      !FlagsValid(flags, KindFlags(kind))) {
    return Finish(result, &j->result, ACBC_E_ARGUMENT);
  }
  const acbc_status status = JobPrepare(j, kind, input, -1, output, flags, &j->result);
  return Finish(result, &j->result, status);
}

ACBC_API acbc_status acbc_job_prepare_fd(acbc_job* job, acbc_job_kind kind, int input_fd,
                                         const char* output, unsigned flags, acbc_result* result) {
  acbc_result r;
  ResetResult(&r);
  if (job == nullptr) return Finish(result, &r, ACBC_E_ARGUMENT);
  Job* j = NewJob(job);
  const bool outputValid = HasOutput(kind) ? output != nullptr : output == nullptr;
  if (!KindValid(kind) || !outputValid || !FlagsValid(flags, KindFlags(kind))) {
    return Finish(result, &j->result, ACBC_E_ARGUMENT);
  }
  const acbc_status status = JobPrepare(j, kind, nullptr, input_fd, output, flags, &j->result);
  return Finish(result, &j->result, status);
}

ACBC_API acbc_status acbc_job_run(acbc_job* job, const void* password, size_t password_length,
                                  const void* new_password, size_t new_length,
                                  const acbc_progress* progress, acbc_result* result) {
  return OnLiveJob(job, result, [&](Job* j) {
    return JobRun(j, password, password_length, new_password, new_length, progress, &j->result);
  });
}

ACBC_API acbc_status acbc_job_run_age(acbc_job* job, const void* password, size_t password_length,
                                      const acbc_age_keys* keys, const acbc_age_keys* new_keys,
                                      const acbc_progress* progress, acbc_result* result) {
  return OnLiveJob(job, result, [&](Job* j) {
    return JobRunAge(j, password, password_length, keys, new_keys, progress, &j->result);
  });
}

ACBC_API acbc_status acbc_job_run_stream(acbc_job* job, acbc_read_fn read, void* read_context,
                                         const void* password, size_t password_length,
                                         const acbc_progress* progress, acbc_result* result) {
  return OnLiveJob(job, result, [&](Job* j) {
    return JobRunStream(j, Reader{read, read_context}, password, password_length, progress,
                        &j->result);
  });
}

ACBC_API acbc_status acbc_job_write(acbc_job* job, const void* data, size_t size,
                                    acbc_result* result) {
  return OnLiveJob(job, result, [&](Job* j) { return JobWrite(j, data, size, &j->result); });
}

ACBC_API acbc_status acbc_job_commit(acbc_job* job, acbc_result* result) {
  return OnLiveJob(job, result, [&](Job* j) { return JobCommit(j, &j->result); });
}

ACBC_API acbc_status acbc_job_commit_batch(acbc_job* const* jobs, size_t count,
                                           acbc_result* results) {
  if (jobs == nullptr && count > 0) {
    for (std::size_t i = 0; results != nullptr && i < count; ++i) {
      ResetResult(&results[i]);
      Finish(&results[i], &results[i], ACBC_E_ARGUMENT);
    }
    return ACBC_E_ARGUMENT;
  }
  // The jobs taken, each once; a job given twice is claimed by its first entry.
  for (std::size_t i = 0; i < count; ++i) {
    Job* j = LiveJob(jobs[i]);
    if (j == nullptr || j->inBatch) continue;
    j->inBatch = true;
    j->batchEntry = i;
    if (j->stage != ACBC_JOB_RAN) {
      JobCommit(j, &j->result);  // ACBC_E_ARGUMENT, and discarded
    } else {
      j->out.fileSynced = false;
      j->syncAsked = false;
      struct stat folder {};
      const bool named = j->hasOutput && !j->out.inPlace && fstat(j->out.dirFd, &folder) == 0;
      j->folderDevice = named ? static_cast<std::int64_t>(folder.st_dev) : -1;
      j->folderInode = named ? static_cast<std::int64_t>(folder.st_ino) : -1;
      j->out.folderSyncDeferred = NeedsSync(j);
    }
  }
  BatchSyncFiles(jobs, count);
  for (std::size_t i = 0; i < count; ++i) {
    Job* j = Entry(jobs, i);
    if (j != nullptr) {
      if (NamedBefore(jobs, i)) {
        Fail(&j->result, ACBC_E_OUTPUT_EXISTS, EEXIST);
        End(j, &j->result);
        continue;
      }
      if (j->hasOutput) {
        j->result.status = j->out.fd < 0 ? JobOpenInPlace(j, &j->result) : ACBC_OK;
        if (j->result.status == ACBC_OK) j->result.status = CommitOutput(&j->out, &j->result);
        j->info.output_placed = j->out.placed ? 1 : 0;
      }
      // The folder stays open for its sync below; the rest is released.
      if (!j->out.placed || !j->out.folderSyncDeferred) End(j, &j->result);
    }
  }
  BatchSyncFolders(jobs, count);
  acbc_status first = ACBC_OK;
  for (std::size_t i = 0; i < count; ++i) {
    Job* j = LiveJob(jobs[i]);
    acbc_result own;
    ResetResult(&own);
    acbc_result* r = &own;
    if (j != nullptr && j->inBatch && j->batchEntry == i) {
      End(j, &j->result);
      j->inBatch = false;
      r = &j->result;
    } else {
      Fail(r, ACBC_E_ARGUMENT, 0);
    }
    const acbc_status status = Finish(results != nullptr ? &results[i] : nullptr, r, r->status);
    if (first == ACBC_OK) first = status;
  }
  return first;
}

ACBC_API void acbc_job_discard(acbc_job* job) {
  Job* j = LiveJob(job);
  if (j != nullptr) JobDiscard(j, &j->result);
}

ACBC_API acbc_status acbc_job_query(const acbc_job* job, acbc_job_info* info) {
  if (job == nullptr || info == nullptr) return ACBC_E_ARGUMENT;
  const auto* j = std::launder(reinterpret_cast<const Job*>(job->opaque.bytes));
  if (j->tag != kJobTag) return ACBC_E_ARGUMENT;
  *info = j->info;
  return ACBC_OK;
}

ACBC_API acbc_status acbc_job_layout(const acbc_job* job, acbc_layout* layout) {
  if (job == nullptr || layout == nullptr) return ACBC_E_ARGUMENT;
  const auto* j = std::launder(reinterpret_cast<const Job*>(job->opaque.bytes));
  if (j->tag != kJobTag || !j->haveLayout) return ACBC_E_ARGUMENT;
  FillLayout(j->layout, layout);
  return ACBC_OK;
}

}  // extern "C"
