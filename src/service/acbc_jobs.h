// The steps of an ACBC file call (prepare, run, commit), over the input and
// output machinery of service/acbc_io.h: the job calls of acbc.h and the
// one-shot file calls of acbc_files.cpp share them.
#pragma once

#include <acbc.h>

#include <cstddef>
#include <cstdint>

#include "service/acbc_engine.h"
#include "service/acbc_io.h"

namespace pellfold::acbc {

struct Job {
  std::uint32_t tag = 0;  // kJobTag while the bytes hold a job, ended or not
  acbc_job_kind kind = ACBC_JOB_ENCRYPT;
  int stage = ACBC_JOB_ENDED;
  unsigned flags = 0;
  bool hasOutput = false;      // not for verification
  bool inBatch = false;        // claimed by the commit_batch in progress,
  std::size_t batchEntry = 0;  // by this entry
  bool syncAsked = false;      // its file system's syncfs was made
  // The output's folder, taken by a batch commit (-1 for none).
  std::int64_t folderDevice = -1;
  std::int64_t folderInode = -1;
  Input in;
  Output out;
  Layout layout;
  bool haveLayout = false;  // prepare read the header into `layout`
  acbc_job_info info{};
  // What the steps so far found (length, warnings, bytes), carried from
  // step to step.
  acbc_result result{};
};

// Reads the record that holds the plaintext's last byte and checks its
// padding under `key` (acbc_files.cpp).
acbc_status CheckPasswordAt(const Input& in, const Layout& layout, const CallKey& key,
                            acbc_result* r);

// Starts a job on `inputPath` or, when it is null, on the caller's
// descriptor `inputFd`. On a failure the job is ended with nothing left.
acbc_status JobPrepare(Job* job, acbc_job_kind kind, const char* inputPath, int inputFd,
                       const char* output, unsigned flags, acbc_result* r);
acbc_status JobRun(Job* job, const void* password, std::size_t passwordLength,
                   const void* newPassword, std::size_t newLength, const acbc_progress* progress,
                   acbc_result* r);
// Runs a job of an age kind (acbc_age_files.cpp).
acbc_status JobRunAge(Job* job, const void* password, std::size_t passwordLength,
                      const acbc_age_keys* keys, const acbc_age_keys* newKeys,
                      const acbc_progress* progress, acbc_result* r);
acbc_status JobRunStream(Job* job, Reader reader, const void* password, std::size_t passwordLength,
                         const acbc_progress* progress, acbc_result* r);
acbc_status JobWrite(Job* job, const void* data, std::size_t size, acbc_result* r);
acbc_status JobCommit(Job* job, acbc_result* r);
// For the runs: ends the job when `status` is a failure and returns it.
acbc_status JobFail(Job* job, acbc_status status, acbc_result* r);
// Opens an output written in place (a device, a FIFO), once the keys are
// known to be right.
acbc_status JobOpenInPlace(Job* job, acbc_result* r);
// The end of a run: with `checkInput`, the input must not have changed;
// the job has run, or has ended on the failure.
acbc_status JobRan(Job* job, acbc_status status, acbc_result* r, bool checkInput);
// An age file is told before anything about the output: ACBC_E_NOT_AGE
// for any other (acbc_age_files.cpp).
acbc_status RequireAge(const Input& in, acbc_result* r);
// Removes what the job made and ends it; nothing for an ended job.
void JobDiscard(Job* job, acbc_result* r);

// A file call as one job: prepare, `run` (on the prepared job) and commit
// in a row, in `r`; nothing is left after a failure.
template <typename Run>
acbc_status RunFileCall(acbc_job_kind kind, const char* inputPath, int inputFd, const char* output,
                        unsigned flags, acbc_result* r, Run run) {
  Job job;
  acbc_status status = JobPrepare(&job, kind, inputPath, inputFd, output, flags, r);
  if (status == ACBC_OK) status = run(&job);
  if (status == ACBC_OK) status = JobCommit(&job, r);
  JobDiscard(&job, r);
  return status;
}

}  // namespace pellfold::acbc
