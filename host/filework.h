// The steps of one file that the commands share: the input opened and its
// layout taken, the library's statuses as failures, the output written
// through a libacbc call under deferred signals, and what follows it
// (--preserve, --remove-input).
#pragma once

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "acbc.h"
#include "cli.h"
#include "files.h"
#include "password.h"
#include "progress.h"
#include "runner.h"
#include "signals.h"

namespace pellfold::host {

std::string Reason(const std::string& text, int error);
// The failure a library status stands for, naming the file at fault (the
// library's words, but where the program can say more).
Failure StatusFailure(const acbc_result& r, const std::string& input, const std::string& output);

// What stands under an output's name, to tell afterwards which file a
// job put there.
struct NameState {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
};

NameState StateOf(const std::string& path);
bool Replaced(const NameState& before, const std::string& path);
void ReportLeftover(const std::string& path, const std::string& output);

// Throws the failure a call that wrote `path` ended with, if any, also
// when the library says its new file is under the name all the same
// (ACBC_WARN_OUTPUT_PLACED: the folder could not be synced after the link,
// or the temporary name not removed). A temporary file the call left
// beside a failure is reported first.
void CheckWritten(const acbc_result& r, const std::string& path, const std::string& input,
                  const std::string& output);

// Runs a libacbc call that writes the file `path`, and returns its result
// when it succeeded; throws its failure otherwise. Terminating signals stop
// the call through the progress hook instead of ending the process halfway
// (see signals.h): it then left everything as it was, or, when the signal
// came too late for that, its output is in place and the user is told so.
// An output written in place (a FIFO, a device) needs nothing undone and a
// write to it may block, so there a signal ends the process at once.
template <typename Call>
acbc_result WriteOutput(const std::string& path, bool inPlace, const std::string& input,
                        const std::string& output, Progress* progress, Call call) {
  acbc_result r{};
  {
    std::optional<DeferSignals> defer;
    if (!inPlace) defer.emplace();
    call(&r);
  }
  progress->Finish();
  if (const int signal = CaughtSignal(); signal != 0) {
    try {
      CheckWritten(r, path, input, output);
      const char* name = sigabbrev_np(signal);
      Complain(output + ": written; then stopped by " +
               (name != nullptr ? std::string("SIG") + name : "a signal"));
    } catch (const Failure& failure) {
      if (r.status != ACBC_E_CANCELLED) Complain(failure.message);
    }
    ExitForSignal(signal);
  }
  CheckWritten(r, path, input, output);
  return r;
}

// One libacbc job writing a file: prepared before the password is asked
// for (the library reads and checks the input's header and checks the
// output, once), then run and committed. Discarded unless committed.
class FileJob {
 public:
  FileJob() = default;
  ~FileJob() { acbc_job_discard(&job_); }
  FileJob(const FileJob&) = delete;
  FileJob& operator=(const FileJob&) = delete;

  // A null `output` for a verify.
  acbc_status Prepare(acbc_job_kind kind, int fd, const char* output, unsigned flags,
                      acbc_result* r) {
    return acbc_job_prepare_fd(&job_, kind, fd, output, flags, r);
  }
  // A job that opens `input` by its name (a rekey in place).
  acbc_status PrepareFile(acbc_job_kind kind, const char* input, const char* output, unsigned flags,
                          acbc_result* r) {
    return acbc_job_prepare(&job_, kind, input, output, flags, r);
  }
  acbc_job_info Info() const {
    acbc_job_info info{};
    acbc_job_query(&job_, &info);
    return info;
  }
  // The header prepare read (also when it refused the file).
  acbc_layout Layout() const {
    acbc_layout layout{};
    acbc_job_layout(&job_, &layout);
    return layout;
  }
  // Runs a job of an ACBC kind; `fresh` for a rekey.
  acbc_status Run(const Password& password, const Password* fresh, const acbc_progress* progress,
                  acbc_result* r) {
    return acbc_job_run(&job_, password.bytes, static_cast<std::size_t>(password.length),
                        fresh != nullptr ? fresh->bytes : nullptr,
                        fresh != nullptr ? static_cast<std::size_t>(fresh->length) : 0, progress,
                        r);
  }
  // Runs a job of an age kind (the ACBC `password` of an upgrade).
  acbc_status RunAge(const Password* password, const acbc_age_keys* keys,
                     const acbc_age_keys* newKeys, const acbc_progress* progress, acbc_result* r) {
    return acbc_job_run_age(&job_, password != nullptr ? password->bytes : nullptr,
                            password != nullptr ? static_cast<std::size_t>(password->length) : 0,
                            keys, newKeys, progress, r);
  }
  // An acbc_write_fn into an ACBC_JOB_WRITE job (`self` the FileJob).
  static int Write(void* self, const void* data, std::size_t size) {
    acbc_result r{};
    if (acbc_job_write(&static_cast<FileJob*>(self)->job_, data, size, &r) == ACBC_OK) return 0;
    errno = r.error_number != 0 ? r.error_number : EIO;
    return -1;
  }
  // Commits what a stream call that filled `r` wrote through Write: `r`
  // keeps its counts and takes the commit's status and warnings.
  void CommitAfter(acbc_result* r) {
    if (r->status != ACBC_OK) return;
    acbc_result commit{};
    acbc_job_commit(&job_, &commit);
    r->status = commit.status;
    r->error_number = commit.error_number;
    r->warnings |= commit.warnings;
  }
  acbc_job* get() { return &job_; }

