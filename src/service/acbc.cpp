#include "service/acbc.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cstring>

#include "aes/aes.h"

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
    case AcbcStatus::kInputLength: return "input length cannot be determined (not a regular file)";
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

AcbcStatus AcbcEncryptStream(std::FILE* input, std::int32_t length, std::FILE* output,
                             const std::uint8_t* password, std::int32_t passwordLength,
                             const AcbcProgress* progress) {
  std::uint8_t record[kAcbcRecordSize];
  AcbcFormatHeader(length, record);
  std::fwrite(record, kAcbcRecordSize, 1, output);
  if (std::ferror(output)) return AcbcStatus::kWrite;

  // The end-of-file test comes before each read, and only a read that runs
  // out of data sets it. So an input whose length is a multiple of 512 (0
  // included) gets one more pass that reads nothing and writes the
  // encryption of 512 zeros: floor(L / 512) + 1 records, which is what every
  // reader of the format expects.
  std::int64_t done = 0;
  while (!std::feof(input)) {
    std::memset(record, 0, kAcbcRecordSize);
    const std::size_t got = std::fread(record, 1, kAcbcRecordSize, input);
    AESCbcEncrypt(record, kAcbcRecordSize, password, passwordLength, kAcbcVector);
    std::fwrite(record, kAcbcRecordSize, 1, output);
    if (std::ferror(output)) return AcbcStatus::kWrite;
    if (std::ferror(input)) return AcbcStatus::kRead;
    done += static_cast<std::int64_t>(got);
    Report(progress, done);
  }
  return AcbcStatus::kOk;
}

AcbcStatus AcbcReadHeader(std::FILE* input, std::int32_t* length) {
  std::uint8_t record[kAcbcRecordSize] = {};
  std::fread(record, 1, kAcbcRecordSize, input);
  if (!AcbcParseHeader(record, length)) return AcbcStatus::kBadFormat;
  if (std::ferror(input)) return AcbcStatus::kRead;
  return AcbcStatus::kOk;
}

AcbcStatus AcbcDecryptBody(std::FILE* input, std::int32_t length, std::FILE* output,
                           const std::uint8_t* password, std::int32_t passwordLength,
                           const AcbcProgress* progress) {
  std::uint8_t record[kAcbcRecordSize];
  // remaining starts at the recorded length and drops by every record's byte
  // count while it is not negative; it cannot go below -512.
  std::int32_t remaining = length;
  std::int64_t done = 0;
  while (!std::feof(input)) {
    std::memset(record, 0, kAcbcRecordSize);
    const std::size_t got = std::fread(record, 1, kAcbcRecordSize, input);
    const auto count = static_cast<std::int32_t>(got);
    if (remaining >= 0) {
      // A short last record is decrypted with zeros after its bytes.
      AESCbcDecrypt(record, kAcbcRecordSize, password, passwordLength, kAcbcVector);
      const std::int32_t keep = remaining < count ? remaining : count;
      if (keep > 0) std::fwrite(record, static_cast<std::size_t>(keep), 1, output);
      remaining -= count;
      if (std::ferror(output)) return AcbcStatus::kWrite;
    }
    // Checked on every pass, also while skipping: a read error does not set
    // the end-of-file indicator, so skipping it would loop for ever.
    if (std::ferror(input)) return AcbcStatus::kRead;
    done += count;
    Report(progress, done);
  }
  return AcbcStatus::kOk;
}

AcbcStatus AcbcInputLength(std::FILE* input, std::int32_t* length) {
  // Only a regular file or a block device has a length that its end
  // position tells; a pipe cannot seek, and a character device such as
  // /dev/zero seeks to 0 and then never ends.
  struct stat st {};
  if (fstat(fileno(input), &st) != 0 || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))) {
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

AcbcStatus AcbcEncryptFile(const char* inputPath, const char* outputPath,
                           const std::uint8_t* password, std::int32_t passwordLength) {
  std::FILE* input = inputPath != nullptr ? std::fopen(inputPath, "rb") : nullptr;
  if (input == nullptr) return AcbcStatus::kInputOpen;
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
  std::FILE* output = outputPath != nullptr ? std::fopen(outputPath, "wb") : nullptr;
  if (output == nullptr) {
    std::fclose(input);
    return AcbcStatus::kOutputOpen;
  }
  status = AcbcEncryptStream(input, length, output, password, passwordLength);
  return Finish(input, output, status);
}

AcbcStatus AcbcDecryptFile(const char* inputPath, const char* outputPath,
                           const std::uint8_t* password, std::int32_t passwordLength) {
  std::FILE* input = inputPath != nullptr ? std::fopen(inputPath, "rb") : nullptr;
  if (input == nullptr) return AcbcStatus::kInputOpen;
  if (outputPath != nullptr && AcbcSameFile(input, outputPath)) {
    std::fclose(input);
    return AcbcStatus::kSameFile;
  }
  std::FILE* output = outputPath != nullptr ? std::fopen(outputPath, "wb") : nullptr;
  if (output == nullptr) {
    std::fclose(input);
    return AcbcStatus::kOutputOpen;
  }
  // The output is created before the header is looked at, as callers of the
  // original expect: a file that is not ACBC leaves an empty output behind.
  std::int32_t length = 0;
  AcbcStatus status = AcbcReadHeader(input, &length);
  if (status == AcbcStatus::kOk) {
    status = AcbcDecryptBody(input, length, output, password, passwordLength);
  }
  return Finish(input, output, status);
}

}  // namespace pellfold
