// The text encodings of age: unpadded canonical base64 for the header and
// Bech32 for recipients and identities.
#include <cstring>

#include "age/age_parts.h"

namespace pellfold::age {
namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kBech32[] = "qpzry9x8gf2tvdw0s3jn54khce6mua7l";
constexpr std::size_t kChecksumSize = 6;

std::uint32_t Polymod(std::uint32_t check, std::uint32_t value) {
  constexpr std::uint32_t kGenerator[5] = {0x3b6a57b2u, 0x26508e6du, 0x1ea119fau, 0x3d4233ddu,
                                           0x2a1462b3u};
  const std::uint32_t top = check >> 25;
  check = ((check & 0x1ffffffu) << 5) ^ value;
  for (int i = 0; i < 5; ++i) {
    if (((top >> i) & 1u) != 0) check ^= kGenerator[i];
  }
  return check;
}

std::uint32_t HrpChecksum(const char* hrp, std::size_t size) {
  std::uint32_t check = 1;
  for (std::size_t i = 0; i < size; ++i) {
    check = Polymod(check, static_cast<std::uint8_t>(hrp[i]) >> 5);
  }
  check = Polymod(check, 0);
  for (std::size_t i = 0; i < size; ++i) {
    check = Polymod(check, static_cast<std::uint8_t>(hrp[i]) & 31u);
  }
  return check;
}

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

int Bech32Value(char c) {
  const char* found = std::strchr(kBech32, Lower(c));
  return c != 0 && found != nullptr ? static_cast<int>(found - kBech32) : -1;
}

}  // namespace

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

void EncodeBase64(const std::uint8_t* data, std::size_t size, char* out) {
  std::uint32_t bits = 0;
  int count = 0;
  for (std::size_t i = 0; i < size; ++i) {
    bits = (bits << 8) | data[i];
    count += 8;
    while (count >= 6) {
      count -= 6;
      *out++ = kBase64[(bits >> count) & 63u];
    }
  }
  if (count > 0) *out = kBase64[(bits << (6 - count)) & 63u];
}

bool CanonicalBase64Tail(std::size_t length, char last) {
  if (length == 0) return true;
  const int value = Base64Value(last);
  switch (length % 4) {
    case 1: return false;
    case 2: return (value & 15) == 0;
    case 3: return (value & 3) == 0;
    default: return true;
  }
}

bool DecodeBase64(const char* text, std::size_t length, std::uint8_t* out, std::size_t size) {
  if (length != Base64Length(size) ||
      !CanonicalBase64Tail(length, length > 0 ? text[length - 1] : 'A')) {
    return false;
  }
  std::uint32_t bits = 0;
  int count = 0;
  std::size_t written = 0;
  for (std::size_t i = 0; i < length; ++i) {
    const int value = Base64Value(text[i]);
    if (value < 0) return false;
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out[written++] = static_cast<std::uint8_t>(bits >> count);
    }
  }
  return written == size;
}

bool DecodeBech32(const char* text, std::size_t length, const char* hrp, std::uint8_t* out,
                  std::size_t size) {
  bool lower = false;
  bool upper = false;
  std::size_t separator = length;
  for (std::size_t i = 0; i < length; ++i) {
    const char c = text[i];
    if (c < 33 || c > 126) return false;
    lower = lower || (c >= 'a' && c <= 'z');
    upper = upper || (c >= 'A' && c <= 'Z');
    if (c == '1') separator = i;
  }
  const std::size_t hrpSize = std::strlen(hrp);
  if ((lower && upper) || separator != hrpSize || length < hrpSize + 1 + kChecksumSize) {
    return false;
  }
  for (std::size_t i = 0; i < hrpSize; ++i) {
    if (Lower(text[i]) != hrp[i]) return false;
  }
  std::uint32_t check = HrpChecksum(hrp, hrpSize);
  std::uint32_t bits = 0;
  int count = 0;
  std::size_t written = 0;
  const std::size_t dataEnd = length - kChecksumSize;
  for (std::size_t i = separator + 1; i < length; ++i) {
    const int value = Bech32Value(text[i]);
    if (value < 0) return false;
    check = Polymod(check, static_cast<std::uint32_t>(value));
    if (i >= dataEnd) continue;
    bits = ((bits << 5) | static_cast<std::uint32_t>(value)) & 0xfffu;
    count += 5;
    if (count >= 8) {
      count -= 8;
      if (written == size) return false;
      out[written++] = static_cast<std::uint8_t>(bits >> count);
    }
  }
  // Leftover bits: fewer than five, all zero.
  return check == 1 && written == size && count < 5 && (bits & ((1u << count) - 1)) == 0;
}

bool EncodeBech32(const char* hrp, const std::uint8_t* data, std::size_t size, bool upper,
                  char* out, std::size_t capacity) {
  const std::size_t hrpSize = std::strlen(hrp);
  const std::size_t groups = (size * 8 + 4) / 5;
  if (capacity < hrpSize + 1 + groups + kChecksumSize + 1) return false;
  std::uint32_t check = HrpChecksum(hrp, hrpSize);
  std::size_t at = 0;
  for (std::size_t i = 0; i < hrpSize; ++i) out[at++] = hrp[i];
  out[at++] = '1';
  std::uint32_t bits = 0;
  int count = 0;
  for (std::size_t i = 0; i < size; ++i) {
    bits = ((bits << 8) | data[i]) & 0xfffu;
    count += 8;
    while (count >= 5) {
      count -= 5;
      const std::uint32_t value = (bits >> count) & 31u;
      check = Polymod(check, value);
      out[at++] = kBech32[value];
    }
  }
  if (count > 0) {
    const std::uint32_t value = (bits << (5 - count)) & 31u;
    check = Polymod(check, value);
    out[at++] = kBech32[value];
  }
  for (std::size_t i = 0; i < kChecksumSize; ++i) check = Polymod(check, 0);
  check ^= 1;
  for (std::size_t i = 0; i < kChecksumSize; ++i) {
    out[at++] = kBech32[(check >> (5 * (kChecksumSize - 1 - i))) & 31u];
  }
  out[at] = '\0';
  if (upper) {
    for (std::size_t i = 0; i < at; ++i) {
      if (out[i] >= 'a' && out[i] <= 'z') out[i] = static_cast<char>(out[i] - 'a' + 'A');
    }
  }
  return true;
}

}  // namespace pellfold::age
