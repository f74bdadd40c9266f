// The steps of one file that the commands share (see filework.h).
#include "filework.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "acbc.h"
#include "agekeys.h"
#include "cli.h"
#include "commands.h"
#include "crypthelp.h"
#include "files.h"
#include "password.h"
#include "progress.h"
#include "range.h"
#include "runner.h"
#include "signals.h"
#include "utf8.h"

namespace pellfold::host {

std::string Reason(const std::string& text, int error) {
  return text + ": " + std::strerror(error != 0 ? error : EIO);
}

// The failure a library status stands for, naming the file at fault: the
// library's words, with the errno, except where the program can say more
// (what to do about it, or what was altered).
Failure StatusFailure(const acbc_result& r, const std::string& input, const std::string& output) {
  const int error = r.error_number;
  const bool outputAtFault = r.status == ACBC_E_OUTPUT_OPEN || r.status == ACBC_E_OUTPUT_EXISTS ||
                             r.status == ACBC_E_SAME_FILE || r.status == ACBC_E_WRITE;
  std::string reason;
  switch (r.status) {
    case ACBC_E_INPUT_OPEN:
    case ACBC_E_OUTPUT_OPEN: reason = std::strerror(error != 0 ? error : EIO); break;
    case ACBC_E_OUTPUT_EXISTS: reason = "file exists (use --force to overwrite)"; break;
    case ACBC_E_READ:
    case ACBC_E_WRITE: reason = Reason(acbc_status_text(r.status), error); break;
    case ACBC_E_NO_MATCH: reason = "wrong passphrase, or no identity given opens it"; break;
    case ACBC_E_AGE_MAC: reason = "the header was altered: its MAC does not match"; break;
    case ACBC_E_AGE_PAYLOAD: reason = "altered or cut short: the data failed authentication"; break;
    case ACBC_E_WORK_FACTOR:
      reason = "its scrypt work factor is above the ceiling (--max-work-factor raises it)";
      break;
    default:
      reason = acbc_status_text(r.status);
      if (error != 0) reason += std::string(": ") + std::strerror(error);
  }
  return WithStatus(FileFailure(outputAtFault ? output : input, reason), r.status);
}

NameState StateOf(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return {};
  return {true, st.st_dev, st.st_ino};
}

bool Replaced(const NameState& before, const std::string& path) {
  const NameState now = StateOf(path);
  return now.exists && (!before.exists || now.device != before.device || now.inode != before.inode);
}

// After a failure whose named temporary file could not be removed: names
// it (the temporary names the library gives beside `path`), so that the
// user can remove it.
void ReportLeftover(const std::string& path, const std::string& output) {
  const std::string folder = DirectoryOf(path);
  const std::size_t slash = path.rfind('/');
  const std::string base = "." + path.substr(slash == std::string::npos ? 0 : slash + 1) + ".";
  bool named = false;
  if (DIR* dir = opendir(folder.c_str()); dir != nullptr) {
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.rfind(base, 0) != 0) continue;
      if (name.compare(base.size(), 5, "acbc-") != 0) continue;
      std::string file = folder;
      file += '/';
      file += name;
      std::string line = Printable(file);
      line += ": temporary file left behind: it could not be removed";
      Complain(line);
      named = true;
    }
    closedir(dir);
  }
  if (!named) Complain(output + ": its temporary file could not be removed");
}

namespace {

// Runs a job that the run's batch commit then commits, under deferred
// signals, into `r`; throws its failure. A signal noted meanwhile stops the
// program, the job discarded: its file was not done.
void RunForBatch(FileJob* job, const RunStep& run, Progress* progress, const std::string& input,
                 const std::string& output, acbc_result* r) {
  {
    const DeferSignals defer;
    run(*job, progress->hook(), r);
  }
  progress->Finish();
  if (const int signal = CaughtSignal(); signal != 0) ExitForSignal(signal);
  if (r->status != ACBC_OK) throw StatusFailure(*r, input, output);
}

}  // namespace

RunStep WithPassword(const Password& password) {
  return [&password](FileJob& job, const acbc_progress* progress, acbc_result* r) {
    return job.Run(password, nullptr, progress, r);
  };
}

