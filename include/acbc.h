/*
 * acbc.h - ACBC files inside any program: encryption, decryption and checks
 * that return every failure as a value.
 *
 * An ACBC file is a 512-byte header record holding the text "ACBC <L>" (L,
 * the plaintext length in decimal, then a NUL and zero bytes), followed by
 * floor(L / 512) + 1 records of 512 bytes. Record k is plaintext bytes
 * 512k .. 512k + 511, zero-filled past the end, encrypted by itself with
 * AES-256-CBC (no padding) from the fixed initialisation vector
 * 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f. The key is the first 32
 * bytes of the password, zero-filled to 32 bytes: no salt and no integrity
 * check. The zero padding of the last record is what lets a reader tell a
 * wrong password (a wrong one passes with odds 2^-8n for n padding bytes).
 * Every file written here is byte for byte what AESEncypt (pellfold.h)
 * writes for the same input and password.
 *
 * Contract of every call:
 * - It returns; it never ends the process, prints, touches the caller's
 *   stdio streams or changes signal dispositions.
 * - It returns an acbc_status for every failure. When `result` is not null
 *   it is filled on every return, failures included; error_number is the
 *   errno of the failing system call (or callback), taken at that call.
 * - Paths are NUL-terminated byte strings as the kernel takes them (any
 *   bytes, not only UTF-8). Passwords are byte arrays of the given length;
 *   only the first 32 bytes reach the key, zero-filled, so trailing NUL
 *   bytes do not change it. `password` may be null when its length is 0.
 * - Any number of calls may run at once on distinct files. The library keeps
 *   no mutable state beyond the one-time choice of the AES instructions the
 *   processor has, and wipes every key, key schedule and password copy.
 * - Nothing is allocated: the work buffers live on the calling thread's
 *   stack. Each ACBC call uses up to 128 KiB of it, each age call (and
 *   acbc_upgrade_file) up to 512 KiB.
 *
 * Link with -lacbc (pkg-config acbc, or the CMake target Pellfold::acbc).
 */
#ifndef ACBC_H
#define ACBC_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define ACBC_API __attribute__((visibility("default")))
#else
#define ACBC_API
#endif

#define ACBC_VERSION_MAJOR 1
#define ACBC_VERSION_MINOR 1
#define ACBC_VERSION_PATCH 0

typedef enum acbc_status {
  ACBC_OK = 0,
  ACBC_E_ARGUMENT,         /* a null pointer, an unknown flag or overlapping buffers */
  ACBC_E_INPUT_OPEN,       /* the input does not open (error_number says why) */
  ACBC_E_OUTPUT_OPEN,      /* the output or its temporary file cannot be created */
  ACBC_E_OUTPUT_EXISTS,    /* the output exists and ACBC_REPLACE was not given */
  ACBC_E_SAME_FILE,        /* the output is the input (same device and inode) */
  ACBC_E_INPUT_LENGTH,     /* the input's length cannot be taken (a pipe given as a path,
                              a file of /proc or /sys) */
  ACBC_E_TOO_LARGE,        /* the plaintext has 2^31 bytes or more */
  ACBC_E_EMPTY_PASSWORD,   /* encryption under an empty password (or NUL bytes only) */
  ACBC_E_NOT_ACBC,         /* the input is not an ACBC file */
  ACBC_E_DAMAGED,          /* a truncated body or a negative length */
  ACBC_E_WRONG_PASSWORD,   /* the last record's padding is not zero */
  ACBC_E_INPUT_CHANGED,    /* the input grew, shrank or was rewritten while it was read */
  ACBC_E_READ,             /* reading the input failed */
  ACBC_E_WRITE,            /* writing, syncing or linking the output failed */
  ACBC_E_BUFFER_TOO_SMALL, /* the output buffer's capacity is short */
  ACBC_E_CANCELLED,        /* the progress callback asked to stop */
  /* Since 1.1: the age format (age-encryption.org/v1). */
  ACBC_E_NOT_AGE,     /* the input is not an age file */
  ACBC_E_AGE_HEADER,  /* a malformed or unsupported age header */
  ACBC_E_AGE_MAC,     /* the header's MAC does not match: the header was altered */
  ACBC_E_AGE_ARMOR,   /* malformed ASCII armor */
  ACBC_E_NO_MATCH,    /* wrong passphrase, or no identity opens any recipient stanza */
  ACBC_E_AGE_PAYLOAD, /* the payload was altered or truncated */
  ACBC_E_WORK_FACTOR, /* the scrypt work factor is above the accepted ceiling */
  ACBC_E_BAD_KEY      /* a recipient or identity that does not parse */
} acbc_status;

/* Flags; each call names the ones it takes, any other is ACBC_E_ARGUMENT. */
enum {
  ACBC_REPLACE = 1u,           /* replace an existing output */
  ACBC_SALVAGE = 2u,           /* decrypt a damaged file as AESDecrypt would */
  ACBC_NO_PASSWORD_CHECK = 4u, /* skip the padding check */
  ACBC_NO_SYNC = 8u,           /* do not fsync the output and its folder */
  ACBC_AGE_ARMOR = 16u,        /* since 1.1: write age's ASCII armor */
  ACBC_PASSWORD_CHECKED = 32u, /* since 1.1: acbc_read_at skips the password check */
  ACBC_TRUST_LENGTH = 64u,     /* since 1.1: a stream reads no byte past what it needs */
  ACBC_UNKNOWN_LENGTH = 128u   /* since 1.1: acbc_encrypt_stream_flags reads to the end */
};

