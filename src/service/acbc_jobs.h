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
acbc_status JobCommit(Job* job, acbc_result* r);
// Removes what the job made and ends it; nothing for an ended job.
void JobDiscard(Job* job, acbc_result* r);

}  // namespace pellfold::acbc
