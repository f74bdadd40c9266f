// Byte-oriented AES (FIPS-197) and the buffer chaining routines built on it.
//
// This cipher defines the bytes of the ACBC file format. It works one byte at a
// time over a 16-byte state and six constant 256-byte tables, so it needs no
// alignment and gives the same bytes on any host byte order. Its table
// lookups are indexed by key and data, so their timing depends on both: it
// is a component with interfaces of its own and the reference the record
// paths (aes_record.h) are checked against, not the cipher of the file
// path, which goes through the constant-time record paths. The block
// routines are general in the key length; the chaining routines always use
// AES-256 (Nk = 8, Nr = 14).
#pragma once

#include <cstdint>

namespace pellfold {

constexpr int kAESBlockSize = 16;
constexpr int kAES256KeySize = 32;
// Schedule bytes for a key of Nk words: 4 * (Nk + 7) words of 4 bytes.
constexpr int AESScheduleSize(int nk) {
  return 16 * (nk + 7);
}
constexpr int kAES256ScheduleSize = AESScheduleSize(8);  // 240

// The constant tables, in initialised data, never written.
// AESRcon[i] is {02}^(i-1) for 1 <= i <= 254 (period 51), AESRcon[0] = 0x8d
// and AESRcon[255] = 0; AESMulN[i] is the GF(2^8) product {0N} * i.
extern const std::uint8_t AESRcon[256];
extern const std::uint8_t AESSBox[256];
extern const std::uint8_t AESInvSBox[256];
extern const std::uint8_t AESMul2[256];
extern const std::uint8_t AESMul4[256];
extern const std::uint8_t AESMul8[256];

// Expands a key of 4*nk bytes (nk = 4, 6 or 8) into schedule, which must
// hold AESScheduleSize(nk) bytes. Round key r is schedule[16r .. 16r+15].
// One schedule serves both AESCipher and AESInvCipher.
void AESKeyExpansion(const std::uint8_t* key, std::uint8_t* schedule, std::int32_t nk);

// Encrypt / decrypt one 16-byte block with a schedule from AESKeyExpansion;
// nr must be nk + 6. input and output may be the same array: the output is
// written only after the whole input has been read.
void AESCipher(const std::uint8_t* input, std::uint8_t* output, const std::uint8_t* schedule,
               std::int32_t nr);
void AESInvCipher(const std::uint8_t* input, std::uint8_t* output, const std::uint8_t* schedule,
                  std::int32_t nr);

// The library's one rule from password to key: key[0..31] gets the first
// min(passwordLength, 32) password bytes, zero-filled to 32. A negative
// length copies nothing (an empty password).
void AESPasswordKey(const std::uint8_t* password, std::int32_t passwordLength, std::uint8_t* key);

// Buffer routines. Each call builds the AES-256 key from the password (its
// first min(passwordLength, 32) bytes, zero-filled to 32; no hashing), expands
// it, transforms the buffer in place and wipes the key and schedule.
//
// The buffer is processed in whole blocks: ceil(length / 16) of them, so when
// length is not a multiple of 16 the bytes up to the next multiple of 16 are
// read and rewritten too, and the caller must own them. No padding is added
// or removed.
//
// Results: 0 when buffer, password or (CBC only) vector is null, with nothing
// touched; 1 otherwise, also when length <= 0 and nothing was transformed.
// The 16-byte vector is only read; every call starts its chain from it.
// A negative passwordLength counts as 0 (an empty password).
std::int32_t AESCbcEncrypt(std::uint8_t* buffer, std::int32_t length, const std::uint8_t* password,
                           std::int32_t passwordLength, const std::uint8_t* vector);
std::int32_t AESCbcDecrypt(std::uint8_t* buffer, std::int32_t length, const std::uint8_t* password,
                           std::int32_t passwordLength, const std::uint8_t* vector);
std::int32_t AESEcbEncrypt(std::uint8_t* buffer, std::int32_t length, const std::uint8_t* password,
                           std::int32_t passwordLength);
std::int32_t AESEcbDecrypt(std::uint8_t* buffer, std::int32_t length, const std::uint8_t* password,
                           std::int32_t passwordLength);

}  // namespace pellfold
