#include "range.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "cli.h"
#include "files.h"
#include "signals.h"

namespace pellfold::host {
namespace {

constexpr std::size_t kPiece = std::size_t{1} << 20;

std::int64_t ParseSize(const std::string& text, const std::string& whole) {
  std::int64_t value = 0;
  std::size_t at = 0;
  const auto bad = [&] {
    return UsageError{"invalid --range '" + whole + "': expected OFFSET:LENGTH, e.g. 4K:512"};
  };
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    if (value > (INT64_MAX - 9) / 10) throw bad();
    value = value * 10 + (text[at] - '0');
  }
  if (at == 0) throw bad();
  if (at + 1 == text.size()) {
    const char unit = text[at];
    const int shift = unit == 'K' ? 10 : unit == 'M' ? 20 : unit == 'G' ? 30 : -1;
    if (shift < 0 || value > (INT64_MAX >> shift)) throw bad();
    value <<= shift;
  } else if (at != text.size()) {
    throw bad();
  }
  return value;
}

void Fail(acbc_result* r, acbc_status status, int error) {
  r->status = status;
  r->error_number = error;
}

}  // namespace

ByteRange ParseRange(const std::string& text) {
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos) {
    throw UsageError{"invalid --range '" + text + "': expected OFFSET:LENGTH, e.g. 4K:512"};
  }
  return {ParseSize(text.substr(0, colon), text), ParseSize(text.substr(colon + 1), text)};
}

void CopyRange(int fd, const ByteRange& range, const void* password, std::size_t passwordLength,
               acbc_write_fn write, void* context, acbc_result* r) {
  std::vector<unsigned char> piece(kPiece);
  std::int64_t done = 0;
  unsigned flags = 0;
  std::int64_t delivered = 0;
  do {
    const auto want = static_cast<std::size_t>(
        std::min<std::int64_t>(range.length - done, static_cast<std::int64_t>(kPiece)));
    acbc_read_at(fd, piece.data(), want, range.offset + done, password, passwordLength, flags, r);
    if (r->status != ACBC_OK) break;
    flags = ACBC_PASSWORD_CHECKED;
    const auto got = static_cast<std::size_t>(r->bytes_written);
    if (got > 0 && write(context, piece.data(), got) != 0) {
      Fail(r, ACBC_E_WRITE, errno);
      break;
    }
    done += static_cast<std::int64_t>(want);
    delivered += static_cast<std::int64_t>(got);
    if (got < want) break;  // the end of the plaintext
    if (CaughtSignal() != 0) Fail(r, ACBC_E_CANCELLED, 0);
  } while (done < range.length && r->status == ACBC_OK);
  r->bytes_written = delivered;
}

}  // namespace pellfold::host
