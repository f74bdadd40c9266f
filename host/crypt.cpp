// pellfold encrypt, decrypt, verify, rekey and upgrade on libacbc: the
// program asks for the password, refuses a bad output before that, copies
// pipes aside, and turns the library's statuses into messages; the library
// does the checks, the temporary output, the syncs and the rename, for ACBC
// and for age files alike.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "acbc.h"
#include "cli.h"
#include "commands.h"
#include "files.h"
#include "layout.h"
#include "password.h"
#include "progress.h"
#include "range.h"
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
// Plaintext lengths travel as signed 32-bit values.
constexpr std::int64_t kMaxLength = 0x7FFFFFFF;
constexpr std::int64_t kUnbounded = std::numeric_limits<std::int64_t>::max();

constexpr char kAgeSuffix[] = ".age";
constexpr std::size_t kAgeSuffixSize = sizeof kAgeSuffix - 1;
constexpr int kHighestWorkFactor = 30;
// Bytes of a piped age file copied aside to read its header from.
constexpr std::int64_t kAgeHeaderRoom = 1 << 16;

const std::vector<OptionDef> kEncryptOptions = {
    {"pass", 'p', true},       {"force", 'f', false},      {"quiet", 'q', false},
    {"multifile", 'm', false}, {"recursive", 'r', false},  {"output-dir", 'o', true},
    {"preserve", 0, false},    {"remove-input", 0, false}, {"json", 0, false},
    {"format", 0, true},       {"recipient", 0, true},     {"recipients-file", 'R', true},
    {"armor", 'a', false},     {"work-factor", 0, true},   {"help", 'h', false},
};

const std::vector<OptionDef> kDecryptOptions = {
    {"pass", 'p', true},       {"force", 'f', false},      {"quiet", 'q', false},
    {"multifile", 'm', false}, {"recursive", 'r', false},  {"output-dir", 'o', true},
    {"preserve", 0, false},    {"remove-input", 0, false}, {"salvage", 0, false},
    {"json", 0, false},        {"identity", 'i', true},    {"max-work-factor", 0, true},
    {"range", 0, true},        {"help", 'h', false},
};

const std::vector<OptionDef> kVerifyOptions = {
    {"pass", 'p', true},     {"recursive", 'r', false},    {"json", 0, false},
    {"identity", 'i', true}, {"max-work-factor", 0, true}, {"help", 'h', false},
};

const std::vector<OptionDef> kRekeyOptions = {
    {"pass", 'p', true},      {"new-pass", 0, true},        {"force", 'f', false},
    {"quiet", 'q', false},    {"preserve", 0, false},       {"remove-input", 0, false},
    {"work-factor", 0, true}, {"max-work-factor", 0, true}, {"help", 'h', false},
};

const std::vector<OptionDef> kUpgradeOptions = {
    {"pass", 'p', true},       {"new-pass", 0, true},     {"force", 'f', false},
    {"quiet", 'q', false},     {"multifile", 'm', false}, {"recursive", 'r', false},
    {"output-dir", 'o', true}, {"preserve", 0, false},    {"remove-input", 0, false},
    {"json", 0, false},        {"recipient", 0, true},    {"recipients-file", 'R', true},
    {"armor", 'a', false},     {"work-factor", 0, true},  {"help", 'h', false},
};

#define PELLFOLD_PASS_HELP                                                              \
  "  -p, --pass SOURCE  take the password from SOURCE: pass:TEXT, env:VAR,\n"           \
  "                     file:PATH, fd:N or stdin (first line, line end removed; on a\n" \
  "                     terminal it is asked for without echo); without it the\n"       \
  "                     password is asked for on the terminal\n"

#define PELLFOLD_FILES_HELP(what)                                                   \
  "  -r, --recursive    " what                                                      \
  " every file below each FOLDER (symbolic links are\n"                             \
  "                     not followed)\n"                                            \
  "  -o, --output-dir DIR  with -m or -r, write the outputs into DIR instead of\n"  \
  "                     beside their inputs (with -r, in the same sub-folders)\n"   \
  "      --preserve     give OUTPUT the access and modification times of INPUT\n"   \
  "      --remove-input remove INPUT once OUTPUT is complete and in place; never\n" \
  "                     after a failure\n"

#define PELLFOLD_AGE_HELP                                                          \
  "      --recipient age1...  encrypt to this X25519 recipient instead of a\n"     \
  "                     passphrase (repeatable)\n"                                 \
  "  -R, --recipients-file FILE  encrypt to the recipients in FILE, one a line\n"  \
  "                     ('#' comments and blank lines ignored; repeatable)\n"      \
  "  -a, --armor        write age's ASCII armor\n"                                 \
  "      --work-factor N  scrypt work factor (log2 N, 1 to 30) of a passphrase;\n" \
  "                     default 18\n"

#define PELLFOLD_IDENTITY_HELP                                                     \
  "  -i, --identity FILE  for age files: an identity file (AGE-SECRET-KEY-1...\n"  \
  "                     lines); repeatable. A passphrase is asked for only when\n" \
  "                     the file is encrypted under one\n"                         \
  "      --max-work-factor N  refuse an age file whose passphrase asks for a\n"    \
  "                     scrypt work factor above N (default 22)\n"

#define PELLFOLD_JSON_HELP                                                          \
  "      --json         print one JSON object per file on standard output: path,\n" \
  "                     status, message and warnings (output, for encrypt and decrypt)\n"

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

const char kDecryptHelp[] =
    "Usage: pellfold decrypt [OPTIONS] INPUT [OUTPUT]\n"
    "       pellfold decrypt [OPTIONS] -m FILE.acbc...\n"
    "       pellfold decrypt [OPTIONS] -r FOLDER...\n"
    "\n"
    "Decrypt the ACBC or age file INPUT into OUTPUT (ACBC as AESDecrypt does);\n"
    "without OUTPUT, INPUT must end in .acbc or .age and OUTPUT is INPUT without\n"
    "it. The format is told by the file's first line. INPUT '-' reads standard\n"
    "input; OUTPUT '-' writes standard output: ACBC once all of INPUT has been\n"
    "decrypted, age chunk by chunk as each one authenticates (on a failure the\n"
    "exit status is 1 and what was written is incomplete).\n"
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
    "  -q, --quiet        show no progress\n" PELLFOLD_JSON_HELP
    "  -h, --help         show this help and exit\n"
    "\n"
    "An age file appears as OUTPUT only when every chunk authenticated. For an\n"
    "ACBC file, before anything is created, its header and size are checked and\n"
    "the last record is decrypted: its zero padding must be intact, or the password\n"
    "is wrong (or the file was altered) and nothing is written. With n padding\n"
    "bytes a wrong password passes with odds 2^-8n; for n < 4 a note says so.\n"
    "Bytes after the last record are ignored with a warning. With -r, only\n"
    "files ending in .acbc are decrypted. --remove-input removes INPUT only\n"
    "after the password check passed and OUTPUT is in place. See pellfold(1).\n";

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
    "                     (symbolic links are not followed)\n" PELLFOLD_JSON_HELP
    "  -h, --help         show this help and exit\n"
    "\n"
    "Exit status: 0 when every FILE passes, 1 otherwise, 2 on a usage error.\n";

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
    "  -f, --force        replace OUTPUT if it exists\n"
    "      --preserve     keep INPUT's access and modification times (on OUTPUT)\n"
    "      --remove-input remove INPUT once OUTPUT is complete and in place (only\n"
    "                     with OUTPUT)\n"
    "  -q, --quiet        show no progress\n"
    "  -h, --help         show this help and exit\n";

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
    "  -m, --multifile    accepted for symmetry: every FILE is upgraded "
    "anyway\n" PELLFOLD_FILES_HELP(
        "upgrade") "  -q, --quiet        show no progress\n" PELLFOLD_JSON_HELP
                   "  -h, --help         show this help and exit\n"
                   "\n"
                   "With -r, only files ending in .acbc are upgraded. --remove-input removes\n"
                   "FILE only once the age file is complete, checked and in place.\n"
                   "See pellfold(1).\n";