/* Warnings: reported in acbc_result.warnings, never a failure. */
enum {
  ACBC_WARN_TRAILING_DATA = 1u,  /* bytes follow the last record; ignored */
  ACBC_WARN_WEAK_CHECK = 2u,     /* fewer than 4 padding bytes confirmed the password */
  ACBC_WARN_SALVAGED = 4u,       /* a damaged file was decrypted under ACBC_SALVAGE */
  ACBC_WARN_SHORT_PASSWORD = 8u, /* an encryption password under 8 bytes */
  ACBC_WARN_LONG_PASSWORD = 16u, /* a password over 32 bytes (to encrypt or decrypt); the
                                    rest was ignored */
  /* Since 1.1: after a failure, the named temporary file of the output
     (".NAME.acbc-XXXXXXXXXX" in its folder) could not be removed and is
     left there. */
  ACBC_WARN_TEMPORARY_LEFT = 32u,
  /* Since 1.1: the call failed (ACBC_E_WRITE) once its new output was
     under its name, complete: the folder could not be synced after the
     link, or the output's temporary second name not removed (then with
     ACBC_WARN_TEMPORARY_LEFT). */
  ACBC_WARN_OUTPUT_PLACED = 64u
};

typedef struct acbc_result {
  acbc_status status;    /* the return value again */
  int error_number;      /* errno of the failing system call (or callback), else 0 */
  int64_t length;        /* plaintext length from or into the header; -1 when unknown */
  int64_t bytes_read;    /* input bytes consumed */
  int64_t bytes_written; /* bytes delivered to the output */
  int padding_bytes;     /* zero padding bytes the password check examined; 0 when none was made */
  unsigned warnings;     /* ACBC_WARN_* */
} acbc_result;

/* What a file's size and header tell, without a password. */
typedef struct acbc_info {
  int64_t file_size;        /* bytes in the file (from where reading started) */
  int64_t length;           /* the header's length (negative in a damaged file); -1 without one */
  int64_t records_expected; /* floor(length / 512) + 1, or 0 for a negative length */
  int64_t records_present;  /* body records present, a partial last one included */
  int64_t trailing_bytes;   /* bytes after the records the length needs */
} acbc_info;

/*
 * Progress: report is called after each chunk of work with the input bytes
 * done and the total the call will read, and last (once) with done equal to
 * total.
 * For encryption the total is the plaintext length; for decryption it is the
 * header and the records the call reads. A nonzero return stops the work
 * with ACBC_E_CANCELLED (and, for the file calls, nothing written). The
 * pointer to the structure may be null, and so may `report`.
 */
typedef struct acbc_progress {
  int (*report)(void* context, int64_t done, int64_t total);
  void* context;
} acbc_progress;

/*
 * Stream callbacks. A reader returns the bytes it put in `buffer` (at most
 * `size`; fewer is normal), 0 at the end, or -1 with errno set. A writer
 * writes all `size` bytes and returns 0, or returns -1 with errno set.
 */
typedef ptrdiff_t (*acbc_read_fn)(void* context, void* buffer, size_t size);
typedef int (*acbc_write_fn)(void* context, const void* buffer, size_t size);

/*
 * What the file calls guarantee:
 * - Nothing is written before the checks pass: decryption checks the
 *   header, the size (a truncated body or a negative length is
 *   ACBC_E_DAMAGED unless ACBC_SALVAGE, which then writes exactly what
 *   AESDecrypt writes and warns ACBC_WARN_SALVAGED) and the last record's
 *   zero padding (ACBC_E_WRONG_PASSWORD unless ACBC_NO_PASSWORD_CHECK). The
 *   right password is never refused.
 * - The output appears complete or not at all: it is written to an unnamed
 *   temporary file in its folder (a named one beside it, ".NAME.acbc-XXXXXXXXXX",
 *   where the file system has no unnamed ones, or where the unnamed file
 *   cannot be linked: without /proc and without CAP_DAC_READ_SEARCH; only a
 *   crash, or a removal refused after a failure, which the warning
 *   ACBC_WARN_TEMPORARY_LEFT reports, can leave that behind) and linked
 *   into place when complete. Unless ACBC_NO_SYNC the
 *   file is synced first and the folder after. Two failures come after the
 *   output is in place, and say so by ACBC_E_WRITE with the new output under
 *   its name: a folder that cannot be synced (a file system that cannot
 *   sync folders at all is no failure), and a named temporary file that
 *   cannot be removed once linked, which then stays as a second name for
 *   the output. An existing output is refused with ACBC_E_OUTPUT_EXISTS
 *   unless ACBC_REPLACE, and on any other failure or cancel it stays as it
 *   was; through a symbolic link the file it leads to is replaced. Under
 *   ACBC_REPLACE an output over an existing file is linked under a
 *   temporary name in its folder and renamed over the old one, so a crash
 *   at that moment can leave the complete output under that name. A
 *   replace that the folder's sticky bit would refuse (the folder and the
 *   old output another user's) is ACBC_E_OUTPUT_OPEN
 *   with EPERM before anything is written. An output that exists and is
 *   not a regular file (/dev/null, a FIFO, a pipe or socket named as
 *   /dev/stdout or /proc/self/fd/N) is written in place, after the checks;
 *   a FIFO without a reader is ACBC_E_OUTPUT_OPEN with ENXIO at once, and
 *   a reader that leaves is ACBC_E_WRITE with EPIPE (SIGPIPE is blocked on
 *   the calling thread for the writes). A block device is overwritten only
 *   under ACBC_REPLACE (else ACBC_E_OUTPUT_EXISTS). An output that is the
 *   input (through links too) is refused with ACBC_E_SAME_FILE.
 * - The output is never more readable than the input: its mode is the
 *   input's permission bits & 0666 & ~umask (0666 & ~umask for an input that
 *   is not a regular file), set before any data is written.
 * - Inputs must be regular files or devices that seek (a pipe given as a
 *   path is ACBC_E_INPUT_LENGTH, and so is a file of /proc or /sys, whose
 *   size does not tell its length: error_number 0); an input whose size or
 *   modification time changes while it is read is ACBC_E_INPUT_CHANGED.
 *   A descriptor that cannot be read (O_PATH, write-only) is
 *   ACBC_E_INPUT_OPEN with EBADF.
 */

