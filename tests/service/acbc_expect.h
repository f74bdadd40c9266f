// The ACBC file that a plaintext and password must give, built from the
// format's rules with OpenSSL doing the AES-256-CBC of every record.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>

#include "oracle.h"

namespace pellfold::test {

inline const Bytes kAcbcIv = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                              0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f};

inline Bytes AcbcKey(const std::string& password) {
  Bytes key(32, 0);
  std::copy_n(password.begin(), std::min<std::size_t>(password.size(), 32), key.begin());
  return key;
}

inline Bytes AcbcHeader(long length) {
  Bytes header(512, 0);
  const std::string text = "ACBC " + std::to_string(length);
  std::memcpy(header.data(), text.data(), text.size());
  return header;
}

inline Bytes ExpectedAcbc(const Bytes& plain, const std::string& password) {
  Bytes file = AcbcHeader(static_cast<long>(plain.size()));
  const std::size_t records = plain.size() / 512 + 1;
  for (std::size_t k = 0; k < records; ++k) {
    Bytes record(512, 0);
    const std::size_t begin = 512 * k;
    const std::size_t n = std::min<std::size_t>(512, plain.size() - begin);
    std::copy_n(plain.begin() + static_cast<long>(begin), n, record.begin());
    const Bytes encrypted = OracleAesCbc(AcbcKey(password), kAcbcIv, record, true);
    file.insert(file.end(), encrypted.begin(), encrypted.end());
  }
  return file;
}

// A body record made by the oracle from 512 given plaintext bytes.
inline Bytes OracleRecord(const Bytes& plain512, const std::string& password) {
  return OracleAesCbc(AcbcKey(password), kAcbcIv, plain512, true);
}

}  // namespace pellfold::test
