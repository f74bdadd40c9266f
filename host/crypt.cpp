// pellfold encrypt, decrypt and verify: the library's status-returning file
// logic, with checks before anything is written and safe output after.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "aes/aes.h"
#include "cli.h"
#include "commands.h"
#include "files.h"
#include "layout.h"
#include "password.h"
#include "progress.h"
#include "service/acbc.h"
#include "signals.h"

namespace pellfold::host {
namespace {

constexpr std::size_t kShortPassword = 8;
constexpr std::size_t kKeyBytes = 32;
// With n zero padding bytes a wrong password passes the check with odds
// 2^-8n; below this many the user is told.
constexpr int kConfirmingPadding = 4;
constexpr char kSuffix[] = ".acbc";
constexpr std::size_t kSuffixSize = sizeof kSuffix - 1;

const std::vector<OptionDef> kEncryptOptions = {
    {"pass", 'p', true},       {"force", 'f', false}, {"quiet", 'q', false},
    {"multifile", 'm', false}, {"help", 'h', false},
};

const std::vector<OptionDef> kDecryptOptions = {
    {"pass", 'p', true},       {"force", 'f', false}, {"quiet", 'q', false},
    {"multifile", 'm', false}, {"salvage", 0, false}, {"help", 'h', false},
};

const std::vector<OptionDef> kVerifyOptions = {
    {"pass", 'p', true},
    {"help", 'h', false},
};

#define PELLFOLD_PASS_HELP                                                              \
  "  -p, --pass SOURCE  take the password from SOURCE: pass:TEXT, env:VAR,\n"           \
  "                     file:PATH, fd:N or stdin (first line, line end removed; on a\n" \
  "                     terminal it is asked for without echo); without it the\n"       \
  "                     password is asked for on the terminal\n"

const char kEncryptHelp[] =
    "Usage: pellfold encrypt [OPTIONS] INPUT [OUTPUT]\n"
    "       pellfold encrypt [OPTIONS] -m FILE...\n"
    "\n"
    "Encrypt INPUT into the ACBC file OUTPUT (INPUT.acbc when not given) under a\n"
    "password, byte for byte as AESEncypt does. INPUT '-' reads standard input;\n"
    "OUTPUT '-' writes standard output, which must not be a terminal.\n"
    "\n"
    "Options:\n" PELLFOLD_PASS_HELP
    "  -f, --force        replace OUTPUT if it exists\n"
    "  -m, --multifile    encrypt every FILE into FILE.acbc, under one password\n"
    "  -q, --quiet        show no progress\n"
    "  -h, --help         show this help and exit\n"
    "\n"
    "OUTPUT is written under a temporary name and renamed into place only when\n"
    "complete, never more readable than INPUT. The password must not be empty;\n"
    "it is the key: only its first 32 bytes count and there is no salt. See\n"
    "pellfold(1).\n";

const char kDecryptHelp[] =
    "Usage: pellfold decrypt [OPTIONS] INPUT [OUTPUT]\n"
    "       pellfold decrypt [OPTIONS] -m FILE.acbc...\n"
    "\n"
    "Decrypt the ACBC file INPUT into OUTPUT, as AESDecrypt does; without OUTPUT,\n"
    "INPUT must end in .acbc and OUTPUT is INPUT without it. INPUT '-' reads\n"
    "standard input; OUTPUT '-' writes standard output once all of INPUT has\n"
    "been decrypted.\n"
    "\n"
    "Options:\n" PELLFOLD_PASS_HELP
    "  -f, --force        replace OUTPUT if it exists\n"
    "  -m, --multifile    decrypt every FILE.acbc into FILE, under one password\n"
    "      --salvage      decrypt a truncated file or one with a negative length\n"
    "                     anyway, writing what AESDecrypt would write\n"
    "  -q, --quiet        show no progress\n"
    "  -h, --help         show this help and exit\n"
    "\n"
    "Before anything is created, INPUT's header and size are checked, and the\n"
    "last record is decrypted: its zero padding must be intact, or the password\n"
    "is wrong (or the file was altered) and nothing is written. With n padding\n"
    "bytes a wrong password passes with odds 2^-8n; for n < 4 a note says so.\n"
    "Bytes after the last record are ignored with a warning. See pellfold(1).\n";

const char kVerifyHelp[] =
    "Usage: pellfold verify [OPTIONS] FILE...\n"
    "\n"
    "Check that the password opens each ACBC FILE, without writing anything:\n"
    "the last record is decrypted and its zero padding checked, as decrypt does\n"
    "first. Prints 'FILE: OK' for each file that passes.\n"
    "\n"
    "Options:\n" PELLFOLD_PASS_HELP
    "  -h, --help         show this help and exit\n"
    "\n"
    "Exit status: 0 when every FILE passes, 1 otherwise, 2 on a usage error.\n";

#undef PELLFOLD_PASS_HELP

struct Settings {
  const std::string* pass = nullptr;
  bool force = false;
  bool quiet = false;
  bool salvage = false;
};

struct Job {
  std::string input;
  std::string output;
};

// The password of a whole call: obtained once, when the first file needs
// it (after that file's own checks), so that many files cost one prompt.
class CallPassword {
 public:
  CallPassword(const std::string* source, bool encrypt) : source_(source), encrypt_(encrypt) {}

