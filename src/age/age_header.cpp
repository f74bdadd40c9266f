// The age header: its grammar (version line, stanzas, MAC line), the shape
// of the scrypt and X25519 stanzas, opening them with the caller's keys and
// writing a header for encryption keys.
#include <sodium.h>

#include <cstring>

#include "age/age_parts.h"

namespace pellfold::age {
namespace {

constexpr char kVersionLine[] = "age-encryption.org/v1\n";
constexpr std::size_t kMacText = 43;  // base64 of the 32-byte MAC
constexpr std::size_t kKeyText = 43;  // base64 of a 32-byte share or body

bool Vchar(char c) {
  return c >= 33 && c <= 126;
}

// The line at `at`: its length without the LF; false when no LF follows
// within `size`.
bool LineAt(const std::uint8_t* bytes, std::size_t size, std::size_t at, std::size_t* length) {
  const void* newline = std::memchr(bytes + at, '\n', size - at);
  if (newline == nullptr) return false;
  *length = static_cast<std::size_t>(static_cast<const std::uint8_t*>(newline) - (bytes + at));
  return true;
}

bool StartsWith(const std::uint8_t* bytes, std::size_t size, const char* text) {
  const std::size_t n = std::strlen(text);
  return size >= n && std::memcmp(bytes, text, n) == 0;
}

// A body of exactly 32 bytes: one line of 43 characters.
bool Body32(const Stanza& stanza, std::uint8_t out[kBodySize]) {
  return stanza.bodySize == kKeyText + 1 && DecodeBase64(stanza.body, kKeyText, out, kBodySize);
}

// ^[1-9][0-9]*$, capped past kUnboundedWorkFactor.
bool ParseWorkFactor(const char* text, std::size_t size, int* value) {
  if (size == 0 || text[0] < '1' || text[0] > '9') return false;
  int v = 0;
  for (std::size_t i = 0; i < size; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    if (v <= kUnboundedWorkFactor) v = v * 10 + (text[i] - '0');
  }
  *value = v;
  return v <= kUnboundedWorkFactor;
}

// The shape the known stanza types must have, whoever they are for.
bool KnownStanzaValid(const Stanza& stanza, std::size_t stanzas, int* workFactor) {
  const char* arg = nullptr;
  std::size_t argSize = 0;
  std::uint8_t scratch[kBodySize];
  if (StanzaIs(stanza, "X25519")) {
    return StanzaArgumentCount(stanza) == 2 && StanzaArgument(stanza, 1, &arg, &argSize) &&
           DecodeBase64(arg, argSize, scratch, kKeySize) && Body32(stanza, scratch);
  }
  if (StanzaIs(stanza, "scrypt")) {
    const char* factor = nullptr;
    std::size_t factorSize = 0;
    return stanzas == 1 && StanzaArgumentCount(stanza) == 3 &&
           StanzaArgument(stanza, 1, &arg, &argSize) &&
           DecodeBase64(arg, argSize, scratch, kSaltSize) &&
           StanzaArgument(stanza, 2, &factor, &factorSize) &&
           ParseWorkFactor(factor, factorSize, workFactor) && Body32(stanza, scratch);
  }
  return true;
}

void Put(std::uint8_t* out, std::size_t* at, const char* text, std::size_t size) {
  std::memcpy(out + *at, text, size);
  *at += size;
}

void PutText(std::uint8_t* out, std::size_t* at, const char* text) {
  Put(out, at, text, std::strlen(text));
}

void PutBase64(std::uint8_t* out, std::size_t* at, const std::uint8_t* data, std::size_t size) {
  EncodeBase64(data, size, reinterpret_cast<char*>(out + *at));
  *at += Base64Length(size);
}

// Room for one X25519 stanza and the MAC line.
constexpr std::size_t kX25519StanzaSize = 10 + kKeyText + 1 + kKeyText + 1;
constexpr std::size_t kMacLineSize = 4 + kMacText + 1;

}  // namespace

std::size_t StanzaArgumentCount(const Stanza& stanza) {
  std::size_t count = 1;
  for (std::size_t i = 0; i < stanza.argsSize; ++i) count += stanza.args[i] == ' ' ? 1 : 0;
  return count;
}

bool StanzaArgument(const Stanza& stanza, std::size_t index, const char** arg, std::size_t* size) {
  std::size_t start = 0;
  for (std::size_t i = 0; i <= stanza.argsSize; ++i) {
    if (i < stanza.argsSize && stanza.args[i] != ' ') continue;
    if (index == 0) {
      *arg = stanza.args + start;
      *size = i - start;
      return true;
    }
    --index;
    start = i + 1;
  }
  return false;
}

bool StanzaIs(const Stanza& stanza, const char* type) {
  const char* arg = nullptr;
  std::size_t size = 0;
  return StanzaArgument(stanza, 0, &arg, &size) && size == std::strlen(type) &&
         std::memcmp(arg, type, size) == 0;
}

Stanza NextStanza(const std::uint8_t* bytes, std::size_t* at) {
  // ParseHeader checked the grammar: "-> " args LF, full lines, a short one.
  Stanza stanza{};
  const auto* text = reinterpret_cast<const char*>(bytes);
  std::size_t length = 0;
  const std::size_t start = *at + 3;
  while (text[start + length] != '\n') ++length;
  stanza.args = text + start;
  stanza.argsSize = length;
  std::size_t body = start + length + 1;
  stanza.body = text + body;
  for (;;) {
    std::size_t line = 0;
    while (text[body + line] != '\n') ++line;
    body += line + 1;
    if (line < kLineWidth) break;
  }
  stanza.bodySize = static_cast<std::size_t>(text + body - stanza.body);
  *at = body;
  return stanza;
}

acbc_status ParseHeader(const std::uint8_t* bytes, std::size_t size, Header* header) {
  *header = Header{};
  if (!StartsWith(bytes, size, kVersionLine)) return ACBC_E_AGE_HEADER;
  std::size_t at = kFirstStanza;
  std::size_t length = 0;
  while (LineAt(bytes, size, at, &length) && StartsWith(bytes + at, length, "-> ")) {
    // Arguments: 1*VCHAR, single spaces between them.
    const std::size_t argsEnd = at + length;
    if (length == 3) return ACBC_E_AGE_HEADER;
    for (std::size_t i = at + 3; i < argsEnd; ++i) {
      const bool space = bytes[i] == ' ';
      if (!space && !Vchar(static_cast<char>(bytes[i]))) return ACBC_E_AGE_HEADER;
      if (space && (i == at + 3 || i + 1 == argsEnd || bytes[i + 1] == ' ')) {
        return ACBC_E_AGE_HEADER;
      }
    }
    // Body lines: base64, 64 columns, ending with a shorter one.
    std::size_t body = argsEnd + 1;
    std::size_t bodyChars = 0;
    char last = 'A';
    for (;;) {
      if (!LineAt(bytes, size, body, &length) || length > kLineWidth) return ACBC_E_AGE_HEADER;
      for (std::size_t i = 0; i < length; ++i) {
        if (Base64Value(static_cast<char>(bytes[body + i])) < 0) return ACBC_E_AGE_HEADER;
      }
      if (length > 0) last = static_cast<char>(bytes[body + length - 1]);
      bodyChars += length;
      body += length + 1;
      if (length < kLineWidth) break;
    }
    if (!CanonicalBase64Tail(bodyChars, last)) return ACBC_E_AGE_HEADER;
    ++header->stanzas;
    at = body;
  }
  if (header->stanzas == 0 || !LineAt(bytes, size, at, &length) ||
      !StartsWith(bytes + at, length, "--- ") || length != 4 + kMacText ||
      !DecodeBase64(reinterpret_cast<const char*>(bytes + at + 4), kMacText, header->mac,
                    kMacSize)) {
    return ACBC_E_AGE_HEADER;
  }
  header->covered = at + 3;
  header->size = at + length + 1;
  std::size_t cursor = kFirstStanza;
  for (std::size_t i = 0; i < header->stanzas; ++i) {
    if (!KnownStanzaValid(NextStanza(bytes, &cursor), header->stanzas, &header->workFactor)) {
      return ACBC_E_AGE_HEADER;
    }
  }
  return ACBC_OK;
}

acbc_status CheckDecryptionKeys(const acbc_age_keys& keys) {
  if ((keys.passphrase == nullptr && keys.passphrase_length > 0) ||
      (keys.identities == nullptr && keys.identity_count > 0) || keys.work_factor < 0 ||
      (keys.passphrase_length == 0 && keys.identity_count == 0)) {
    return ACBC_E_ARGUMENT;
  }
  for (std::size_t i = 0; i < keys.identity_count; ++i) {
    if (keys.identities[i] == nullptr) return ACBC_E_ARGUMENT;
  }
  IdentityCursor cursor{&keys};
  std::uint8_t secret[kKeySize];
  bool bad = false;
  std::size_t found = 0;
  while (NextIdentity(&cursor, secret, &bad)) ++found;
  sodium_memzero(secret, sizeof secret);
  if (bad) return ACBC_E_BAD_KEY;
  // Identity texts holding only comments give nothing to decrypt with.
  if (found == 0 && keys.passphrase_length == 0) return ACBC_E_BAD_KEY;
  return ACBC_OK;
}

acbc_status OpenHeader(const std::uint8_t* bytes, const Header& header, const acbc_age_keys& keys,
                       FileKey* key) {
  std::size_t at = kFirstStanza;
  std::uint8_t share[kKeySize];
  std::uint8_t body[kBodySize];
  std::uint8_t secret[kKeySize];
  acbc_status status = ACBC_E_NO_MATCH;
  for (std::size_t i = 0; i < header.stanzas && status == ACBC_E_NO_MATCH; ++i) {
    const Stanza stanza = NextStanza(bytes, &at);
    const char* arg = nullptr;
    std::size_t argSize = 0;
    if (StanzaIs(stanza, "scrypt") && keys.passphrase_length > 0) {
      const int ceiling = keys.work_factor > 0 ? keys.work_factor : ACBC_AGE_MAX_WORK_FACTOR;
      if (header.workFactor > ceiling) return ACBC_E_WORK_FACTOR;
      std::uint8_t salt[kSaltSize];
      StanzaArgument(stanza, 1, &arg, &argSize);
      DecodeBase64(arg, argSize, salt, kSaltSize);
      Body32(stanza, body);
      bool ran = false;
      if (UnwrapScrypt(keys.passphrase, keys.passphrase_length, header.workFactor, salt, body, key,
                       &ran) == Unwrap::kOpened) {
        status = ACBC_OK;
      }
      // scrypt that cannot get its memory: too much work for this machine.
      if (!ran) status = ACBC_E_WORK_FACTOR;
    } else if (StanzaIs(stanza, "X25519")) {
      StanzaArgument(stanza, 1, &arg, &argSize);
      DecodeBase64(arg, argSize, share, kKeySize);
      Body32(stanza, body);
      IdentityCursor cursor{&keys};
      bool bad = false;
      while (status == ACBC_E_NO_MATCH && NextIdentity(&cursor, secret, &bad)) {
        const Unwrap outcome = UnwrapX25519(secret, share, body, key);
        if (outcome == Unwrap::kOpened) status = ACBC_OK;
        if (outcome == Unwrap::kZeroSecret) status = ACBC_E_AGE_HEADER;
      }
    }
  }
  sodium_memzero(secret, sizeof secret);
  if (status != ACBC_OK) sodium_memzero(key, sizeof *key);
  return status;
}

acbc_status BuildHeader(const acbc_age_keys& keys, const FileKey& key, std::uint8_t* out,
                        std::size_t* size) {
  const bool passphrase = keys.passphrase_length > 0 || keys.passphrase != nullptr;
  if ((keys.passphrase == nullptr && keys.passphrase_length > 0) ||
      (keys.recipients == nullptr && keys.recipient_count > 0) ||
      (passphrase && keys.recipient_count > 0) || (!passphrase && keys.recipient_count == 0)) {
    return ACBC_E_ARGUMENT;
  }
  if (keys.recipient_count > (kMaxHeaderSize - kFirstStanza - kMacLineSize) / kX25519StanzaSize) {
    return ACBC_E_ARGUMENT;
  }
  std::uint8_t point[kKeySize];
  std::uint8_t share[kKeySize];
  std::uint8_t body[kBodySize];
  for (std::size_t i = 0; i < keys.recipient_count; ++i) {
    if (keys.recipients[i] == nullptr) return ACBC_E_ARGUMENT;
    if (!ParseRecipient(keys.recipients[i], point)) return ACBC_E_BAD_KEY;
  }
  if (passphrase) {
    if (keys.work_factor < 0 || keys.work_factor > kMaxWorkFactor) return ACBC_E_ARGUMENT;
    if (keys.passphrase_length == 0) return ACBC_E_EMPTY_PASSWORD;
  }
  std::size_t at = 0;
  PutText(out, &at, kVersionLine);
  if (passphrase) {
    const int workFactor = keys.work_factor > 0 ? keys.work_factor : ACBC_AGE_WORK_FACTOR;
    std::uint8_t salt[kSaltSize];
    randombytes_buf(salt, sizeof salt);
    if (!WrapScrypt(keys.passphrase, keys.passphrase_length, workFactor, salt, key, body)) {
      return ACBC_E_WORK_FACTOR;
    }
    char factor[4];
    std::size_t digits = 0;
    if (workFactor >= 10) factor[digits++] = static_cast<char>('0' + workFactor / 10);
    factor[digits++] = static_cast<char>('0' + workFactor % 10);
    PutText(out, &at, "-> scrypt ");
    PutBase64(out, &at, salt, kSaltSize);
    PutText(out, &at, " ");
    Put(out, &at, factor, digits);
    PutText(out, &at, "\n");
    PutBase64(out, &at, body, kBodySize);
    PutText(out, &at, "\n");
  }
  for (std::size_t i = 0; i < keys.recipient_count; ++i) {
    ParseRecipient(keys.recipients[i], point);
    if (!WrapX25519(point, key, share, body)) return ACBC_E_BAD_KEY;
    PutText(out, &at, "-> X25519 ");
    PutBase64(out, &at, share, kKeySize);
    PutText(out, &at, "\n");
    PutBase64(out, &at, body, kBodySize);
    PutText(out, &at, "\n");
  }
  PutText(out, &at, "---");
  std::uint8_t mac[kMacSize];
  HeaderMac(key, out, at, mac);
  PutText(out, &at, " ");
  PutBase64(out, &at, mac, kMacSize);
  PutText(out, &at, "\n");
  *size = at;
  return ACBC_OK;
}

}  // namespace pellfold::age
