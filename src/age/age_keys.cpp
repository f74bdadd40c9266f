// X25519 recipients ("age1...") and identities ("AGE-SECRET-KEY-1..."), the
// latter inside identity texts: one key a line, empty lines and '#'
// comments skipped.
#include <sodium.h>

#include <cstring>

#include "age/age_parts.h"

namespace pellfold::age {
namespace {

constexpr char kRecipientHrp[] = "age";
constexpr char kIdentityHrp[] = "age-secret-key-";

}  // namespace

bool ParseRecipient(const char* text, std::uint8_t point[kKeySize]) {
  return DecodeBech32(text, std::strlen(text), kRecipientHrp, point, kKeySize);
}

bool NextIdentity(IdentityCursor* cursor, std::uint8_t secret[kKeySize], bool* bad) {
  const acbc_age_keys& keys = *cursor->keys;
  while (cursor->text < keys.identity_count) {
    const char* text = keys.identities[cursor->text];
    const std::size_t size = text != nullptr ? std::strlen(text) : 0;
    if (cursor->at >= size) {
      ++cursor->text;
      cursor->at = 0;
      continue;
    }
    const char* line = text + cursor->at;
    const char* newline = static_cast<const char*>(std::memchr(line, '\n', size - cursor->at));
    std::size_t length =
        newline != nullptr ? static_cast<std::size_t>(newline - line) : size - cursor->at;
    cursor->at += length + 1;
    if (length > 0 && line[length - 1] == '\r') --length;
    if (length == 0 || line[0] == '#') continue;
    if (!DecodeBech32(line, length, kIdentityHrp, secret, kKeySize)) {
      *bad = true;
      return false;
    }
    return true;
  }
  return false;
}

void GenerateIdentity(char identity[kIdentityText], char recipient[kRecipientText]) {
  std::uint8_t secret[kKeySize];
  std::uint8_t point[kKeySize];
  if (sodium_init() < 0) return;
  randombytes_buf(secret, sizeof secret);
  crypto_scalarmult_base(point, secret);
  EncodeBech32(kIdentityHrp, secret, kKeySize, true, identity, kIdentityText);
  EncodeBech32(kRecipientHrp, point, kKeySize, false, recipient, kRecipientText);
  sodium_memzero(secret, sizeof secret);
}

}  // namespace pellfold::age
