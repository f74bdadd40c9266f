/*
 * export_host - a minimal host for timing the library's exports:
 *
 *   export_host encrypt|decrypt INPUT OUTPUT PASSWORD
 *
 * The arguments are ASCII. Exit status 0 when the export returned its
 * success result (an export that fails ends the process with status 1).
 */
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <uchar.h>

#include "pellfold.h"

enum { kMaxArgument = 4096 };

static int Widen(const char* text, char16_t* out) {
  const size_t size = strlen(text);
  if (size >= kMaxArgument) return 0;
  for (size_t i = 0; i <= size; ++i) out[i] = (char16_t)(unsigned char)text[i];
  return 1;
}

int main(int argc, char** argv) {
  static char16_t input[kMaxArgument], output[kMaxArgument], password[kMaxArgument];
  if (argc != 5 || !Widen(argv[2], input) || !Widen(argv[3], output) || !Widen(argv[4], password)) {
    fprintf(stderr, "usage: export_host encrypt|decrypt INPUT OUTPUT PASSWORD\n");
    return 2;
  }
  if (strcmp(argv[1], "encrypt") == 0) return AESEncypt(input, output, password) == 999 ? 0 : 3;
  return AESDecrypt(input, output, password) == 0 ? 0 : 3;
}
