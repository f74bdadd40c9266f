// ACBC encryption of a plaintext whose length is known only at its end (a
// pipe): the header, which records the length, comes first in the file, so
// the records are written after the header's place and the header last, or,
// for an output that is written in order, kept aside until the end.
#include "service/acbc_unsized.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "service/acbc_format.h"
#include "service/acbc_io.h"
#include "util/wipe.h"

namespace pellfold::acbc {
namespace {

acbc_status PutAt(int fd, const std::uint8_t* data, std::size_t size, off_t at, acbc_result* r) {
  while (size > 0) {
    const ssize_t put = pwrite(fd, data, size, at);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return Fail(r, ACBC_E_WRITE, put < 0 ? errno : EIO);
    data += put;
    size -= static_cast<std::size_t>(put);
    at += put;
  }
  return ACBC_OK;
}

// An unnamed file in $TMPDIR (or /tmp) for the records kept aside; one
// that has a name for a moment where the file system has no unnamed files,
// created and removed with the terminating signals held back.
int OpenAside(int* error) {
  const char* folder = std::getenv("TMPDIR");
  if (folder == nullptr || folder[0] != '/') folder = "/tmp";
  int fd = open(folder, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  char path[4096];
  if (std::snprintf(path, sizeof path, "%s/.acbc-aside-XXXXXX", folder) >= 0) {
    sigset_t all{};
    sigset_t before{};
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    fd = mkostemp(path, O_CLOEXEC);
    if (fd >= 0) unlink(path);
    *error = errno;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
  }
  if (fd < 0) *error = *error != 0 ? *error : EIO;
  return fd;
}

}  // namespace

acbc_status EncryptUnsized(Reader reader, const CallKey& key, int fd, off_t base,
                           const Progress& report, acbc_result* r) {
  std::uint8_t chunk[kChunkSize];
  std::int64_t length = 0;
  off_t next = base + kRecord;  // the header goes before, at the end
  acbc_status status = ACBC_OK;
  for (;;) {
    const std::int64_t got = ReadFull(reader, chunk, sizeof chunk, r);
    if (got < 0) {
      status = r->status;
      break;
    }
    if (got > kMaxLength - length) {
      status = Fail(r, ACBC_E_TOO_LARGE, 0);
      break;
    }
    length += got;
    // A full chunk is all records; the last one ends with the record that
    // holds the plaintext's end, zero-filled (all zeros for a length that
    // is a multiple of 512).
    const bool last = got < static_cast<std::int64_t>(sizeof chunk);
    const auto bytes = static_cast<std::size_t>(last ? (got / kRecord + 1) * kRecord : got);
    std::memset(chunk + got, 0, bytes - static_cast<std::size_t>(got));
    key.path->encrypt(&key.key, kAcbcVector, chunk, bytes / kRecord);
    status = PutAt(fd, chunk, bytes, next, r);
    if (status != ACBC_OK) break;
    next += static_cast<off_t>(bytes);
    r->bytes_written += static_cast<std::int64_t>(bytes);
    if (Report(report, length) != ACBC_OK) {
      status = Fail(r, ACBC_E_CANCELLED, 0);
      break;
    }
    if (last) break;
  }
  SecureZero(chunk, sizeof chunk);
  if (status != ACBC_OK) return status;
  std::uint8_t header[kRecord];
  AcbcFormatHeader(static_cast<std::int32_t>(length), header);
  status = PutAt(fd, header, sizeof header, base, r);
  if (status == ACBC_OK) r->bytes_written += kRecord;
  r->length = length;
  return status;
}

acbc_status EncryptUnsizedTo(Reader reader, const CallKey& key, Writer writer,
                             const Progress& report, acbc_result* r) {
  int error = 0;
  const int aside = OpenAside(&error);
  if (aside < 0) return Fail(r, ACBC_E_WRITE, error);
  acbc_status status = EncryptUnsized(reader, key, aside, 0, report, r);
  const std::int64_t total = r->bytes_written;
  r->bytes_written = 0;
  std::uint8_t chunk[kChunkSize];
  for (std::int64_t at = 0; status == ACBC_OK && at < total;) {
    const ssize_t got = pread(aside, chunk, sizeof chunk, static_cast<off_t>(at));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      status = Fail(r, ACBC_E_WRITE, got < 0 ? errno : EIO);
      break;
    }
    status = WriteAll(writer, chunk, static_cast<std::size_t>(got), r);
    at += got;
  }
  close(aside);
  return status;
}

}  // namespace pellfold::acbc
