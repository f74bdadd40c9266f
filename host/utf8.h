// Strict UTF-8 decoding into UTF-16, for password text, and names made safe
// to print.
#pragma once

#include <string>
#include <string_view>

namespace pellfold::host {

// Decodes text as UTF-8 (RFC 3629) into UTF-16, code points above U+FFFF as
// surrogate pairs. Returns false, leaving *out unspecified, for anything that
// is not well-formed UTF-8: a stray continuation byte, a sequence cut short,
// an overlong form, an encoded surrogate (U+D800..U+DFFF), or a value above
// U+10FFFF. A NUL byte is well-formed and is decoded like any other.
bool Utf8ToUtf16(std::string_view text, std::u16string* out);

// text with its control characters written as escapes, as `ls -b` shows
// names: \n, \t, \r, \\ for a backslash, \xHH for the other bytes below 0x20
// and for 0x7F. Every other byte stays as it is.
std::string Printable(std::string_view text);

}  // namespace pellfold::host
