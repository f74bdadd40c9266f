// pellfold hash: the library's MD5, SHA-256 and HMAC-MD5 over files, printed
// as coreutils md5sum and sha256sum print them, so that their output can be
// compared or checked with those tools.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
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
    {"key", 'k', true},
    {"help", 'h', false},
};

const char kHelp[] =
    "Usage: pellfold hash md5|sha256 [FILE...]\n"
    "       pellfold hash hmac-md5 --key SOURCE [FILE...]\n"
    "\n"
    "Print a digest of each FILE in the format of md5sum and sha256sum: the\n"
    "digest in hex, two spaces, the name. With no FILE, or when FILE is '-',\n"
    "read standard input.\n"
    "\n"
    "Options:\n"
    "  -k, --key SOURCE  the HMAC key, hmac-md5 only: pass:TEXT, env:VAR,\n"
    "                    file:PATH, fd:N or stdin (first line, line end removed)\n"
    "  -h, --help        show this help and exit\n";

enum class Algorithm { kMd5, kSha256, kHmacMd5 };

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

// A name as md5sum prints it: a name with a backslash, newline or carriage
// return gets them escaped and the whole line a leading backslash.
std::string ChecksumLine(const std::string& digest, const std::string& name) {
  std::string escaped;
  bool needsEscape = false;
  for (const char c : name) {
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '\n') {
      escaped += "\\n";
    } else if (c == '\r') {
      escaped += "\\r";
    } else {
      escaped += c;
      continue;
    }
    needsEscape = true;
  }
  return (needsEscape ? "\\" : "") + digest + "  " + escaped + "\n";
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

  const std::string* keySpec = parsed.Value("key");
  if (algorithm == Algorithm::kHmacMd5 && keySpec == nullptr) {
    throw UsageError{"hmac-md5 needs --key"};
  }
  if (algorithm != Algorithm::kHmacMd5 && keySpec != nullptr) {
    throw UsageError{"--key is for hmac-md5 only"};
  }
  if (keySpec != nullptr && *keySpec == "stdin") {
    for (const auto& file : files) {
      if (file == "-") throw UsageError{"'--key stdin' cannot be used when hashing standard input"};
    }
  }
  std::string key = keySpec != nullptr ? ReadSecret(*keySpec, "--key") : std::string();

  bool ok = true;
  for (const auto& file : files) {
    try {
      InputFile input(file);
      const std::string line = ChecksumLine(Digest(algorithm, input, key), file);
      std::fputs(line.c_str(), stdout);
    } catch (const Failure& failure) {
      // Like md5sum: report the file and go on with the others.
      Complain(failure.message);
      ok = false;
    }
  }
  Wipe(&key);
  return ok ? kExitSuccess : kExitFailure;
}

}  // namespace

const CommandInfo kHashCommand = {"hash", "MD5, SHA-256 or HMAC-MD5 digests of files", kHelp,
                                  RunHash};

}  // namespace pellfold::host
