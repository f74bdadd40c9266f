// pellfold encrypt: a file into an ACBC or age file.
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

const std::vector<OptionDef> kEncryptOptions = {
    {"pass", 'p', true},       {"force", 'f', false},      {"quiet", 'q', false},
    {"multifile", 'm', false}, {"recursive", 'r', false},  {"output-dir", 'o', true},
    {"preserve", 0, false},    {"remove-input", 0, false}, {"json", 0, false},
    {"format", 0, true},       {"recipient", 0, true},     {"recipients-file", 'R', true},
    {"armor", 'a', false},     {"work-factor", 0, true},   {"help", 'h', false},
    {"jobs", 'j', true},
};

const char kEncryptHelp[] =
    "Usage: pellfold encrypt [OPTIONS] INPUT [OUTPUT]\n"
    "       pellfold encrypt [OPTIONS] -m FILE...\n"
    "       pellfold encrypt [OPTIONS] -r FOLDER...\n"
    "\n"
    "Encrypt INPUT into the ACBC file OUTPUT (INPUT.acbc when not given) under a\n"
    "password, byte for byte as AESEncypt does; with --format age, into an age\n"
    "file (INPUT.age) under a passphrase or for recipients. INPUT '-' reads\n"
    "standard input; OUTPUT '-' writes standard output, which must not be a\n"
    "terminal.\n"
    "\n"
    "ACBC has no integrity check: changed bytes decrypt to changed plaintext\n"
    "unnoticed. Use --format age for new files (authenticated, salted, read by\n"
    "other tools), and 'pellfold upgrade' for ACBC files you have.\n"
    "\n"
    "Options:\n" PELLFOLD_PASS_HELP
    "      --format FORMAT  acbc (the default) or age\n" PELLFOLD_AGE_HELP
    "  -f, --force        replace OUTPUT if it exists\n"
    "  -m, --multifile    encrypt every FILE into FILE.acbc, under one "
    "password\n" PELLFOLD_FILES_HELP(
        "encrypt") "  -q, --quiet        show no progress\n" PELLFOLD_JSON_HELP
                   "  -h, --help         show this help and exit\n"
                   "\n"
                   "OUTPUT appears only when complete (it is written under no name, or a\n"
                   "temporary one, first), never more readable than INPUT. The password must\n"
                   "not be empty; for ACBC it is the key: only its first 32 bytes count and\n"
                   "there is no salt. With -r, files that already end in .acbc or .age are\n"
                   "skipped with a note.\n"
                   "See pellfold(1).\n";

// What an output must pass before the password is asked for: no
// ciphertext on a terminal, and an input that --remove-input may remove.
void CheckTarget(const OutputTarget& output, const InputFile& input, const Job& job,
                 const Settings& settings) {
  if (output.isTerminal()) {
    throw WithStatus(FileFailure(output.name(), "refusing to write ciphertext to a terminal"),
                     ACBC_E_ARGUMENT);
  }
  if (settings.removeInput) {
    CheckRemovable(input, job.input, job.inputPlace.folder != nullptr, output.inPlace(),
                   settings.force);
  }
}

// age from a pipe, or to standard output: encrypted as it is read, nothing
// of it kept aside (age needs no length up front). Into a file, through a
// libacbc job that checks the output before the password is asked for and
// places it when complete.
void EncryptAgeStream(const InputFile& input, const Job& job, const Settings& settings,
                      CallPassword* callPassword, Outcome* outcome) {
  FileJob written;
  const auto output = PrepareTarget(input, job, ACBC_JOB_WRITE, ReplaceFlag(settings), &written);
  CheckTarget(*output, input, job, settings);
  const Password* passphrase = settings.recipients.empty() ? &callPassword->Get() : nullptr;
  AgeKeys keys;
  EncryptionKeys(settings, passphrase, &keys);
  const unsigned armor = settings.armor ? static_cast<unsigned>(ACBC_AGE_ARMOR) : 0u;
  Progress progress("encrypt: " + input.name(), settings.quiet);
  acbc_result r{};
  int fd = input.fd();
  if (output->isStdout()) {
    acbc_age_encrypt_stream(ReadDescriptor, &fd, WriteStdout, nullptr, &keys.keys, armor,
                            progress.hook(), &r);
    progress.Finish();
    if (r.status != ACBC_OK) throw StatusFailure(r, input.name(), output->name());
    outcome->warnings = r.warnings;
    return;
  }
  r = WriteOutput(output->path(), output->inPlace(), input.name(), output->name(), &progress,
                  [&](acbc_result* result) {
                    acbc_age_encrypt_stream(ReadDescriptor, &fd, FileJob::Write, &written,
                                            &keys.keys, armor, progress.hook(), result);
                    written.CommitAfter(result);
                  });
  FinishOutput(input, job.input, output->path(), output->name(), output->inPlace(), settings,
               job.inputPlace);
  outcome->warnings = r.warnings;
}

