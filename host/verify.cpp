// pellfold verify: a password checked against ACBC or age files.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
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

const std::vector<OptionDef> kVerifyOptions = {
    {"pass", 'p', true},     {"recursive", 'r', false},    {"json", 0, false},
    {"identity", 'i', true}, {"max-work-factor", 0, true}, {"help", 'h', false},
    {"jobs", 'j', true},
};

const char kVerifyHelp[] =
    "Usage: pellfold verify [OPTIONS] FILE...\n"
    "       pellfold verify [OPTIONS] -r FOLDER...\n"
    "\n"
    "Check that the password opens each ACBC FILE, without writing anything:\n"
    "the last record is decrypted and its zero padding checked, as decrypt does\n"
    "first. An age FILE is decrypted whole and every chunk authenticated.\n"
    "Prints 'FILE: OK' for each file that passes.\n"
    "\n"
    "Options:\n" PELLFOLD_PASS_HELP PELLFOLD_IDENTITY_HELP
    "  -r, --recursive    check every file ending in .acbc or .age below each FOLDER\n"
    "                     (symbolic links are not followed)\n" PELLFOLD_JOBS_HELP PELLFOLD_JSON_HELP
    "  -h, --help         show this help and exit\n"
    "\n"
    "Exit status: 0 when every FILE passes, 1 otherwise, 2 on a usage error.\n";

void VerifyOne(const FoundFile& found, const Settings& settings, CallPassword* callPassword,
               Outcome* outcome) {
  EncryptedInput file(found.path, found.place, false, /*byJob=*/true);
  // A file read in place is checked by one libacbc job, which reads its
  // header once; a pipe's copy was inspected already.
  FileJob job;
  acbc_result r{};
  file.Measure();
  const acbc_status prepared =
      file.age() ? ACBC_E_NOT_ACBC : job.Prepare(ACBC_JOB_VERIFY, file.input.fd(), nullptr, 0, &r);
  if (file.age() || (prepared == ACBC_E_NOT_ACBC && file.DetectAge())) {
    AgeKeys keys;
    OpeningKeys(file.input.fd(), file.input.name(), settings, callPassword, &keys);
    if (acbc_age_verify_fd(file.input.fd(), &keys.keys, &r) != ACBC_OK) {
      throw StatusFailure(r, file.input.name(), file.input.name());
    }
    return;
  }
  if (prepared == ACBC_OK) {
    const Password& password = callPassword->Get();
    job.Run(password, nullptr, nullptr, &r);
  }
  if (r.status == ACBC_E_DAMAGED) {
    throw WithStatus(
        FileFailure(file.input.name(),
                    DescribeVerdict(job.Layout()) + ": no record to check the password against"),
        ACBC_E_DAMAGED);
  }
  if (r.status != ACBC_OK) throw StatusFailure(r, file.input.name(), file.input.name());
  outcome->warnings = r.warnings;
  outcome->padding = r.padding_bytes;
}

int RunVerify(const std::vector<std::string>& argv) {
  const ParsedArgs parsed = ParseArgs(argv, kVerifyOptions);
  if (parsed.Has("help")) {
    PrintHelp(kVerifyHelp);
    return kExitSuccess;
  }
  if (parsed.operands.empty()) throw UsageError{"missing FILE operand"};
  const std::string* pass = parsed.Single("pass");
  const bool json = parsed.Has("json");
  const bool recursive = parsed.Has("recursive");
  Settings settings;
  settings.identities = Identities(parsed);
  settings.maxWorkFactor = WorkFactor(parsed, "max-work-factor", ACBC_AGE_MAX_WORK_FACTOR);
  std::vector<FoundFile> files;
  if (recursive) {
    files = FilesBelow(parsed.operands, Naming::kRemove);
  } else {
    for (const auto& path : parsed.operands) files.push_back({path, path, "", {}});
  }
  if (pass != nullptr && *pass == "stdin") {
    for (const auto& path : parsed.operands) {
      if (path == "-") {
        throw UsageError{"'--pass stdin' cannot be used when a FILE is standard input"};
      }
    }
  }
  InstallSignalHandlers();
  ProtectSecrets();
  CallPassword callPassword(pass, /*encrypt=*/false);
  std::atomic<bool> doneOne = false;
  const std::size_t failed = RunTasks(
      files.size(), JobCount(parsed), [&] { return !doneOne && !callPassword.obtained(); },
      [&](std::size_t i) {
        const FoundFile& file = files[i];
        const std::string& path = file.path;
        Outcome outcome;
        bool fileFailed = false;
        try {
          if (!file.failure.empty()) throw WithStatus(Failure{file.failure}, ACBC_E_INPUT_OPEN);
          // Held open while the file is read (jobs on other threads close folders).
          const Folder::Pin folder(file.place.folder);
          VerifyOne(file, settings, &callPassword, &outcome);
          if (!json) PrintOut(InputName(path) + ": OK\n");
          NoteWeakCheck(InputName(path), outcome.padding);
        } catch (const Failure& failure) {
          if (callPassword.broken()) {
            if (json) {
              PrintJson(path, nullptr,
                        FailedOutcome(WithStatus(failure, kStatusPassword), InputName(path)));
            }
            throw;
          }
          Complain(failure.message);
          fileFailed = true;
          outcome = FailedOutcome(failure, InputName(path));
        }
        if (json) PrintJson(path, nullptr, outcome);
        if (!fileFailed) doneOne = true;
        return fileFailed;
      });
  if (recursive) {
    Complain(std::to_string(files.size()) + " files: " + std::to_string(files.size() - failed) +
             " passed, " + std::to_string(failed) + " failed");
  }
  return failed == 0 ? kExitSuccess : kExitFailure;
}

}  // namespace

const CommandInfo kVerifyCommand = {"verify", "check a password against ACBC or age files",
                                    kVerifyHelp, RunVerify};

}  // namespace pellfold::host
