/*
 * export_child - calls one export in a process of its own, for the tests of
 * the fatal exit.
 *
 *   export_child encrypt|decrypt INPUT OUTPUT PASSWORD
 *
 * Each argument is "(null)" for a null pointer, "u16:" followed by UTF-16
 * units as 4-digit hex (any units, unpaired surrogates included), or plain
 * ASCII. Before the call it leaves "before\n" in the stdout buffer and
 * registers an atexit handler, so the tests can see that a failing call
 * flushes stdio but skips exit handlers.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <uchar.h>

#include "pellfold.h"

static char16_t* Argument(const char* text) {
  if (strcmp(text, "(null)") == 0) return NULL;
  const size_t size = strlen(text);
  char16_t* out = calloc(size + 1, sizeof *out);
  if (out == NULL) exit(3);
  if (strncmp(text, "u16:", 4) == 0) {
    for (size_t i = 0; 4 + 4 * i + 4 <= size; ++i) {
      char digits[5] = {0};
      memcpy(digits, text + 4 + 4 * i, 4);
      out[i] = (char16_t)strtoul(digits, NULL, 16);
    }
  } else {
    for (size_t i = 0; i < size; ++i) out[i] = (char16_t)(unsigned char)text[i];
  }
  return out;
}

static void AtExit(void) {
  printf("atexit ran\n");
}

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: export_child encrypt|decrypt INPUT OUTPUT PASSWORD\n");
    return 2;
  }
  char16_t* input = Argument(argv[2]);
  char16_t* output = Argument(argv[3]);
  char16_t* password = Argument(argv[4]);
  printf("before\n");
  atexit(AtExit);
  const int32_t result = strcmp(argv[1], "encrypt") == 0 ? AESEncypt(input, output, password)
                                                         : AESDecrypt(input, output, password);
  printf("returned %ld\n", (long)result);
  free(input);
  free(output);
  free(password);
  return 0;
}
