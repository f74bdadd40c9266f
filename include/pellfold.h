/*
 * pellfold.h - password-based AES-256 file encryption (ACBC files).
 *
 * The library exports exactly two functions. Each takes three NUL-terminated
 * UTF-16 strings: the input file's path, the output file's path and the
 * password. Every string is converted to UTF-8 (whatever the process locale;
 * an unpaired surrogate becomes U+FFFD) before use.
 *
 * ACBC format: a 512-byte header record holding the text "ACBC <L>" (L, the
 * plaintext length in decimal, then a NUL and zero bytes), followed by
 * floor(L / 512) + 1 records of 512 bytes. Record k is plaintext bytes
 * 512k .. 512k + 511, zero-filled past the end, encrypted by itself with
 * AES-256-CBC (no padding) from the fixed initialisation vector
 * 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f. The key is the first 32
 * bytes of the UTF-8 password, zero-filled to 32 bytes: no salt, no key
 * derivation and no integrity check, so a wrong password yields garbage,
 * not an error. Plaintexts must be shorter than 2^31 bytes.
 *
 * Failure is fatal: a failing call does not return. It flushes all stdio
 * output streams and ends the process at once with exit status 1 (without
 * running atexit handlers). Failures: a null argument (before any file is
 * touched), an input that does not open, an output that does not open, an
 * output that is the input file, an input whose length cannot be taken or
 * is 2^31 bytes or more (AESEncypt), an input that is not an ACBC file
 * (AESDecrypt prints "error: wrong input file format\n" on standard output),
 * and any read or write error, including one seen only when the output is
 * closed.
 *
 * Calls keep no state and may run on several threads at once on distinct
 * files.
 */
#ifndef PELLFOLD_H
#define PELLFOLD_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#else
#include <uchar.h>
#endif

#if defined(__GNUC__)
#define PELLFOLD_API __attribute__((visibility("default")))
#else
#define PELLFOLD_API
#endif

/*
 * Encrypts the file inputPath into the ACBC file outputPath (created, or
 * truncated), under password. Returns 999 on success; does not return on
 * failure. (The name is spelled so; hosts look it up by this name.)
 */
PELLFOLD_API int32_t AESEncypt(const char16_t* inputPath, const char16_t* outputPath,
                               const char16_t* password);

/*
 * Decrypts the ACBC file inputPath into outputPath (created, or truncated),
 * writing as many bytes as the header records. Returns 0 on success; does
 * not return on failure. The output is created before the header is read,
 * so an input that is not an ACBC file leaves an empty output behind.
 */
PELLFOLD_API int32_t AESDecrypt(const char16_t* inputPath, const char16_t* outputPath,
                                const char16_t* password);

#ifdef __cplusplus
}
#endif

#endif /* PELLFOLD_H */
