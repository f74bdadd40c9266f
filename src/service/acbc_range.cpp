// Random access into an ACBC file (acbc_read_at) and the piecewise writer
// (acbc_writer_*). Every record is encrypted by itself, so plaintext byte o
// lives in body record o / 512 alone: a range costs only its own records.
#include <acbc.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "service/acbc_engine.h"
#include "service/acbc_output.h"
#include "util/wipe.h"

namespace pellfold::acbc {
namespace {

constexpr unsigned kReadAtFlags = ACBC_PASSWORD_CHECKED;
constexpr unsigned kWriterFlags = ACBC_REPLACE | ACBC_NO_SYNC;

// Reads up to `size` bytes at `offset`, through short reads; the bytes
// read, or -1 with ACBC_E_READ recorded.
std::int64_t PreadFull(int fd, std::uint8_t* buffer, std::size_t size, off_t offset,
                       acbc_result* r) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = pread(fd, buffer + got, size - got, offset + static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      Fail(r, ACBC_E_READ, errno);
      return -1;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  r->bytes_read += static_cast<std::int64_t>(got);
  return static_cast<std::int64_t>(got);
}

// Where the file begins on the descriptor and how many bytes follow, as the
// other descriptor calls take them.
acbc_status Measure(int fd, off_t* base, std::int64_t* size, acbc_result* r) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return Fail(r, ACBC_E_INPUT_OPEN, errno);
  if (S_ISDIR(st.st_mode)) return Fail(r, ACBC_E_INPUT_OPEN, EISDIR);
  if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return Fail(r, ACBC_E_INPUT_LENGTH, ESPIPE);
  *base = lseek(fd, 0, SEEK_CUR);
  if (*base < 0) return Fail(r, ACBC_E_INPUT_LENGTH, errno);
  off_t end = st.st_size;
  if (!S_ISREG(st.st_mode)) {
    end = lseek(fd, 0, SEEK_END);
    const int error = errno;
    if (lseek(fd, *base, SEEK_SET) < 0 || end < 0) {
      return Fail(r, ACBC_E_INPUT_LENGTH, end < 0 ? error : errno);
    }
  }
  *size = end > *base ? end - *base : 0;
  return ACBC_OK;
}

// Header, size verdict and (unless the caller did it) the password check.
acbc_status CheckRangeInput(int fd, off_t base, std::int64_t size, const CallKey& key,
                            unsigned flags, Layout* layout, acbc_result* r) {
  std::uint8_t header[kRecord] = {};
  const std::int64_t got = PreadFull(
      fd, header, static_cast<std::size_t>(std::min<std::int64_t>(size, kRecord)), base, r);
  if (got < 0) return r->status;
  *layout = Classify(header, got, size - got);
  if (!layout->haveLength) return Fail(r, ACBC_E_NOT_ACBC, 0);
  r->length = layout->length;
  if (layout->status != ACBC_OK) return Fail(r, ACBC_E_DAMAGED, 0);
  if (layout->trailingBytes > 0) r->warnings |= ACBC_WARN_TRAILING_DATA;
  if ((flags & ACBC_PASSWORD_CHECKED) != 0) return ACBC_OK;
  std::uint8_t last[kRecord];
  const off_t at = base + kRecord + static_cast<off_t>((layout->recordsExpected - 1) * kRecord);
  const std::int64_t read = PreadFull(fd, last, sizeof last, at, r);
  if (read < 0) return r->status;
  if (read < kRecord) return Fail(r, ACBC_E_INPUT_CHANGED, 0);
  const acbc_status status = CheckPadding(key, layout->length, last, r);
  return status == ACBC_OK ? ACBC_OK : Fail(r, status, 0);
}

// Decrypts records first .. last in chunks and copies plaintext bytes
// [offset, end) into `out`.
acbc_status ReadRange(int fd, off_t base, std::int64_t offset, std::int64_t end, const CallKey& key,
                      std::uint8_t* out, acbc_result* r, std::uint8_t* chunk) {
  const std::int64_t last = (end - 1) / kRecord;
  for (std::int64_t record = offset / kRecord; record <= last;) {
    const auto count = static_cast<std::size_t>(
        std::min<std::int64_t>(last - record + 1, static_cast<std::int64_t>(kChunkRecords)));
    const std::size_t bytes = count * kRecord;
    const std::int64_t start = record * kRecord;
    // Records wholly inside the range are read and decrypted where they
    // belong; the stack buffer takes those cut by either end.
    const bool inside = start >= offset && start + static_cast<std::int64_t>(bytes) <= end;
    std::uint8_t* into = inside ? out + (start - offset) : chunk;
    const std::int64_t got =
        PreadFull(fd, into, bytes, base + kRecord + static_cast<off_t>(start), r);
    if (got < 0) return r->status;
    if (static_cast<std::size_t>(got) < bytes) return Fail(r, ACBC_E_INPUT_CHANGED, 0);
    key.path->decrypt(&key.key, kAcbcVector, into, count);
    const std::int64_t from = std::max(offset, start);
    const std::int64_t to = std::min(end, start + static_cast<std::int64_t>(bytes));
    if (!inside) {
      std::memcpy(out + (from - offset), chunk + (from - start),
                  static_cast<std::size_t>(to - from));
    }
    r->bytes_written += to - from;
    record += static_cast<std::int64_t>(count);
  }
  return ACBC_OK;
}

acbc_status ReadAt(int fd, std::uint8_t* out, std::size_t size, std::int64_t offset,
                   const CallKey& key, unsigned flags, acbc_result* r) {
  off_t base = 0;
  std::int64_t fileSize = 0;
  acbc_status status = Measure(fd, &base, &fileSize, r);
  Layout layout;
  if (status == ACBC_OK) status = CheckRangeInput(fd, base, fileSize, key, flags, &layout, r);
  if (status != ACBC_OK || offset >= layout.length || size == 0) return status;
  const std::int64_t end = offset + static_cast<std::int64_t>(std::min<std::uint64_t>(
                                        size, static_cast<std::uint64_t>(layout.length - offset)));
  std::uint8_t chunk[kChunkSize];
  status = ReadRange(fd, base, offset, end, key, out, r, chunk);
  // Only the part of the chunk that held records, for small reads.
  const std::int64_t records = (end - 1) / kRecord - offset / kRecord + 1;
  SecureZero(chunk, static_cast<std::size_t>(std::min<std::int64_t>(
                        records * kRecord, static_cast<std::int64_t>(sizeof chunk))));
  return status;
}

// ---------------------------------------------------------------- writer

constexpr std::uint32_t kWriterOpen = 0x41574f31;  // "AWO1"

struct WriterState {
  std::uint32_t open;
  CallKey key;
  std::int64_t length;  // plaintext bytes taken
  std::int64_t next;    // file offset of the next record
  std::size_t fill;     // bytes in `partial`
  std::uint8_t partial[kRecord];
  OutputSlot output;
};

// The state at the first suitably aligned byte of the caller's memory.
WriterState* StateOf(acbc_writer* writer) {
  void* at = writer->opaque.bytes;
  std::size_t room = sizeof writer->opaque.bytes;
  return static_cast<WriterState*>(std::align(alignof(WriterState), sizeof(WriterState), at, room));
}
static_assert(sizeof(WriterState) + alignof(WriterState) <= ACBC_WRITER_SIZE);

WriterState* OpenState(acbc_writer* writer) {
  if (writer == nullptr) return nullptr;
  WriterState* state = StateOf(writer);
  return state != nullptr && state->open == kWriterOpen ? state : nullptr;
}

void EndWriter(WriterState* state, bool discard, acbc_result* r = nullptr) {
  if (discard) OutputDiscard(&state->output, r);
  Wipe(&state->key);
  SecureZero(state->partial, sizeof state->partial);
  state->open = 0;
}

// Encrypts whole records from the partial one and `data` into chunks and
// writes them; keeps what is left of a record.
acbc_status TakeBytes(WriterState* state, const std::uint8_t* data, std::size_t size,
                      acbc_result* r, std::uint8_t* chunk) {
  while (state->fill + size >= kRecord) {
    const std::size_t records = std::min(kChunkRecords, (state->fill + size) / kRecord);
    const std::size_t bytes = records * kRecord;
    std::memcpy(chunk, state->partial, state->fill);
    const std::size_t taken = bytes - state->fill;
    std::memcpy(chunk + state->fill, data, taken);
    state->fill = 0;
    data += taken;
    size -= taken;
    state->key.path->encrypt(&state->key.key, kAcbcVector, chunk, records);
    const acbc_status status = OutputWriteAt(&state->output, chunk, bytes, state->next, r);
    if (status != ACBC_OK) return status;
    state->next += static_cast<std::int64_t>(bytes);
  }
  if (size > 0) std::memcpy(state->partial + state->fill, data, size);
  state->fill += size;
  return ACBC_OK;
}

acbc_status Take(WriterState* state, const std::uint8_t* data, std::size_t size, acbc_result* r) {
  std::uint8_t chunk[kChunkSize];
  const acbc_status status = TakeBytes(state, data, size, r, chunk);
  SecureZero(chunk, sizeof chunk);
  return status;
}

// Writes the last record (what is left of the plaintext, zero-filled: all
// zeros for a length that is a multiple of 512) and then the header.
acbc_status WriteEnd(WriterState* state, acbc_result* r) {
  std::uint8_t last[kRecord] = {};
  std::memcpy(last, state->partial, state->fill);
  state->key.path->encrypt(&state->key.key, kAcbcVector, last, 1);
  std::uint8_t header[kRecord];
  AcbcFormatHeader(static_cast<std::int32_t>(state->length), header);
  const acbc_status status = OutputWriteAt(&state->output, last, sizeof last, state->next, r);
  return status == ACBC_OK ? OutputWriteAt(&state->output, header, sizeof header, 0, r) : status;
}

}  // namespace
}  // namespace pellfold::acbc

