// pellfold upgrade: ACBC files into authenticated age files.
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

const std::vector<OptionDef> kUpgradeOptions = {
    {"pass", 'p', true},       {"new-pass", 0, true},     {"force", 'f', false},
    {"quiet", 'q', false},     {"multifile", 'm', false}, {"recursive", 'r', false},
    {"output-dir", 'o', true}, {"preserve", 0, false},    {"remove-input", 0, false},
    {"json", 0, false},        {"recipient", 0, true},    {"recipients-file", 'R', true},
    {"armor", 'a', false},     {"work-factor", 0, true},  {"accept-weak-check", 0, false},
    {"help", 'h', false},      {"jobs", 'j', true},
};

const char kUpgradeHelp[] =
    "Usage: pellfold upgrade [OPTIONS] FILE...\n"
    "       pellfold upgrade [OPTIONS] -r FOLDER...\n"
    "\n"
    "Turn each ACBC FILE into an age file, which is authenticated and salted and\n"
    "which other tools read: x.acbc becomes x.age (other names get .age added).\n"
    "The ACBC password is checked first, the plaintext never reaches a file, and\n"
    "the age file is read back and checked before it appears. The passphrase of\n"
    "the age file is the ACBC password, unless --new-pass or a recipient is given.\n"
    "OUTPUT keeps FILE's permissions.\n"
    "\n"
    "Options:\n" PELLFOLD_PASS_HELP
    "      --new-pass SOURCE  take the age passphrase from SOURCE, as --pass "
    "does\n" PELLFOLD_AGE_HELP
    "  -f, --force        replace an existing .age file\n"
    "      --accept-weak-check  replace a .age file or remove FILE also when fewer\n"
    "                     than 4 padding bytes confirm the password\n"
    "  -m, --multifile    accepted for symmetry: every FILE is upgraded "
    "anyway\n" PELLFOLD_FILES_HELP(
        "upgrade") "  -q, --quiet        show no progress\n" PELLFOLD_JSON_HELP
                   "  -h, --help         show this help and exit\n"
                   "\n"
                   "With -r, only files ending in .acbc are upgraded. --remove-input removes\n"
                   "FILE only once the age file is complete, checked and in place.\n"
                   "See pellfold(1).\n";