void RunAndFinish(const std::shared_ptr<FileJob>& job, std::shared_ptr<const void> keep,
                  const RunStep& run, const std::string& input, const OutputTarget& output,
                  bool batch, Progress* progress,
                  const std::function<void(const acbc_result&)>& ran,
                  std::function<void(const acbc_result&, Outcome*)> finish, Outcome* result) {
  acbc_result r{};
  if (!batch || output.inPlace()) {
    r = WriteOutput(output.path(), output.inPlace(), input, output.name(), progress,
                    [&](acbc_result* written) {
                      if (run(*job, progress->hook(), written) == ACBC_OK) {
                        acbc_job_commit(job->get(), written);
                      }
                    });
    if (ran) ran(r);
    finish(r, result);
    return;
  }
  RunForBatch(job.get(), run, progress, input, output.name(), &r);
  if (ran) ran(r);
  // Once committed, a failure of the commit is thrown as WriteOutput tells
  // it, else the file is finished.
  auto pending = std::make_shared<Pending>();
  pending->job = job;
  pending->keep = std::move(keep);
  pending->finish = [then = std::move(finish), input, path = output.path(), name = output.name()](
                        const acbc_result& done, Outcome* outcome) {
    CheckWritten(done, path, input, name);
    then(done, outcome);
  };
  result->pending = std::move(pending);
}

std::shared_ptr<OutputTarget> PrepareTarget(const InputFile& input, const Job& job,
                                            acbc_job_kind kind, unsigned flags, FileJob* fileJob) {
  if (job.output == "-") return std::make_shared<OutputTarget>(input);
  auto target =
      std::make_shared<OutputTarget>(OutputPath(job), job.output, OutputTarget::Unchecked{});
  acbc_result r{};
  if (fileJob->Prepare(kind, input.fd(), target->path().c_str(), flags, &r) != ACBC_OK) {
    throw StatusFailure(r, input.name(), target->name());
  }
  target->SetInPlace(fileJob->Info().output_in_place != 0);
  return target;
}

void RunDecryption(const std::shared_ptr<FileJob>& fileJob,
                   const std::shared_ptr<EncryptedInput>& file, const RunStep& run, const Job& job,
                   const Settings& settings, CallPassword* callPassword, const OutputTarget& output,
                   bool keepInput, Progress* progress, Outcome* result) {
  const auto finish = [file, &job, &settings, path = output.path(), name = output.name(),
                       inPlace = output.inPlace(),
                       keepInput](const acbc_result& done, Outcome* finished) {
    FinishOutput(file->input, job.input, path, name, inPlace, settings, job.inputPlace, keepInput);
    NoteDecrypted(*file, done, finished);
    if (keepInput) throw WeakRefusal(file->input.name(), done.padding_bytes, "not removed");
  };
  // The padding confirms the password for the files after this one
  // already, before they are run.
  RunAndFinish(
      fileJob, file, run, file->input.name(), output, settings.batch, progress,
      [callPassword](const acbc_result& ran) { callPassword->Confirm(ran.padding_bytes); }, finish,
      result);
}

void CheckWritten(const acbc_result& r, const std::string& path, const std::string& input,
                  const std::string& output) {
  const bool placed = r.status == ACBC_E_WRITE && (r.warnings & ACBC_WARN_OUTPUT_PLACED) != 0;
  if ((r.warnings & ACBC_WARN_TEMPORARY_LEFT) != 0 && !placed) ReportLeftover(path, output);
  if (r.status == ACBC_OK) return;
  if (!placed) throw StatusFailure(r, input, output);
  // A new file with a second name: the temporary one, which could not be
  // removed after the link.
  const bool leftover = (r.warnings & ACBC_WARN_TEMPORARY_LEFT) != 0;
  throw WithStatus(
      FileFailure(output, Reason(leftover ? "written, but its temporary name could not be removed"
                                          : "written, but its folder could not be synced",
                                 r.error_number)),
      ACBC_E_WRITE);
}

std::string DescribeVerdict(const acbc_layout& layout) {
  switch (layout.verdict) {
    case ACBC_VERDICT_CONSISTENT: return "consistent";
    case ACBC_VERDICT_TRUNCATED:
      return "truncated, " + std::to_string(layout.missing_bytes) + " bytes missing";
    case ACBC_VERDICT_TRAILING_BYTES:
      return "trailing bytes, " + std::to_string(layout.info.trailing_bytes) +
             " after the last record";
    case ACBC_VERDICT_NEGATIVE_LENGTH: return "negative length";
    // A header no length can be read from is not ACBC to any reader: the
    // same words as a wrong magic.
    default: return "not an ACBC file";
  }
}

Failure DamagedFailure(const std::string& name, const acbc_layout& layout) {
  return WithStatus(
      FileFailure(name, DescribeVerdict(layout) + " (--salvage decrypts what is there)"),
      ACBC_E_DAMAGED);
}