/*
 * Encrypts the file `input` into the ACBC file `output`. Flags:
 * ACBC_REPLACE, ACBC_NO_SYNC. An empty password is ACBC_E_EMPTY_PASSWORD;
 * a short or long one only warns. At most the records the header promises
 * are read.
 */
ACBC_API acbc_status acbc_encrypt_file(const char* input, const char* output, const void* password,
                                       size_t password_length, unsigned flags,
                                       const acbc_progress* progress, acbc_result* result);

/*
 * Decrypts the ACBC file `input` into `output`, after the checks above.
 * Flags: ACBC_REPLACE, ACBC_SALVAGE, ACBC_NO_PASSWORD_CHECK, ACBC_NO_SYNC.
 * Trailing bytes after the last record cost ACBC_WARN_TRAILING_DATA only.
 */
ACBC_API acbc_status acbc_decrypt_file(const char* input, const char* output, const void* password,
                                       size_t password_length, unsigned flags,
                                       const acbc_progress* progress, acbc_result* result);

/*
 * Decrypts `input` under old_password and encrypts it again under
 * new_password in one pass, without plaintext ever reaching a file; the old
 * password is checked before anything is written. A null `output` rewrites
 * `input` in place (atomically, keeping its mode; ACBC_REPLACE is not
 * needed). Flags: ACBC_REPLACE, ACBC_NO_SYNC.
 */
ACBC_API acbc_status acbc_rekey_file(const char* input, const char* output,
                                     const void* old_password, size_t old_length,
                                     const void* new_password, size_t new_length, unsigned flags,
                                     const acbc_progress* progress, acbc_result* result);

/*
 * Checks without writing anything that `password` opens the ACBC file at
 * `path`: header, size verdict and padding check, as decryption does first.
 * ACBC_OK, ACBC_E_WRONG_PASSWORD, ACBC_E_DAMAGED (also when there is no
 * record to check against), ACBC_E_NOT_ACBC or an open/read failure.
 */
ACBC_API acbc_status acbc_verify_file(const char* path, const void* password,
                                      size_t password_length, acbc_result* result);

/*
 * Tells what the file's size and header say, without a password: ACBC_OK
 * for a consistent file (trailing bytes allowed and counted), ACBC_E_DAMAGED
 * for a truncated body or a negative length, ACBC_E_NOT_ACBC, or an
 * open/read failure, after which errno is that of the failing system call
 * (since 1.1). Reads no more than the verdict needs, so an endless
 * source (/dev/zero) ends at once. `info` is filled as far as known.
 */
ACBC_API acbc_status acbc_inspect_file(const char* path, acbc_info* info);

/*
 * The same four calls on an open descriptor instead of an input path: a
 * regular file (or a device that seeks), read from its current offset as
 * if the file began there; the descriptor is neither moved nor closed (reads
 * use pread). The output mode comes from the descriptor's file.
 */
ACBC_API acbc_status acbc_encrypt_fd(int input_fd, const char* output, const void* password,
                                     size_t password_length, unsigned flags,
                                     const acbc_progress* progress, acbc_result* result);
ACBC_API acbc_status acbc_decrypt_fd(int input_fd, const char* output, const void* password,
                                     size_t password_length, unsigned flags,
                                     const acbc_progress* progress, acbc_result* result);
ACBC_API acbc_status acbc_verify_fd(int fd, const void* password, size_t password_length,
                                    acbc_result* result);
ACBC_API acbc_status acbc_inspect_fd(int fd, acbc_info* info);

/*
 * Encrypts exactly `length` bytes (0 .. 2^31 - 1; else ACBC_E_TOO_LARGE)
 * from `read` into `write`. The header comes first, so the length must be
 * known up front: a reader that delivers more or fewer bytes is
 * ACBC_E_INPUT_CHANGED (what was written by then must be discarded). To
 * tell "more", one byte past `length` is asked for; see
 * acbc_encrypt_stream_flags to leave it unread.
 */
ACBC_API acbc_status acbc_encrypt_stream(acbc_read_fn read, void* read_context, int64_t length,
                                         acbc_write_fn write, void* write_context,
                                         const void* password, size_t password_length,
                                         const acbc_progress* progress, acbc_result* result);

/*
 * Decrypts an ACBC stream from `read` into `write`. A stream cannot be
 * looked ahead in, so plaintext is written as it is decrypted, and a wrong
 * password or a truncated body is reported only at the end: on any status
 * but ACBC_OK the caller must discard what it received. Reads the header,
 * the records the length needs and at most one byte more (to tell
 * ACBC_WARN_TRAILING_DATA). Flags: ACBC_SALVAGE, ACBC_NO_PASSWORD_CHECK,
 * ACBC_TRUST_LENGTH (since 1.1: exactly the header and the records, no byte
 * more, so a pipe or socket that stays open is not waited on and keeps its
 * next byte; no ACBC_WARN_TRAILING_DATA then).
 */