// An ACBC file into an age file beside it (or in --output-dir), through
// one libacbc job: it checks the header and the output before the password
// is asked for, then checks the ACBC password, and reads the age file back
// before it is linked into place.
void UpgradeOne(const Job& job, const Settings& settings, CallPassword* callPassword,
                Outcome* outcome) {
  const auto file = std::make_shared<EncryptedInput>(job.input, job.inputPlace, /*regular=*/true,
                                                     /*byJob=*/true);
  const InputFile& input = file->input;
  if (file->age()) {
    throw WithStatus(FileFailure(input.name(), "already an age file"), ACBC_E_NOT_ACBC);
  }
  if (input.spooled()) {
    throw WithStatus(FileFailure(input.name(), "not a regular file"), ACBC_E_INPUT_LENGTH);
  }
  const auto output =
      std::make_shared<OutputTarget>(OutputPath(job), job.output, OutputTarget::Unchecked{});
  auto fileJob = std::make_shared<FileJob>();
  acbc_result r{};
  const unsigned flags =
      (settings.armor ? static_cast<unsigned>(ACBC_AGE_ARMOR) : 0u) | ReplaceFlag(settings);
  const acbc_status prepared =
      fileJob->Prepare(ACBC_JOB_UPGRADE, input.fd(), output->path().c_str(), flags, &r);
  if (prepared == ACBC_E_NOT_ACBC && file->DetectAge()) {
    throw WithStatus(FileFailure(input.name(), "already an age file"), ACBC_E_NOT_ACBC);
  }
  if (prepared == ACBC_E_DAMAGED) {
    throw WithStatus(FileFailure(input.name(), DescribeVerdict(fileJob->Layout()) +
                                                   " (decrypt --salvage recovers what is there)"),
                     ACBC_E_DAMAGED);
  }
  if (prepared != ACBC_OK) throw StatusFailure(r, input.name(), output->name());
  file->layout = fileJob->Layout();
  output->SetInPlace(fileJob->Info().output_in_place != 0);
  if (output->isTerminal()) {
    throw WithStatus(FileFailure(output->name(), "refusing to write ciphertext to a terminal"),
                     ACBC_E_ARGUMENT);
  }
  if (settings.removeInput) {
    CheckRemovable(input, job.input, job.inputPlace.folder != nullptr, output->inPlace(),
                   settings.force);
  }
  const auto run = [file, fileJob, output, &job, &settings, callPassword](Outcome* result) {
    const OutputTarget& out = *output;
    const Password& password = callPassword->Get();
    const bool keepInput = KeepInput(*file, job.input, out, settings, callPassword, result);
    const Password* passphrase = nullptr;
    if (settings.recipients.empty()) {
      passphrase = settings.newPassphrase != nullptr ? &settings.newPassphrase->Get() : &password;
    }
    AgeKeys keys;
    EncryptionKeys(settings, passphrase, &keys);
    const RunStep step = [&keys, &password](FileJob& j, const acbc_progress* p, acbc_result* done) {
      return j.RunAge(&password, &keys.keys, nullptr, p, done);
    };
    Progress progress("upgrade: " + file->input.name(), settings.quiet);
    RunDecryption(fileJob, file, step, job, settings, callPassword, out, keepInput, &progress,
                  result);
  };
  if (settings.batch) {
    outcome->run = run;
  } else {
    run(outcome);
  }
}

int RunUpgrade(const std::vector<std::string>& argv) {
  const ParsedArgs parsed = ParseArgs(argv, kUpgradeOptions);
  if (parsed.Has("help")) {
    PrintHelp(kUpgradeHelp);
    return kExitSuccess;
  }
  if (parsed.operands.empty()) throw UsageError{"missing FILE operand"};
  for (const auto& operand : parsed.operands) {
    if (operand == "-") throw UsageError{"upgrade works on files, not on standard input"};
  }
  Settings settings;
  settings.pass = parsed.Single("pass");
  settings.force = parsed.Has("force");
  settings.quiet = parsed.Has("quiet");
  settings.json = parsed.Has("json");
  settings.preserve = parsed.Has("preserve");
  settings.removeInput = parsed.Has("remove-input");
  settings.age = true;
  settings.acceptWeakCheck = parsed.Has("accept-weak-check");
  settings.threads = JobCount(parsed);
  ReadAgeEncryptOptions(parsed, &settings);
  const std::string* newPass = parsed.Single("new-pass");
  if (settings.pass != nullptr && newPass != nullptr && *settings.pass == "stdin" &&
      *newPass == "stdin") {
    throw UsageError{"'--pass stdin' and '--new-pass stdin' cannot both be used"};
  }
  const std::vector<Job> jobs = Jobs(parsed, Naming::kUpgrade);
  CheckPlan(jobs);
  settings.jobs = &jobs;
  CallPassword password(settings.pass, /*encrypt=*/false);
  CallPassword passphrase(newPass, /*encrypt=*/true,
                          "New passphrase: ", "the new passphrase is empty");
  passphrase.ForAge();
  passphrase.From("--new-pass");
  if (newPass != nullptr) settings.newPassphrase = &passphrase;
  const bool many = jobs.size() > 1 || parsed.Has("multifile") || parsed.Has("recursive");
  settings.batch = jobs.size() > 1;
  return RunJobs(jobs, many, settings, &password, UpgradeOne);
}

}  // namespace

const CommandInfo kUpgradeCommand = {"upgrade", "turn ACBC files into authenticated age files",
                                     kUpgradeHelp, RunUpgrade};

}  // namespace pellfold::host
