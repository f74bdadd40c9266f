#include "piped.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "files.h"
#include "signals.h"

namespace pellfold::host {
namespace {

// Plaintext is taken in whole records, so that each chunk but the last
// encrypts to records that do not depend on what follows.
constexpr std::size_t kChunk = 1 << 20;
static_assert(kChunk % ACBC_RECORD_SIZE == 0);

// A buffer that is wiped when done: it holds plaintext.
struct PlainBuffer {
  std::vector<unsigned char> bytes = std::vector<unsigned char>(kChunk);
  ~PlainBuffer() { explicit_bzero(bytes.data(), bytes.size()); }
};

void Fail(acbc_result* r, acbc_status status, int error) {
  r->status = status;
  r->error_number = error;
}

// Fills `buffer` with the next kChunk bytes of `fd`: the bytes read, fewer
// only at the input's end; -1 with `r` filled on a read error or a signal.
std::ptrdiff_t Fill(int fd, unsigned char* buffer, acbc_result* r) {
  std::size_t have = 0;
  while (have < kChunk) {
    if (AwaitInput(fd) != 0) {
      Fail(r, ACBC_E_CANCELLED, 0);
      return -1;
    }
    const ssize_t got = read(fd, buffer + have, kChunk - have);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got < 0) {
      Fail(r, ACBC_E_READ, errno);
      return -1;
    }
    if (got == 0) break;
    have += static_cast<std::size_t>(got);
  }
  r->bytes_read += static_cast<std::int64_t>(have);
  return static_cast<std::ptrdiff_t>(have);
}

}  // namespace

void EncryptPipedToFile(int fd, const std::string& path, const void* password,
                        std::size_t passwordLength, unsigned flags, acbc_result* r) {
  acbc_writer writer;
  if (acbc_writer_open(&writer, path.c_str(), password, passwordLength, flags, r) != ACBC_OK) {
    return;
  }
  const unsigned warnings = r->warnings;
  PlainBuffer plain;
  std::int64_t read = 0;
  for (;;) {
    acbc_result taken{};
    const std::ptrdiff_t got = Fill(fd, plain.bytes.data(), &taken);
    if (got < 0) {
      acbc_writer_discard(&writer);
      *r = taken;
      return;
    }
    read += got;
    if (acbc_writer_write(&writer, plain.bytes.data(), static_cast<std::size_t>(got), r) !=
        ACBC_OK) {
      acbc_writer_discard(&writer);
      return;
    }
    if (static_cast<std::size_t>(got) < kChunk) break;
  }
  acbc_writer_commit(&writer, r);
  r->warnings |= warnings;
  r->bytes_read = read;
}

void EncryptPipedAside(int fd, const void* password, std::size_t passwordLength,
                       acbc_write_fn write, void* context, acbc_result* r) {
  *r = acbc_result{};
  const int aside = OpenPrivateTempFile();
  PlainBuffer plain;
  std::vector<unsigned char> sealed(static_cast<std::size_t>(acbc_encrypted_size(kChunk)));
  std::int64_t length = 0;
  std::int64_t records = 0;
  unsigned warnings = 0;
  const auto fail = [&](acbc_status status, int error) {
    close(aside);
    Fail(r, status, error);
  };
  for (;;) {
    const std::ptrdiff_t got = Fill(fd, plain.bytes.data(), r);
    if (got < 0) {
      close(aside);
      return;
    }
    if (length + got > ACBC_MAX_LENGTH) return fail(ACBC_E_TOO_LARGE, 0);
    const auto taken = static_cast<std::size_t>(got);
    acbc_result step{};
    if (acbc_encrypt_buffer(plain.bytes.data(), taken, sealed.data(), sealed.size(), password,
                            static_cast<std::size_t>(passwordLength), &step) != ACBC_OK) {
      close(aside);
      *r = step;
      return;
    }
    warnings = step.warnings;
    length += got;
    // The records after the header; a full chunk leaves out its last one,
    // which is only padding while more plaintext may follow.
    const bool last = taken < kChunk;
    const std::size_t count = taken / ACBC_RECORD_SIZE + (last ? 1 : 0);
    const std::size_t bytes = count * ACBC_RECORD_SIZE;
    for (std::size_t at = 0; at < bytes;) {
      const ssize_t put =
          pwrite(aside, sealed.data() + ACBC_HEADER_SIZE + at, bytes - at,
                 static_cast<off_t>(records * ACBC_RECORD_SIZE) + static_cast<off_t>(at));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) {
        const int error = put < 0 ? errno : EIO;
        close(aside);
        throw TemporaryFailure(error);
      }
      at += static_cast<std::size_t>(put);
    }
    records += static_cast<std::int64_t>(count);
    if (last) break;
  }
  // The whole file to `write`: the header, then the records.
  char header[ACBC_HEADER_SIZE] = {};
  std::snprintf(header, sizeof header, "ACBC %lld", static_cast<long long>(length));
  r->length = length;
  r->warnings = warnings;
  if (write(context, header, sizeof header) != 0) return fail(ACBC_E_WRITE, errno);
  r->bytes_written = ACBC_HEADER_SIZE;
  const std::int64_t total = records * ACBC_RECORD_SIZE;
  for (std::int64_t at = 0; at < total;) {
    const std::int64_t left = total - at;
    const std::size_t want = left < static_cast<std::int64_t>(sealed.size())
                                 ? static_cast<std::size_t>(left)
                                 : sealed.size();
    const ssize_t got = pread(aside, sealed.data(), want, static_cast<off_t>(at));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      const int error = got < 0 ? errno : EIO;
      close(aside);
      throw TemporaryFailure(error);
    }
    if (write(context, sealed.data(), static_cast<std::size_t>(got)) != 0) {
      return fail(ACBC_E_WRITE, errno);
    }
    at += got;
    r->bytes_written += got;
  }
  close(aside);
}

}  // namespace pellfold::host
