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

int WriteFd(void* context, const void* buffer, std::size_t size) {
  const int fd = *static_cast<const int*>(context);
  const auto* bytes = static_cast<const char*>(buffer);
  while (size > 0) {
    const ssize_t n = write(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return 0;
}

std::string BaseOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Puts the complete temporary file under its name; 0 or an errno.
int Publish(const std::string& temporary, const std::string& path, bool replace) {
  if (replace) return rename(temporary.c_str(), path.c_str()) == 0 ? 0 : errno;
  if (link(temporary.c_str(), path.c_str()) != 0) return errno;
  unlink(temporary.c_str());
  return 0;
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

void WriteRangeFile(int fd, const ByteRange& range, const void* password,
                    std::size_t passwordLength, const std::string& path, bool replace, bool inPlace,
                    mode_t mode, acbc_result* r) {
  if (inPlace) {
    int out = open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (out < 0) return Fail(r, ACBC_E_OUTPUT_OPEN, errno);
    CopyRange(fd, range, password, passwordLength, WriteFd, &out, r);
    if (close(out) != 0 && r->status == ACBC_OK) Fail(r, ACBC_E_WRITE, errno);
    return;
  }
  const std::string folder = DirectoryOf(path);
  std::string temporary = folder + "/." + BaseOf(path) + ".range-XXXXXX";
  int out = -1;
  {
    const SignalBlock block;  // created and unlinked as one step
    out = mkostemp(temporary.data(), O_CLOEXEC);
    if (out < 0) return Fail(r, ACBC_E_OUTPUT_OPEN, errno);
  }
  if (fchmod(out, mode) != 0) {
    Fail(r, ACBC_E_OUTPUT_OPEN, errno);
  } else {
    CopyRange(fd, range, password, passwordLength, WriteFd, &out, r);
  }
  if (r->status == ACBC_OK && fsync(out) != 0) Fail(r, ACBC_E_WRITE, errno);
  if (close(out) != 0 && r->status == ACBC_OK) Fail(r, ACBC_E_WRITE, errno);
  if (r->status == ACBC_OK) {
    const int error = Publish(temporary, path, replace);
    if (error == EEXIST) Fail(r, ACBC_E_OUTPUT_EXISTS, error);
    if (error != 0 && error != EEXIST) Fail(r, ACBC_E_WRITE, error);
    if (error == 0) {
      const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (dir >= 0) {
        fsync(dir);
        close(dir);
      }
      return;
    }
  }
  if (unlink(temporary.c_str()) != 0) r->warnings |= ACBC_WARN_TEMPORARY_LEFT;
}

}  // namespace pellfold::host