ACBC_API acbc_status acbc_decrypt_stream(acbc_read_fn read, void* read_context, acbc_write_fn write,
                                         void* write_context, const void* password,
                                         size_t password_length, unsigned flags,
                                         const acbc_progress* progress, acbc_result* result);

/* The ACBC file size for a plaintext of `length` bytes: 512 * (length / 512
 * + 2); -1 for a length outside 0 .. 2^31 - 1. */
ACBC_API int64_t acbc_encrypted_size(int64_t length);

/*
 * Encrypts `length` bytes at `input` into `output`, which must hold
 * acbc_encrypted_size(length) bytes (else ACBC_E_BUFFER_TOO_SMALL, nothing
 * written). `output` may be null when `capacity` is 0; the buffers must not
 * overlap. result->bytes_written is the file size.
 */
ACBC_API acbc_status acbc_encrypt_buffer(const void* input, size_t length, void* output,
                                         size_t capacity, const void* password,
                                         size_t password_length, acbc_result* result);

/*
 * Decrypts the ACBC file held in `input` (`size` bytes) into `output`, with
 * the checks of acbc_decrypt_file; flags: ACBC_SALVAGE,
 * ACBC_NO_PASSWORD_CHECK. A short `capacity` is ACBC_E_BUFFER_TOO_SMALL
 * with result->length set to the plaintext bytes needed, so that the caller
 * can retry (capacity 0 and a null `output` ask for it).
 */
ACBC_API acbc_status acbc_decrypt_buffer(const void* input, size_t size, void* output,
                                         size_t capacity, const void* password,
                                         size_t password_length, unsigned flags,
                                         acbc_result* result);

/* A short lower-case description, e.g. "wrong password (or the file was
 * altered)"; never null, also for a value outside the enumeration. */
ACBC_API const char* acbc_status_text(acbc_status status);

/* The enumerator's name without its prefix, in lower case, for machines:
 * "ok", "argument", ..., "wrong_password", "cancelled"; "unknown" for a
 * value outside the enumeration. */
ACBC_API const char* acbc_status_name(acbc_status status);

/* ------------------------------------------------------------------ 1.1 */

/*
 * Format facts, so that no caller restates them.
 */
#define ACBC_RECORD_SIZE 512        /* bytes per ACBC record, the header's too */
#define ACBC_HEADER_SIZE 512        /* bytes of the ACBC header record */
#define ACBC_MAX_LENGTH 2147483647  /* longest ACBC plaintext, 2^31 - 1 bytes */
#define ACBC_KEY_BYTES 32           /* password bytes that reach the ACBC key */
#define ACBC_STRONG_PADDING 4       /* padding bytes that confirm a password by 32 bits */
#define ACBC_AGE_CHUNK_SIZE 65536   /* age payload chunk, plaintext bytes */
#define ACBC_AGE_WORK_FACTOR 18     /* scrypt work factor written by default (log2 N) */
#define ACBC_AGE_MAX_WORK_FACTOR 22 /* highest work factor accepted by default */

/*
 * age (age-encryption.org/v1): an authenticated, salted format that other
 * tools read. The file key is wrapped for a passphrase (scrypt) or for
 * X25519 recipients; the payload is ChaCha20-Poly1305 in 64 KiB chunks, each
 * authenticated before any of its plaintext is released.
 *
 * Encryption takes exactly one of: a passphrase (passphrase_length > 0;
 * an empty one is ACBC_E_EMPTY_PASSWORD) with work_factor (log2 N, 1 .. 30;
 * 0 means ACBC_AGE_WORK_FACTOR), or recipient_count "age1..." strings
 * (ACBC_E_BAD_KEY for one that does not parse). Anything else is
 * ACBC_E_ARGUMENT.
 *
 * Decryption takes a passphrase, identities or both. `identities` are texts:
 * each an "AGE-SECRET-KEY-1..." string or the contents of an identity file
 * (one key a line; empty lines and lines starting with '#' ignored).
 * work_factor is the highest scrypt work factor accepted (0 means
 * ACBC_AGE_MAX_WORK_FACTOR); a file asking for more is ACBC_E_WORK_FACTOR
 * before any scrypt work is done.
 */
typedef struct acbc_age_keys {
  const void* passphrase;
  size_t passphrase_length;
  int work_factor;
  const char* const* recipients;
  size_t recipient_count;
  const char* const* identities;
  size_t identity_count;
} acbc_age_keys;

/* What an age file's header tells without a key. */
typedef struct acbc_age_info {
  int64_t file_size;      /* bytes in the file */
  int64_t header_size;    /* bytes of the (binary) header, MAC line included */
  int armored;            /* 1 for ASCII armor */
  int stanza_count;       /* recipient stanzas */
  int work_factor;        /* the scrypt stanza's work factor, 0 without one */
  char stanza_types[128]; /* the stanzas' first arguments, space separated, NUL-terminated
                             (cut at a whole word when longer) */
} acbc_age_info;

/* Formats told apart by acbc_detect_fd and acbc_detect_file. */
typedef enum acbc_format {
  ACBC_FORMAT_UNKNOWN = 0,
  ACBC_FORMAT_ACBC = 1, /* starts "ACBC " */
  ACBC_FORMAT_AGE = 2,  /* the age version line, or its armor's first line */
} acbc_format;

