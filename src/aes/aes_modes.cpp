// Buffer routines: password to key, then CBC or ECB over the buffer in place.
#include <cstring>

#include "aes/aes.h"
#include "util/wipe.h"

namespace pellfold {
namespace {

constexpr std::int32_t kNk = 8;
constexpr std::int32_t kNr = 14;

void AESExpandPassword(const std::uint8_t* password, std::int32_t passwordLength,
                       std::uint8_t* schedule) {
  std::uint8_t key[kAES256KeySize];
  AESPasswordKey(password, passwordLength, key);
  AESKeyExpansion(key, schedule, kNk);
  SecureZero(key, sizeof key);
}

// Whole blocks covered by length > 0: length / 16 rounded up.
std::int32_t BlockCount(std::int32_t length) {
  return ((length - 1) >> 4) + 1;
}

}  // namespace

void AESPasswordKey(const std::uint8_t* password, std::int32_t passwordLength, std::uint8_t* key) {
  std::memset(key, 0, kAES256KeySize);
  if (passwordLength > 0) {
    const std::int32_t used = passwordLength < kAES256KeySize ? passwordLength : kAES256KeySize;
    std::memcpy(key, password, static_cast<std::size_t>(used));
  }
}

std::int32_t AESCbcEncrypt(std::uint8_t* buffer, std::int32_t length, const std::uint8_t* password,
                           std::int32_t passwordLength, const std::uint8_t* vector) {
  if (buffer == nullptr || password == nullptr || vector == nullptr) return 0;
  std::uint8_t schedule[kAES256ScheduleSize];
  AESExpandPassword(password, passwordLength, schedule);
  if (length <= 0) {
    SecureZero(schedule, sizeof schedule);
    return 1;
  }
  // The vector is copied first, so the caller's array is never written and
  // every call starts from the same value.
  std::uint8_t chain[kAESBlockSize];
  std::memcpy(chain, vector, kAESBlockSize);
  std::uint8_t* block = buffer;
  for (std::int32_t n = BlockCount(length); n > 0; --n, block += kAESBlockSize) {
    for (int k = 0; k < kAESBlockSize; ++k) block[k] ^= chain[k];
    AESCipher(block, block, schedule, kNr);
    std::memcpy(chain, block, kAESBlockSize);
  }
  SecureZero(schedule, sizeof schedule);
  return 1;
}

std::int32_t AESCbcDecrypt(std::uint8_t* buffer, std::int32_t length, const std::uint8_t* password,
                           std::int32_t passwordLength, const std::uint8_t* vector) {
  if (buffer == nullptr || password == nullptr || vector == nullptr) return 0;
  std::uint8_t schedule[kAES256ScheduleSize];
  AESExpandPassword(password, passwordLength, schedule);
  if (length <= 0) {
    SecureZero(schedule, sizeof schedule);
    return 1;
  }
  std::uint8_t chain[kAESBlockSize];
  std::uint8_t saved[kAESBlockSize];
  std::memcpy(chain, vector, kAESBlockSize);
  std::uint8_t* block = buffer;
  for (std::int32_t n = BlockCount(length); n > 0; --n, block += kAESBlockSize) {
    std::memcpy(saved, block, kAESBlockSize);
    AESInvCipher(block, block, schedule, kNr);
    for (int k = 0; k < kAESBlockSize; ++k) block[k] ^= chain[k];
    std::memcpy(chain, saved, kAESBlockSize);
  }
  SecureZero(schedule, sizeof schedule);
  return 1;
}

std::int32_t AESEcbEncrypt(std::uint8_t* buffer, std::int32_t length, const std::uint8_t* password,
                           std::int32_t passwordLength) {
  if (buffer == nullptr || password == nullptr) return 0;
  std::uint8_t schedule[kAES256ScheduleSize];
  AESExpandPassword(password, passwordLength, schedule);
  if (length <= 0) {
    SecureZero(schedule, sizeof schedule);
    return 1;
  }
  std::uint8_t* block = buffer;
  for (std::int32_t n = BlockCount(length); n > 0; --n, block += kAESBlockSize) {
    AESCipher(block, block, schedule, kNr);
  }
  SecureZero(schedule, sizeof schedule);
  return 1;
}

std::int32_t AESEcbDecrypt(std::uint8_t* buffer, std::int32_t length, const std::uint8_t* password,
                           std::int32_t passwordLength) {
  if (buffer == nullptr || password == nullptr) return 0;
  std::uint8_t schedule[kAES256ScheduleSize];
  AESExpandPassword(password, passwordLength, schedule);
  if (length <= 0) {
    SecureZero(schedule, sizeof schedule);
    return 1;
  }
  std::uint8_t* block = buffer;
  for (std::int32_t n = BlockCount(length); n > 0; --n, block += kAESBlockSize) {
    AESInvCipher(block, block, schedule, kNr);
  }
  SecureZero(schedule, sizeof schedule);
  return 1;
}

}  // namespace pellfold
