#include "oracle.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace pellfold::test {
namespace {

const EVP_CIPHER* AesCipher(std::size_t keySize, bool cbc) {
  switch (keySize) {
    case 16: return cbc ? EVP_aes_128_cbc() : EVP_aes_128_ecb();
    case 24: return cbc ? EVP_aes_192_cbc() : EVP_aes_192_ecb();
    case 32: return cbc ? EVP_aes_256_cbc() : EVP_aes_256_ecb();
    default: throw std::invalid_argument("bad AES key size");
  }
}

Bytes RunCipher(const EVP_CIPHER* cipher, const Bytes& key, const std::uint8_t* iv,
                const Bytes& data, bool encrypt) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  Bytes out(data.size() + 32);
  int produced = 0;
  int tail = 0;
  bool ok = ctx != nullptr &&
            EVP_CipherInit_ex(ctx, cipher, nullptr, key.data(), iv, encrypt ? 1 : 0) == 1 &&
            EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
            EVP_CipherUpdate(ctx, out.data(), &produced, data.data(),
                             static_cast<int>(data.size())) == 1 &&
            EVP_CipherFinal_ex(ctx, out.data() + produced, &tail) == 1;
  EVP_CIPHER_CTX_free(ctx);
  if (!ok) throw std::runtime_error("OpenSSL cipher failed");
  out.resize(static_cast<std::size_t>(produced + tail));
  return out;
}

Bytes RunDigest(const EVP_MD* md, const Bytes& data) {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int size = 0;
  if (EVP_Digest(data.data(), data.size(), out.data(), &size, md, nullptr) != 1) {
    throw std::runtime_error("OpenSSL digest failed");
  }
  out.resize(size);
  return out;
}

}  // namespace

Bytes OracleAesEcb(const Bytes& key, const Bytes& data, bool encrypt) {
  return RunCipher(AesCipher(key.size(), false), key, nullptr, data, encrypt);
}

Bytes OracleAesCbc(const Bytes& key, const Bytes& iv, const Bytes& data, bool encrypt) {
  if (iv.size() != 16) throw std::invalid_argument("IV must be 16 bytes");
  return RunCipher(AesCipher(key.size(), true), key, iv.data(), data, encrypt);
}

Bytes OracleMd5(const Bytes& data) {
  return RunDigest(EVP_md5(), data);
}
Bytes OracleSha256(const Bytes& data) {
  return RunDigest(EVP_sha256(), data);
}

Bytes OracleHmacMd5(const Bytes& key, const Bytes& data) {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int size = 0;
  static const std::uint8_t kEmpty = 0;
  if (HMAC(EVP_md5(), key.empty() ? &kEmpty : key.data(), static_cast<int>(key.size()), data.data(),
           data.size(), out.data(), &size) == nullptr) {
    throw std::runtime_error("OpenSSL HMAC failed");
  }
  out.resize(size);
  return out;
}

std::mt19937_64& TestRng() {
  static std::mt19937_64 rng = [] {
    std::uint64_t seed = 0;
    if (const char* text = std::getenv("PELLFOLD_TEST_SEED")) {
      seed = std::strtoull(text, nullptr, 0);
    } else {
      seed =
          static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    }
    std::printf("random seed: PELLFOLD_TEST_SEED=%llu\n", static_cast<unsigned long long>(seed));
    return std::mt19937_64(seed);
  }();
  return rng;
}

Bytes RandomBytes(std::size_t size) {
  Bytes out(size);
  auto& rng = TestRng();
  for (auto& b : out) b = static_cast<std::uint8_t>(rng());
  return out;
}

}  // namespace pellfold::test
