// pellfold hash: the library's MD5, SHA-256 and HMAC-MD5 over files, printed
// as coreutils md5sum and sha256sum print them (also in their BSD --tag
// form), so that their output can be compared or checked with those tools;
// --check reads such lists, its own and theirs, and verifies the files.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "digest/hmac_md5.h"
#include "digest/md5.h"
#include "digest/sha256.h"
#include "files.h"
#include "password.h"

namespace pellfold::host {
namespace {

constexpr std::size_t kChunk = 1 << 16;

const std::vector<OptionDef> kOptions = {
    {"key", 'k', true},   {"check", 'c', false}, {"tag", 0, false},    {"quiet", 'q', false},
    {"status", 0, false}, {"jobs", 'j', true},   {"help", 'h', false},
};

const char kHelp[] =
    "Usage: pellfold hash md5|sha256 [--tag] [FILE...]\n"
    "       pellfold hash md5|sha256 --check [--quiet|--status] [FILE...]\n"
    "       pellfold hash hmac-md5 --key SOURCE [options] [FILE...]\n"
    "\n"
    "Print a digest of each FILE in the format of md5sum and sha256sum: the\n"
    "digest in hex, two spaces, the name. With no FILE, or when FILE is '-',\n"
    "read standard input.\n"
    "\n"
    "With --check, each FILE is a list of digests in that format or the --tag\n"
    "one (as md5sum, sha256sum and this command write them); every file listed\n"
    "is hashed again and reported as 'NAME: OK' or 'NAME: FAILED'. The exit\n"
    "status is 1 when a digest differs, a listed file cannot be read, or a\n"
    "list holds no digest line at all.\n"
    "\n"
    "Options:\n"
    "  -k, --key SOURCE  the HMAC key, hmac-md5 only: pass:TEXT, env:VAR,\n"
    "                    file:PATH, fd:N or stdin (first line, line end removed)\n"
    "  -c, --check       verify the digests listed in the FILEs\n"
    "      --tag         print BSD-style lines: 'MD5 (NAME) = DIGEST'\n"
    "  -q, --quiet       with --check: do not print a line for each good file\n"
    "      --status      with --check: print nothing, only set the exit status\n"
    "  -j, --jobs N      hash up to N files at once (default: one per processor);\n"
    "                    the output is the same, in the same order\n"
    "  -h, --help        show this help and exit\n";

enum class Algorithm { kMd5, kSha256, kHmacMd5 };

// The name in --tag lines, and the digest's length in hex.
const char* TagName(Algorithm algorithm) {
  switch (algorithm) {
    case Algorithm::kMd5: return "MD5";
    case Algorithm::kSha256: return "SHA256";
    case Algorithm::kHmacMd5: return "HMAC-MD5";
  }
  return "";
}

std::size_t HexLength(Algorithm algorithm) {
  return algorithm == Algorithm::kSha256 ? 2 * kSHA256DigestSize : 2 * kMD5DigestSize;
}

// Standard output that cannot be written (a full disk, a closed pipe) ends
// the command, with the reason; an unreadable input only skips that file.
struct OutputFailure : Failure {};

OutputFailure OutputError(int error) {
  return {FileFailure("standard output", std::string("write error: ") + std::strerror(error))};
}

void Print(const std::string& text) {
  if (std::fputs(text.c_str(), stdout) == EOF || std::ferror(stdout)) throw OutputError(errno);
}

void FlushOutput() {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) throw OutputError(errno);
}

// The HMAC key, wiped however the command ends.
struct Key {
  std::string bytes;
  ~Key() { Wipe(&bytes); }
};

std::string Hex(const std::uint8_t* bytes, std::size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (std::size_t i = 0; i < size; ++i) {
    hex += kDigits[bytes[i] >> 4];
    hex += kDigits[bytes[i] & 0x0F];
  }
  return hex;
}

// Feeds every byte of the input to update(bytes, length) in chunks.
template <typename Update>
void ReadAll(InputFile& input, Update update) {
  std::vector<std::uint8_t> buffer(kChunk);
  std::size_t got = 0;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), input.stream())) > 0) {
    update(buffer.data(), static_cast<std::uint32_t>(got));
  }
  if (std::ferror(input.stream())) throw FileError(input.name(), errno);
}