#undef PELLFOLD_PASS_HELP
#undef PELLFOLD_AGE_HELP
#undef PELLFOLD_IDENTITY_HELP
#undef PELLFOLD_JSON_HELP
#undef PELLFOLD_FILES_HELP

class CallPassword;

struct Settings {
  Settings() = default;
  Settings(const Settings&) = delete;
  Settings& operator=(const Settings&) = delete;
  ~Settings() {
    for (std::string& identity : identities) Wipe(&identity);
  }

  const std::string* pass = nullptr;
  bool force = false;
  bool quiet = false;
  bool salvage = false;
  bool json = false;
  bool preserve = false;
  bool removeInput = false;
  std::optional<ByteRange> range;  // decrypt --range
  // age
  bool age = false;  // encrypt: --format age
  bool armor = false;
  int workFactor = 0;  // 0: the library's default
  int maxWorkFactor = ACBC_AGE_MAX_WORK_FACTOR;
  std::vector<std::string> recipients;
  std::vector<std::string> identities;    // the identity files' texts
  CallPassword* newPassphrase = nullptr;  // upgrade --new-pass
};

struct Job {
  std::string input;
  std::string output;
  std::string failure;       // a folder -r could not read: the job fails with this
  bool makeFolders = false;  // create the folders on the way to output first
  // With -r: the input's folder, held open, and its name there; the
  // output's folder (under -o, created when missing) and its name there.
  Place inputPlace = {};
  Place outputPlace = {};
};

// The path a job's output is written under: through its folder's
// descriptor when a walk found its input, else as given.
std::string OutputPath(const Job& job) {
  const Place& place = job.outputPlace;
  return place.folder ? place.folder->PathTo(place.name) : job.output;
}

// How one file went, for --json.
struct Outcome {
  acbc_status status = ACBC_OK;
  std::string message;
  unsigned warnings = 0;
  int padding = 0;  // padding bytes that confirmed the password
};

// A password of a whole call: obtained once, when the first file needs it
// (after that file's own checks), so that many files cost one prompt. A
// password to encrypt under is asked twice, and must not be empty.
class CallPassword {
 public:
  CallPassword(const std::string* source, bool encrypt,
               const char* prompt = "Password: ", const char* empty = "the password is empty")
      : source_(source), encrypt_(encrypt), prompt_(prompt), empty_(empty) {}

  const Password& Get() {
    if (have_) return password_;
    broken_ = true;
    ObtainPassword(source_, /*confirm=*/encrypt_, &password_, prompt_);
    if (encrypt_) {
      // An empty password is an all-zero key: no protection at all.
      if (password_.textLength == 0) throw UsageError{empty_};
      if (password_.textLength < kShortPassword) {
        Warn("password is shorter than 8 bytes");
      } else if (password_.textLength > kKeyBytes && acbcKey_) {
        Warn("password is longer than 32 bytes; bytes after the 32nd do not reach the key");
      }
    }
    broken_ = false;
    have_ = true;
    return password_;
  }
  // True once obtaining the password failed: no further file can be done.
  bool broken() const { return broken_; }
  // An age passphrase: every byte counts, so a long one draws no warning.
  void ForAge() { acbcKey_ = false; }

 private:
  const std::string* source_;
  bool encrypt_;
  const char* prompt_;
  const char* empty_;
  bool have_ = false;
  bool broken_ = false;
  bool acbcKey_ = true;
  Password password_;
};

std::string Reason(const std::string& text, int error) {
  return text + ": " + std::strerror(error != 0 ? error : EIO);
}

// The failure a library status stands for, in the words the program has
// always used, naming the file at fault.
Failure StatusFailure(const acbc_result& r, const std::string& input, const std::string& output) {
  const int error = r.error_number;
  const auto failure = [&](const std::string& name, const std::string& reason) {
    return WithStatus(FileFailure(name, reason), r.status);
  };
  switch (r.status) {
    case ACBC_E_INPUT_OPEN: return failure(input, std::strerror(error != 0 ? error : EIO));
    case ACBC_E_OUTPUT_OPEN: return failure(output, std::strerror(error != 0 ? error : EIO));
    case ACBC_E_OUTPUT_EXISTS: return failure(output, "file exists (use --force to overwrite)");
    case ACBC_E_SAME_FILE: return failure(output, "output is the same file as the input");
    case ACBC_E_TOO_LARGE: return failure(input, "input is 2 GiB or larger");
    case ACBC_E_NOT_ACBC: return failure(input, "not an ACBC file");
    case ACBC_E_WRONG_PASSWORD: return failure(input, "wrong password (or the file was altered)");
    case ACBC_E_INPUT_CHANGED: return failure(input, "input changed while it was being read");
    case ACBC_E_READ: return failure(input, Reason("read error", error));
    case ACBC_E_WRITE: return failure(output, Reason("write error", error));
    case ACBC_E_NOT_AGE: return failure(input, "not an age file");
    case ACBC_E_NO_MATCH: return failure(input, "wrong passphrase, or no identity given opens it");
    case ACBC_E_AGE_MAC: return failure(input, "the header was altered: its MAC does not match");
    case ACBC_E_AGE_PAYLOAD:
      return failure(input, "altered or cut short: the data failed authentication");
    case ACBC_E_WORK_FACTOR:
      return failure(input,
                     "its scrypt work factor is above the ceiling (--max-work-factor raises it)");
    default: break;
  }
  std::string reason = acbc_status_text(r.status);
  if (error != 0) reason += std::string(": ") + std::strerror(error);
  return failure(input, reason);
}

// What stands under an output's name, to tell afterwards whether a call
// that failed had put its new file there already.
struct NameState {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
};

NameState StateOf(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return {};
  return {true, st.st_dev, st.st_ino};
}

bool Replaced(const NameState& before, const std::string& path) {
  const NameState now = StateOf(path);
  return now.exists && (!before.exists || now.device != before.device || now.inode != before.inode);
}

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
  const NameState before = StateOf(path);
  acbc_result r{};
  {
    std::optional<DeferSignals> defer;
    if (!inPlace) defer.emplace();
    call(&r);
  }
  progress->Finish();
  // A write failure with the new file under the name: the file was linked
  // into place, but its folder could not be synced after that, or its
  // temporary name removed.
  const bool placed = r.status == ACBC_E_WRITE && !inPlace && Replaced(before, path);
  // A new file with a second name: the temporary one, which could not be
  // removed after the link.
  struct stat st {};
  const bool leftover = placed && stat(path.c_str(), &st) == 0 && st.st_nlink > 1;
  const auto failure = [&] {
    if (!placed) return StatusFailure(r, input, output);
    return WithStatus(
        FileFailure(output, Reason(leftover ? "written, but its temporary name could not be removed"
                                            : "written, but its folder could not be synced",
                                   r.error_number)),
        ACBC_E_WRITE);
  };
  if (const int signal = CaughtSignal(); signal != 0) {
    if (r.status == ACBC_OK) {
      const char* name = sigabbrev_np(signal);
      Complain(output + ": written; then stopped by " +
               (name != nullptr ? std::string("SIG") + name : "a signal"));
    } else if (r.status != ACBC_E_CANCELLED) {
      Complain(failure().message);
    }
    ExitForSignal(signal);
  }
  if (r.status != ACBC_OK) throw failure();
  return r;
}

