#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstring>

#include "aes/aes.h"
#include "aes/aes_record.h"
#include "service/acbc_engine.h"
#include "service/acbc_format.h"
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

// The record passes run over stdio streams: a read returns what fread gives
// and -1 once the stream has failed, a write succeeds only whole. Each pass
// moves one chunk per call, so an unbuffered stream makes one system call
// per chunk.
std::ptrdiff_t ReadStream(void* context, void* buffer, std::size_t size) {
  auto* stream = static_cast<std::FILE*>(context);
  if (std::ferror(stream)) return -1;
  const std::size_t got = std::fread(buffer, 1, size, stream);
  if (got == 0 && std::ferror(stream)) return -1;
  return static_cast<std::ptrdiff_t>(got);
}

int WriteStream(void* context, const void* buffer, std::size_t size) {
  auto* stream = static_cast<std::FILE*>(context);
  return std::fwrite(buffer, 1, size, stream) == size && !std::ferror(stream) ? 0 : -1;
}

// The caller's progress report, behind the pass's callback (which never
// asks to stop here).
int ReportProgress(void* context, std::int64_t done, std::int64_t /*total*/) {
  const auto* progress = static_cast<AcbcProgress*>(context);
  if (progress->report != nullptr) progress->report(progress->context, done);
  return 0;
}

// A pass's status as the streams saw it: an input that ends before the
// length it had is a failed read.
AcbcStatus StreamStatus(acbc_status status) {
  switch (status) {
    case ACBC_OK: return AcbcStatus::kOk;
    case ACBC_E_WRITE: return AcbcStatus::kWrite;
    default: return AcbcStatus::kRead;
  }
}

// One pass over the streams: the caller's progress behind the pass's
// callback, the pass's result and the call's key, wiped by EndPass.
struct StreamPass {
  AcbcProgress caller;
  acbc_progress report;
  acbc::Progress progress;
  acbc_result result;
  AcbcCallKey key;
};

void BeginPass(std::int64_t total, const std::uint8_t* password, std::int32_t passwordLength,
               const AcbcProgress* progress, StreamPass* pass) {
  pass->caller = progress != nullptr ? *progress : AcbcProgress{nullptr, nullptr};
  pass->report = acbc_progress{ReportProgress, &pass->caller};
  pass->progress = acbc::Progress{progress != nullptr ? &pass->report : nullptr, total};
  acbc::ResetResult(&pass->result);
  AcbcSetUpKey(password, passwordLength, &pass->key);
}

AcbcStatus EndPass(StreamPass* pass, acbc_status status) {
  AcbcWipeKey(&pass->key);
  return StreamStatus(status);
}

}  // namespace

AcbcStatus AcbcEncryptStream(std::FILE* input, std::int32_t length, std::FILE* output,
                             const std::uint8_t* password, std::int32_t passwordLength,
                             const AcbcProgress* progress) {
  if (length < 0) return AcbcStatus::kInputLength;
  StreamPass pass;
  BeginPass(length, password, passwordLength, progress, &pass);
  const acbc_status status =
      acbc::EncryptPass(acbc::Reader{ReadStream, input}, length, false,
                        acbc::Writer{WriteStream, output}, pass.key, pass.progress, &pass.result);
  return EndPass(&pass, status);
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
  // The records the length needs, or what there is of them: a short body
  // gives the bytes its records decrypt to.
  acbc::BodyPlan plan;
  plan.length = length;
  plan.readBytes = length >= 0 ? (std::int64_t{length} / kAcbcRecordSize + 1) * kAcbcRecordSize : 0;
  plan.salvage = true;
  StreamPass pass;
  BeginPass(plan.readBytes, password, passwordLength, progress, &pass);
  const acbc_status status =
      acbc::DecryptPass(acbc::Reader{ReadStream, input}, plan, acbc::Writer{WriteStream, output},
                        pass.key, pass.progress, &pass.result);
  return EndPass(&pass, status);
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
