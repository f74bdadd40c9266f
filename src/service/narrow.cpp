#include "service/narrow.h"

namespace pellfold {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes the code point starting at text[*i] and advances *i past it.
char32_t NextCodePoint(const char16_t* text, std::size_t* i) {
  const char32_t unit = text[(*i)++];
  if (unit >= 0xD800 && unit <= 0xDBFF) {
    const char32_t low = text[*i];
    if (low >= 0xDC00 && low <= 0xDFFF) {
      ++*i;
      return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    }
    return kReplacement;  // high surrogate without its low half
  }
  if (unit >= 0xDC00 && unit <= 0xDFFF) return kReplacement;  // stray low half
  return unit;
}

// Encodes c into bytes; returns the count (1 to 4).
std::size_t EncodeUtf8(char32_t c, unsigned char* bytes) {
  if (c < 0x80) {
    bytes[0] = static_cast<unsigned char>(c);
    return 1;
  }
  if (c < 0x800) {
    bytes[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
    bytes[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    bytes[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
    bytes[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
    bytes[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    return 3;
  }
  bytes[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
  bytes[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
  bytes[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
  bytes[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
  return 4;
}

// Shared loop: converts until the terminator or until the next character
// would not fit. With cutInside, the last character is split to fill the
// buffer. Returns the bytes written and whether the text ended.
std::size_t Convert(const char16_t* text, char* out, std::size_t capacity, bool cutInside,
                    bool* complete) {
  std::size_t written = 0;
  std::size_t i = 0;
  const std::size_t room = capacity - 1;  // keep one byte for the NUL
  *complete = true;
  while (text[i] != 0) {
    unsigned char bytes[4];
    const std::size_t n = EncodeUtf8(NextCodePoint(text, &i), bytes);
    const std::size_t fits = room - written;
    if (n > fits) {
      if (cutInside) {
        for (std::size_t k = 0; k < fits; ++k) out[written++] = static_cast<char>(bytes[k]);
      }
      *complete = false;
      break;
    }
    for (std::size_t k = 0; k < n; ++k) out[written++] = static_cast<char>(bytes[k]);
  }
  out[written] = '\0';
  return written;
}

}  // namespace

std::ptrdiff_t NarrowUtf16(const char16_t* text, char* out, std::size_t capacity) {
  bool complete = false;
  const std::size_t written = Convert(text, out, capacity, false, &complete);
  return complete ? static_cast<std::ptrdiff_t>(written) : -1;
}

std::size_t NarrowUtf16Truncated(const char16_t* text, char* out, std::size_t capacity) {
  bool complete = false;
  return Convert(text, out, capacity, true, &complete);
}

}  // namespace pellfold
