/*
 * A program that uses an installed Pellfold the way any C project would:
 * it includes <pellfold.h>, links -lpellfold, and round-trips a file
 * through both exports.
 *
 *   consumer DIR    writes DIR/plain, DIR/plain.acbc and DIR/back
 */
#include <pellfold.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define PASSWORD "consumer password"
#define SIZE 3000

/* ASCII text to a new UTF-16 string. */
static char16_t* Widen(const char* text) {
  const size_t n = strlen(text);
  char16_t* wide = calloc(n + 1, sizeof *wide);
  if (wide == NULL) exit(3);
  for (size_t i = 0; i < n; ++i) wide[i] = (char16_t)(unsigned char)text[i];
  return wide;
}

static char16_t* PathIn(const char* dir, const char* name) {
  char path[4096];
  snprintf(path, sizeof path, "%s/%s", dir, name);
  return Widen(path);
}

static size_t ReadAll(const char* dir, const char* name, unsigned char* buffer, size_t size) {
  char path[4096];
  snprintf(path, sizeof path, "%s/%s", dir, name);
  FILE* f = fopen(path, "rb");
  if (f == NULL) return (size_t)-1;
  const size_t n = fread(buffer, 1, size, f);
  fclose(f);
  return n;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: consumer DIR\n");
    return 2;
  }
  static unsigned char plain[SIZE], back[SIZE + 1];
  for (size_t i = 0; i < SIZE; ++i) plain[i] = (unsigned char)(i * 7 + 3);
  char path[4096];
  snprintf(path, sizeof path, "%s/plain", argv[1]);
  FILE* f = fopen(path, "wb");
  if (f == NULL || fwrite(plain, 1, SIZE, f) != SIZE || fclose(f) != 0) return 3;

  char16_t* in = PathIn(argv[1], "plain");
  char16_t* enc = PathIn(argv[1], "plain.acbc");
  char16_t* out = PathIn(argv[1], "back");
  char16_t* password = Widen(PASSWORD);
  const int32_t encrypted = AESEncypt(in, enc, password);
  const int32_t decrypted = AESDecrypt(enc, out, password);
  const size_t n = ReadAll(argv[1], "back", back, sizeof back);
  free(in);
  free(enc);
  free(out);
  free(password);
  if (encrypted != 999 || decrypted != 0 || n != SIZE || memcmp(plain, back, SIZE) != 0) {
    fprintf(stderr, "round trip failed: %ld %ld %zu\n", (long)encrypted, (long)decrypted, n);
    return 1;
  }
  printf("round trip ok\n");
  return 0;
}