Failure DamagedFailure(const std::string& name, const Layout& layout) {
  return WithStatus(
      FileFailure(name, DescribeVerdict(layout) + " (--salvage decrypts what is there)"),
      ACBC_E_DAMAGED);
}

// How a command names its outputs after its inputs.
enum class Naming {
  kAddAcbc,  // encrypt: IN.acbc
  kAddAge,   // encrypt --format age: IN.age
  kRemove,   // decrypt: IN without .acbc or .age
  kUpgrade,  // upgrade: x.acbc becomes x.age, other names get .age added
};

// True for a name whose last part ends in `suffix` with something before it.
bool EndsIn(const std::string& path, const char* suffix, std::size_t size) {
  const std::size_t slash = path.rfind('/');
  const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
  return path.size() > base + size && path.compare(path.size() - size, size, suffix) == 0;
}
bool HasSuffix(const std::string& path) {
  return EndsIn(path, kSuffix, kSuffixSize);
}
bool HasAgeSuffix(const std::string& path) {
  return EndsIn(path, kAgeSuffix, kAgeSuffixSize);
}

std::string DefaultOutput(const std::string& input, Naming naming) {
  if (input == "-") throw UsageError{"OUTPUT is needed when INPUT is standard input"};
  switch (naming) {
    case Naming::kAddAcbc: return input + kSuffix;
    case Naming::kAddAge: return input + kAgeSuffix;
    case Naming::kUpgrade:
      return (HasSuffix(input) ? input.substr(0, input.size() - kSuffixSize) : input) + kAgeSuffix;
    case Naming::kRemove: break;
  }
  if (HasSuffix(input)) return input.substr(0, input.size() - kSuffixSize);
  if (HasAgeSuffix(input)) return input.substr(0, input.size() - kAgeSuffixSize);
  throw UsageError{"'" + input + "' does not end in " + kSuffix + " or " + kAgeSuffix +
                   ": name the OUTPUT to decrypt it into"};
}

std::string Join(const std::string& folder, const std::string& name) {
  return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The files below the FOLDER operands of -r: for decrypt and verify only
// those ending in .acbc or .age, for upgrade those ending in .acbc; encrypt
// skips those with a note.
std::vector<FoundFile> FilesBelow(const std::vector<std::string>& folders, Naming naming) {
  const bool encrypt = naming == Naming::kAddAcbc || naming == Naming::kAddAge;
  std::vector<FoundFile> files;
  for (const auto& folder : folders) {
    if (folder == "-") throw UsageError{"--recursive works on folders, not on standard input"};
    for (FoundFile& file : WalkFolder(folder)) {
      const bool acbc = HasSuffix(file.path);
      const bool encrypted = acbc || HasAgeSuffix(file.path);
      const bool wanted = encrypt ? !encrypted : naming == Naming::kUpgrade ? acbc : encrypted;
      if (file.failure.empty() && !wanted) {
        if (encrypt) {
          Complain("note: " + file.path + ": already ends in " + (acbc ? kSuffix : kAgeSuffix) +
                   "; skipped");
        }
        continue;
      }
      files.push_back(std::move(file));
    }
  }
  return files;
}

// --output-dir: a folder that exists, checked before any work.
const std::string* OutputFolder(const ParsedArgs& parsed) {
  const std::string* folder = parsed.Single("output-dir");
  if (folder == nullptr) return nullptr;
  if (!parsed.Has("multifile") && !parsed.Has("recursive") && CommandName() != "upgrade") {
    throw UsageError{"'--output-dir' needs --multifile or --recursive"};
  }
  struct stat st {};
  if (stat(folder->c_str(), &st) != 0) throw FileError(*folder, errno);
  if (!S_ISDIR(st.st_mode)) throw FileError(*folder, ENOTDIR);
  return folder;
}

std::vector<Job> Jobs(const ParsedArgs& parsed, Naming encrypt) {
  const std::vector<std::string>& operands = parsed.operands;
  if (operands.empty()) throw UsageError{"missing INPUT operand"};
  const std::string* folder = OutputFolder(parsed);
  std::vector<Job> jobs;
  if (parsed.Has("recursive")) {
    // The folders mirrored under -o, by their path below it.
    std::map<std::string, std::shared_ptr<Folder>> mirrors;
    if (folder != nullptr) mirrors[""] = Folder::Root(*folder, ACBC_E_OUTPUT_OPEN);
    for (const FoundFile& file : FilesBelow(operands, encrypt)) {
      if (!file.failure.empty()) {
        jobs.push_back({file.path, "", file.failure, false});
      } else if (folder != nullptr) {
        const std::string relative = DefaultOutput(file.relative, encrypt);
        jobs.push_back({file.path, Join(*folder, relative), "", true});
        std::shared_ptr<Folder> mirror = mirrors[""];
        for (std::size_t from = 0, slash = relative.find('/'); slash != std::string::npos;
             from = slash + 1, slash = relative.find('/', from)) {
          std::shared_ptr<Folder>& known = mirrors[relative.substr(0, slash)];
          if (!known) known = Folder::Below(mirror, relative.substr(from, slash - from), true);
          mirror = known;
        }
        jobs.back().outputPlace = {mirror, BaseName(relative)};
      } else {
        jobs.push_back({file.path, DefaultOutput(file.path, encrypt), "", false});
        jobs.back().outputPlace = {file.place.folder, BaseName(jobs.back().output)};
      }
      jobs.back().inputPlace = file.place;
    }
    return jobs;
  }
  if (parsed.Has("multifile") || encrypt == Naming::kUpgrade) {
    for (const auto& input : operands) {
      const std::string output = DefaultOutput(input, encrypt);
      jobs.push_back(
          {input, folder != nullptr ? Join(*folder, BaseName(output)) : output, "", false});
    }
    return jobs;
  }
  if (operands.size() > 2) throw UsageError{"extra operand '" + operands[2] + "'"};
  jobs.push_back({operands[0],
                  operands.size() == 2 ? operands[1] : DefaultOutput(operands[0], encrypt), "",
                  false});
  return jobs;
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
// (see RemoveFile), and only after its times reached the output.
void FinishOutput(const InputFile& input, const std::string& inputPath,
                  const std::string& outputPath, const std::string& outputName, bool outputInPlace,
                  const Settings& settings, const Place& place = {}) {
  if (settings.preserve && !outputInPlace && S_ISREG(input.status().st_mode)) {
    if (const int error = CopyTimes(input.status(), outputPath); error != 0) {
      throw WithStatus(
          FileFailure(outputName, Reason("written, but its times could not be set", error)),
          ACBC_E_WRITE);
    }
  }
  if (!settings.removeInput) return;
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
                     ACBC_E_WRITE);
  }
}

