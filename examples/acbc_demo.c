/*
 * acbc_demo - a minimal host for libpellfold, written in C11.
 *
 *   acbc_demo encrypt|decrypt INPUT OUTPUT PASSWORD
 *
 * It loads libpellfold.so.1 at run time (set PELLFOLD_LIBRARY to load another
 * file), looks up the two exports by name, converts its UTF-8 arguments to
 * UTF-16 and makes one call. On success it prints the call's result; on
 * failure the library ends the process with status 1 itself.
 */
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <uchar.h>

#include "pellfold.h"

typedef int32_t (*ExportFn)(const char16_t*, const char16_t*, const char16_t*);

/* Decodes UTF-8 into a new NUL-terminated UTF-16 string; malformed bytes
 * become U+FFFD. Returns NULL when memory runs out. */
static char16_t* Widen(const char* text) {
  size_t size = strlen(text);
  char16_t* out = malloc((size + 1) * sizeof *out); /* never more units than bytes */
  if (out == NULL) return NULL;
  size_t n = 0;
  const unsigned char* p = (const unsigned char*)text;
  while (*p != 0) {
    uint32_t c = *p++;
    int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
    if (c >= 0x80 && c < 0xC0) c = 0xFFFD;
    if (extra > 0) c &= 0x3Fu >> extra;
    for (; extra > 0; --extra) {
      if ((*p & 0xC0) != 0x80) {
        c = 0xFFFD;
        break;
      }
      c = (c << 6) | (*p++ & 0x3Fu);
    }
    if (c >= 0x10000 && c <= 0x10FFFF) {
      c -= 0x10000;
      out[n++] = (char16_t)(0xD800 + (c >> 10));
      out[n++] = (char16_t)(0xDC00 + (c & 0x3FF));
    } else {
      out[n++] = (char16_t)(c > 0xFFFF ? 0xFFFD : c);
    }
  }
  out[n] = 0;
  return out;
}

int main(int argc, char** argv) {
  if (argc != 5 || (strcmp(argv[1], "encrypt") != 0 && strcmp(argv[1], "decrypt") != 0)) {
    (void)fprintf(stderr, "usage: %s encrypt|decrypt INPUT OUTPUT PASSWORD\n", argv[0]);
    return 2;
  }
  const char* library = getenv("PELLFOLD_LIBRARY");
  void* handle = dlopen(library != NULL ? library : "libpellfold.so.1", RTLD_NOW | RTLD_LOCAL);
  if (handle == NULL) {
    (void)fprintf(stderr, "%s: %s\n", argv[0], dlerror());
    return 3;
  }
  const int encrypt = strcmp(argv[1], "encrypt") == 0;
  const char* name = encrypt ? "AESEncypt" : "AESDecrypt";
  ExportFn fn;
  /* POSIX guarantees that a function pointer survives the trip through void *. */
  *(void**)&fn = dlsym(handle, name);
  if (fn == NULL) {
    (void)fprintf(stderr, "%s: %s not found: %s\n", argv[0], name, dlerror());
    return 3;
  }
  char16_t* input = Widen(argv[2]);
  char16_t* output = Widen(argv[3]);
  char16_t* password = Widen(argv[4]);
  if (input == NULL || output == NULL || password == NULL) {
    (void)fprintf(stderr, "%s: out of memory\n", argv[0]);
    return 3;
  }
  const int32_t result = fn(input, output, password);
  printf("%s returned %ld\n", name, (long)result);
  free(input);
  free(output);
  free(password);
  dlclose(handle);
  return result == (encrypt ? 999 : 0) ? 0 : 4;
}
