// UTF-16 to UTF-8 conversion for the exports' wide arguments.
//
// Linux has no code pages, so the narrow form of every argument is UTF-8,
// whatever the process locale says. A surrogate pair becomes one four-byte
// sequence; a surrogate without its partner becomes U+FFFD.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pellfold {

// Writes the UTF-8 form of the NUL-terminated UTF-16 text, with a NUL, into
// out[0 .. capacity). Returns the byte length without the NUL, or -1 when the
// whole text does not fit; out then holds whatever prefix fit, NUL-terminated
// on a character boundary. capacity must be at least 1.
std::ptrdiff_t NarrowUtf16(const char16_t* text, char* out, std::size_t capacity);

// Like NarrowUtf16 but cuts the result after capacity - 1 bytes instead of
// failing, even inside a character (used for the password, of which only the
// first 32 bytes reach the key). Returns the byte length written.
std::size_t NarrowUtf16Truncated(const char16_t* text, char* out, std::size_t capacity);

}  // namespace pellfold
