// The keys of age calls (see agekeys.h).
#include "agekeys.h"

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

constexpr int kHighestWorkFactor = 30;

}  // namespace

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

}  // namespace pellfold::host