  const Password& Get() {
    if (have_) return password_;
    broken_ = true;
    ObtainPassword(source_, /*confirm=*/encrypt_, &password_);
    if (encrypt_) {
      // An empty password is an all-zero key: no protection at all.
      if (password_.textLength == 0) throw UsageError{"the password is empty"};
      if (password_.textLength < kShortPassword) {
        Warn("password is shorter than 8 bytes");
      } else if (password_.textLength > kKeyBytes) {
        Warn("password is longer than 32 bytes; bytes after the 32nd do not reach the key");
      }
    }
    broken_ = false;
    have_ = true;
    return password_;
  }
  // True once obtaining the password failed: no further file can be done.
  bool broken() const { return broken_; }

 private:
  const std::string* source_;
  bool encrypt_;
  bool have_ = false;
  bool broken_ = false;
  Password password_;
};

// Turns a failed status of the library's record loops into a Failure that
// names the file at fault. `error` is errno as the loop left it.
void Check(AcbcStatus status, int error, const InputFile& input, const OutputFile& output) {
  if (status == AcbcStatus::kOk) return;
  std::string reason = AcbcStatusText(status);
  if (error != 0) reason += std::string(": ") + std::strerror(error);
  throw FileFailure(status == AcbcStatus::kWrite ? output.name() : input.name(), reason);
}

Failure Changed(const InputFile& input) {
  return FileFailure(input.name(), "input changed while it was being read");
}

std::string DefaultOutput(const std::string& input, bool encrypt) {
  if (input == "-") throw UsageError{"OUTPUT is needed when INPUT is standard input"};
  if (encrypt) return input + kSuffix;
  const std::size_t slash = input.rfind('/');
  const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
  if (input.size() <= base + kSuffixSize ||
      input.compare(input.size() - kSuffixSize, kSuffixSize, kSuffix) != 0) {
    throw UsageError{"'" + input + "' does not end in " + kSuffix +
                     ": name the OUTPUT to decrypt it into"};
  }
  return input.substr(0, input.size() - kSuffixSize);
}

std::vector<Job> Jobs(const ParsedArgs& parsed, bool encrypt) {
  const std::vector<std::string>& operands = parsed.operands;
  if (operands.empty()) throw UsageError{"missing INPUT operand"};
  std::vector<Job> jobs;
  if (parsed.Has("multifile")) {
    for (const auto& input : operands) jobs.push_back({input, DefaultOutput(input, encrypt)});
    return jobs;
  }
  if (operands.size() > 2) throw UsageError{"extra operand '" + operands[2] + "'"};
  jobs.push_back(
      {operands[0], operands.size() == 2 ? operands[1] : DefaultOutput(operands[0], encrypt)});
  return jobs;
}

void EncryptOne(const Job& job, const Settings& settings, CallPassword* callPassword) {
  InputFile input(job.input);
  OutputFile output(job.output, settings.force, input.stream(), input.outputMode(),
                    /*deferUntilCommit=*/false);
  if (output.isTerminal()) {
    throw FileFailure(output.name(), "refusing to write ciphertext to a terminal");
  }
  const Password& password = callPassword->Get();

  // The header records the length up front, so a pipe's content is copied
  // aside first to learn it.
  if (job.input == "-" || input.regularSize() < 0) {
    input.SpoolToPrivateFile(kAcbcMaxLength, kAcbcMaxLength);
  }
  std::int32_t length = 0;
  const AcbcStatus lengthStatus = AcbcInputLength(input.stream(), &length);
  if (lengthStatus != AcbcStatus::kOk) {
    throw FileFailure(input.name(), AcbcStatusText(lengthStatus));
  }

  output.Open();
  Progress progress("encrypt: " + input.name(), length, settings.quiet);
  errno = 0;
  const AcbcStatus status = AcbcEncryptStream(input.stream(), length, output.stream(),
                                              password.data(), password.length, progress.hook());
  const int error = errno;
  progress.Finish();
  Check(status, error, input, output);
  // The header promised `length` bytes: a file that grew or shrank meanwhile
  // (a log being written) would give a file that can never be decrypted.
  if (progress.done() != length || input.CurrentSize() != length) throw Changed(input);
  output.Commit();
}

// An ACBC input with its header read and its size known.
struct EncryptedInput {
  InputFile input;
  std::uint8_t header[kAcbcRecordSize] = {};
  std::int64_t headerBytes = 0;
  std::int64_t bodyStart = 0;   // where the body starts in the stream
  std::int64_t streamBody = 0;  // body bytes the stream holds
  std::int64_t sizeAtStart = 0;
  Layout layout;

