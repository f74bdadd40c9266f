#include "service/acbc_format.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "aes/aes.h"
#include "aes/aes_record.h"
#include "util/wipe.h"

namespace pellfold {

const std::uint8_t kAcbcVector[16] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                                      0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};

namespace {

constexpr char kMagic[] = "ACBC ";
constexpr std::size_t kMagicSize = 5;

bool IsScanSpace(std::uint8_t c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

void Report(const AcbcProgress* progress, std::int64_t bytesDone) {
  if (progress != nullptr && progress->report != nullptr) {
    progress->report(progress->context, bytesDone);
  }
}

// Closes both streams, input first, and folds a failed close of the output
// (a write error that surfaced only when the buffer was flushed) into the
// result, so that a full disk is never reported as success.
AcbcStatus Finish(std::FILE* input, std::FILE* output, AcbcStatus status) {
  std::fclose(input);
  if (std::fclose(output) != 0 && status == AcbcStatus::kOk) status = AcbcStatus::kWrite;
  return status;
}

}  // namespace

const char* AcbcStatusText(AcbcStatus status) {
  switch (status) {
    case AcbcStatus::kOk: return "success";
    case AcbcStatus::kInputOpen: return "cannot open input";
    case AcbcStatus::kOutputOpen: return "cannot open output";
    case AcbcStatus::kSameFile: return "output is the same file as input";
    case AcbcStatus::kInputLength: return "input length cannot be determined (not seekable)";
    case AcbcStatus::kInputTooLarge: return "input is 2 GiB or larger";
    case AcbcStatus::kBadFormat: return "not an ACBC file";
    case AcbcStatus::kRead: return "read error";
    case AcbcStatus::kWrite: return "write error";
  }
  return "unknown error";
}

void AcbcFormatHeader(std::int32_t length, std::uint8_t* record) {
  std::memset(record, 0, kAcbcRecordSize);
  std::snprintf(reinterpret_cast<char*>(record), kAcbcRecordSize, "ACBC %ld",
                static_cast<long>(length));
}

bool AcbcParseHeader(const std::uint8_t* record, std::int32_t* length) {
  if (std::memcmp(record, kMagic, kMagicSize) != 0) return false;
  // Accept what a formatted scan of "ACBC %ld" accepts, but stay inside the
  // record: a header need not contain a NUL at all.
  std::size_t i = kMagicSize;
  while (i < kAcbcRecordSize && IsScanSpace(record[i])) ++i;
  bool negative = false;
  if (i < kAcbcRecordSize && (record[i] == '-' || record[i] == '+')) {
    negative = record[i] == '-';
    ++i;
  }
  const std::size_t firstDigit = i;
  std::int64_t value = 0;
  while (i < kAcbcRecordSize && record[i] >= '0' && record[i] <= '9') {
    value = value * 10 + (record[i] - '0');
    if (value > kAcbcMaxLength + 1) return false;  // far outside the 32-bit range
    ++i;
  }
  if (i == firstDigit) return false;
  if (negative) value = -value;
  if (value > kAcbcMaxLength || value < -kAcbcMaxLength - 1) return false;
  *length = static_cast<std::int32_t>(value);
  return true;
}

void AcbcSetUpKey(const std::uint8_t* password, std::int32_t passwordLength, AcbcCallKey* call) {
  std::uint8_t raw[kAES256KeySize];
  AESPasswordKey(password, passwordLength, raw);
  call->path = AESRecordPathSelect();
  call->path->setKey(&call->key, raw);
  SecureZero(raw, sizeof raw);
}

void AcbcWipeKey(AcbcCallKey* call) {
  SecureZero(call, sizeof *call);
}

namespace {

// Records moved per read and write. The buffer lives on the calling
// thread's stack: the exports may run on several threads at once and the
// library allocates nothing, so a static buffer would need a lock and a
// heap one is ruled out. 64 KiB moves 128 records per system call, which
// already makes the per-call cost negligible beside the copying itself, and
// leaves plenty of room on a thread stack as small as 128 KiB. The header
// travels in the first chunk with 127 records, so that every write of an
// encryption covers whole 64 KiB at a 64 KiB offset of the output: whole
// pages at page-aligned offsets.
constexpr std::size_t kChunkRecords = 128;
constexpr std::size_t kChunkSize = kChunkRecords * kAcbcRecordSize;

// Encrypts the body after the header record that buffer[0..511] already
// holds, and writes header and records in chunks of up to 64 KiB.
AcbcStatus EncryptRecords(std::FILE* input, std::int32_t length, std::FILE* output,
                          const AcbcCallKey& call, std::uint8_t* buffer,
                          const AcbcProgress* progress) {
  // At most floor(L / 512) + 1 records, the count the header promises, even
  // when the input grows or never ends (a device such as /dev/zero); a
  // negative length sets no limit. Nor is a byte read past L: the last
  // record is zero-filled after the L-th byte even when the input has grown
  // meanwhile, so a file that changes while it is read still gives records
  // that decrypt to what the header promises.
  std::int64_t recordsLeft =
      length >= 0 ? length / kAcbcRecordSize + 1 : std::numeric_limits<std::int64_t>::max();
  std::int64_t bytesLeft = length >= 0 ? length : std::numeric_limits<std::int64_t>::max();
  // The end-of-file test comes before each read, and only a read that runs
  // out of data sets it. So an input whose length is a multiple of 512 (0
  // included) gets one more pass that reads nothing and writes the
  // encryption of 512 zeros: floor(L / 512) + 1 records, which is what every
  // reader of the format expects. A read that fills its whole request leaves
  // the indicator clear, so the record count does not depend on where the
  // chunks fall.
  std::size_t header = kAcbcRecordSize;
  std::int64_t done = 0;
  while (!std::feof(input) && recordsLeft > 0) {
    std::uint8_t* records = buffer + header;
    const std::size_t room = kChunkRecords - header / kAcbcRecordSize;
    const auto wanted = static_cast<std::size_t>(
        std::min<std::int64_t>(recordsLeft, static_cast<std::int64_t>(room)));
    const auto want = static_cast<std::size_t>(
        std::min<std::int64_t>(bytesLeft, static_cast<std::int64_t>(wanted * kAcbcRecordSize)));
    const std::size_t got = std::fread(records, 1, want, input);
    // A read short of whole records ends the input, failed, or reached L:
    // its last record, partial or empty, is zero-filled.
    const std::size_t count = got == wanted * kAcbcRecordSize ? wanted : got / kAcbcRecordSize + 1;
    std::memset(records + got, 0, count * kAcbcRecordSize - got);
    call.path->encrypt(&call.key, kAcbcVector, records, count);
    std::fwrite(buffer, 1, header + count * kAcbcRecordSize, output);
    if (std::ferror(output)) return AcbcStatus::kWrite;
    if (std::ferror(input)) return AcbcStatus::kRead;
    header = 0;
    recordsLeft -= static_cast<std::int64_t>(count);
    bytesLeft -= static_cast<std::int64_t>(got);
    done += static_cast<std::int64_t>(got);
    Report(progress, done);
  }
  // Only with no record to write at all: the header alone.
  if (header != 0) {
    std::fwrite(buffer, kAcbcRecordSize, 1, output);
    if (std::ferror(output)) return AcbcStatus::kWrite;
  }
  return AcbcStatus::kOk;
}

AcbcStatus DecryptRecords(std::FILE* input, std::int32_t length, std::FILE* output,
                          const AcbcCallKey& call, std::uint8_t* buffer,
                          const AcbcProgress* progress) {
  // remaining starts at the recorded length and drops by every record's byte
  // count while it is not negative; it cannot go below -512. Reading stops
  // after the floor(L / 512) + 1 records the length needs (none for a
  // negative length, which writes nothing): later records could only be
  // skipped, and an input that never ends (a FIFO fed for ever) must not
  // keep the call going.
  std::int32_t remaining = length;
  std::int64_t bytesLeft =
      length >= 0 ? (std::int64_t{length} / kAcbcRecordSize + 1) * kAcbcRecordSize : 0;
  std::int64_t done = 0;
  while (!std::feof(input) && bytesLeft > 0) {
    const auto want =
        static_cast<std::size_t>(std::min<std::int64_t>(bytesLeft, std::int64_t{kChunkSize}));
    const std::size_t got = std::fread(buffer, 1, want, input);
    bytesLeft -= static_cast<std::int64_t>(got);
    const bool active = remaining >= 0;
    // Only the chunk's last record can be short: a short read ends the
    // input or failed. The bytes each record gives form one run from the
    // chunk's start, since remaining only drops and every earlier record is
    // whole.
    std::size_t keep = 0;
    std::size_t used = 0;
    for (std::size_t at = 0; at < got && remaining >= 0; at += kAcbcRecordSize, ++used) {
      const auto count =
          static_cast<std::int32_t>(std::min<std::size_t>(kAcbcRecordSize, got - at));
      keep += static_cast<std::size_t>(remaining < count ? remaining : count);
      remaining -= count;
    }
    if (used > 0) {
      // A short last record is decrypted with zeros after its bytes.
      const std::size_t end = used * kAcbcRecordSize;
      if (got < end) std::memset(buffer + got, 0, end - got);
      call.path->decrypt(&call.key, kAcbcVector, buffer, used);
      if (keep > 0) std::fwrite(buffer, keep, 1, output);
    }
    if (active && std::ferror(output)) return AcbcStatus::kWrite;
    // Checked on every pass, also while skipping: a read error does not set
    // the end-of-file indicator, so skipping it would loop for ever.
    if (std::ferror(input)) return AcbcStatus::kRead;
    done += static_cast<std::int64_t>(got);
    Report(progress, done);
  }
  return AcbcStatus::kOk;
}

}  // namespace

AcbcStatus AcbcEncryptStream(std::FILE* input, std::int32_t length, std::FILE* output,
                             const std::uint8_t* password, std::int32_t passwordLength,
                             const AcbcProgress* progress) {
  std::uint8_t buffer[kChunkSize];
  AcbcFormatHeader(length, buffer);
  AcbcCallKey call;
  AcbcSetUpKey(password, passwordLength, &call);
  const AcbcStatus status = EncryptRecords(input, length, output, call, buffer, progress);
  AcbcWipeKey(&call);
  SecureZero(buffer, sizeof buffer);
  return status;
}

AcbcStatus AcbcReadHeader(std::FILE* input, std::int32_t* length) {
  std::uint8_t record[kAcbcRecordSize] = {};
  // A short header stays zero-filled, and the parse below refuses it.
  static_cast<void>(std::fread(record, 1, kAcbcRecordSize, input));
  if (!AcbcParseHeader(record, length)) return AcbcStatus::kBadFormat;
  if (std::ferror(input)) return AcbcStatus::kRead;
  return AcbcStatus::kOk;
}

AcbcStatus AcbcDecryptBody(std::FILE* input, std::int32_t length, std::FILE* output,
                           const std::uint8_t* password, std::int32_t passwordLength,
                           const AcbcProgress* progress) {
  std::uint8_t buffer[kChunkSize];
  AcbcCallKey call;
  AcbcSetUpKey(password, passwordLength, &call);
  const AcbcStatus status = DecryptRecords(input, length, output, call, buffer, progress);
  AcbcWipeKey(&call);
  SecureZero(buffer, sizeof buffer);
  return status;
}

AcbcStatus AcbcInputLength(std::FILE* input, std::int32_t* length) {
  // Any input whose end position can be taken has a length: a regular file,
  // a block device, or a character device that seeks (/dev/null gives 0,
  // and so does /dev/zero, whose reading the record limit then bounds). A
  // pipe, FIFO or socket cannot seek; a directory seeks but holds no data.
  struct stat st {};
  if (fstat(fileno(input), &st) != 0 || S_ISDIR(st.st_mode) || S_ISFIFO(st.st_mode) ||
      S_ISSOCK(st.st_mode)) {
    return AcbcStatus::kInputLength;
  }
  if (fseeko(input, 0, SEEK_END) != 0) return AcbcStatus::kInputLength;
  const off_t end = ftello(input);
  if (end < 0 || fseeko(input, 0, SEEK_SET) != 0) return AcbcStatus::kInputLength;
  if (end > kAcbcMaxLength) return AcbcStatus::kInputTooLarge;
  *length = static_cast<std::int32_t>(end);
  return AcbcStatus::kOk;
}

bool AcbcSameFile(std::FILE* stream, const char* path) {
  struct stat opened {
  }, named{};
  return fstat(fileno(stream), &opened) == 0 && stat(path, &named) == 0 &&
         opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

namespace {

// Opens (creates or truncates) the output as fopen(path, "wb") does, but a
// new file gets no more permission to be read or written than the input
// has: its mode is the input's & 0666, less the umask. An existing output
// keeps its mode. Null when it does not open (errno tells why).
std::FILE* OpenOutput(std::FILE* input, const char* path) {
  struct stat st {};
  const mode_t mode = fstat(fileno(input), &st) == 0 ? (st.st_mode & 0666) : 0600;
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return nullptr;
  std::FILE* output = fdopen(fd, "wb");
  if (output == nullptr) close(fd);
  return output;
}

// The file level moves whole chunks itself, so neither stream buffers:
// every chunk is one read and one write, none split by a stdio buffer, and
// the encryption's writes stay on page boundaries. Set before any other
// operation on the stream.
void Unbuffered(std::FILE* stream) {
  std::setvbuf(stream, nullptr, _IONBF, 0);
}

}  // namespace

AcbcStatus AcbcEncryptFile(const char* inputPath, const char* outputPath,
                           const std::uint8_t* password, std::int32_t passwordLength) {
  std::FILE* input = inputPath != nullptr ? std::fopen(inputPath, "rb") : nullptr;
  if (input == nullptr) return AcbcStatus::kInputOpen;
  Unbuffered(input);
  // The length is taken before the output is touched, so an input that has
  // none (or one too large to record) never costs the output its contents.
  std::int32_t length = 0;
  AcbcStatus status = AcbcInputLength(input, &length);
  if (status == AcbcStatus::kOk && outputPath != nullptr && AcbcSameFile(input, outputPath)) {
    status = AcbcStatus::kSameFile;
  }
  if (status != AcbcStatus::kOk) {
    std::fclose(input);
    return status;
  }
  std::FILE* output = outputPath != nullptr ? OpenOutput(input, outputPath) : nullptr;
  if (output == nullptr) {
    std::fclose(input);
    return AcbcStatus::kOutputOpen;
  }
  Unbuffered(output);
  status = AcbcEncryptStream(input, length, output, password, passwordLength);
  return Finish(input, output, status);
}

AcbcStatus AcbcDecryptFile(const char* inputPath, const char* outputPath,
                           const std::uint8_t* password, std::int32_t passwordLength) {
  std::FILE* input = inputPath != nullptr ? std::fopen(inputPath, "rb") : nullptr;
  if (input == nullptr) return AcbcStatus::kInputOpen;
  Unbuffered(input);
  if (outputPath != nullptr && AcbcSameFile(input, outputPath)) {
    std::fclose(input);
    return AcbcStatus::kSameFile;
  }
  std::FILE* output = outputPath != nullptr ? OpenOutput(input, outputPath) : nullptr;
  if (output == nullptr) {
    std::fclose(input);
    return AcbcStatus::kOutputOpen;
  }
  Unbuffered(output);
  // The output is created before the header is looked at, and callers rely
  // on it: a file that is not ACBC leaves an empty output behind.
  std::int32_t length = 0;
  AcbcStatus status = AcbcReadHeader(input, &length);
  if (status == AcbcStatus::kOk) {
    status = AcbcDecryptBody(input, length, output, password, passwordLength);
  }
  return Finish(input, output, status);
}

}  // namespace pellfold
