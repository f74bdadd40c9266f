// The keys of age calls: recipients and identities read from the command
// line and from files, passphrases, and work factors.
#pragma once

#include <string>
#include <vector>

#include "acbc.h"
#include "cli.h"
#include "password.h"
#include "runner.h"

namespace pellfold::host {

// The keys of one age call, pointing into the settings and the password.
struct AgeKeys {
  std::vector<const char*> recipients;
  std::vector<const char*> identities;
  acbc_age_keys keys{};
};

std::vector<std::string> Identities(const ParsedArgs& parsed);
// A work factor option's value, 1 to 30, or `fallback` when not given.
int WorkFactor(const ParsedArgs& parsed, const char* name, int fallback);
// Keys to encrypt under: the passphrase when given, else the recipients.
void EncryptionKeys(const Settings& settings, const Password* passphrase, AgeKeys* out);
// The keys that open the age file open as `fd` (a passphrase asked for
// only when it has a passphrase stanza).
void OpeningKeys(int fd, const std::string& name, const Settings& settings,
                 CallPassword* callPassword, AgeKeys* keys);
// --recipient, --recipients-file, --armor and --work-factor.
void ReadAgeEncryptOptions(const ParsedArgs& parsed, Settings* settings);

}  // namespace pellfold::host