/* Reads the first bytes of the file (pread from the current offset for the
 * descriptor) and stores its format in `format`; ACBC_OK, or an open or
 * read failure. */
ACBC_API acbc_status acbc_detect_file(const char* path, acbc_format* format, acbc_result* result);
ACBC_API acbc_status acbc_detect_fd(int fd, acbc_format* format, acbc_result* result);

/*
 * Encrypts `input` into the age file `output`, with the file calls'
 * guarantees above. Flags: ACBC_REPLACE, ACBC_NO_SYNC, ACBC_AGE_ARMOR.
 * Any length is allowed.
 */
ACBC_API acbc_status acbc_age_encrypt_file(const char* input, const char* output,
                                           const acbc_age_keys* keys, unsigned flags,
                                           const acbc_progress* progress, acbc_result* result);
ACBC_API acbc_status acbc_age_encrypt_fd(int input_fd, const char* output,
                                         const acbc_age_keys* keys, unsigned flags,
                                         const acbc_progress* progress, acbc_result* result);

/*
 * Decrypts the age file `input` (binary or armored) into `output`. Nothing
 * appears under the output's name unless every chunk authenticated.
 * Flags: ACBC_REPLACE, ACBC_NO_SYNC. result->length is the plaintext length.
 */
ACBC_API acbc_status acbc_age_decrypt_file(const char* input, const char* output,
                                           const acbc_age_keys* keys, unsigned flags,
                                           const acbc_progress* progress, acbc_result* result);
ACBC_API acbc_status acbc_age_decrypt_fd(int input_fd, const char* output,
                                         const acbc_age_keys* keys, unsigned flags,
                                         const acbc_progress* progress, acbc_result* result);

/* Decrypts the whole age file and writes nothing: ACBC_OK when the keys
 * open it and every chunk authenticates. */
ACBC_API acbc_status acbc_age_verify_file(const char* path, const acbc_age_keys* keys,
                                          acbc_result* result);
ACBC_API acbc_status acbc_age_verify_fd(int fd, const acbc_age_keys* keys, acbc_result* result);

/*
 * Streams. Encryption reads to the end of `read` (any length). Decryption
 * writes each chunk's plaintext only after the chunk authenticated, so on a
 * failure the caller has received a prefix of the plaintext, never an
 * unauthenticated byte; on any status but ACBC_OK it must treat what it got
 * as incomplete. Flags: ACBC_AGE_ARMOR for encryption, none for decryption.
 */
ACBC_API acbc_status acbc_age_encrypt_stream(acbc_read_fn read, void* read_context,
                                             acbc_write_fn write, void* write_context,
                                             const acbc_age_keys* keys, unsigned flags,
                                             const acbc_progress* progress, acbc_result* result);
ACBC_API acbc_status acbc_age_decrypt_stream(acbc_read_fn read, void* read_context,
                                             acbc_write_fn write, void* write_context,
                                             const acbc_age_keys* keys, unsigned flags,
                                             const acbc_progress* progress, acbc_result* result);

/*
 * Turns the ACBC file `input` into the age file `output` in one pass: the
 * ACBC password is checked first (ACBC_E_WRONG_PASSWORD, ACBC_E_DAMAGED,
 * ACBC_E_NOT_ACBC before anything is created), the plaintext exists only in
 * memory, and the age file is read back and checked against the plaintext
 * before it is linked into place. `keys` as for age encryption. Flags:
 * ACBC_REPLACE, ACBC_NO_SYNC, ACBC_AGE_ARMOR.
 */
ACBC_API acbc_status acbc_upgrade_file(const char* input, const char* output, const void* password,
                                       size_t password_length, const acbc_age_keys* keys,
                                       unsigned flags, const acbc_progress* progress,
                                       acbc_result* result);

/*
 * Rewraps the file key of an age file under new keys: the header is
 * written anew and the payload copied byte for byte (not decrypted).
 * `old_keys` as for decryption, `new_keys` as for encryption. A null
 * `output` rewrites `input` in place. Flags: ACBC_REPLACE, ACBC_NO_SYNC.
 */
ACBC_API acbc_status acbc_age_rekey_file(const char* input, const char* output,
                                         const acbc_age_keys* old_keys,
                                         const acbc_age_keys* new_keys, unsigned flags,
                                         const acbc_progress* progress, acbc_result* result);

/* What the age header says, without a key: ACBC_OK, ACBC_E_NOT_AGE,
 * ACBC_E_AGE_HEADER, ACBC_E_AGE_ARMOR or an open/read failure. */
ACBC_API acbc_status acbc_age_inspect_file(const char* path, acbc_age_info* info,
                                           acbc_result* result);
ACBC_API acbc_status acbc_age_inspect_fd(int fd, acbc_age_info* info, acbc_result* result);

/*
 * Random access into an ACBC file: reads up to `size` plaintext bytes at
 * plaintext offset `offset` of the ACBC file open on `fd` into `buffer`,
 * decrypting only the records that hold them (pread; the descriptor is not
 * moved). Bytes past the length are not there, as with pread:
 * result->bytes_written tells how many were stored (0 at or past the end).
 * The password is checked through the last record's padding unless
 * ACBC_PASSWORD_CHECKED (the caller checked it before). Flags:
 * ACBC_PASSWORD_CHECKED.
 *
 * As the other descriptor calls, the file begins at the descriptor's
 * current offset. Each call reads the header (result->length), checks the
 * size (a truncated body or a negative length is ACBC_E_DAMAGED, not ACBC
 * is ACBC_E_NOT_ACBC) and the password before any byte is stored, then
 * reads records offset / 512 .. (offset + size - 1) / 512 in preads of at
 * most 128 records (64 KiB) and decrypts them through the constant-time
 * record path; it allocates nothing. A negative offset, or a null buffer
 * with a nonzero size, is ACBC_E_ARGUMENT. A file that shrank under the
 * call is ACBC_E_INPUT_CHANGED; the buffer then holds only the first
 * result->bytes_written bytes.
 */