using namespace pellfold::acbc;

extern "C" {

ACBC_API acbc_status acbc_read_at(int fd, void* buffer, size_t size, int64_t offset,
                                  const void* password, size_t password_length, unsigned flags,
                                  acbc_result* result) {
  acbc_result r;
  ResetResult(&r);
  if ((buffer == nullptr && size > 0) || offset < 0 || !PasswordValid(password, password_length) ||
      !FlagsValid(flags, kReadAtFlags)) {
    return Finish(result, &r, ACBC_E_ARGUMENT);
  }
  DecryptionPasswordWarnings(password_length, &r);
  CallKey key;
  SetUpKey(password, password_length, &key);
  const acbc_status status =
      ReadAt(fd, static_cast<std::uint8_t*>(buffer), size, offset, key, flags, &r);
  Wipe(&key);
  return Finish(result, &r, status);
}

ACBC_API acbc_status acbc_writer_open(acbc_writer* writer, const char* output, const void* password,
                                      size_t password_length, unsigned flags, acbc_result* result) {
  acbc_result r;
  ResetResult(&r);
  WriterState* state = writer == nullptr ? nullptr : StateOf(writer);
  if (state != nullptr) state->open = 0;
  if (state == nullptr || output == nullptr || !PasswordValid(password, password_length) ||
      !FlagsValid(flags, kWriterFlags)) {
    return Finish(result, &r, ACBC_E_ARGUMENT);
  }
  if (EmptyKey(password, password_length)) return Finish(result, &r, ACBC_E_EMPTY_PASSWORD);
  EncryptionPasswordWarnings(password_length, &r);
  const acbc_status status = OutputBegin(&state->output, output, flags, &r);
  if (status != ACBC_OK) return Finish(result, &r, status);
  SetUpKey(password, password_length, &state->key);
  state->length = 0;
  state->next = kRecord;  // the header goes before, at commit
  state->fill = 0;
  state->open = kWriterOpen;
  r.length = 0;
  return Finish(result, &r, ACBC_OK);
}

ACBC_API acbc_status acbc_writer_write(acbc_writer* writer, const void* data, size_t size,
                                       acbc_result* result) {
  acbc_result r;
  ResetResult(&r);
  WriterState* state = OpenState(writer);
  if (state == nullptr || (data == nullptr && size > 0)) {
    return Finish(result, &r, ACBC_E_ARGUMENT);
  }
  acbc_status status = ACBC_OK;
  if (static_cast<std::uint64_t>(size) > static_cast<std::uint64_t>(kMaxLength - state->length)) {
    status = Fail(&r, ACBC_E_TOO_LARGE, 0);
  } else {
    status = Take(state, static_cast<const std::uint8_t*>(data), size, &r);
    state->length += static_cast<std::int64_t>(size);
  }
  r.length = state->length;
  r.bytes_written = state->next - kRecord;
  if (status != ACBC_OK) EndWriter(state, true, &r);
  return Finish(result, &r, status);
}

ACBC_API acbc_status acbc_writer_commit(acbc_writer* writer, acbc_result* result) {
  acbc_result r;
  ResetResult(&r);
  WriterState* state = OpenState(writer);
  if (state == nullptr) return Finish(result, &r, ACBC_E_ARGUMENT);
  acbc_status status = WriteEnd(state, &r);
  r.length = state->length;
  r.bytes_written = state->next + kRecord;
  if (status == ACBC_OK) {
    status = OutputCommit(&state->output, &r);
    EndWriter(state, false);
  } else {
    EndWriter(state, true, &r);
  }
  return Finish(result, &r, status);
}

ACBC_API void acbc_writer_discard(acbc_writer* writer) {
  WriterState* state = OpenState(writer);
  if (state != nullptr) EndWriter(state, true);
}

}  // extern "C"
