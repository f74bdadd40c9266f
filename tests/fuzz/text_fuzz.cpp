// libFuzzer target for the text conversions. Arbitrary UTF-16 must narrow to
// valid UTF-8 that fits the buffer; arbitrary bytes that the program accepts
// as UTF-8 must narrow back to themselves after the trip through UTF-16.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "service/narrow.h"
#include "utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The bytes as UTF-16 units, cut at the first NUL unit.
  std::u16string wide;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    const auto unit = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (unit == 0) break;
    wide.push_back(unit);
  }
  char small[16];
  char large[4 * 4096 + 1];
  const std::ptrdiff_t n = pellfold::NarrowUtf16(wide.c_str(), large, sizeof large);
  if (n < 0 || std::strlen(large) != static_cast<std::size_t>(n)) std::abort();
  std::u16string back;
  if (!pellfold::host::Utf8ToUtf16(std::string_view(large, static_cast<std::size_t>(n)), &back)) {
    std::abort();  // the narrow form is always valid UTF-8
  }
  const std::ptrdiff_t cut = pellfold::NarrowUtf16(wide.c_str(), small, sizeof small);
  if (cut >= 0 ? cut != n : std::strncmp(small, large, std::strlen(small)) != 0) std::abort();
  if (pellfold::NarrowUtf16Truncated(wide.c_str(), small, sizeof small) > sizeof small - 1) {
    std::abort();
  }

  // The bytes as UTF-8 text, cut at the first NUL.
  const std::string_view text(reinterpret_cast<const char*>(data),
                              strnlen(reinterpret_cast<const char*>(data), size));
  std::u16string utf16;
  if (pellfold::host::Utf8ToUtf16(text, &utf16)) {
    const std::ptrdiff_t m = pellfold::NarrowUtf16(utf16.c_str(), large, sizeof large);
    if (m < 0 || std::string_view(large, static_cast<std::size_t>(m)) != text) std::abort();
  }
  return 0;
}