ACBC_API acbc_status acbc_read_at(int fd, void* buffer, size_t size, int64_t offset,
                                  const void* password, size_t password_length, unsigned flags,
                                  acbc_result* result);

/*
 * An ACBC file written piece by piece, for a plaintext whose length is
 * known only at its end (a file object, a producer): the records go to the
 * output's temporary file as they fill, the header, which holds the
 * length, at commit, and only then does the file appear under its name,
 * with the file calls' guarantees above (the mode is 0666 & ~umask). The
 * file is byte for byte what acbc_encrypt_file writes for the same bytes.
 *
 * The state lives in caller memory (no allocation): an acbc_writer, opened
 * by acbc_writer_open and ended by exactly one acbc_writer_commit or
 * acbc_writer_discard. Any failure of a write or of the commit discards
 * the output and ends the writer; a later call on it is ACBC_E_ARGUMENT,
 * and acbc_writer_discard stays allowed. One writer serves one thread at a
 * time; its memory holds key material until it ends (it is wiped then).
 */
#define ACBC_WRITER_SIZE 8192
typedef struct acbc_writer {
  union {
    long double align;
    void* pointer;
    unsigned char bytes[ACBC_WRITER_SIZE];
  } opaque;
} acbc_writer;

/* Creates the temporary file for `output`. Flags: ACBC_REPLACE,
 * ACBC_NO_SYNC. An empty password is ACBC_E_EMPTY_PASSWORD; the output
 * checks are those of acbc_encrypt_file. On a failure nothing is left and
 * the writer is ended. */
ACBC_API acbc_status acbc_writer_open(acbc_writer* writer, const char* output, const void* password,
                                      size_t password_length, unsigned flags, acbc_result* result);
/* Takes `size` more plaintext bytes (`data` may be null when size is 0);
 * whole records are encrypted and written at once, a partial one kept.
 * Past 2^31 - 1 bytes in all: ACBC_E_TOO_LARGE. result->length is the
 * plaintext length so far, bytes_written the file bytes written so far. */
ACBC_API acbc_status acbc_writer_write(acbc_writer* writer, const void* data, size_t size,
                                       acbc_result* result);
/* Writes the last record and the header, syncs and links the output into
 * place (ACBC_E_OUTPUT_EXISTS when a file took the name meanwhile and
 * ACBC_REPLACE was not given). Ends the writer. */
ACBC_API acbc_status acbc_writer_commit(acbc_writer* writer, acbc_result* result);
/* Removes the temporary file and ends the writer; does nothing for a
 * writer already ended. */
ACBC_API void acbc_writer_discard(acbc_writer* writer);

/*
 * acbc_encrypt_stream with flags: ACBC_TRUST_LENGTH reads exactly `length`
 * bytes and never asks for more (a reader that has more is not told; one
 * that ends early is still ACBC_E_INPUT_CHANGED). ACBC_UNKNOWN_LENGTH (with
 * `length` -1) reads to the end, whatever its length (ACBC_E_TOO_LARGE past
 * ACBC_MAX_LENGTH): since the header comes first, the file is made aside
 * in an unnamed temporary file of $TMPDIR (or /tmp), which holds only
 * ciphertext, and written once complete; progress is told with a total of
 * -1. In every stream call, a read callback that fails with ECANCELED stops
 * the call as ACBC_E_CANCELLED.
 */
ACBC_API acbc_status acbc_encrypt_stream_flags(acbc_read_fn read, void* read_context,
                                               int64_t length, acbc_write_fn write,
                                               void* write_context, const void* password,
                                               size_t password_length, unsigned flags,
                                               const acbc_progress* progress, acbc_result* result);

/*
 * Jobs: one ACBC file call taken apart into its steps, so that a program
 * can check every file of a batch before it asks for a password, run the
 * work on several threads, and make many outputs durable with one sync.
 *
 * - acbc_job_prepare (no password) opens and measures the input and reads
 *   and checks its header once: for decryption, verification and rekeying
 *   not ACBC is ACBC_E_NOT_ACBC and a damaged file ACBC_E_DAMAGED (unless
 *   ACBC_SALVAGE); for encryption a plaintext too long is ACBC_E_TOO_LARGE.
 *   It then checks the output as the file calls do (exists without
 *   ACBC_REPLACE, a folder, the input itself, a folder that does not open
 *   or is not writable) and creates its temporary file. Verification has no
 *   output (`output` must be null); a rekey with a null `output` rewrites
 *   the input in place.
 * - acbc_job_run takes the password (and, for a rekey, the new one): an
 *   empty encryption password is ACBC_E_EMPTY_PASSWORD; decryption,
 *   verification and rekeying check the last record's padding
 *   (ACBC_E_WRONG_PASSWORD unless ACBC_NO_PASSWORD_CHECK), then the records
 *   go into the temporary file, and an input that changed meanwhile is
 *   ACBC_E_INPUT_CHANGED. Verification stops after the password check.
 * - acbc_job_commit syncs the file, links it under its name and syncs the
 *   folder (no syncs under ACBC_NO_SYNC); for verification it does nothing.
 * - acbc_job_commit_batch commits many jobs that ran: one syncfs() per file
 *   system that holds their temporary files before any is linked, then each
 *   linked, then each distinct folder synced once. As with a single commit,
 *   every output is complete on disk before its name appears.
 * - acbc_job_discard removes the temporary file and ends the job, at any
 *   step; it does nothing for a job already ended.
 *
 * A failure of any step discards what the job made and ends it; so does a
 * commit. On an ended job every call but acbc_job_discard and
 * acbc_job_query is ACBC_E_ARGUMENT. acbc_job_query works at every step and
 * after the end, when it tells the last state (e.g. output_placed after a
 * commit). Each step's `result` carries on from the steps before (length,
 * warnings, bytes read and written). The 1.0 file calls are these steps in
 * a row.
 *
 * The state lives in caller memory (no allocation). Between calls a job
 * holds no key material (run sets up the key and wipes it), but up to three
 * descriptors: the input, the output's folder and the temporary file, from
 * prepare until it ends. One job serves one thread at a time; distinct jobs
 * may run on distinct threads at once.
 */
