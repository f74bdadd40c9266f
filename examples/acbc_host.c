/*
 * acbc_host - a C11 program on libacbc that works through many files and
 * keeps going whatever happens to one of them.
 *
 *   acbc_host [-f] encrypt|decrypt|verify|inspect PASSWORD FILE...
 *
 * encrypt writes FILE.acbc, decrypt writes FILE without its .acbc (or
 * FILE.out), verify checks the password, inspect tells what the size and
 * header say (PASSWORD unused). -f replaces existing outputs (atomically:
 * on any failure they stay as they were). One line per file, then a
 * summary; exit status 1 when any file failed.
 */
#include <acbc.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>

/* The output name for FILE: FILE.acbc, or FILE without .acbc. */
static int OutputName(const char* file, int encrypt, char* out, size_t size) {
  const size_t n = strlen(file);
  int written = 0;
  if (encrypt) {
    written = snprintf(out, size, "%s.acbc", file);
  } else if (n > 5 && strcmp(file + n - 5, ".acbc") == 0) {
    written = snprintf(out, size, "%.*s", (int)(n - 5), file);
  } else {
    written = snprintf(out, size, "%s.out", file);
  }
  return written > 0 && (size_t)written < size;
}

static void PrintWarnings(const char* file, const acbc_result* r) {
  if (r->warnings & ACBC_WARN_TRAILING_DATA)
    printf("%s: note: bytes after the last record\n", file);
  if (r->warnings & ACBC_WARN_WEAK_CHECK) {
    printf("%s: note: only %d padding bytes checked the password\n", file, r->padding_bytes);
  }
  if (r->warnings & ACBC_WARN_SALVAGED) printf("%s: note: salvaged a damaged file\n", file);
  if (r->warnings & ACBC_WARN_SHORT_PASSWORD) printf("%s: note: password under 8 bytes\n", file);
  if (r->warnings & ACBC_WARN_LONG_PASSWORD) printf("%s: note: bytes after 32 ignored\n", file);
}

static acbc_status One(const char* command, const char* password, const char* file,
                       unsigned flags) {
  const size_t length = strlen(password);
  acbc_result r;
  acbc_status s = ACBC_E_ARGUMENT;
  char output[4096];
  if (strcmp(command, "inspect") == 0) {
    acbc_info info;
    s = acbc_inspect_file(file, &info);
    if (s == ACBC_OK || s == ACBC_E_DAMAGED) {
      printf("%s: length %lld, %lld of %lld records, %lld trailing bytes\n", file,
             (long long)info.length, (long long)info.records_present,
             (long long)info.records_expected, (long long)info.trailing_bytes);
    }
    r.error_number = 0;
  } else if (strcmp(command, "verify") == 0) {
    s = acbc_verify_file(file, password, length, &r);
  } else {
    const int encrypt = strcmp(command, "encrypt") == 0;
    if (!OutputName(file, encrypt, output, sizeof output)) {
      r.error_number = ENAMETOOLONG;
      s = ACBC_E_OUTPUT_OPEN;
    } else if (encrypt) {
      s = acbc_encrypt_file(file, output, password, length, flags, NULL, &r);
    } else {
      s = acbc_decrypt_file(file, output, password, length, flags, NULL, &r);
    }
  }
  if (s != ACBC_OK) {
    /* Every status has a text; error_number says which system call failed why. */
    printf("%s: %s", file, acbc_status_text(s));
    if (r.error_number != 0) printf(": %s", strerror(r.error_number));
    printf(" [%s]\n", acbc_status_name(s));
    return s;
  }
  printf("%s: ok\n", file);
  if (strcmp(command, "inspect") != 0) PrintWarnings(file, &r);
  return s;
}

int main(int argc, char** argv) {
  static const char* const kCommands[] = {"encrypt", "decrypt", "verify", "inspect"};
  unsigned flags = 0;
  if (argc > 1 && strcmp(argv[1], "-f") == 0) {
    flags = ACBC_REPLACE;
    --argc;
    ++argv;
  }
  int known = 0;
  for (size_t i = 0; argc > 1 && i < sizeof kCommands / sizeof kCommands[0]; ++i) {
    known |= strcmp(argv[1], kCommands[i]) == 0;
  }
  if (argc < 4 || !known) {
    fprintf(stderr, "usage: acbc_host [-f] encrypt|decrypt|verify|inspect PASSWORD FILE...\n");
    return 2;
  }
  int failed = 0;
  for (int i = 3; i < argc; ++i) failed += One(argv[1], argv[2], argv[i], flags) != ACBC_OK;
  printf("libacbc %s: %d ok, %d failed\n", acbc_version(), argc - 3 - failed, failed);
  return failed == 0 ? 0 : 1;
}