  // Opens the input and refuses one that is not ACBC.
  explicit EncryptedInput(const std::string& path) : input(path) {
    int error = 0;
    headerBytes = static_cast<std::int64_t>(ReadHeaderRecord(input.stream(), header, &error));
    if (error != 0) {
      throw FileFailure(input.name(), std::string("read error: ") + std::strerror(error));
    }
    layout = Classify(header, headerBytes, 0);
    if (layout.verdict == Verdict::kNotAcbc || layout.verdict == Verdict::kUnreadableLength) {
      throw FileFailure(input.name(), DescribeVerdict(layout));
    }
  }

  // Learns the body's size (copying a pipe aside: only the records the
  // length needs are kept) and refuses a damaged file unless `salvage`.
  void Measure(bool salvage) {
    const bool spool = input.regularSize() < 0;
    if (spool) {
      input.SpoolToPrivateFile(std::numeric_limits<std::int64_t>::max(),
                               layout.recordsExpected * kAcbcRecordSize);
    }
    bodyStart = ftello(input.stream());
    sizeAtStart = input.CurrentSize();
    streamBody = sizeAtStart - bodyStart;
    layout = Classify(header, headerBytes,
                      spool ? input.regularSize() : input.regularSize() - headerBytes);
    const bool damaged =
        layout.verdict == Verdict::kTruncated || layout.verdict == Verdict::kNegativeLength;
    if (damaged && !salvage) {
      throw FileFailure(input.name(),
                        DescribeVerdict(layout) + " (--salvage decrypts what is there)");
    }
  }