typedef enum acbc_job_kind {
  ACBC_JOB_ENCRYPT = 1, /* flags: ACBC_REPLACE, ACBC_NO_SYNC */
  ACBC_JOB_DECRYPT =
      2,               /* flags: ACBC_REPLACE, ACBC_SALVAGE, ACBC_NO_PASSWORD_CHECK, ACBC_NO_SYNC */
  ACBC_JOB_VERIFY = 3, /* output null; flags: none */
  ACBC_JOB_REKEY = 4,  /* output null = in place; flags: ACBC_REPLACE, ACBC_NO_SYNC */
  /* The age kinds run with acbc_job_run_age. */
  ACBC_JOB_AGE_ENCRYPT = 5, /* flags: ACBC_REPLACE, ACBC_NO_SYNC, ACBC_AGE_ARMOR */
  ACBC_JOB_AGE_DECRYPT = 6, /* flags: ACBC_REPLACE, ACBC_NO_SYNC */
  ACBC_JOB_AGE_VERIFY = 7,  /* output null; flags: none */
  ACBC_JOB_AGE_REKEY = 8,   /* output null = in place; flags: ACBC_REPLACE, ACBC_NO_SYNC */
  ACBC_JOB_UPGRADE = 9,     /* an ACBC file into an age file, as acbc_upgrade_file;
                               flags: ACBC_REPLACE, ACBC_NO_SYNC, ACBC_AGE_ARMOR */
  /* A file the caller writes (acbc_job_write), placed as any job's output.
     Prepared by acbc_job_prepare_fd only, on the descriptor of what it is
     made from (any file, a pipe too: only its mode and identity count, it
     is not read); it is ready to commit at once (stage ACBC_JOB_RAN).
     Flags: ACBC_REPLACE, ACBC_NO_SYNC. */
  ACBC_JOB_WRITE = 10,
  /* ACBC encryption of a plaintext read to its end (a pipe), run by
     acbc_job_run_stream; prepared on a descriptor as ACBC_JOB_WRITE.
     Flags: ACBC_REPLACE, ACBC_NO_SYNC. */
  ACBC_JOB_ENCRYPT_STREAM = 11
} acbc_job_kind;

/* The step a job has reached (acbc_job_info.stage). */
enum { ACBC_JOB_ENDED = 0, ACBC_JOB_PREPARED = 1, ACBC_JOB_RAN = 2 };

#define ACBC_JOB_SIZE 16384
typedef struct acbc_job {
  union {
    long double align;
    void* pointer;
    unsigned char bytes[ACBC_JOB_SIZE];
  } opaque;
} acbc_job;

typedef struct acbc_job_info {
  int kind;             /* acbc_job_kind */
  int stage;            /* ACBC_JOB_ENDED, _PREPARED, _RAN */
  acbc_info input;      /* decryption, verification, rekey: what prepare's read of the header and
                           size tells; encryption: file_size, and length = the plaintext length */
  int64_t input_device; /* st_dev, st_ino and st_nlink of the input as prepare opened it */
  int64_t input_inode;
  int64_t input_links;
  int padding_bytes;   /* zero padding bytes run's password check looks at (0 for encryption
                          and where no check is made) */
  int output_existed;  /* a file had the output's name at prepare (ACBC_REPLACE replaces it);
                          1 for an in-place output */
  int output_placed;   /* the new output is under its name: set by a commit, also by one that
                          failed after the link (the folder sync); 0 before */
  int output_in_place; /* the output is an existing file that is not regular (/dev/null, a FIFO,
                          a device): run writes into it, there is nothing to link */
} acbc_job_info;

/* Prepares a job of `kind` on the file `input` (see above). Flags as the
 * kind's comment says. */
ACBC_API acbc_status acbc_job_prepare(acbc_job* job, acbc_job_kind kind, const char* input,
                                      const char* output, unsigned flags, acbc_result* result);
/* As acbc_job_prepare on a caller's descriptor, read with pread from its
 * current offset, never moved or closed; it must stay open until the job
 * ends. A rekey in place needs a path: a null `output` is ACBC_E_ARGUMENT. */
ACBC_API acbc_status acbc_job_prepare_fd(acbc_job* job, acbc_job_kind kind, int input_fd,
                                         const char* output, unsigned flags, acbc_result* result);
/* Runs a prepared job. new_password/new_length are for a rekey only (else
 * null and 0). */
