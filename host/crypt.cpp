// pellfold encrypt and pellfold decrypt: the library's status-returning file
// logic, with checks before anything is written and safe output after.
#include <cerrno>
#include <cstring>

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

const std::vector<OptionSpec> kOptions = {
    {"pass", 'p', true},
    {"force", 'f', false},
    {"quiet", 'q', false},
    {"help", 'h', false},
};

const char kEncryptHelp[] =
    "Usage: pellfold encrypt [OPTIONS] INPUT OUTPUT\n"
    "\n"
    "Encrypt INPUT into the ACBC file OUTPUT under a password, byte for byte as\n"
    "AESEncypt does. INPUT '-' reads standard input; OUTPUT '-' writes standard\n"
    "output, which must not be a terminal.\n"
    "\n"
    "Options:\n"
    "  -p, --pass SOURCE  take the password from SOURCE: pass:TEXT, env:VAR,\n"
    "                     file:PATH, fd:N or stdin (first line, line end removed);\n"
    "                     without it the password is asked for twice on the terminal\n"
    "  -f, --force        replace OUTPUT if it exists\n"
    "  -q, --quiet        show no progress\n"
    "  -h, --help         show this help and exit\n"
    "\n"
    "OUTPUT is written under a temporary name and renamed into place only when\n"
    "complete. The password is the key: only its first 32 bytes count, there is\n"
    "no salt, and nothing in the file can tell a wrong password later. See\n"
    "pellfold(1).\n";

const char kDecryptHelp[] =
    "Usage: pellfold decrypt [OPTIONS] INPUT OUTPUT\n"
    "\n"
    "Decrypt the ACBC file INPUT into OUTPUT, as AESDecrypt does. INPUT '-' reads\n"
    "standard input; OUTPUT '-' writes standard output once all of INPUT has been\n"
    "decrypted.\n"
    "\n"
    "Options:\n"
    "  -p, --pass SOURCE  take the password from SOURCE: pass:TEXT, env:VAR,\n"
    "                     file:PATH, fd:N or stdin (first line, line end removed);\n"
    "                     without it the password is asked for on the terminal\n"
    "  -f, --force        replace OUTPUT if it exists\n"
    "  -q, --quiet        show no progress\n"
    "  -h, --help         show this help and exit\n"
    "\n"
    "INPUT's header is checked before anything is created. A wrong password is\n"
    "not detected: it gives output of the right length and meaningless content.\n"
    "A file that is cut short or has bytes after its last record is decrypted\n"
    "anyway, with a warning. See pellfold(1).\n";

struct CryptArgs {
  std::string input;
  std::string output;
  const std::string* pass = nullptr;
  bool force = false;
  bool quiet = false;
};

// Returns false when the command only asked for its help, which is printed.
bool Parse(const ParsedArgs& parsed, const char* help, CryptArgs* args) {
  if (parsed.Has("help")) {
    PrintHelp(help);
    return false;
  }
  if (parsed.operands.size() < 2) {
    throw UsageError{parsed.operands.empty() ? "missing INPUT and OUTPUT operands"
                                             : "missing OUTPUT operand"};
  }
  if (parsed.operands.size() > 2) {
    throw UsageError{"extra operand '" + parsed.operands[2] + "'"};
  }
  args->input = parsed.operands[0];
  args->output = parsed.operands[1];
  args->pass = parsed.Value("pass");
  args->force = parsed.Has("force");
  args->quiet = parsed.Has("quiet");
  if (args->pass != nullptr && *args->pass == "stdin" && args->input == "-") {
    throw UsageError{"'--pass stdin' cannot be used when INPUT is standard input"};
  }
  return true;
}

// Turns a failed status of the library's record loops into a Failure that
// names the file at fault. `error` is errno as the loop left it.
void Check(AcbcStatus status, int error, const InputFile& input, const OutputFile& output) {
  if (status == AcbcStatus::kOk) return;
  std::string reason = AcbcStatusText(status);
  if (error != 0) reason += std::string(": ") + std::strerror(error);
  throw FileFailure(status == AcbcStatus::kWrite ? output.name() : input.name(), reason);
}