std::string Digest(Algorithm algorithm, InputFile& input, const std::string& key) {
  switch (algorithm) {
    case Algorithm::kMd5: {
      MD5Context context;
      MD5Init(&context);
      ReadAll(input,
              [&](const std::uint8_t* data, std::uint32_t n) { MD5Update(&context, data, n); });
      std::uint8_t digest[kMD5DigestSize];
      MD5Final(&context, digest);
      return Hex(digest, sizeof digest);
    }
    case Algorithm::kSha256: {
      SHA256Context context;
      SHA256Init(&context);
      ReadAll(input,
              [&](const std::uint8_t* data, std::uint32_t n) { SHA256Update(&context, data, n); });
      std::uint8_t digest[kSHA256DigestSize];
      SHA256Final(&context, digest);
      return Hex(digest, sizeof digest);
    }
    case Algorithm::kHmacMd5: {
      HMACMD5Context context;
      HMACMD5Init(&context, reinterpret_cast<const std::uint8_t*>(key.data()),
                  static_cast<std::int32_t>(key.size()));
      ReadAll(input,
              [&](const std::uint8_t* data, std::uint32_t n) { HMACMD5Update(&context, data, n); });
      std::uint8_t digest[kHMACMD5Size];
      HMACMD5Final(&context, digest);
      return Hex(digest, sizeof digest);
    }
  }
  return {};
}

// The digest of one file, or why it could not be read.
struct FileDigest {
  std::string digest;
  bool failed = false;
  std::string failure;       // the message, when failed
  std::exception_ptr error;  // anything else that went wrong, raised where it is reported
};

FileDigest DigestFile(Algorithm algorithm, const std::string& name, const std::string& key) {
  FileDigest result;
  try {
    InputFile input(name);
    result.digest = Digest(algorithm, input, key);
  } catch (const Failure& failure) {
    result.failed = true;
    result.failure = failure.message;
  } catch (...) {
    result.error = std::current_exception();
  }
  return result;
}

// Hashes a list of files on worker threads while the caller takes the
// results in list order, so that what is printed, and when a failure is
// reported, is exactly what one file after another gives. Standard input
// ("-") is read by the caller's thread at its turn, since several "-" share
// one stream. With one job there are no threads: each file is hashed when
// its result is taken.
class ParallelDigests {
 public:
  ParallelDigests(Algorithm algorithm, const std::vector<std::string>& names,
                  const std::string& key, unsigned jobs)
      : algorithm_(algorithm),
        names_(names),
        key_(key),
        results_(names.size()),
        ready_(names.size(), false) {
    const auto files = static_cast<std::size_t>(
        std::ranges::count_if(names, [](const std::string& name) { return name != "-"; }));
    const std::size_t threads = jobs > 1 ? std::min<std::size_t>(jobs, files) : 0;
    try {
      for (std::size_t i = 0; i < threads; ++i) workers_.emplace_back([this] { Work(); });
    } catch (const std::system_error&) {
      // No more threads to be had: those started do the work, and with none
      // the caller hashes each file itself.
    }
  }
  ~ParallelDigests() {
    stop_ = true;  // the workers finish the file in hand and take no other
    for (std::thread& worker : workers_) worker.join();
  }
  ParallelDigests(const ParallelDigests&) = delete;
  ParallelDigests& operator=(const ParallelDigests&) = delete;

  // The i-th file's result; raises what hashing it raised other than a
  // Failure.
  FileDigest Take(std::size_t i) {
    FileDigest result;
    if (workers_.empty() || names_[i] == "-") {
      result = DigestFile(algorithm_, names_[i], key_);
    } else {
      std::unique_lock lock(mutex_);
      done_.wait(lock, [&] { return ready_[i]; });
      result = std::move(results_[i]);
    }
    if (result.error) std::rethrow_exception(result.error);
    return result;
  }

 private:
  void Work() {
    for (std::size_t i = next_++; i < names_.size() && !stop_; i = next_++) {
      if (names_[i] == "-") continue;
      FileDigest result = DigestFile(algorithm_, names_[i], key_);
      const std::lock_guard lock(mutex_);
      results_[i] = std::move(result);
      ready_[i] = true;
      done_.notify_all();
    }
  }

  Algorithm algorithm_;
  const std::vector<std::string>& names_;
  const std::string& key_;
  std::vector<FileDigest> results_;
  std::vector<bool> ready_;
  std::mutex mutex_;
  std::condition_variable done_;
  std::atomic<std::size_t> next_{0};
  std::atomic<bool> stop_{false};
  std::vector<std::thread> workers_;
};