ACBC_API acbc_status acbc_job_run(acbc_job* job, const void* password, size_t password_length,
                                  const void* new_password, size_t new_length,
                                  const acbc_progress* progress, acbc_result* result);
/* Runs a prepared job of an age kind, as the matching file call would:
 * ACBC_JOB_AGE_ENCRYPT with `keys` to encrypt to; _AGE_DECRYPT and
 * _AGE_VERIFY with `keys` to decrypt with; _AGE_REKEY from `keys` to
 * `new_keys`; ACBC_JOB_UPGRADE with the ACBC `password` and the age `keys`
 * to encrypt to (the age file is read back before the run ends). Arguments
 * a kind does not use are null and 0. Prepare checks for the age kinds
 * that the input is an age file (ACBC_E_NOT_AGE) and, for an upgrade, the
 * ACBC header as a decryption does. */
ACBC_API acbc_status acbc_job_run_age(acbc_job* job, const void* password, size_t password_length,
                                      const acbc_age_keys* keys, const acbc_age_keys* new_keys,
                                      const acbc_progress* progress, acbc_result* result);
/* Runs an ACBC_JOB_ENCRYPT_STREAM job: encrypts what `read` gives, to its
 * end, under `password` (as ACBC_UNKNOWN_LENGTH does; into the temporary
 * file directly, the header last, or for an output written in place by way
 * of a file aside). */
ACBC_API acbc_status acbc_job_run_stream(acbc_job* job, acbc_read_fn read, void* read_context,
                                         const void* password, size_t password_length,
                                         const acbc_progress* progress, acbc_result* result);
/* Appends `size` bytes to the output of an ACBC_JOB_WRITE job (an output
 * written in place is opened by the first write). A failure is
 * ACBC_E_WRITE with its errno, and ends the job. */
ACBC_API acbc_status acbc_job_write(acbc_job* job, const void* data, size_t size,
                                    acbc_result* result);
/* Commits a job that ran, and ends it. */
ACBC_API acbc_status acbc_job_commit(acbc_job* job, acbc_result* result);
/* Commits `count` jobs; `results` (null, or `count` entries) gets one
 * result each. A job that has not run gets ACBC_E_ARGUMENT and is
 * discarded; a job whose link fails gets its own failure, the others go on.
 * A batch never replaces an output of its own: a job whose output has the
 * name of an earlier entry's in the same folder (reached by another path)
 * gets ACBC_E_OUTPUT_EXISTS, also under ACBC_REPLACE.
 * Returns ACBC_OK when every job committed, else the first failing entry's
 * status. Every job has ended on return. */
ACBC_API acbc_status acbc_job_commit_batch(acbc_job* const* jobs, size_t count,
                                           acbc_result* results);
ACBC_API void acbc_job_discard(acbc_job* job);
/* Tells where a job stands; ACBC_E_ARGUMENT for memory that holds no job. */
ACBC_API acbc_status acbc_job_query(const acbc_job* job, acbc_job_info* info);

/*
 * Layout: what an ACBC file's size says next to what its header records,
 * with the numbers a message needs. The format has no integrity check, so
 * this is the one damage a reader sees before decrypting.
 */
typedef enum acbc_verdict {
  ACBC_VERDICT_CONSISTENT = 0,        /* exactly the records the length needs */
  ACBC_VERDICT_TRUNCATED = 1,         /* fewer bytes than the length needs */
  ACBC_VERDICT_TRAILING_BYTES = 2,    /* more bytes than the length needs */
  ACBC_VERDICT_NEGATIVE_LENGTH = 3,   /* the header records a length below zero */
  ACBC_VERDICT_UNREADABLE_LENGTH = 4, /* "ACBC " and no usable number: not ACBC either */
  ACBC_VERDICT_NOT_ACBC = 5           /* the first five bytes are not "ACBC " */
} acbc_verdict;

typedef struct acbc_layout {
  acbc_info info;        /* as acbc_inspect_fd tells it */
  int verdict;           /* acbc_verdict */
  int64_t header_bytes;  /* 0 to ACBC_HEADER_SIZE: bytes of the header record present */
  int64_t body_bytes;    /* bytes after the header record */
  int64_t missing_bytes; /* ACBC_VERDICT_TRUNCATED: bytes short of a whole file, else 0 */
  int padding_bytes;     /* zero bytes after the plaintext in its last record: what a password
                            check examines (0 without a length of 0 or more) */
} acbc_layout;

/* Inspects the file open as `fd` (from its current offset, which is not
 * moved). ACBC_OK whenever the file could be classified, whatever the
 * verdict; else the failure, with its errno in `result`. */
ACBC_API acbc_status acbc_inspect_layout_fd(int fd, acbc_layout* layout, acbc_result* result);
/* The layout a job's prepare read (decryption, verification, rekey; also
 * after the job ended, also when prepare failed on it as not ACBC or
 * damaged); ACBC_E_ARGUMENT for memory that holds no job or a job whose
 * prepare read no header. */
ACBC_API acbc_status acbc_job_layout(const acbc_job* job, acbc_layout* layout);
/* The verdict as one word for machines: "consistent", "truncated",
 * "trailing-bytes", "negative-length", "unreadable-length", "not-acbc";
 * "unknown" for a value outside the enumeration. */
ACBC_API const char* acbc_verdict_name(int verdict);

/* The library's version, "1.1.0". */
ACBC_API const char* acbc_version(void);

#ifdef __cplusplus
}
#endif

#endif /* ACBC_H */
