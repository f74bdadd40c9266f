// Key derivation and wrapping over libsodium: HKDF-SHA-256 on its
// HMAC-SHA-256, the payload chunks (ChaCha20-Poly1305), the X25519 and
// scrypt stanza bodies. Every derived key is wiped before returning.
#include <sodium.h>

#include <cstring>

#include "age/age_parts.h"

namespace pellfold::age {
namespace {

constexpr char kX25519Label[] = "age-encryption.org/v1/X25519";
constexpr char kScryptLabel[] = "age-encryption.org/v1/scrypt";
constexpr std::size_t kScryptLabelSize = sizeof kScryptLabel - 1;
constexpr std::size_t kAeadNonceSize = 12;

void StoreBe64(std::uint8_t* p, std::uint64_t v) {
  for (int i = 7; i >= 0; --i) {
    p[i] = static_cast<std::uint8_t>(v);
    v >>= 8;
  }
}

void ChunkNonce(std::uint64_t counter, bool last, std::uint8_t nonce[kAeadNonceSize]) {
  nonce[0] = nonce[1] = nonce[2] = 0;
  StoreBe64(nonce + 3, counter);
  nonce[11] = last ? 1 : 0;
}

// The file key under a wrap key, with the all-zero nonce.
void SealFileKey(const std::uint8_t wrapKey[kKeySize], const FileKey& key,
                 std::uint8_t body[kBodySize]) {
  const std::uint8_t nonce[kAeadNonceSize] = {};
  crypto_aead_chacha20poly1305_ietf_encrypt(body, nullptr, key.bytes, kFileKeySize, nullptr, 0,
                                            nullptr, nonce, wrapKey);
}

bool OpenFileKey(const std::uint8_t wrapKey[kKeySize], const std::uint8_t body[kBodySize],
                 FileKey* key) {
  const std::uint8_t nonce[kAeadNonceSize] = {};
  return crypto_aead_chacha20poly1305_ietf_decrypt(key->bytes, nullptr, nullptr, body, kBodySize,
                                                   nullptr, 0, nonce, wrapKey) == 0;
}

void X25519WrapKey(const std::uint8_t shared[kKeySize], const std::uint8_t share[kKeySize],
                   const std::uint8_t recipient[kKeySize], std::uint8_t wrapKey[kKeySize]) {
  std::uint8_t salt[2 * kKeySize];
  std::memcpy(salt, share, kKeySize);
  std::memcpy(salt + kKeySize, recipient, kKeySize);
  Hkdf(salt, sizeof salt, shared, kKeySize, kX25519Label, wrapKey);
}

bool ScryptWrapKey(const void* passphrase, std::size_t length, int workFactor,
                   const std::uint8_t salt[kSaltSize], std::uint8_t wrapKey[kKeySize]) {
  std::uint8_t labelled[kScryptLabelSize + kSaltSize];
  std::memcpy(labelled, kScryptLabel, kScryptLabelSize);
  std::memcpy(labelled + kScryptLabelSize, salt, kSaltSize);
  return crypto_pwhash_scryptsalsa208sha256_ll(
             static_cast<const std::uint8_t*>(passphrase), length, labelled, sizeof labelled,
             std::uint64_t{1} << workFactor, 8, 1, wrapKey, kKeySize) == 0;
}

}  // namespace

void Hkdf(const std::uint8_t* salt, std::size_t saltSize, const std::uint8_t* ikm,
          std::size_t ikmSize, const char* info, std::uint8_t out[kKeySize]) {
  std::uint8_t prk[kKeySize];
  crypto_auth_hmacsha256_state state;
  // No salt is a salt of 32 zero bytes, which HMAC pads alike.
  const std::uint8_t zeros[kKeySize] = {};
  if (saltSize == 0) salt = zeros;
  crypto_auth_hmacsha256_init(&state, salt, saltSize > 0 ? saltSize : sizeof zeros);
  crypto_auth_hmacsha256_update(&state, ikm, ikmSize);
  crypto_auth_hmacsha256_final(&state, prk);
  // One block of output: T(1) = HMAC(PRK, info || 0x01).
  const std::uint8_t one = 1;
  crypto_auth_hmacsha256_init(&state, prk, sizeof prk);
  crypto_auth_hmacsha256_update(&state, reinterpret_cast<const std::uint8_t*>(info),
                                std::strlen(info));
  crypto_auth_hmacsha256_update(&state, &one, 1);
  crypto_auth_hmacsha256_final(&state, out);
  sodium_memzero(prk, sizeof prk);
  sodium_memzero(&state, sizeof state);
}

void HeaderMac(const FileKey& key, const std::uint8_t* header, std::size_t size,
               std::uint8_t mac[kMacSize]) {
  std::uint8_t macKey[kKeySize];
  Hkdf(nullptr, 0, key.bytes, kFileKeySize, "header", macKey);
  crypto_auth_hmacsha256_state state;
  crypto_auth_hmacsha256_init(&state, macKey, sizeof macKey);
  crypto_auth_hmacsha256_update(&state, header, size);
  crypto_auth_hmacsha256_final(&state, mac);
  sodium_memzero(macKey, sizeof macKey);
  sodium_memzero(&state, sizeof state);
}

void PayloadKey(const FileKey& key, const std::uint8_t nonce[kNonceSize],
                std::uint8_t out[kKeySize]) {
  Hkdf(nonce, kNonceSize, key.bytes, kFileKeySize, "payload", out);
}

void SealChunk(const std::uint8_t key[kKeySize], std::uint64_t counter, bool last,
               const std::uint8_t* plain, std::size_t size, std::uint8_t* sealed) {
  std::uint8_t nonce[kAeadNonceSize];
  ChunkNonce(counter, last, nonce);
  crypto_aead_chacha20poly1305_ietf_encrypt(sealed, nullptr, plain, size, nullptr, 0, nullptr,
                                            nonce, key);
}

bool OpenChunk(const std::uint8_t key[kKeySize], std::uint64_t counter, bool last,
               const std::uint8_t* sealed, std::size_t size, std::uint8_t* plain) {
  std::uint8_t nonce[kAeadNonceSize];
  ChunkNonce(counter, last, nonce);
  return crypto_aead_chacha20poly1305_ietf_decrypt(plain, nullptr, nullptr, sealed, size, nullptr,
                                                   0, nonce, key) == 0;
}

bool WrapX25519(const std::uint8_t recipient[kKeySize], const FileKey& key,
                std::uint8_t share[kKeySize], std::uint8_t body[kBodySize]) {
  std::uint8_t secret[kKeySize];
  std::uint8_t shared[kKeySize];
  std::uint8_t wrapKey[kKeySize];
  randombytes_buf(secret, sizeof secret);
  crypto_scalarmult_base(share, secret);
  const bool ok = crypto_scalarmult(shared, secret, recipient) == 0;
  if (ok) {
    X25519WrapKey(shared, share, recipient, wrapKey);
    SealFileKey(wrapKey, key, body);
  }
  sodium_memzero(secret, sizeof secret);
  sodium_memzero(shared, sizeof shared);
  sodium_memzero(wrapKey, sizeof wrapKey);
  return ok;
}

Unwrap UnwrapX25519(const std::uint8_t identity[kKeySize], const std::uint8_t share[kKeySize],
                    const std::uint8_t body[kBodySize], FileKey* key) {
  std::uint8_t shared[kKeySize];
  std::uint8_t recipient[kKeySize];
  std::uint8_t wrapKey[kKeySize];
  // crypto_scalarmult refuses an all-zero result (a low-order share).
  Unwrap outcome = Unwrap::kZeroSecret;
  if (crypto_scalarmult(shared, identity, share) == 0) {
    crypto_scalarmult_base(recipient, identity);
    X25519WrapKey(shared, share, recipient, wrapKey);
    outcome = OpenFileKey(wrapKey, body, key) ? Unwrap::kOpened : Unwrap::kNotOurs;
  }
  sodium_memzero(shared, sizeof shared);
  sodium_memzero(wrapKey, sizeof wrapKey);
  return outcome;
}

bool WrapScrypt(const void* passphrase, std::size_t length, int workFactor,
                const std::uint8_t salt[kSaltSize], const FileKey& key,
                std::uint8_t body[kBodySize]) {
  std::uint8_t wrapKey[kKeySize];
  const bool ok = ScryptWrapKey(passphrase, length, workFactor, salt, wrapKey);
  if (ok) SealFileKey(wrapKey, key, body);
  sodium_memzero(wrapKey, sizeof wrapKey);
  return ok;
}

Unwrap UnwrapScrypt(const void* passphrase, std::size_t length, int workFactor,
                    const std::uint8_t salt[kSaltSize], const std::uint8_t body[kBodySize],
                    FileKey* key, bool* ran) {
  std::uint8_t wrapKey[kKeySize];
  *ran = ScryptWrapKey(passphrase, length, workFactor, salt, wrapKey);
  const bool opened = *ran && OpenFileKey(wrapKey, body, key);
  sodium_memzero(wrapKey, sizeof wrapKey);
  return opened ? Unwrap::kOpened : Unwrap::kNotOurs;
}

}  // namespace pellfold::age