// The whole text of a key file named by an option, or Failure.
std::string ReadKeyFile(const std::string& path) {
  const int fd = path == "-" ? -1 : open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw FileError(path, path == "-" ? EINVAL : errno);
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      const int error = errno;
      close(fd);
      Wipe(&text);
      throw FileFailure(path, Reason("read error", error));
    }
    if (got == 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  close(fd);
  explicit_bzero(buffer, sizeof buffer);
  return text;
}

// --recipient values and the lines of every --recipients-file, in order:
// blank lines and those starting with '#' are skipped, spaces around a
// recipient dropped.
std::vector<std::string> Recipients(const ParsedArgs& parsed) {
  std::vector<std::string> recipients;
  for (const ParsedOption& option : parsed.options) {
    if (option.name == "recipient") recipients.push_back(option.value);
    if (option.name != "recipients-file") continue;
    const std::string text = ReadKeyFile(option.value);
    std::size_t at = 0;
    while (at < text.size()) {
      std::size_t end = text.find('\n', at);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(at, end - at);
      at = end + 1;
      const std::size_t first = line.find_first_not_of(" \t\r");
      if (first == std::string::npos || line[first] == '#') continue;
      const std::size_t last = line.find_last_not_of(" \t\r");
      recipients.push_back(line.substr(first, last - first + 1));
    }
  }
  return recipients;
}

std::vector<std::string> Identities(const ParsedArgs& parsed) {
  std::vector<std::string> identities;
  for (const ParsedOption& option : parsed.options) {
    if (option.name == "identity") identities.push_back(ReadKeyFile(option.value));
  }
  return identities;
}

// A work factor option's value, 1 to 30, or `fallback` when not given.
int WorkFactor(const ParsedArgs& parsed, const char* name, int fallback) {
  const std::string* value = parsed.Single(name);
  if (value == nullptr) return fallback;
  int n = 0;
  for (const char c : *value) {
    if (c < '0' || c > '9' || n > kHighestWorkFactor) {
      n = -1;
      break;
    }
    n = n * 10 + (c - '0');
  }
  if (value->empty() || n < 1 || n > kHighestWorkFactor) {
    throw UsageError{"'--" + std::string(name) + "' takes a number from 1 to 30, not '" + *value +
                     "'"};
  }
  return n;
}

// The keys of one age call, pointing into the settings and the password.
struct AgeKeys {
  std::vector<const char*> recipients;
  std::vector<const char*> identities;
  acbc_age_keys keys{};
};

// Keys to encrypt under: the passphrase when given, else the recipients.
void EncryptionKeys(const Settings& settings, const Password* passphrase, AgeKeys* out) {
  out->keys = acbc_age_keys{};
  if (passphrase != nullptr) {
    out->keys.passphrase = passphrase->bytes;
    out->keys.passphrase_length = static_cast<std::size_t>(passphrase->length);
    out->keys.work_factor = settings.workFactor;
    return;
  }
  for (const std::string& recipient : settings.recipients) {
    out->recipients.push_back(recipient.c_str());
  }
  out->keys.recipients = out->recipients.data();
  out->keys.recipient_count = out->recipients.size();
}

// Keys to decrypt with: the identities, the passphrase when given, and the
// work factor ceiling.
void DecryptionKeys(const Settings& settings, const Password* passphrase, AgeKeys* out) {
  out->keys = acbc_age_keys{};
  if (passphrase != nullptr) {
    out->keys.passphrase = passphrase->bytes;
    out->keys.passphrase_length = static_cast<std::size_t>(passphrase->length);
  }
  for (const std::string& identity : settings.identities) {
    out->identities.push_back(identity.c_str());
  }
  out->keys.identities = out->identities.data();
  out->keys.identity_count = out->identities.size();
  out->keys.work_factor = settings.maxWorkFactor;
}

// Looks at the age file open as `fd` and finds the keys to open it with: a
// passphrase (asked for only now) when it has a passphrase stanza, else the
// identities, which must have been given. A work factor above the ceiling
// is refused before anything is asked for.
void OpeningKeys(int fd, const std::string& name, const Settings& settings,
                 CallPassword* callPassword, AgeKeys* keys) {
  acbc_age_info info{};
  acbc_result r{};
  if (acbc_age_inspect_fd(fd, &info, &r) != ACBC_OK) throw StatusFailure(r, name, name);
  if (info.work_factor > settings.maxWorkFactor) {
    throw WithStatus(
        FileFailure(name, "its passphrase asks for scrypt work factor " +
                              std::to_string(info.work_factor) + ", above the ceiling of " +
                              std::to_string(settings.maxWorkFactor) +
                              " (--max-work-factor raises it)"),
        ACBC_E_WORK_FACTOR);
  }
  const Password* passphrase = nullptr;
  if (info.work_factor > 0) {
    passphrase = &callPassword->Get();
  } else if (settings.identities.empty()) {
    throw WithStatus(FileFailure(name, std::string("encrypted to recipients (") +
                                           info.stanza_types + "): give an identity with -i"),
                     ACBC_E_NO_MATCH);
  }
  DecryptionKeys(settings, passphrase, keys);
}

unsigned ReplaceFlag(const Settings& settings) {
  return settings.force ? static_cast<unsigned>(ACBC_REPLACE) : 0u;
}

void EncryptAgeOne(const Job& job, const Settings& settings, CallPassword* callPassword,
                   Outcome* outcome) {
  InputFile input(job.input, job.inputPlace, settings.removeInput);
  const OutputTarget output(OutputPath(job), settings.force, input, job.output);
  if (output.isTerminal()) {
    throw WithStatus(FileFailure(output.name(), "refusing to write ciphertext to a terminal"),
                     ACBC_E_ARGUMENT);
  }
  if (settings.removeInput) {
    CheckRemovable(input, job.input, job.inputPlace.folder != nullptr, output.inPlace(),
                   settings.force);
  }
  const Password* passphrase = settings.recipients.empty() ? &callPassword->Get() : nullptr;
  AgeKeys keys;
  EncryptionKeys(settings, passphrase, &keys);
  const unsigned armor = settings.armor ? static_cast<unsigned>(ACBC_AGE_ARMOR) : 0u;
  Progress progress("encrypt: " + input.name(), settings.quiet);
  acbc_result r{};
  int fd = input.fd();
  if (output.isStdout()) {
    // age needs no length up front: standard input is encrypted as it is
    // read, nothing of it kept aside.
    acbc_age_encrypt_stream(ReadDescriptor, &fd, WriteStdout, nullptr, &keys.keys, armor,
                            progress.hook(), &r);
    progress.Finish();
    if (r.status != ACBC_OK) throw StatusFailure(r, input.name(), output.name());
  } else if (!input.readable()) {
    // A pipe into a named file: encrypted as it is read, into an unnamed
    // file linked into place when complete.
    r = WriteOutput(
        output.path(), output.inPlace(), input.name(), output.name(), &progress,
        [&](acbc_result* result) {
          StreamedOutput streamed;
          if (const int error = streamed.Open(output.path(), output.inPlace()); error != 0) {
            *result = acbc_result{};
            result->status = ACBC_E_OUTPUT_OPEN;
            result->error_number = error;
            return;
          }
          if (acbc_age_encrypt_stream(ReadDescriptor, &fd, StreamedOutput::Write, &streamed,
                                      &keys.keys, armor, progress.hook(), result) != ACBC_OK) {
            return;
          }
          if (const int error = streamed.Commit(settings.force); error != 0) {
            result->status = error == EEXIST ? ACBC_E_OUTPUT_EXISTS : ACBC_E_WRITE;
            result->error_number = error;
          }
        });
  } else {
    r = WriteOutput(output.path(), output.inPlace(), input.name(), output.name(), &progress,
                    [&](acbc_result* result) {
                      acbc_age_encrypt_fd(fd, output.path().c_str(), &keys.keys,
                                          armor | ReplaceFlag(settings), progress.hook(), result);
                    });
  }
  if (!output.isStdout()) {
    FinishOutput(input, job.input, output.path(), output.name(), output.inPlace(), settings,
                 job.inputPlace);
  }
  outcome->warnings = r.warnings;
}