// A name as md5sum escapes it: backslash, newline and carriage return as
// \\, \n and \r. The line that holds an escaped name starts with a backslash.
std::string Escape(const std::string& name) {
  std::string escaped;
  for (const char c : name) {
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '\n') {
      escaped += "\\n";
    } else if (c == '\r') {
      escaped += "\\r";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

// A digest line as md5sum writes it, or as `md5sum --tag` does.
std::string ChecksumLine(Algorithm algorithm, bool tag, const std::string& digest,
                         const std::string& name) {
  const std::string escaped = Escape(name);
  const std::string flag = escaped.size() != name.size() ? "\\" : "";
  if (tag) return flag + TagName(algorithm) + " (" + escaped + ") = " + digest + "\n";
  return flag + digest + "  " + escaped + "\n";
}

// Undoes Escape(); false for a backslash followed by anything else.
bool Unescape(std::string_view text, std::string* name) {
  name->clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      *name += text[i];
      continue;
    }
    if (++i == text.size()) return false;
    switch (text[i]) {
      case '\\': *name += '\\'; break;
      case 'n': *name += '\n'; break;
      case 'r': *name += '\r'; break;
      default: return false;
    }
  }
  return true;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

bool IsHex(std::string_view text) {
  return std::ranges::all_of(text, [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  });
}

// One line of a digest list, read as md5sum -c reads it: the plain form
// "DIGEST  NAME" ("DIGEST *NAME" for binary mode, also "DIGEST NAME" when the
// whole list is written so) or the tag form "ALGORITHM (NAME) = DIGEST",
// either after a backslash when the name is escaped.
class ListParser {
 public:
  explicit ListParser(Algorithm algorithm) : algorithm_(algorithm) {}

  // False when the line is not a digest line for this algorithm.
  bool Parse(std::string_view line, std::string* digest, std::string* name) {
    std::size_t i = 0;
    while (i < line.size() && IsBlank(line[i])) ++i;
    const bool escaped = i < line.size() && line[i] == '\\';
    if (escaped) ++i;
    line.remove_prefix(i);
    const std::string_view tag = TagName(algorithm_);
    if (line.substr(0, tag.size()) == tag)
      return ParseTagged(line.substr(tag.size()), escaped, digest, name);

    const std::size_t hex = HexLength(algorithm_);
    if (line.size() < hex + 2 || !IsBlank(line[hex])) return false;
    *digest = line.substr(0, hex);
    if (!IsHex(*digest)) return false;
    std::string_view rest = line.substr(hex + 1);
    // One blank and a name that starts without ' ' or '*': the list's first
    // line decides whether that form is allowed, so that a list cannot mix it
    // with the two-character separator.
    if (rest.size() == 1 || (rest[0] != ' ' && rest[0] != '*')) {
      if (singleSeparator_ == kNo) return false;
      singleSeparator_ = kYes;
    } else if (singleSeparator_ != kYes) {
      singleSeparator_ = kNo;
      rest.remove_prefix(1);
    }
    if (escaped) return Unescape(rest, name);
    *name = rest;
    return true;
  }

 private:
  enum Decision { kUndecided, kYes, kNo };

  bool ParseTagged(std::string_view rest, bool escaped, std::string* digest, std::string* name) {
    if (!rest.empty() && rest[0] == ' ') rest.remove_prefix(1);
    if (rest.empty() || rest[0] != '(') return false;
    rest.remove_prefix(1);
    // The name ends at the last ')' of the line.
    const std::size_t close = rest.rfind(')');
    if (close == std::string_view::npos) return false;
    const std::string_view rawName = rest.substr(0, close);
    if (escaped) {
      if (!Unescape(rawName, name)) return false;
    } else {
      *name = rawName;
    }
    std::size_t i = close + 1;
    while (i < rest.size() && IsBlank(rest[i])) ++i;
    if (i == rest.size() || rest[i] != '=') return false;
    ++i;
    while (i < rest.size() && IsBlank(rest[i])) ++i;
    *digest = rest.substr(i);
    return digest->size() == HexLength(algorithm_) && IsHex(*digest);
  }

  Algorithm algorithm_;
  Decision singleSeparator_ = kUndecided;
};

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string Plural(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

struct CheckMode {
  bool quiet = false;   // no line for a good file
  bool status = false;  // no lines at all, no warnings
};

// Verifies the files that one digest list names; true when every listed
// file was read and matched and the list held at least one digest line.
bool CheckList(Algorithm algorithm, const std::string& listPath, const std::string& key,
               CheckMode mode, unsigned jobs) {
  std::string text;
  {
    InputFile list(listPath);
    ReadAll(list, [&](const std::uint8_t* data, std::uint32_t n) {
      text.append(reinterpret_cast<const char*>(data), n);
    });
  }
  // The whole list is parsed first: parsing prints nothing, so the files
  // can then be hashed side by side.
  ListParser parser(algorithm);
  std::size_t misformatted = 0, unreadable = 0, mismatched = 0;
  std::vector<std::string> expectedDigests, names;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line[0] == '#') continue;
    std::string expected, name;
    if (!parser.Parse(line, &expected, &name)) {
      ++misformatted;
      continue;
    }
    expectedDigests.push_back(std::move(expected));
    names.push_back(std::move(name));
  }
  const std::size_t good = names.size();
  ParallelDigests digests(algorithm, names, key, jobs);
  for (std::size_t i = 0; i < good; ++i) {
    const std::string& name = names[i];
    // Results name a file as md5sum -c does: escaped only when it holds a
    // newline.
    const std::string shown = name.find('\n') != std::string::npos ? "\\" + Escape(name) : name;
    const FileDigest actual = digests.Take(i);
    if (actual.failed) {
      Complain(actual.failure);
      ++unreadable;
      if (!mode.status) Print(shown + ": FAILED open or read\n");
      continue;
    }
    const bool match = actual.digest == Lower(expectedDigests[i]);
    if (!match) ++mismatched;
    if (!mode.status && !(match && mode.quiet)) {
      Print(shown + (match ? ": OK\n" : ": FAILED\n"));
    }
  }
  FlushOutput();
  if (good == 0) {
    Complain(InputName(listPath) + ": no properly formatted checksum lines found");
    return false;
  }
  if (!mode.status) {
    if (misformatted > 0) {
      Complain("WARNING: " + Plural(misformatted, "line is", "lines are") +
               " improperly formatted");
    }
    if (unreadable > 0) {
      Complain("WARNING: " + Plural(unreadable, "listed file", "listed files") +
               " could not be read");
    }
    if (mismatched > 0) {
      Complain("WARNING: " + Plural(mismatched, "computed checksum", "computed checksums") +
               " did NOT match");
    }
  }
  return unreadable == 0 && mismatched == 0;
}