 private:
  acbc_job job_{};
};

// How a prepared job is run, with its keys: FileJob::Run or RunAge.
using RunStep = std::function<acbc_status(FileJob&, const acbc_progress*, acbc_result*)>;
RunStep WithPassword(const Password& password);

// Runs the prepared `job` of the file `input` into `output` by `run` and
// finishes the file with `finish`: committed at once, or, under a batch and
// for an output not written in place, once the run commits it with others
// (result->pending; `keep`, what the job reads, stays open until then).
// `ran`, when given, sees the run's result first. Throws the file's failure.
void RunAndFinish(const std::shared_ptr<FileJob>& job, std::shared_ptr<const void> keep,
                  const RunStep& run, const std::string& input, const OutputTarget& output,
                  bool batch, Progress* progress,
                  const std::function<void(const acbc_result&)>& ran,
                  std::function<void(const acbc_result&, Outcome*)> finish, Outcome* result);

// The output of `job` for a libacbc job of `kind` on `input`: standard
// output as it is, else a file that `fileJob`, prepared here with `flags`,
// checks before any password is asked for; its refusal is thrown.
std::shared_ptr<OutputTarget> PrepareTarget(const InputFile& input, const Job& job,
                                            acbc_job_kind kind, unsigned flags, FileJob* fileJob);

struct EncryptedInput;
// RunAndFinish for a job that decrypts the ACBC `file` (a decryption or an
// upgrade): the file is finished by FinishOutput (its input kept with
// `keepInput`, which is then refused as weakly checked) and its notes; the
// run's padding confirms the password for the files after it.
void RunDecryption(const std::shared_ptr<FileJob>& fileJob,
                   const std::shared_ptr<EncryptedInput>& file, const RunStep& run, const Job& job,
                   const Settings& settings, CallPassword* callPassword, const OutputTarget& output,
                   bool keepInput, Progress* progress, Outcome* result);

// The verdict for people, with its numbers: "truncated, 312 bytes missing".
std::string DescribeVerdict(const acbc_layout& layout);
Failure DamagedFailure(const std::string& name, const acbc_layout& layout);
void CheckRemovable(const InputFile& input, const std::string& path, bool walked,
                    bool outputInPlace, bool force);
void FinishOutput(const InputFile& input, const std::string& inputPath,
                  const std::string& outputPath, const std::string& outputName, bool outputInPlace,
                  const Settings& settings, const Place& place = {}, bool keepInput = false);

// An ACBC input with its layout known: a pipe (or a file that says it is
// empty) is copied aside, only as far as the header's length needs, the
// rest counted. Refuses a file that is not ACBC.
struct EncryptedInput {
  InputFile input;
  acbc_layout layout{};

  acbc_format format = ACBC_FORMAT_UNKNOWN;
  bool inspected = false;  // layout holds the header's verdict

  // With `byJob`, a file that can be read in place is neither inspected
  // nor its format read here: the libacbc job that reads it reads its
  // header (see inspected).
  explicit EncryptedInput(const std::string& path, const Place& place = {}, bool regular = false,
                          bool byJob = false)
      : input(path, place, regular) {
    if (!input.readable()) input.Spool(ACBC_HEADER_SIZE, ACBC_HEADER_SIZE, kUnbounded);
    // The job reads the header; an age file it refuses as not ACBC
    // (DetectAge).
    if (byJob && !input.spooled()) return;
    if (DetectAge()) return;
    inspected = true;
    Inspect();
    if (layout.verdict == ACBC_VERDICT_NOT_ACBC ||
        layout.verdict == ACBC_VERDICT_UNREADABLE_LENGTH) {
      throw WithStatus(FileFailure(input.name(), DescribeVerdict(layout)), ACBC_E_NOT_ACBC);
    }
  }

  bool age() const { return format == ACBC_FORMAT_AGE; }
  // Reads which format the file is in; true for age.
  bool DetectAge() {
    acbc_result r{};
    if (acbc_detect_fd(input.fd(), &format, &r) != ACBC_OK) {
      throw StatusFailure(r, input.name(), input.name());
    }
    return age();
  }

  // Copies the rest of a pipe aside and takes the layout again (an age
  // file is copied whole: its end is not known from its header).
  void Measure() {
    if (!input.spooled() || input.ended()) return;
    if (age()) {
      input.Spool(kUnbounded, kUnbounded, kUnbounded);
      input.FinishSpool();
      return;
    }
    input.Spool(ACBC_HEADER_SIZE + layout.info.records_expected * ACBC_RECORD_SIZE, kUnbounded,
                kUnbounded);
    input.FinishSpool();
    Inspect();
  }

 private:
  void Inspect() {
    acbc_result r{};
    if (acbc_inspect_layout_fd(input.fd(), &layout, &r) != ACBC_OK) {
      throw WithStatus(FileFailure(input.name(), Reason("read error", r.error_number)),
                       ACBC_E_READ);
    }
  }
};

// The warning for a file whose size disagrees with its header.
std::string DecryptWarning(const acbc_layout& layout);
bool Damaged(const acbc_layout& layout);
void NoteDecrypted(const EncryptedInput& file, const acbc_result& r, Outcome* outcome);
// True when the file open as `input` is no longer the one that was opened.
bool Changed(const InputFile& input);

}  // namespace pellfold::host