  // Decrypts the record that holds the plaintext's last byte and checks
  // the zero padding after it. Throws Failure when it is not all zeros.
  // Returns the number of padding bytes checked: 0 when the record is
  // missing (a damaged file being salvaged).
  int CheckPadding(const Password& password) const {
    if (layout.length < 0) return 0;
    const std::int64_t offset =
        static_cast<std::int64_t>(layout.length / kAcbcRecordSize) * kAcbcRecordSize;
    if (streamBody < offset + kAcbcRecordSize) return 0;
    std::uint8_t record[kAcbcRecordSize];
    const ssize_t got = pread(fileno(input.stream()), record, sizeof record,
                              static_cast<off_t>(bodyStart + offset));
    if (got != static_cast<ssize_t>(sizeof record)) {
      throw FileFailure(input.name(),
                        std::string("read error: ") + std::strerror(got < 0 ? errno : EIO));
    }
    AESCbcDecrypt(record, kAcbcRecordSize, password.data(), password.length, kAcbcVector);
    const int used = layout.length % kAcbcRecordSize;
    std::uint8_t any = 0;
    for (int i = used; i < kAcbcRecordSize; ++i) any |= record[i];
    explicit_bzero(record, sizeof record);
    if (any != 0) throw FileFailure(input.name(), "wrong password (or the file was altered)");
    return kAcbcRecordSize - used;
  }
};

// The note for a check with few padding bytes.
void NoteWeakCheck(const std::string& name, int padding) {
  if (padding == 0 || padding >= kConfirmingPadding) return;
  Complain("note: " + name + ": only " + std::to_string(padding) +
           (padding == 1 ? " padding byte" : " padding bytes") +
           ": the password could not be fully confirmed (a wrong one passes "
           "with odds 2^-" +
           std::to_string(8 * padding) + ")");
}

// The warning for a file whose size disagrees with its header.
std::string DecryptWarning(const Layout& layout) {
  const std::string length = std::to_string(layout.length);
  switch (layout.verdict) {
    case Verdict::kTruncated:
      return "file is truncated, " + std::to_string(layout.missingBytes) +
             " bytes missing: the end of the output is missing or wrong";
    case Verdict::kTrailingBytes:
      return std::to_string(layout.trailingBytes) +
             " bytes follow the last record that the header's length (" + length +
             ") needs; they were ignored";
    case Verdict::kNegativeLength:
      return "header records a negative length (" + length + "): the output is empty";
    default: return DescribeVerdict(layout);
  }
}

void DecryptOne(const Job& job, const Settings& settings, CallPassword* callPassword) {
  // The header decides whether there is anything to do, before any output
  // exists.
  EncryptedInput file(job.input);
  const InputFile& input = file.input;
  OutputFile output(job.output, settings.force, input.stream(), input.outputMode(),
                    /*deferUntilCommit=*/true);
  file.Measure(settings.salvage);
  const Password& password = callPassword->Get();
  const int padding = file.CheckPadding(password);

  output.Open();
  Progress progress("decrypt: " + input.name(), file.streamBody, settings.quiet);
  errno = 0;
  const AcbcStatus status = AcbcDecryptBody(input.stream(), file.layout.length, output.stream(),
                                            password.data(), password.length, progress.hook());
  const int error = errno;
  progress.Finish();
  Check(status, error, input, output);
  const std::int64_t needed = file.layout.recordsExpected * kAcbcRecordSize;
  if (input.CurrentSize() != file.sizeAtStart || progress.done() > file.streamBody ||
      progress.done() < std::min(needed, file.streamBody)) {
    throw Changed(input);
  }
  output.Commit();
  if (file.layout.verdict != Verdict::kConsistent) {
    Warn(input.name() + ": " + DecryptWarning(file.layout));
  }
  NoteWeakCheck(input.name(), padding);
}

// Runs every job; with several, a failed file is reported and the rest are
// still done, and a summary line follows.
int RunJobs(const std::vector<Job>& jobs, bool many, const Settings& settings,
            CallPassword* callPassword, void (*one)(const Job&, const Settings&, CallPassword*)) {
  InstallSignalHandlers();
  ProtectSecrets();
  if (!many) {
    one(jobs[0], settings, callPassword);
    return kExitSuccess;
  }
  std::size_t failed = 0;
  for (const Job& job : jobs) {
    try {
      one(job, settings, callPassword);
    } catch (const Failure& failure) {
      if (callPassword->broken()) throw;
      Complain(failure.message);
      ++failed;
    }
  }
  Complain(std::to_string(jobs.size()) + " files: " + std::to_string(jobs.size() - failed) +
           " done, " + std::to_string(failed) + " failed");
  return failed == 0 ? kExitSuccess : kExitFailure;
}

int RunCrypt(const std::vector<std::string>& argv, bool encrypt) {
  const ParsedArgs parsed = ParseArgs(argv, encrypt ? kEncryptOptions : kDecryptOptions);
  if (parsed.Has("help")) {
    PrintHelp(encrypt ? kEncryptHelp : kDecryptHelp);
    return kExitSuccess;
  }
  Settings settings;
  settings.pass = parsed.Single("pass");
  settings.force = parsed.Has("force");
  settings.quiet = parsed.Has("quiet");
  settings.salvage = parsed.Has("salvage");
  const std::vector<Job> jobs = Jobs(parsed, encrypt);
  if (settings.pass != nullptr && *settings.pass == "stdin" && jobs[0].input == "-") {
    throw UsageError{
        "'--pass stdin' cannot be used when INPUT is standard input; give the password on "
        "another descriptor, e.g. --pass fd:3 3<FILE"};
  }
  CallPassword password(settings.pass, encrypt);
  return RunJobs(jobs, parsed.Has("multifile"), settings, &password,
                 encrypt ? EncryptOne : DecryptOne);
}

int RunEncrypt(const std::vector<std::string>& argv) {
  return RunCrypt(argv, /*encrypt=*/true);
}
int RunDecrypt(const std::vector<std::string>& argv) {
  return RunCrypt(argv, /*encrypt=*/false);
}

int RunVerify(const std::vector<std::string>& argv) {
  const ParsedArgs parsed = ParseArgs(argv, kVerifyOptions);
  if (parsed.Has("help")) {
    PrintHelp(kVerifyHelp);
    return kExitSuccess;
  }
  if (parsed.operands.empty()) throw UsageError{"missing FILE operand"};
  const std::string* pass = parsed.Single("pass");
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
  bool allPassed = true;
  for (const auto& path : parsed.operands) {
    try {
      EncryptedInput file(path);
      file.Measure(/*salvage=*/true);
      const Password& password = callPassword.Get();
      const int padding = file.CheckPadding(password);
      if (padding == 0) {
        throw FileFailure(file.input.name(), DescribeVerdict(file.layout) +
                                                 ": no record to check the password against");
      }
      std::fputs((file.input.name() + ": OK\n").c_str(), stdout);
      NoteWeakCheck(file.input.name(), padding);
    } catch (const Failure& failure) {
      if (callPassword.broken()) throw;
      Complain(failure.message);
      allPassed = false;
    }
  }
  return allPassed ? kExitSuccess : kExitFailure;
}

}  // namespace

const CommandInfo kEncryptCommand = {"encrypt", "encrypt a file into an ACBC file", kEncryptHelp,
                                     RunEncrypt};
const CommandInfo kDecryptCommand = {"decrypt", "decrypt an ACBC file", kDecryptHelp, RunDecrypt};
const CommandInfo kVerifyCommand = {"verify", "check a password against ACBC files", kVerifyHelp,
                                    RunVerify};

}  // namespace pellfold::host