int RunHash(const std::vector<std::string>& argv) {
  const ParsedArgs parsed = ParseArgs(argv, kOptions);
  if (parsed.Has("help")) {
    PrintHelp(kHelp);
    return kExitSuccess;
  }
  if (parsed.operands.empty()) throw UsageError{"missing algorithm (md5, sha256 or hmac-md5)"};
  const std::string& name = parsed.operands[0];
  Algorithm algorithm = Algorithm::kMd5;
  if (name == "md5") {
    algorithm = Algorithm::kMd5;
  } else if (name == "sha256") {
    algorithm = Algorithm::kSha256;
  } else if (name == "hmac-md5") {
    algorithm = Algorithm::kHmacMd5;
  } else {
    throw UsageError{"unknown algorithm '" + name + "' (use md5, sha256 or hmac-md5)"};
  }
  std::vector<std::string> files(parsed.operands.begin() + 1, parsed.operands.end());
  if (files.empty()) files.push_back("-");

  const std::string* keySource = parsed.Value("key");
  if (algorithm == Algorithm::kHmacMd5 && keySource == nullptr) {
    throw UsageError{"hmac-md5 needs --key"};
  }
  if (algorithm != Algorithm::kHmacMd5 && keySource != nullptr) {
    throw UsageError{"--key is for hmac-md5 only"};
  }
  if (keySource != nullptr && *keySource == "stdin") {
    for (const auto& file : files) {
      if (file == "-") throw UsageError{"'--key stdin' cannot be used when hashing standard input"};
    }
  }
  const bool check = parsed.Has("check");
  const bool tag = parsed.Has("tag");
  const CheckMode mode{parsed.Has("quiet"), parsed.Has("status")};
  if (check && tag) throw UsageError{"--tag cannot be used with --check"};
  if (!check && (mode.quiet || mode.status)) {
    throw UsageError{std::string(mode.quiet ? "--quiet" : "--status") + " needs --check"};
  }
  const unsigned jobs = JobCount(parsed);
  Key key;
  if (keySource != nullptr) key.bytes = ReadSecret(*keySource, "--key");

  bool ok = true;
  if (check) {
    for (const auto& file : files) {
      try {
        ok = CheckList(algorithm, file, key.bytes, mode, jobs) && ok;
      } catch (const OutputFailure&) {
        throw;
      } catch (const Failure& failure) {
        // Like md5sum: report the list and go on with the others.
        Complain(failure.message);
        ok = false;
      }
    }
  } else {
    ParallelDigests digests(algorithm, files, key.bytes, jobs);
    for (std::size_t i = 0; i < files.size(); ++i) {
      const FileDigest result = digests.Take(i);
      if (result.failed) {
        // Like md5sum: report the file and go on with the others.
        Complain(result.failure);
        ok = false;
        continue;
      }
      Print(ChecksumLine(algorithm, tag, result.digest, files[i]));
    }
  }
  FlushOutput();
  return ok ? kExitSuccess : kExitFailure;
}

}  // namespace

const CommandInfo kHashCommand = {"hash", "MD5, SHA-256 or HMAC-MD5 digests of files", kHelp,
                                  RunHash};

}  // namespace pellfold::host