// A file read in place into a file: one libacbc job checks the input's
// length and the output before the password is asked for, then encrypts.
// Under a batch the job waits for the run to commit it.
void EncryptByJob(const std::shared_ptr<InputFile>& input, const Job& job, const Settings& settings,
                  CallPassword* callPassword, Outcome* outcome) {
  auto fileJob = std::make_shared<FileJob>();
  const unsigned armor =
      settings.age && settings.armor ? static_cast<unsigned>(ACBC_AGE_ARMOR) : 0u;
  const auto output =
      PrepareTarget(*input, job, settings.age ? ACBC_JOB_AGE_ENCRYPT : ACBC_JOB_ENCRYPT,
                    ReplaceFlag(settings) | armor, fileJob.get());
  CheckTarget(*output, *input, job, settings);
  // The rest once the password is known: at once for one file, after the
  // window's files are prepared for many (Outcome::run).
  const auto run = [input, fileJob, output, &job, &settings, callPassword](Outcome* result) {
    const OutputTarget& out = *output;
    // age: to the passphrase, or to the recipients without one.
    const Password* password =
        !settings.age || settings.recipients.empty() ? &callPassword->Get() : nullptr;
    AgeKeys keys;
    if (settings.age) EncryptionKeys(settings, password, &keys);
    const RunStep step =
        settings.age ? RunStep([&keys](FileJob& j, const acbc_progress* p, acbc_result* done) {
          return j.RunAge(nullptr, &keys.keys, nullptr, p, done);
        })
                     : WithPassword(*password);
    Progress progress("encrypt: " + input->name(), settings.quiet);
    const auto finish = [input, &job, &settings, path = out.path(), name = out.name(),
                         inPlace = out.inPlace()](const acbc_result& done, Outcome* finished) {
      FinishOutput(*input, job.input, path, name, inPlace, settings, job.inputPlace);
      finished->warnings = done.warnings;
    };
    RunAndFinish(fileJob, input, step, input->name(), out, settings.batch, &progress, {}, finish,
                 result);
  };
  if (settings.batch) {
    outcome->run = run;
  } else {
    run(outcome);
  }
}

void EncryptOne(const Job& job, const Settings& settings, CallPassword* callPassword,
                Outcome* outcome) {
  const auto shared = std::make_shared<InputFile>(job.input, job.inputPlace, settings.removeInput);
  const InputFile& input = *shared;
  if (input.readable() && job.output != "-") {
    EncryptByJob(shared, job, settings, callPassword, outcome);
    return;
  }
  if (settings.age) {
    EncryptAgeStream(input, job, settings, callPassword, outcome);
    return;
  }
  // Here the input is a pipe or the output standard output (or both).
  FileJob streamed;  // the file a pipe is encrypted into
  const bool piped = !input.readable();
  const auto target =
      PrepareTarget(input, job, ACBC_JOB_ENCRYPT_STREAM, ReplaceFlag(settings), &streamed);
  const OutputTarget& output = *target;
  CheckTarget(output, input, job, settings);
  const Password& password = callPassword->Get();

  Progress progress("encrypt: " + input.name(), settings.quiet);
  acbc_result r{};
  const auto passwordLength = static_cast<std::size_t>(password.length);
  int fd = input.fd();
  if (piped && !output.isStdout()) {
    // A pipe (or a file that says it is empty) is encrypted as it comes:
    // its length, which the header records first, is known only at its
    // end. The library keeps only ciphertext meanwhile.
    r = WriteOutput(output.path(), output.inPlace(), input.name(), output.name(), &progress,
                    [&](acbc_result* result) {
                      if (acbc_job_run_stream(streamed.get(), ReadAwaiting, &fd, password.bytes,
                                              passwordLength, progress.hook(), result) == ACBC_OK) {
                        acbc_job_commit(streamed.get(), result);
                      }
                    });
    FinishOutput(input, job.input, output.path(), output.name(), output.inPlace(), settings);
  } else if (piped) {
    acbc_encrypt_stream_flags(ReadAwaiting, &fd, -1, WriteStdout, nullptr, password.bytes,
                              passwordLength, ACBC_UNKNOWN_LENGTH, progress.hook(), &r);
    progress.Finish();
    if (r.status != ACBC_OK) throw StatusFailure(r, input.name(), output.name());
  } else {
    // A file to standard output: its length is its size from where it is
    // read.
    struct stat st {};
    const off_t at = lseek(input.fd(), 0, SEEK_CUR);
    const std::int64_t plainLength =
        fstat(input.fd(), &st) == 0 && st.st_size > at ? st.st_size - (at > 0 ? at : 0) : 0;
    acbc_encrypt_stream(ReadDescriptor, &fd, plainLength, WriteStdout, nullptr, password.bytes,
                        passwordLength, progress.hook(), &r);
    progress.Finish();
    if (r.status != ACBC_OK) throw StatusFailure(r, input.name(), output.name());
  }
  outcome->warnings = r.warnings;
}

int RunEncrypt(const std::vector<std::string>& argv) {
  return RunCrypt(argv, /*encrypt=*/true, kEncryptOptions, kEncryptHelp, EncryptOne);
}

}  // namespace

const CommandInfo kEncryptCommand = {"encrypt", "encrypt a file into an ACBC or age file",
                                     kEncryptHelp, RunEncrypt};

}  // namespace pellfold::host
