// pellfold rekey: an ACBC or age file under a new password.
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

const std::vector<OptionDef> kRekeyOptions = {
    {"pass", 'p', true},      {"new-pass", 0, true},        {"force", 'f', false},
    {"quiet", 'q', false},    {"preserve", 0, false},       {"remove-input", 0, false},
    {"work-factor", 0, true}, {"max-work-factor", 0, true}, {"accept-weak-check", 0, false},
    {"help", 'h', false},
};

const char kRekeyHelp[] =
    "Usage: pellfold rekey [OPTIONS] INPUT [OUTPUT]\n"
    "\n"
    "Encrypt the ACBC file INPUT again under a new password, into OUTPUT or, when\n"
    "OUTPUT is not given, in place. The old password is checked first; the\n"
    "plaintext never reaches a file, and the result replaces INPUT (or appears\n"
    "as OUTPUT) only when complete. For an age file under a passphrase, only the\n"
    "header is written anew and the encrypted data copied as it is.\n"
    "\n"
    "Options:\n" PELLFOLD_PASS_HELP
    "      --new-pass SOURCE  take the new password from SOURCE, as --pass\n"
    "                     does; without it the new password is asked for twice\n"
    "      --work-factor N  age: scrypt work factor of the new passphrase\n"
    "                     (default 18)\n"
    "      --max-work-factor N  age: refuse an old work factor above N (default 22)\n"
    "  -f, --force        replace OUTPUT if it exists; in place, rekey a file with\n"
    "                     other links too (they keep the old password)\n"
    "      --accept-weak-check  rewrite in place, replace OUTPUT or remove INPUT\n"
    "                     also when fewer than 4 padding bytes confirm the password\n"
    "      --preserve     keep INPUT's access and modification times (on OUTPUT)\n"
    "      --remove-input remove INPUT once OUTPUT is complete and in place (only\n"
    "                     with OUTPUT)\n"
    "  -q, --quiet        show no progress\n"
    "  -h, --help         show this help and exit\n";

