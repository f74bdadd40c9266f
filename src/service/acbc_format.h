// The ACBC file format and the file logic behind the two exports (the
// legacy FILE* path; libacbc's public calls are in include/acbc.h).
//
// An ACBC file is a 512-byte header record, "ACBC <L>" with L the plaintext
// length in decimal, NUL-terminated and zero-filled, followed by
// floor(L / 512) + 1 body records of 512 bytes. Body record k is plaintext
// bytes 512k .. 512k + 511, zero-filled past the end of the plaintext,
// encrypted with AESCbcEncrypt from the fixed vector kAcbcVector: every
// record chains only within itself. The key is the password's first 32
// bytes, zero-filled; there is no salt and no integrity check.
//
// These routines report failures as an AcbcStatus so that a host program can
// explain them and clean up; the exports turn any failure into the fatal
// exit. The record loops are libacbc's (service/acbc_engine.h) over stdio
// streams, so both libraries write identical files.
#pragma once

#include <cstdint>
#include <cstdio>

#include "aes/aes_record.h"

namespace pellfold {

constexpr int kAcbcRecordSize = 512;
// The narrow password lives in a buffer of this size, NUL included.
constexpr int kAcbcPasswordBufferSize = 512;
// Lengths travel as signed 32-bit values: inputs must be shorter than this.
constexpr std::int64_t kAcbcMaxLength = 0x7FFFFFFF;

// The fixed initialisation vector of every record: bytes 0x00, 0x01, ... 0x0F.
extern const std::uint8_t kAcbcVector[16];

enum class AcbcStatus {
  kOk,
  kInputOpen,      // the input could not be opened (errno tells why)
  kOutputOpen,     // the output could not be opened (errno tells why)
  kSameFile,       // the output names the input file
  kInputLength,    // the input's length cannot be taken (pipe, directory, seek failure)
  kInputTooLarge,  // the input has 2^31 bytes or more
  kBadFormat,      // not an ACBC file: wrong magic, or no usable length
  kRead,           // reading the input failed
  kWrite,          // writing, flushing or closing the output failed
};

// A short lower-case reason, e.g. "not an ACBC file".
const char* AcbcStatusText(AcbcStatus status);

// Optional progress report: called after every chunk of records (up to
// 64 KiB) with the number of input bytes consumed so far.
struct AcbcProgress {
  void (*report)(void* context, std::int64_t bytesDone);
  void* context;
};

// The key of one call: the password's key (its first 32 bytes, zero-filled)
// expanded once for the record path AESRecordPathSelect() names. Both
// libraries set it up here and wipe it with AcbcWipeKey when the call ends.
struct AcbcCallKey {
  const AESRecordPath* path;
  AESRecordKey key;
};
void AcbcSetUpKey(const std::uint8_t* password, std::int32_t passwordLength, AcbcCallKey* call);
void AcbcWipeKey(AcbcCallKey* call);

// Header record: writes "ACBC <length>" and zeros into record[0..511].
void AcbcFormatHeader(std::int32_t length, std::uint8_t* record);

// Reads the length from a header record. False when the first five bytes
// are not "ACBC " or when no decimal number in the signed 32-bit range
// follows (optional white space, optional sign, digits, all within the
// record). Never reads past record[511].
bool AcbcParseHeader(const std::uint8_t* record, std::int32_t* length);

// Stream level. `password` holds passwordLength bytes (only the first 32
// count). Neither routine opens or closes a stream.
//
// Writes the header for `length` and then one record per 512 input bytes
// until the input runs out, plus the final record (floor(L/512) + 1 records
// when the input holds L bytes). It never writes more than the
// floor(length/512) + 1 records the header promises, even when the input
// holds more or never ends, and reads no byte past the length-th: the last
// record is zero-filled from there even when the input grew meanwhile. An
// input that ends before `length` bytes is kRead, a negative length
// kInputLength. The key is expanded once per call; records
// go through the record path that AESRecordPathSelect() names, many per
// read and write; the header goes out in the first write with 127 records,
// so that later writes start at multiples of 64 KiB.
AcbcStatus AcbcEncryptStream(std::FILE* input, std::int32_t length, std::FILE* output,
                             const std::uint8_t* password, std::int32_t passwordLength,
                             const AcbcProgress* progress = nullptr);

// Reads and checks the header record: kBadFormat or kOk with *length set.
AcbcStatus AcbcReadHeader(std::FILE* input, std::int32_t* length);

// Decrypts the body records that follow the header and writes the first
// `length` plaintext bytes. Reads at most the floor(length/512) + 1 records
// that the length needs, so an input that never ends still ends the call. A
// negative length reads and writes nothing; a length larger than the body
// writes every decrypted byte; a short last record is decrypted zero-filled
// and gives min(remaining, bytes read) bytes.
AcbcStatus AcbcDecryptBody(std::FILE* input, std::int32_t length, std::FILE* output,
                           const std::uint8_t* password, std::int32_t passwordLength,
                           const AcbcProgress* progress = nullptr);

// The input's length, taken from its end position: kInputLength for a pipe,
// FIFO, socket or directory or when seeking fails, kInputTooLarge at 2^31
// bytes or more. A character device that seeks (/dev/null, /dev/zero) has
// length 0. Leaves the stream positioned at its start.
AcbcStatus AcbcInputLength(std::FILE* input, std::int32_t* length);

// True when the file at path exists and is the same file as the open stream
// (same device and inode).
bool AcbcSameFile(std::FILE* stream, const char* path);

// File level, in the order the exports use: open the input, refuse an
// output that is the input, open (create or truncate) the output, then work.
// A new output gets the input's mode & 0666, less the umask, so it is never
// more readable than the input; an existing one keeps its mode. Both streams
// are unbuffered: each chunk is one read and one write. A null path fails
// like a file that does not open. Both streams are closed on every path; a
// failed close of the output is a kWrite failure.
AcbcStatus AcbcEncryptFile(const char* inputPath, const char* outputPath,
                           const std::uint8_t* password, std::int32_t passwordLength);
AcbcStatus AcbcDecryptFile(const char* inputPath, const char* outputPath,
                           const std::uint8_t* password, std::int32_t passwordLength);

}  // namespace pellfold