int RunEncrypt(const std::vector<std::string>& argv) {
  const ParsedArgs parsed = ParseArgs(argv, kOptions);
  CryptArgs args;  // points into parsed
  if (!Parse(parsed, kEncryptHelp, &args)) return kExitSuccess;
  InstallSignalHandlers();

  InputFile input(args.input);
  OutputFile output(args.output, args.force, input.stream(), /*deferUntilCommit=*/false);
  if (output.isTerminal()) {
    throw FileFailure(output.name(), "refusing to write ciphertext to a terminal");
  }

  Password password;
  ObtainPassword(args.pass, /*confirm=*/true, &password);
  if (password.textLength < kShortPassword) {
    Warn("password is shorter than 8 bytes");
  } else if (password.textLength > kKeyBytes) {
    Warn("password is longer than 32 bytes; bytes after the 32nd do not reach the key");
  }

  // The header records the length up front, so a pipe's content is copied
  // aside first to learn it.
  if (args.input == "-" || input.regularSize() < 0) input.SpoolToPrivateFile(kAcbcMaxLength);
  std::int32_t length = 0;
  const AcbcStatus lengthStatus = AcbcInputLength(input.stream(), &length);
  if (lengthStatus != AcbcStatus::kOk) {
    throw FileFailure(input.name(), AcbcStatusText(lengthStatus));
  }

  Progress progress("encrypt: " + input.name(), length, args.quiet);
  errno = 0;
  const AcbcStatus status = AcbcEncryptStream(input.stream(), length, output.stream(),
                                              password.data(), password.length, progress.hook());
  const int error = errno;
  progress.Finish();
  Check(status, error, input, output);
  output.Commit();
  return kExitSuccess;
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

int RunDecrypt(const std::vector<std::string>& argv) {
  const ParsedArgs parsed = ParseArgs(argv, kOptions);
  CryptArgs args;  // points into parsed
  if (!Parse(parsed, kDecryptHelp, &args)) return kExitSuccess;
  InstallSignalHandlers();

  InputFile input(args.input);
  // The header decides whether there is anything to do, before any output
  // exists.
  std::uint8_t header[kAcbcRecordSize];
  int readError = 0;
  const std::size_t headerBytes = ReadHeaderRecord(input.stream(), header, &readError);
  if (readError != 0) {
    throw FileFailure(input.name(), std::string("read error: ") + std::strerror(readError));
  }
  std::int32_t length = 0;
  if (!AcbcParseHeader(header, &length)) {
    throw FileFailure(input.name(), AcbcStatusText(AcbcStatus::kBadFormat));
  }

  OutputFile output(args.output, args.force, input.stream(), /*deferUntilCommit=*/true);
  Password password;
  ObtainPassword(args.pass, /*confirm=*/false, &password);

  const std::int64_t size = input.regularSize();
  const std::int64_t headerSize = static_cast<std::int64_t>(headerBytes);
  Progress progress("decrypt: " + input.name(), size > headerSize ? size - headerSize : -1,
                    args.quiet);
  errno = 0;
  const AcbcStatus status = AcbcDecryptBody(input.stream(), length, output.stream(),
                                            password.data(), password.length, progress.hook());
  const int error = errno;
  progress.Finish();
  Check(status, error, input, output);

  const Layout layout = Classify(header, headerSize, progress.done());
  output.Commit();
  if (layout.verdict != Verdict::kConsistent) Warn(input.name() + ": " + DecryptWarning(layout));
  return kExitSuccess;
}

}  // namespace

const CommandInfo kEncryptCommand = {"encrypt", "encrypt a file into an ACBC file", kEncryptHelp,
                                     RunEncrypt};
const CommandInfo kDecryptCommand = {"decrypt", "decrypt an ACBC file", kDecryptHelp, RunDecrypt};

}  // namespace pellfold::host
