// The pieces behind age.h: the text encodings (base64, Bech32), the key
// derivations and key wrapping, the header grammar and the ASCII armor.
#pragma once

#include <acbc.h>

#include <cstddef>
#include <cstdint>

#include "age/age.h"

namespace pellfold::age {

constexpr std::size_t kKeySize = 32;      // X25519 scalars and points, derived keys
constexpr std::size_t kMacSize = 32;      // HMAC-SHA-256
constexpr std::size_t kBodySize = 32;     // a wrapped file key: 16 bytes and a tag
constexpr std::size_t kSaltSize = 16;     // scrypt salt
constexpr std::size_t kLineWidth = 64;    // stanza bodies and armor lines
constexpr int kMaxWorkFactor = 30;        // highest scrypt work factor written
constexpr int kUnboundedWorkFactor = 63;  // beyond this N does not fit 64 bits

// ------------------------------------------------------------ age_text.cpp

// The value of a base64 character, or -1 outside the alphabet ('=' too).
int Base64Value(char c);
// Characters of the unpadded encoding of `size` bytes.
constexpr std::size_t Base64Length(std::size_t size) {
  return (size * 4 + 2) / 3;
}
// Unpadded canonical base64 of `size` bytes into `out` (Base64Length chars,
// no NUL).
void EncodeBase64(const std::uint8_t* data, std::size_t size, char* out);
// Decodes unpadded base64 of exactly `size` bytes; false for another length,
// a character outside the alphabet, '=' or set bits past the last byte.
bool DecodeBase64(const char* text, std::size_t length, std::uint8_t* out, std::size_t size);
// True when `length` base64 characters ending in `last` can be canonical.
bool CanonicalBase64Tail(std::size_t length, char last);

// Bech32 with the checksum over the lower-case string and no length limit.
// Decodes `text` (all upper or all lower case) whose human-readable part is
// `hrp` (lower case) into exactly `size` bytes.
bool DecodeBech32(const char* text, std::size_t length, const char* hrp, std::uint8_t* out,
                  std::size_t size);
// Encodes into `out` (capacity `capacity`, NUL-terminated); false when short.
bool EncodeBech32(const char* hrp, const std::uint8_t* data, std::size_t size, bool upper,
                  char* out, std::size_t capacity);

// ---------------------------------------------------------- age_crypto.cpp

// HKDF-SHA-256 with 32 bytes of output.
void Hkdf(const std::uint8_t* salt, std::size_t saltSize, const std::uint8_t* ikm,
          std::size_t ikmSize, const char* info, std::uint8_t out[kKeySize]);
void HeaderMac(const FileKey& key, const std::uint8_t* header, std::size_t size,
               std::uint8_t mac[kMacSize]);
void PayloadKey(const FileKey& key, const std::uint8_t nonce[kNonceSize],
                std::uint8_t out[kKeySize]);
// Seals or opens one payload chunk: counter as 11 bytes big-endian, then the
// last-chunk flag. Open writes `size` - 16 bytes and returns false when the
// chunk does not authenticate.
void SealChunk(const std::uint8_t key[kKeySize], std::uint64_t counter, bool last,
               const std::uint8_t* plain, std::size_t size, std::uint8_t* sealed);
bool OpenChunk(const std::uint8_t key[kKeySize], std::uint64_t counter, bool last,
               const std::uint8_t* sealed, std::size_t size, std::uint8_t* plain);

// Wraps the file key for an X25519 recipient; false for a point that gives
// the all-zero shared secret.
bool WrapX25519(const std::uint8_t recipient[kKeySize], const FileKey& key,
                std::uint8_t share[kKeySize], std::uint8_t body[kBodySize]);
enum class Unwrap { kOpened, kNotOurs, kZeroSecret };
Unwrap UnwrapX25519(const std::uint8_t identity[kKeySize], const std::uint8_t share[kKeySize],
                    const std::uint8_t body[kBodySize], FileKey* key);
// scrypt with N = 2^workFactor, r = 8, p = 1. Wrap returns false when
// scrypt cannot run (memory); Unwrap gives kNotOurs for a wrong passphrase.
bool WrapScrypt(const void* passphrase, std::size_t length, int workFactor,
                const std::uint8_t salt[kSaltSize], const FileKey& key,
                std::uint8_t body[kBodySize]);
Unwrap UnwrapScrypt(const void* passphrase, std::size_t length, int workFactor,
                    const std::uint8_t salt[kSaltSize], const std::uint8_t body[kBodySize],
                    FileKey* key, bool* ran);

// ------------------------------------------------------------ age_keys.cpp

// An "age1..." recipient into its X25519 point.
bool ParseRecipient(const char* text, std::uint8_t point[kKeySize]);
// Walks the identities of a key set: every line of every text that is not
// empty or a '#' comment.
struct IdentityCursor {
  const acbc_age_keys* keys;
  std::size_t text = 0;
  std::size_t at = 0;
};
// The next identity's secret scalar; false at the end. *bad is set for a
// line that is not an identity.
bool NextIdentity(IdentityCursor* cursor, std::uint8_t secret[kKeySize], bool* bad);
// A fresh X25519 identity ("AGE-SECRET-KEY-1...", 75 bytes with the NUL)
// and its recipient ("age1...", 63 bytes with the NUL).
constexpr std::size_t kIdentityText = 75;
constexpr std::size_t kRecipientText = 63;
void GenerateIdentity(char identity[kIdentityText], char recipient[kRecipientText]);

// ---------------------------------------------------------- age_header.cpp

struct Stanza {
  const char* args;  // the argument line after "-> ", without its LF
  std::size_t argsSize;
  const char* body;  // the body lines with their LFs
  std::size_t bodySize;
};
// The `index`-th space-separated argument; false past the last.
bool StanzaArgument(const Stanza& stanza, std::size_t index, const char** arg, std::size_t* size);
std::size_t StanzaArgumentCount(const Stanza& stanza);
bool StanzaIs(const Stanza& stanza, const char* type);

struct Header {
  std::size_t size = 0;     // bytes up to and including the MAC line's LF
  std::size_t covered = 0;  // bytes the MAC covers (through "---")
  std::size_t stanzas = 0;
  std::uint8_t mac[kMacSize]{};
  int workFactor = 0;  // of the scrypt stanza, 0 without one
};
// Checks the grammar of the header at the start of `bytes` (`size` of
// them, all that was read) and the shape of the scrypt and X25519
// stanzas. ACBC_OK or ACBC_E_AGE_HEADER.
acbc_status ParseHeader(const std::uint8_t* bytes, std::size_t size, Header* header);
// The stanza starting at *at (first one at HeaderFirstStanza); advances *at.
constexpr std::size_t kFirstStanza = 22;  // after "age-encryption.org/v1\n"
Stanza NextStanza(const std::uint8_t* bytes, std::size_t* at);

// Opens the header's stanzas with the keys. ACBC_OK with the file key,
// ACBC_E_NO_MATCH, ACBC_E_WORK_FACTOR or ACBC_E_AGE_HEADER (an X25519
// share giving the all-zero secret).
acbc_status OpenHeader(const std::uint8_t* bytes, const Header& header, const acbc_age_keys& keys,
                       FileKey* key);
// Checks the keys a decryption gets: ACBC_OK, ACBC_E_ARGUMENT or
// ACBC_E_BAD_KEY.
acbc_status CheckDecryptionKeys(const acbc_age_keys& keys);
// Writes the header for `key` under encryption keys into `out` (capacity
// kMaxHeaderSize). ACBC_OK, ACBC_E_ARGUMENT, ACBC_E_EMPTY_PASSWORD or
// ACBC_E_BAD_KEY.
acbc_status BuildHeader(const acbc_age_keys& keys, const FileKey& key, std::uint8_t* out,
                        std::size_t* size);

// ----------------------------------------------------------- age_armor.cpp

// The bytes of an age file from a reader: as they are, or decoded from the
// ASCII armor. Holds 4 KiB read ahead.
struct Input {
  Reader raw{};
  acbc_result* result = nullptr;
  bool armored = false;
  std::uint8_t pending[4096];
  std::size_t at = 0;
  std::size_t end = 0;
  bool rawEnded = false;
  // The armor: line ends CRLF, the last data line seen, the end line seen.
  bool crlf = false;
  bool lastLine = false;
  bool finished = false;
  std::uint8_t decoded[48];
  std::size_t decodedAt = 0;
  std::size_t decodedEnd = 0;
};
// Reads the first bytes and tells binary from armor. ACBC_OK,
// ACBC_E_NOT_AGE, ACBC_E_AGE_HEADER (empty), ACBC_E_AGE_ARMOR or a read
// failure (recorded in `result`).
acbc_status OpenInput(Input* input, Reader raw, acbc_result* result);
// Reads up to `size` bytes, fewer only at the end; -1 after a failure
// (ACBC_E_READ or ACBC_E_AGE_ARMOR recorded in the result).
std::int64_t ReadInput(Input* input, std::uint8_t* buffer, std::size_t size);

// Where an age file's bytes go: as they are, or into the armor.
acbc_status EmitBegin(Writer out, bool armor, acbc_result* result);
acbc_status Emit(Writer out, bool armor, ArmorState* state, const std::uint8_t* data,
                 std::size_t size, acbc_result* result);
acbc_status EmitEnd(Writer out, bool armor, ArmorState* state, acbc_result* result);

}  // namespace pellfold::age