void EncryptOne(const Job& job, const Settings& settings, CallPassword* callPassword,
                Outcome* outcome) {
  if (settings.age) {
    EncryptAgeOne(job, settings, callPassword, outcome);
    return;
  }
  InputFile input(job.input, job.inputPlace, settings.removeInput);
  const OutputTarget output(OutputPath(job), settings.force, input, job.output);
  if (output.isTerminal()) {
    throw WithStatus(FileFailure(output.name(), "refusing to write ciphertext to a terminal"),
                     ACBC_E_ARGUMENT);
  }
  if (settings.removeInput) {
    CheckRemovable(input, job.input, job.inputPlace.folder != nullptr, output.inPlace(),
                   settings.force);
  }
  const Password& password = callPassword->Get();

  // The header records the length up front, so a pipe's content (or that
  // of a file that says it is empty) is copied aside first to learn it.
  if (!input.readable()) {
    input.Spool(kMaxLength, kUnbounded, kMaxLength);
    input.FinishSpool();
  }
  Progress progress("encrypt: " + input.name(), settings.quiet);
  acbc_result r{};
  if (output.isStdout()) {
    struct stat st {};
    const off_t at = lseek(input.fd(), 0, SEEK_CUR);
    const std::int64_t length =
        fstat(input.fd(), &st) == 0 && st.st_size > at ? st.st_size - (at > 0 ? at : 0) : 0;
    int fd = input.fd();
    acbc_encrypt_stream(ReadDescriptor, &fd, length, WriteStdout, nullptr, password.bytes,
                        static_cast<std::size_t>(password.length), progress.hook(), &r);
    progress.Finish();
    if (r.status != ACBC_OK) throw StatusFailure(r, input.name(), output.name());
  } else {
    r = WriteOutput(output.path(), output.inPlace(), input.name(), output.name(), &progress,
                    [&](acbc_result* result) {
                      acbc_encrypt_fd(input.fd(), output.path().c_str(), password.bytes,
                                      static_cast<std::size_t>(password.length),
                                      settings.force ? static_cast<unsigned>(ACBC_REPLACE) : 0u,
                                      progress.hook(), result);
                    });
    FinishOutput(input, job.input, output.path(), output.name(), output.inPlace(), settings,
                 job.inputPlace);
  }
  outcome->warnings = r.warnings;
}

// An ACBC input with its layout known: a pipe (or a file that says it is
// empty) is copied aside, only as far as the header's length needs, the
// rest counted. Refuses a file that is not ACBC.
struct EncryptedInput {
  InputFile input;
  Layout layout;

  acbc_format format = ACBC_FORMAT_UNKNOWN;

  explicit EncryptedInput(const std::string& path, const Place& place = {}, bool regular = false)
      : input(path, place, regular) {
    if (!input.readable()) input.Spool(kRecordSize, kRecordSize, kUnbounded);
    acbc_result r{};
    if (acbc_detect_fd(input.fd(), &format, &r) != ACBC_OK) {
      throw StatusFailure(r, input.name(), input.name());
    }
    if (age()) return;
    Inspect();
    if (layout.verdict == Verdict::kNotAcbc || layout.verdict == Verdict::kUnreadableLength) {
      throw WithStatus(FileFailure(input.name(), DescribeVerdict(layout)), ACBC_E_NOT_ACBC);
    }
  }

  bool age() const { return format == ACBC_FORMAT_AGE; }

  // Copies the rest of a pipe aside and takes the layout again (an age
  // file is copied whole: its end is not known from its header).
  void Measure() {
    if (!input.spooled() || input.ended()) return;
    if (age()) {
      input.Spool(kUnbounded, kUnbounded, kUnbounded);
      input.FinishSpool();
      return;
    }
    input.Spool(kRecordSize + layout.recordsExpected * kRecordSize, kUnbounded, kUnbounded);
    input.FinishSpool();
    Inspect();
  }

 private:
  void Inspect() {
    int error = 0;
    const acbc_status status = InspectDescriptor(input.fd(), &layout, &error);
    if (status != ACBC_OK) {
      throw WithStatus(FileFailure(input.name(), Reason("read error", error)), ACBC_E_READ);
    }
  }
};