// --remove-input is refused up front for an input it could not remove
// safely: a symbolic link (removing it would keep the file), anything that
// is not a regular file, an output written in place (a device, a FIFO),
// which keeps nothing, and, without `force`, a file with other links, which
// would keep its data under them.
void CheckRemovable(const InputFile& input, const std::string& path, bool walked,
                    bool outputInPlace, bool force) {
  const std::string& name = input.name();
  const struct stat& read = input.status();
  struct stat st {};
  // A file found by a walk was opened without following a link.
  if (!walked && lstat(path.c_str(), &st) != 0) {
    throw WithStatus(FileError(name, errno), ACBC_E_INPUT_OPEN);
  }
  const char* refusal = !walked && S_ISLNK(st.st_mode) ? "is a symbolic link"
                        : !S_ISREG(read.st_mode)       ? "is not a regular file"
                        : outputInPlace                ? "its output is not a regular file"
                                                       : nullptr;
  if (refusal != nullptr) {
    throw WithStatus(FileFailure(name, std::string(refusal) + ": --remove-input would lose it"),
                     ACBC_E_ARGUMENT);
  }
  if (read.st_nlink > 1 && !force) {
    const nlink_t others = read.st_nlink - 1;
    throw WithStatus(FileFailure(name, "has " + std::to_string(others) +
                                           (others == 1 ? " other link" : " other links") +
                                           " (--force removes this one anyway)"),
                     ACBC_E_ARGUMENT);
  }
}

// What --preserve and --remove-input do once the library call returned
// ACBC_OK, that is, once the output is complete, synced and in place. The
// input is removed only if its name still leads to the file that was read
// (see RemoveFile), and only after its times reached the output;
// `keepInput` keeps it.
void FinishOutput(const InputFile& input, const std::string& inputPath,
                  const std::string& outputPath, const std::string& outputName, bool outputInPlace,
                  const Settings& settings, const Place& place, bool keepInput) {
  if (settings.preserve && !outputInPlace && S_ISREG(input.status().st_mode)) {
    if (const int error = CopyTimes(input.status(), outputPath); error != 0) {
      throw WithStatus(
          FileFailure(outputName, Reason("written, but its times could not be set", error)),
          ACBC_E_WRITE);
    }
  }
  if (!settings.removeInput || keepInput) return;
  int error = 0;
  if (place.folder) {
    error = RemoveFile(place.folder->fd(), place.name, input.status());
  } else {
    const int folder = open(DirectoryOf(inputPath).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    error = folder < 0 ? errno : RemoveFile(folder, BaseName(inputPath), input.status());
    if (folder >= 0) close(folder);
  }
  if (error < 0) {
    throw WithStatus(FileFailure(input.name(), "not removed: it was moved or replaced meanwhile"),
                     ACBC_E_INPUT_CHANGED);
  }
  if (error != 0) {
    throw WithStatus(FileFailure(input.name(), Reason("could not be removed", error)),
                     kStatusNotRemoved);
  }
}

// The warning for a file whose size disagrees with its header.
std::string DecryptWarning(const acbc_layout& layout) {
  const std::string length = std::to_string(layout.info.length);
  switch (layout.verdict) {
    case ACBC_VERDICT_TRUNCATED:
      return "file is truncated, " + std::to_string(layout.missing_bytes) +
             " bytes missing: the end of the output is missing or wrong";
    case ACBC_VERDICT_TRAILING_BYTES:
      return std::to_string(layout.info.trailing_bytes) +
             " bytes follow the last record that the header's length (" + length +
             ") needs; they were ignored";
    case ACBC_VERDICT_NEGATIVE_LENGTH:
      return "header records a negative length (" + length + "): the output is empty";
    default: return DescribeVerdict(layout);
  }
}

bool Damaged(const acbc_layout& layout) {
  return layout.verdict == ACBC_VERDICT_TRUNCATED || layout.verdict == ACBC_VERDICT_NEGATIVE_LENGTH;
}

// What a decrypted ACBC file leaves to say: its warnings, a damaged
// layout, a password confirmed by few padding bytes.
void NoteDecrypted(const EncryptedInput& file, const acbc_result& r, Outcome* outcome) {
  outcome->warnings = r.warnings;
  if (file.layout.verdict != ACBC_VERDICT_CONSISTENT) {
    Warn(file.input.name() + ": " + DecryptWarning(file.layout));
  }
  NoteWeakCheck(file.input.name(), r.padding_bytes);
}

// True when the file open as `input` is no longer the one that was opened:
// another size or modification time.
bool Changed(const InputFile& input) {
  struct stat now {};
  const struct stat& then = input.status();
  return fstat(input.fd(), &now) != 0 || now.st_size != then.st_size ||
         now.st_mtim.tv_sec != then.st_mtim.tv_sec || now.st_mtim.tv_nsec != then.st_mtim.tv_nsec;
}

}  // namespace pellfold::host
