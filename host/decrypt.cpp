// pellfold decrypt: an ACBC or age file into its plaintext.
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
#include "filework.h"
#include "password.h"
#include "progress.h"
#include "range.h"
#include "runner.h"
#include "signals.h"
#include "utf8.h"

namespace pellfold::host {
namespace {

const std::vector<OptionDef> kDecryptOptions = {
    {"pass", 'p', true},       {"force", 'f', false},           {"quiet", 'q', false},
    {"multifile", 'm', false}, {"recursive", 'r', false},       {"output-dir", 'o', true},
    {"preserve", 0, false},    {"remove-input", 0, false},      {"salvage", 0, false},
    {"json", 0, false},        {"identity", 'i', true},         {"max-work-factor", 0, true},
    {"range", 0, true},        {"accept-weak-check", 0, false}, {"help", 'h', false},
    {"jobs", 'j', true},
};

const char kDecryptHelp[] =
    "Usage: pellfold decrypt [OPTIONS] INPUT [OUTPUT]\n"
    "       pellfold decrypt [OPTIONS] -m FILE.acbc...\n"
    "       pellfold decrypt [OPTIONS] -r FOLDER...\n"
    "\n"
    "Decrypt the ACBC or age file INPUT into OUTPUT (ACBC as AESDecrypt does);\n"
    "without OUTPUT, INPUT must end in .acbc or .age and OUTPUT is INPUT without\n"
    "it. The format is told by the file's first line. INPUT '-' reads standard\n"
    "input; OUTPUT '-' writes standard output: ACBC once all of INPUT has been\n"
    "checked, age chunk by chunk as each one authenticates (on a later failure\n"
    "the exit status is 1 and what was written is incomplete).\n"
    "\n"
    "Options:\n" PELLFOLD_PASS_HELP PELLFOLD_IDENTITY_HELP
    "  -f, --force        replace OUTPUT if it exists\n"
    "  -m, --multifile    decrypt every FILE.acbc into FILE, under one password\n"
    PELLFOLD_FILES_HELP("decrypt")
    "      --salvage      decrypt a truncated file or one with a negative length\n"
    "                     anyway, writing what AESDecrypt would write\n"
    "      --range OFFSET:LENGTH  write only LENGTH plaintext bytes from OFFSET (as\n"
    "                     far as the plaintext goes; K, M, G: times 1024, 1024^2,\n"
    "                     1024^3), decrypting only the records that hold them\n"
    "      --accept-weak-check  replace OUTPUT or remove INPUT also on a password\n"
    "                     that fewer than 4 padding bytes confirm\n"
    "  -q, --quiet        show no progress\n" PELLFOLD_JSON_HELP
    "  -h, --help         show this help and exit\n"
    "\n"
    "An age file appears as OUTPUT only when every chunk authenticated. For an\n"
    "ACBC file, before anything is created, its header and size are checked and\n"
    "the last record is decrypted: its zero padding must be intact, or the password\n"
    "is wrong (or the file was altered) and nothing is written. With n padding\n"
    "bytes a wrong password passes with odds 2^-8n; for n < 4 a note says so, and\n"
    "OUTPUT is replaced or INPUT removed only when another file of the run gave 4\n"
    "or more (or with --accept-weak-check); else that file fails, its INPUT kept.\n"
    "Bytes after the last record are ignored with a warning. With -r, only\n"
    "files ending in .acbc are decrypted. --remove-input removes INPUT only\n"
    "after the password check passed and OUTPUT is in place. See pellfold(1).\n";

// Bytes of a piped age file copied aside to read its header from.
constexpr std::int64_t kAgeHeaderRoom = 1 << 16;

// The checks of a decryption to standard output, made on the whole file
// before any byte is written: header and size (done already), and the
// password through the last record's padding; a damaged file under
// --salvage is decrypted once with nothing kept, so that whatever would
// fail, fails before any output.
void CheckBeforeStreaming(const EncryptedInput& file, const Password& password, unsigned flags) {
  const InputFile& input = file.input;
  acbc_result r{};
  if (Damaged(file.layout)) {
    int fd = input.fd();
    const off_t at = lseek(fd, 0, SEEK_CUR);
    acbc_decrypt_stream(
        ReadDescriptor, &fd, [](void*, const void*, std::size_t) { return 0; }, nullptr,
        password.bytes, static_cast<std::size_t>(password.length), flags, nullptr, &r);
    if (at < 0 || lseek(fd, at, SEEK_SET) != at) {
      throw WithStatus(FileFailure(input.name(), Reason("read error", errno)), ACBC_E_READ);
    }
  } else {
    acbc_verify_fd(input.fd(), password.bytes, static_cast<std::size_t>(password.length), &r);
  }
  if (r.status != ACBC_OK) throw StatusFailure(r, input.name(), input.name());
}

// decrypt --range: the range alone, to standard output after its checks or
// to a file that appears only when complete.
void DecryptRangeOne(const EncryptedInput& file, const OutputTarget& output, FileJob* written,
                     const Password& password, const Settings& settings, Outcome* outcome) {
  const InputFile& input = file.input;
  const auto length = static_cast<std::size_t>(password.length);
  acbc_result r{};
  if (output.isStdout()) {
    // The first piece checks the header, the size and the password before
    // anything is written; the rest goes out as it is decrypted.
    CopyRange(input.fd(), *settings.range, password.bytes, length, WriteStdout, nullptr, &r);
    if (!input.spooled() && r.status != ACBC_E_WRITE && Changed(input)) {
      r.status = ACBC_E_INPUT_CHANGED;
    }
    if (r.status != ACBC_OK) throw StatusFailure(r, input.name(), output.name());
  } else {
    Progress progress("decrypt: " + input.name(), /*quiet=*/true);
    r = WriteOutput(output.path(), output.inPlace(), input.name(), output.name(), &progress,
                    [&](acbc_result* result) {
                      CopyRange(input.fd(), *settings.range, password.bytes, length, FileJob::Write,
                                written, result);
                      written->CommitAfter(result);
                    });
  }
  outcome->warnings = r.warnings;
  NoteWeakCheck(input.name(), r.padding_bytes);
}

// An age file: to standard output chunk by chunk as each authenticates,
// or, through one libacbc job, into a file that appears only when every
// chunk did.
void DecryptAge(const std::shared_ptr<EncryptedInput>& file, const Job& job,
                const Settings& settings, CallPassword* callPassword, Outcome* outcome) {
  InputFile& input = file->input;
  if (settings.salvage) {
    throw WithStatus(FileFailure(input.name(), "an age file: --salvage is for ACBC files"),
                     ACBC_E_ARGUMENT);
  }
  if (settings.range) {
    throw WithStatus(FileFailure(input.name(), "an age file: --range is for ACBC files"),
                     ACBC_E_ARGUMENT);
  }
  if (job.output == "-") {
    // A pipe is copied aside only as far as its header reaches, and the
    // rest decrypted as it comes.
    if (input.spooled()) input.Spool(kAgeHeaderRoom, kAgeHeaderRoom, kUnbounded);
    AgeKeys keys;
    OpeningKeys(input.fd(), input.name(), settings, callPassword, &keys);
    Progress progress("decrypt: " + input.name(), settings.quiet);
    acbc_result r{};
    int fd = input.fd();
    const bool through = input.spooled();
    acbc_age_decrypt_stream(through ? InputFile::ReadThrough : ReadDescriptor,
                            through ? static_cast<void*>(&input) : static_cast<void*>(&fd),
                            WriteStdout, nullptr, &keys.keys, 0, progress.hook(), &r);
    progress.Finish();
    if (r.status != ACBC_OK) throw StatusFailure(r, input.name(), OutputName(job.output));
    outcome->warnings = r.warnings;
    return;
  }
  file->Measure();
  auto fileJob = std::make_shared<FileJob>();
  const auto output =
      PrepareTarget(input, job, ACBC_JOB_AGE_DECRYPT, ReplaceFlag(settings), fileJob.get());
  if (settings.removeInput) {
    CheckRemovable(input, job.input, job.inputPlace.folder != nullptr, output->inPlace(),
                   settings.force);
  }
  const auto run = [file, fileJob, output, &job, &settings, callPassword](Outcome* result) {
    const OutputTarget& out = *output;
    AgeKeys keys;
    OpeningKeys(file->input.fd(), file->input.name(), settings, callPassword, &keys);
    const RunStep step = [&keys](FileJob& j, const acbc_progress* p, acbc_result* done) {
      return j.RunAge(nullptr, &keys.keys, nullptr, p, done);
    };
    Progress progress("decrypt: " + file->input.name(), settings.quiet);
    const auto finish = [file, &job, &settings, path = out.path(), name = out.name(),
                         inPlace = out.inPlace()](const acbc_result& done, Outcome* finished) {
      FinishOutput(file->input, job.input, path, name, inPlace, settings, job.inputPlace);
      finished->warnings = done.warnings;
    };
    RunAndFinish(fileJob, file, step, file->input.name(), out, settings.batch, &progress, {},
                 finish, result);
  };
  if (settings.batch) {
    outcome->run = run;
  } else {
    run(outcome);
  }
}

// An ACBC file read in place into a file: one libacbc job checks the
// header and the output before the password is asked for, then decrypts.
// Under a batch the job waits for the run to commit it.
void DecryptByJob(const std::shared_ptr<EncryptedInput>& file, const Job& job,
                  const Settings& settings, CallPassword* callPassword, Outcome* outcome) {
  const InputFile& input = file->input;
  const auto output =
      std::make_shared<OutputTarget>(OutputPath(job), job.output, OutputTarget::Unchecked{});
  const unsigned flags = (settings.salvage ? static_cast<unsigned>(ACBC_SALVAGE) : 0u) |
                         (settings.force ? static_cast<unsigned>(ACBC_REPLACE) : 0u);
  auto fileJob = std::make_shared<FileJob>();
  acbc_result r{};
  const acbc_status prepared =
      fileJob->Prepare(ACBC_JOB_DECRYPT, input.fd(), output->path().c_str(), flags, &r);
  const acbc_job_info info = fileJob->Info();
  if (prepared == ACBC_E_NOT_ACBC && file->DetectAge()) {
    fileJob.reset();
    DecryptAge(file, job, settings, callPassword, outcome);
    return;
  }
  if (prepared == ACBC_E_DAMAGED) {
    throw DamagedFailure(input.name(), fileJob->Layout());
  }
  if (prepared != ACBC_OK) throw StatusFailure(r, input.name(), output->name());
  file->layout = fileJob->Layout();
  output->SetInPlace(info.output_in_place != 0);
  if (settings.removeInput) {
    CheckRemovable(input, job.input, job.inputPlace.folder != nullptr, output->inPlace(),
                   settings.force);
  }
  // The rest once the password is known: at once for one file, after the
  // window's files are prepared for many (Outcome::run).
  const auto run = [file, fileJob, output, &job, &settings, callPassword](Outcome* result) {
    const InputFile& in = file->input;
    const OutputTarget& out = *output;
    const Password& password = callPassword->Get();
    const bool keepInput = KeepInput(*file, job.input, out, settings, callPassword, result);
    Progress progress("decrypt: " + in.name(), settings.quiet);
    RunDecryption(fileJob, file, WithPassword(password), job, settings, callPassword, out,
                  keepInput, &progress, result);
  };
  if (settings.batch) {
    outcome->run = run;
  } else {
    run(outcome);
  }
}

void DecryptOne(const Job& job, const Settings& settings, CallPassword* callPassword,
                Outcome* outcome) {
  // The header decides whether there is anything to do, before any output
  // is looked at.
  const bool toFile = job.output != "-" && !settings.range;
  const auto shared =
      std::make_shared<EncryptedInput>(job.input, job.inputPlace, settings.removeInput, toFile);
  EncryptedInput& file = *shared;
  if (file.age()) {
    DecryptAge(shared, job, settings, callPassword, outcome);
    return;
  }
  // Into a file, one libacbc job reads the file (a pipe's copy once all
  // of it is aside).
  file.Measure();
  if (toFile) {
    DecryptByJob(shared, job, settings, callPassword, outcome);
    return;
  }
  const InputFile& input = file.input;
  FileJob written;  // the file of a range
  const auto target = PrepareTarget(input, job, ACBC_JOB_WRITE, ReplaceFlag(settings), &written);
  const OutputTarget& output = *target;
  if (settings.removeInput) {
    CheckRemovable(input, job.input, job.inputPlace.folder != nullptr, output.inPlace(),
                   settings.force);
  }
  if (Damaged(file.layout) && !settings.salvage) throw DamagedFailure(input.name(), file.layout);
  const Password& password = callPassword->Get();
  const bool keepInput = KeepInput(file, job.input, output, settings, callPassword, outcome);
  if (settings.range) {
    DecryptRangeOne(file, output, &written, password, settings, outcome);
    return;
  }

  // Standard output: nothing reaches it before every check has passed. The
  // whole file (a pipe's private copy of its ciphertext) is checked first,
  // and then decrypted straight to standard output. A file that changes
  // after that fails the decryption, which a partial output then shows.
  Progress progress("decrypt: " + input.name(), settings.quiet);
  const unsigned flags = settings.salvage ? static_cast<unsigned>(ACBC_SALVAGE) : 0u;
  acbc_result r{};
  CheckBeforeStreaming(file, password, flags);
  int fd = input.fd();
  acbc_decrypt_stream(ReadDescriptor, &fd, WriteStdout, nullptr, password.bytes,
                      static_cast<std::size_t>(password.length), flags, progress.hook(), &r);
  progress.Finish();
  if (!input.spooled() && r.status != ACBC_E_WRITE && Changed(input)) {
    r.status = ACBC_E_INPUT_CHANGED;
  }
  if (r.status != ACBC_OK) throw StatusFailure(r, input.name(), output.name());
  NoteDecrypted(file, r, outcome);
  callPassword->Confirm(r.padding_bytes);
  if (keepInput) throw WeakRefusal(input.name(), r.padding_bytes, "not removed");
}

int RunDecrypt(const std::vector<std::string>& argv) {
  return RunCrypt(argv, /*encrypt=*/false, kDecryptOptions, kDecryptHelp, DecryptOne);
}

}  // namespace

const CommandInfo kDecryptCommand = {"decrypt", "decrypt an ACBC or age file", kDecryptHelp,
                                     RunDecrypt};

}  // namespace pellfold::host