// The note for a check with few padding bytes.
void NoteWeakCheck(const std::string& name, int padding) {
  if (padding <= 0 || padding >= kConfirmingPadding) return;
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

bool Damaged(const Layout& layout) {
  return layout.verdict == Verdict::kTruncated || layout.verdict == Verdict::kNegativeLength;
}

// What a decrypted ACBC file leaves to say: its warnings, a damaged
// layout, a password confirmed by few padding bytes.
void NoteDecrypted(const EncryptedInput& file, const acbc_result& r, Outcome* outcome) {
  outcome->warnings = r.warnings;
  if (file.layout.verdict != Verdict::kConsistent) {
    Warn(file.input.name() + ": " + DecryptWarning(file.layout));
  }
  NoteWeakCheck(file.input.name(), r.padding_bytes);
}

// decrypt --range: the range alone, to standard output once complete or to
// a file that appears only when complete.
void DecryptRangeOne(const EncryptedInput& file, const OutputTarget& output,
                     const Password& password, const Settings& settings, Outcome* outcome) {
  const InputFile& input = file.input;
  const auto length = static_cast<std::size_t>(password.length);
  acbc_result r{};
  if (output.isStdout()) {
    DeferredOutput deferred;
    CopyRange(input.fd(), *settings.range, password.bytes, length, DeferredOutput::Write, &deferred,
              &r);
    if (r.status == ACBC_E_WRITE) throw TemporaryFailure(r.error_number);
    if (r.status != ACBC_OK) throw StatusFailure(r, input.name(), output.name());
    deferred.Deliver();
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    const mode_t bits = S_ISREG(input.status().st_mode) ? input.status().st_mode & 0666 : 0666;
    Progress progress("decrypt: " + input.name(), /*quiet=*/true);
    r = WriteOutput(output.path(), output.inPlace(), input.name(), output.name(), &progress,
                    [&](acbc_result* result) {
                      WriteRangeFile(input.fd(), *settings.range, password.bytes, length,
                                     output.path(), settings.force, output.inPlace(),
                                     static_cast<mode_t>(bits & ~mask), result);
                    });
  }
  outcome->warnings = r.warnings;
  NoteWeakCheck(input.name(), r.padding_bytes);
}

// An age file: to standard output chunk by chunk as each authenticates,
// or into a file that appears only when every chunk did.
void DecryptAge(EncryptedInput& file, const Job& job, const Settings& settings,
                CallPassword* callPassword, Outcome* outcome) {
  const InputFile& input = file.input;
  if (settings.salvage) {
    throw WithStatus(FileFailure(input.name(), "an age file: --salvage is for ACBC files"),
                     ACBC_E_ARGUMENT);
  }
  if (settings.range) {
    throw WithStatus(FileFailure(input.name(), "an age file: --range is for ACBC files"),
                     ACBC_E_ARGUMENT);
  }
  const OutputTarget output(OutputPath(job), settings.force, input, job.output);
  if (settings.removeInput) {
    CheckRemovable(input, job.input, job.inputPlace.folder != nullptr, output.inPlace(),
                   settings.force);
  }
  // To standard output, a pipe is copied aside only as far as its header
  // reaches, and the rest decrypted as it comes; a file is the whole copy.
  if (output.isStdout() && file.input.spooled()) {
    file.input.Spool(kAgeHeaderRoom, kAgeHeaderRoom, kUnbounded);
  } else {
    file.Measure();
  }
  AgeKeys keys;
  OpeningKeys(input.fd(), input.name(), settings, callPassword, &keys);
  Progress progress("decrypt: " + input.name(), settings.quiet);
  acbc_result r{};
  if (output.isStdout()) {
    int fd = input.fd();
    const bool through = file.input.spooled();
    acbc_age_decrypt_stream(through ? InputFile::ReadThrough : ReadDescriptor,
                            through ? static_cast<void*>(&file.input) : static_cast<void*>(&fd),
                            WriteStdout, nullptr, &keys.keys, 0, progress.hook(), &r);
    progress.Finish();
    if (r.status != ACBC_OK) throw StatusFailure(r, input.name(), output.name());
  } else {
    r = WriteOutput(output.path(), output.inPlace(), input.name(), output.name(), &progress,
                    [&](acbc_result* result) {
                      acbc_age_decrypt_fd(input.fd(), output.path().c_str(), &keys.keys,
                                          ReplaceFlag(settings), progress.hook(), result);
                    });
    FinishOutput(input, job.input, output.path(), output.name(), output.inPlace(), settings,
                 job.inputPlace);
  }
  outcome->warnings = r.warnings;
}

void DecryptOne(const Job& job, const Settings& settings, CallPassword* callPassword,
                Outcome* outcome) {
  // The header decides whether there is anything to do, before any output
  // is looked at.
  EncryptedInput file(job.input, job.inputPlace, settings.removeInput);
  if (file.age()) {
    DecryptAge(file, job, settings, callPassword, outcome);
    return;
  }
  const InputFile& input = file.input;
  const OutputTarget output(OutputPath(job), settings.force, input, job.output);
  if (settings.removeInput) {
    CheckRemovable(input, job.input, job.inputPlace.folder != nullptr, output.inPlace(),
                   settings.force);
  }
  file.Measure();
  if (Damaged(file.layout) && !settings.salvage) throw DamagedFailure(input.name(), file.layout);
  const Password& password = callPassword->Get();
  if (settings.range) {
    DecryptRangeOne(file, output, password, settings, outcome);
    return;
  }

  Progress progress("decrypt: " + input.name(), settings.quiet);
  const unsigned flags = settings.salvage ? static_cast<unsigned>(ACBC_SALVAGE) : 0u;
  acbc_result r{};
  if (output.isStdout()) {
    // Nothing reaches standard output before every check has passed: the
    // plaintext is collected aside and copied out at the end.
    DeferredOutput deferred;
    int fd = input.fd();
    acbc_decrypt_stream(ReadDescriptor, &fd, DeferredOutput::Write, &deferred, password.bytes,
                        static_cast<std::size_t>(password.length), flags, progress.hook(), &r);
    progress.Finish();
    // A failed write went to the copy aside, not to standard output.
    if (r.status == ACBC_E_WRITE) throw TemporaryFailure(r.error_number);
    if (r.status != ACBC_OK) throw StatusFailure(r, input.name(), output.name());
    deferred.Deliver();
  } else {
    r = WriteOutput(output.path(), output.inPlace(), input.name(), output.name(), &progress,
                    [&](acbc_result* result) {
                      acbc_decrypt_fd(
                          input.fd(), output.path().c_str(), password.bytes,
                          static_cast<std::size_t>(password.length),
                          flags | (settings.force ? static_cast<unsigned>(ACBC_REPLACE) : 0u),
                          progress.hook(), result);
                    });
    FinishOutput(input, job.input, output.path(), output.name(), output.inPlace(), settings,
                 job.inputPlace);
  }
  NoteDecrypted(file, r, outcome);
}

// An ACBC file into an age file beside it (or in --output-dir), through
// acbc_upgrade_file: the ACBC password is checked before anything is
// created, and the age file is read back before it is linked into place.
void UpgradeOne(const Job& job, const Settings& settings, CallPassword* callPassword,
                Outcome* outcome) {
  EncryptedInput file(job.input, job.inputPlace, /*regular=*/true);
  const InputFile& input = file.input;
  if (file.age()) {
    throw WithStatus(FileFailure(input.name(), "already an age file"), ACBC_E_NOT_ACBC);
  }
  if (input.spooled()) {
    throw WithStatus(FileFailure(input.name(), "not a regular file"), ACBC_E_INPUT_LENGTH);
  }
  if (Damaged(file.layout)) {
    throw WithStatus(FileFailure(input.name(), DescribeVerdict(file.layout) +
                                                   " (decrypt --salvage recovers what is there)"),
                     ACBC_E_DAMAGED);
  }
  const OutputTarget output(OutputPath(job), settings.force, input, job.output);
  if (output.isTerminal()) {
    throw WithStatus(FileFailure(output.name(), "refusing to write ciphertext to a terminal"),
                     ACBC_E_ARGUMENT);
  }
  if (settings.removeInput) {
    CheckRemovable(input, job.input, job.inputPlace.folder != nullptr, output.inPlace(),
                   settings.force);
  }
  const Password& password = callPassword->Get();
  const Password* passphrase = nullptr;
  if (settings.recipients.empty()) {
    passphrase = settings.newPassphrase != nullptr ? &settings.newPassphrase->Get() : &password;
  }
  AgeKeys keys;
  EncryptionKeys(settings, passphrase, &keys);
  const unsigned flags =
      (settings.armor ? static_cast<unsigned>(ACBC_AGE_ARMOR) : 0u) | ReplaceFlag(settings);
  Progress progress("upgrade: " + input.name(), settings.quiet);
  const acbc_result r =
      WriteOutput(output.path(), output.inPlace(), input.name(), output.name(), &progress,
                  [&](acbc_result* result) {
                    acbc_upgrade_file(input.SamePath(job.input).c_str(), output.path().c_str(),
                                      password.bytes, static_cast<std::size_t>(password.length),
                                      &keys.keys, flags, progress.hook(), result);
                  });
  FinishOutput(input, job.input, output.path(), output.name(), output.inPlace(), settings,
               job.inputPlace);
  NoteDecrypted(file, r, outcome);
}

// The names of the warnings set in `warnings`, as a JSON array.
std::string WarningNames(unsigned warnings) {
  static const struct {
    unsigned bit;
    const char* name;
  } kNames[] = {{ACBC_WARN_TRAILING_DATA, "trailing_data"},
                {ACBC_WARN_WEAK_CHECK, "weak_check"},
                {ACBC_WARN_SALVAGED, "salvaged"},
                {ACBC_WARN_SHORT_PASSWORD, "short_password"},
                {ACBC_WARN_LONG_PASSWORD, "long_password"}};
  std::string out = "[";
  for (const auto& n : kNames) {
    if ((warnings & n.bit) == 0) continue;
    if (out.size() > 1) out += ", ";
    out += std::string("\"") + n.name + "\"";
  }
  return out + "]";
}

// One line of --json output.
void PrintJson(const std::string& path, const std::string* output, const Outcome& outcome) {
  std::string line = "{\"path\": " + JsonString(path);
  if (output != nullptr) line += ", \"output\": " + JsonString(*output);
  line += ", \"status\": \"" + std::string(acbc_status_name(outcome.status)) + "\"";
  line += ", \"message\": " + JsonString(outcome.message.empty()
                                             ? std::string(acbc_status_text(outcome.status))
                                             : outcome.message);
  line += ", \"warnings\": " + WarningNames(outcome.warnings) + "}\n";
  std::fputs(line.c_str(), stdout);
}

// A failure as an outcome: its status, and its reason without the name of
// the file, which the object gives already.
Outcome FailedOutcome(const Failure& failure, const std::string& name) {
  Outcome outcome;
  outcome.status = failure.status >= 0 ? static_cast<acbc_status>(failure.status) : ACBC_E_READ;
  const std::string prefix = name + ": ";
  outcome.message = failure.message.rfind(prefix, 0) == 0 ? failure.message.substr(prefix.size())
                                                          : failure.message;
  return outcome;
}

using OneJob = void (*)(const Job&, const Settings&, CallPassword*, Outcome*);

// Runs every job; with several, a failed file is reported and the rest are
// still done, and a summary line follows.
int RunJobs(const std::vector<Job>& jobs, bool many, const Settings& settings,
            CallPassword* callPassword, OneJob one) {
  InstallSignalHandlers();
  ProtectSecrets();
  std::size_t failed = 0;
  for (const Job& job : jobs) {
    Outcome outcome;
    try {
      if (!job.failure.empty()) throw WithStatus(Failure{job.failure}, ACBC_E_INPUT_OPEN);
      // Held open for the job (and the folders of -o made on the way).
      const Folder::Pin inputFolder(job.inputPlace.folder);
      const Folder::Pin outputFolder(job.outputPlace.folder);
      one(job, settings, callPassword, &outcome);
    } catch (const Failure& failure) {
      if (callPassword->broken() || (!many && !settings.json)) throw;
      Complain(failure.message);
      ++failed;
      outcome = FailedOutcome(failure, InputName(job.input));
      if (outcome.message == failure.message) {
        outcome = FailedOutcome(failure, OutputName(job.output));
      }
    }
    if (settings.json) PrintJson(job.input, &job.output, outcome);
  }
  if (many) {
    Complain(std::to_string(jobs.size()) + " files: " + std::to_string(jobs.size() - failed) +
             " done, " + std::to_string(failed) + " failed");
  }
  return failed == 0 ? kExitSuccess : kExitFailure;
}

// --recipient, --recipients-file, --armor and --work-factor, which need
// --format age and go with either a passphrase or recipients.
void ReadAgeEncryptOptions(const ParsedArgs& parsed, Settings* settings) {
  const bool given = parsed.Has("recipient") || parsed.Has("recipients-file") ||
                     parsed.Has("armor") || parsed.Has("work-factor");
  if (given && !settings->age && CommandName() != "upgrade") {
    throw UsageError{
        "'--recipient', '--recipients-file', '--armor' and '--work-factor' need --format age"};
  }
  settings->armor = parsed.Has("armor");
  settings->workFactor = WorkFactor(parsed, "work-factor", 0);
  settings->recipients = Recipients(parsed);
  if ((parsed.Has("recipient") || parsed.Has("recipients-file")) && settings->recipients.empty()) {
    throw UsageError{"the recipients files hold no recipient"};
  }
  const bool passphrase =
      parsed.Has("work-factor") ||
      (CommandName() == "upgrade" ? parsed.Has("new-pass") : parsed.Has("pass"));
  if (!settings->recipients.empty() && passphrase) {
    throw UsageError{"give either a passphrase or recipients, not both"};
  }
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
  settings.json = parsed.Has("json");
  settings.preserve = parsed.Has("preserve");
  settings.removeInput = parsed.Has("remove-input");
  if (const std::string* range = parsed.Single("range"); range != nullptr) {
    if (parsed.Has("multifile") || parsed.Has("recursive") || settings.salvage ||
        settings.removeInput) {
      throw UsageError{
          "'--range' takes one INPUT, without --multifile, --recursive, --salvage or "
          "--remove-input"};
    }
    settings.range = ParseRange(*range);
  }
  if (settings.removeInput && settings.salvage) {
    throw UsageError{"'--remove-input' cannot be used with --salvage: a damaged INPUT is kept"};
  }
  const std::string* format = encrypt ? parsed.Single("format") : nullptr;
  if (format != nullptr && *format != "age" && *format != "acbc") {
    throw UsageError{"'--format' takes age or acbc, not '" + *format + "'"};
  }
  settings.age = format != nullptr && *format == "age";
  if (encrypt) {
    ReadAgeEncryptOptions(parsed, &settings);
  } else {
    settings.identities = Identities(parsed);
    settings.maxWorkFactor = WorkFactor(parsed, "max-work-factor", ACBC_AGE_MAX_WORK_FACTOR);
  }
  const std::vector<Job> jobs = Jobs(parsed, !encrypt       ? Naming::kRemove
                                             : settings.age ? Naming::kAddAge
                                                            : Naming::kAddAcbc);
  for (const Job& job : jobs) {
    if (settings.removeInput && (job.input == "-" || job.output == "-")) {
      throw UsageError{"'--remove-input' needs named files, not standard input or output"};
    }
  }
  if (settings.pass != nullptr && *settings.pass == "stdin" && !jobs.empty() &&
      jobs[0].input == "-") {
    throw UsageError{
        "'--pass stdin' cannot be used when INPUT is standard input; give the password on "
        "another descriptor, e.g. --pass fd:3 3<FILE"};
  }
  if (settings.json && !jobs.empty() && jobs[0].output == "-") {
    throw UsageError{"'--json' cannot be used when OUTPUT is standard output"};
  }
  CallPassword password(settings.pass, encrypt);
  if (settings.age) password.ForAge();
  const int status = RunJobs(jobs, parsed.Has("multifile") || parsed.Has("recursive"), settings,
                             &password, encrypt ? EncryptOne : DecryptOne);
  // Someone at a terminal who did not choose the format learns what ACBC
  // lacks, once.
  if (encrypt && format == nullptr && !settings.quiet && isatty(STDERR_FILENO) != 0) {
    Complain(
        "note: ACBC has no integrity check: altered files decrypt without notice; "
        "'--format age' writes authenticated files, 'pellfold upgrade' converts ACBC ones");
  }
  return status;
}

int RunEncrypt(const std::vector<std::string>& argv) {
  return RunCrypt(argv, /*encrypt=*/true);
}
int RunDecrypt(const std::vector<std::string>& argv) {
  return RunCrypt(argv, /*encrypt=*/false);
}

void VerifyOne(const FoundFile& found, const Settings& settings, CallPassword* callPassword,
               Outcome* outcome) {
  EncryptedInput file(found.path, found.place);
  file.Measure();
  if (file.age()) {
    AgeKeys keys;
    OpeningKeys(file.input.fd(), file.input.name(), settings, callPassword, &keys);
    acbc_result r{};
    if (acbc_age_verify_fd(file.input.fd(), &keys.keys, &r) != ACBC_OK) {
      throw StatusFailure(r, file.input.name(), file.input.name());
    }
    return;
  }
  const Password& password = callPassword->Get();
  acbc_result r{};
  acbc_verify_fd(file.input.fd(), password.bytes, static_cast<std::size_t>(password.length), &r);
  if (r.status == ACBC_E_DAMAGED) {
    throw WithStatus(
        FileFailure(file.input.name(),
                    DescribeVerdict(file.layout) + ": no record to check the password against"),
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
  std::size_t failed = 0;
  for (const auto& file : files) {
    const std::string& path = file.path;
    Outcome outcome;
    try {
      if (!file.failure.empty()) throw WithStatus(Failure{file.failure}, ACBC_E_INPUT_OPEN);
      VerifyOne(file, settings, &callPassword, &outcome);
      if (!json) std::fputs((InputName(path) + ": OK\n").c_str(), stdout);
      NoteWeakCheck(InputName(path), outcome.padding);
    } catch (const Failure& failure) {
      if (callPassword.broken()) throw;
      Complain(failure.message);
      ++failed;
      outcome = FailedOutcome(failure, InputName(path));
    }
    if (json) PrintJson(path, nullptr, outcome);
  }
  if (recursive) {
    Complain(std::to_string(files.size()) + " files: " + std::to_string(files.size() - failed) +
             " passed, " + std::to_string(failed) + " failed");
  }
  return failed == 0 ? kExitSuccess : kExitFailure;
}

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
  if (settings.removeInput && operands.size() < 2) {
    throw UsageError{"'--remove-input' needs an OUTPUT: in place, INPUT is replaced already"};
  }
  InstallSignalHandlers();
  ProtectSecrets();

  EncryptedInput file(operands[0], {}, /*regular=*/true);
  const InputFile& input = file.input;
  if (file.input.spooled()) throw FileFailure(input.name(), "not a regular file");
  if (Damaged(file.layout)) {
    throw FileFailure(input.name(),
                      DescribeVerdict(file.layout) + " (decrypt --salvage recovers what is there)");
  }
  std::optional<OutputTarget> output;
  if (operands.size() == 2) output.emplace(operands[1], parsed.Has("force"), input);
  const std::string outputName = output ? output->name() : input.name();
  const bool inPlace = output && output->inPlace();
  if (settings.removeInput) {
    CheckRemovable(input, operands[0], /*walked=*/false, inPlace, parsed.Has("force"));
  }

  CallPassword oldPassword(pass, /*encrypt=*/false);
  CallPassword newPassword(newPass, /*encrypt=*/true,
                           "New password: ", "the new password is empty");
  const unsigned replace = parsed.Has("force") ? static_cast<unsigned>(ACBC_REPLACE) : 0u;
  if (file.age()) {
    // The file key is wrapped anew; the encrypted data is copied as it is.
    settings.maxWorkFactor = WorkFactor(parsed, "max-work-factor", ACBC_AGE_MAX_WORK_FACTOR);
    settings.workFactor = WorkFactor(parsed, "work-factor", 0);
    acbc_age_info info{};
    acbc_result inspected{};
    if (acbc_age_inspect_fd(input.fd(), &info, &inspected) == ACBC_OK && info.work_factor == 0) {
      throw WithStatus(
          FileFailure(input.name(), std::string("encrypted to recipients (") + info.stanza_types +
                                        "): rekey changes passphrases only"),
          ACBC_E_ARGUMENT);
    }
    AgeKeys oldKeys;
    OpeningKeys(input.fd(), input.name(), settings, &oldPassword, &oldKeys);
    newPassword.ForAge();
    AgeKeys newKeys;
    EncryptionKeys(settings, &newPassword.Get(), &newKeys);
    Progress progress("rekey: " + input.name(), parsed.Has("quiet"));
    const std::string& target = output ? operands[1] : operands[0];
    WriteOutput(target, inPlace, input.name(), outputName, &progress, [&](acbc_result* result) {
      acbc_age_rekey_file(operands[0].c_str(), output ? operands[1].c_str() : nullptr,
                          &oldKeys.keys, &newKeys.keys, replace, progress.hook(), result);
    });
    FinishOutput(input, operands[0], target, outputName, inPlace, settings);
    return kExitSuccess;
  }
  if (parsed.Has("work-factor") || parsed.Has("max-work-factor")) {
    throw UsageError{"'--work-factor' and '--max-work-factor' are for age files"};
  }
  const Password& old = oldPassword.Get();
  const Password& fresh = newPassword.Get();
  Progress progress("rekey: " + input.name(), parsed.Has("quiet"));
  const std::string& target = output ? operands[1] : operands[0];
  const acbc_result r =
      WriteOutput(target, inPlace, input.name(), outputName, &progress, [&](acbc_result* result) {
        acbc_rekey_file(operands[0].c_str(), output ? operands[1].c_str() : nullptr, old.bytes,
                        static_cast<std::size_t>(old.length), fresh.bytes,
                        static_cast<std::size_t>(fresh.length), replace, progress.hook(), result);
      });
  FinishOutput(input, operands[0], target, outputName, inPlace, settings);
  if (file.layout.verdict != Verdict::kConsistent) {
    Warn(input.name() + ": " + DecryptWarning(file.layout));
  }
  NoteWeakCheck(input.name(), r.padding_bytes);
  return kExitSuccess;
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
  ReadAgeEncryptOptions(parsed, &settings);
  const std::string* newPass = parsed.Single("new-pass");
  if (settings.pass != nullptr && newPass != nullptr && *settings.pass == "stdin" &&
      *newPass == "stdin") {
    throw UsageError{"'--pass stdin' and '--new-pass stdin' cannot both be used"};
  }
  const std::vector<Job> jobs = Jobs(parsed, Naming::kUpgrade);
  CallPassword password(settings.pass, /*encrypt=*/false);
  CallPassword passphrase(newPass, /*encrypt=*/true,
                          "New passphrase: ", "the new passphrase is empty");
  passphrase.ForAge();
  if (newPass != nullptr) settings.newPassphrase = &passphrase;
  const bool many = jobs.size() > 1 || parsed.Has("multifile") || parsed.Has("recursive");
  return RunJobs(jobs, many, settings, &password, UpgradeOne);
}

}  // namespace

const CommandInfo kUpgradeCommand = {"upgrade", "turn ACBC files into authenticated age files",
                                     kUpgradeHelp, RunUpgrade};
const CommandInfo kEncryptCommand = {"encrypt", "encrypt a file into an ACBC or age file",
                                     kEncryptHelp, RunEncrypt};
const CommandInfo kDecryptCommand = {"decrypt", "decrypt an ACBC or age file", kDecryptHelp,
                                     RunDecrypt};
const CommandInfo kVerifyCommand = {"verify", "check a password against ACBC or age files",
                                    kVerifyHelp, RunVerify};
const CommandInfo kRekeyCommand = {
    "rekey", "encrypt an ACBC or age file again under a new password", kRekeyHelp, RunRekey};

}  // namespace pellfold::host