int RunRekey(const std::vector<std::string>& argv) {
  const ParsedArgs parsed = ParseArgs(argv, kRekeyOptions);
  if (parsed.Has("help")) {
    PrintHelp(kRekeyHelp);
    return kExitSuccess;
  }
  const std::vector<std::string>& operands = parsed.operands;
  if (operands.empty()) throw UsageError{"missing INPUT operand"};
  if (operands.size() > 2) throw UsageError{"extra operand '" + operands[2] + "'"};
  for (const auto& operand : operands) {
    if (operand == "-") throw UsageError{"rekey works on files, not on standard input or output"};
  }
  const std::string* pass = parsed.Single("pass");
  const std::string* newPass = parsed.Single("new-pass");
  if (pass != nullptr && newPass != nullptr && *pass == "stdin" && *newPass == "stdin") {
    throw UsageError{"'--pass stdin' and '--new-pass stdin' cannot both be used"};
  }
  Settings settings;
  settings.preserve = parsed.Has("preserve");
  settings.removeInput = parsed.Has("remove-input");
  settings.force = parsed.Has("force");
  settings.acceptWeakCheck = parsed.Has("accept-weak-check");
  if (settings.removeInput && operands.size() < 2) {
    throw UsageError{"'--remove-input' needs an OUTPUT: in place, INPUT is replaced already"};
  }
  InstallSignalHandlers();
  ProtectSecrets();

  // The format is read first; an ACBC file's header is read by its job.
  EncryptedInput file(operands[0], {}, /*regular=*/true, /*byJob=*/true);
  const InputFile& input = file.input;
  if (file.input.spooled()) throw FileFailure(input.name(), "not a regular file");
  const bool age = file.DetectAge();
  const unsigned replace = parsed.Has("force") ? static_cast<unsigned>(ACBC_REPLACE) : 0u;
  // One libacbc job checks the header (or that the file is age) and the
  // output before any password is asked for. In place it opens the file by
  // its name, which must still be the file read here.
  const acbc_job_kind kind = age ? ACBC_JOB_AGE_REKEY : ACBC_JOB_REKEY;
  FileJob job;
  acbc_result r{};
  std::optional<OutputTarget> output;
  if (operands.size() == 2) {
    output.emplace(operands[1], "", OutputTarget::Unchecked{});
    job.Prepare(kind, input.fd(), operands[1].c_str(), replace, &r);
  } else {
    job.PrepareFile(kind, operands[0].c_str(), nullptr, replace, &r);
  }
  const acbc_job_info info = job.Info();
  if (!age) file.layout = job.Layout();
  if (r.status == ACBC_E_DAMAGED) {
    throw FileFailure(input.name(),
                      DescribeVerdict(file.layout) + " (decrypt --salvage recovers what is there)");
  }
  if (r.status != ACBC_OK) {
    throw StatusFailure(r, input.name(), output ? output->name() : input.name());
  }
  if (info.input_device != static_cast<std::int64_t>(input.status().st_dev) ||
      info.input_inode != static_cast<std::int64_t>(input.status().st_ino)) {
    throw WithStatus(FileFailure(input.name(), "input changed while it was being read"),
                     ACBC_E_INPUT_CHANGED);
  }
  if (output) output->SetInPlace(info.output_in_place != 0);
  const std::string outputName = output ? output->name() : input.name();
  const bool inPlace = output && output->inPlace();
  if (settings.removeInput) {
    CheckRemovable(input, operands[0], /*walked=*/false, inPlace, parsed.Has("force"));
  }
  // In place, the file's other names would keep the old password.
  if (const nlink_t links = input.status().st_nlink; !output && links > 1 && !settings.force) {
    const std::string others = std::to_string(links - 1);
    throw WithStatus(
        FileFailure(input.name(), "has " + others +
                                      (links == 2 ? " other link; it" : " other links; they") +
                                      " would keep the old password (--force rekeys this "
                                      "name alone)"),
        ACBC_E_ARGUMENT);
  }

  CallPassword oldPassword(pass, /*encrypt=*/false);
  CallPassword newPassword(newPass, /*encrypt=*/true,
                           "New password: ", "the new password is empty");
  newPassword.From("--new-pass");
  const std::string& target = output ? operands[1] : operands[0];
  if (age) {
    // The file key is wrapped anew; the encrypted data is copied as it is.
    settings.maxWorkFactor = WorkFactor(parsed, "max-work-factor", ACBC_AGE_MAX_WORK_FACTOR);
    settings.workFactor = WorkFactor(parsed, "work-factor", 0);
    acbc_age_info header{};
    acbc_result inspected{};
    if (acbc_age_inspect_fd(input.fd(), &header, &inspected) == ACBC_OK &&
        header.work_factor == 0) {
      throw WithStatus(
          FileFailure(input.name(), std::string("encrypted to recipients (") + header.stanza_types +
                                        "): rekey changes passphrases only"),
          ACBC_E_ARGUMENT);
    }
    AgeKeys oldKeys;
    OpeningKeys(input.fd(), input.name(), settings, &oldPassword, &oldKeys);
    newPassword.ForAge();
    AgeKeys newKeys;
    EncryptionKeys(settings, &newPassword.Get(), &newKeys);
    Progress progress("rekey: " + input.name(), parsed.Has("quiet"));
    WriteOutput(target, inPlace, input.name(), outputName, &progress, [&](acbc_result* result) {
      if (job.RunAge(nullptr, &oldKeys.keys, &newKeys.keys, progress.hook(), result) == ACBC_OK) {
        acbc_job_commit(job.get(), result);
      }
    });
    FinishOutput(input, operands[0], target, outputName, inPlace, settings);
    return kExitSuccess;
  }
  if (parsed.Has("work-factor") || parsed.Has("max-work-factor")) {
    throw UsageError{"'--work-factor' and '--max-work-factor' are for age files"};
  }
  const Password& old = oldPassword.Get();
  // Rewriting in place, replacing an output and removing the input wait
  // for a password confirmed by 32 bits (see KeepInput).
  bool keepInput = false;
  if (!output) {
    if (file.layout.padding_bytes < kConfirmingPadding && !settings.acceptWeakCheck) {
      CheckPassword(file, old);
      throw WeakRefusal(input.name(), file.layout.padding_bytes, "not rewritten in place");
    }
  } else {
    Outcome unused;
    keepInput = KeepInput(file, operands[0], *output, settings, &oldPassword, &unused);
  }
  const Password& fresh = newPassword.Get();
  Progress progress("rekey: " + input.name(), parsed.Has("quiet"));
  r = WriteOutput(target, inPlace, input.name(), outputName, &progress, [&](acbc_result* result) {
    if (job.Run(old, &fresh, progress.hook(), result) == ACBC_OK) {
      acbc_job_commit(job.get(), result);
    }
  });
  FinishOutput(input, operands[0], target, outputName, inPlace, settings, {}, keepInput);
  if (file.layout.verdict != ACBC_VERDICT_CONSISTENT) {
    Warn(input.name() + ": " + DecryptWarning(file.layout));
  }
  NoteWeakCheck(input.name(), r.padding_bytes);
  if (keepInput) throw WeakRefusal(input.name(), r.padding_bytes, "not removed");
  return kExitSuccess;
}

}  // namespace

const CommandInfo kRekeyCommand = {
    "rekey", "encrypt an ACBC or age file again under a new password", kRekeyHelp, RunRekey};

}  // namespace pellfold::host
