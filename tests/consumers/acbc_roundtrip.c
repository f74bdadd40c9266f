/*
 * A program that uses an installed libacbc the way any C project would: it
 * includes <acbc.h>, links -lacbc, round-trips a file, and gets a wrong
 * password and an existing output back as statuses.
 *
 *   acbc_consumer DIR    writes DIR/plain, DIR/plain.acbc and DIR/back
 */
#include <acbc.h>
#include <stdio.h>
#include <string.h>

#define SIZE 3000

static const char kPassword[] = "consumer password";

static int Expect(const char* what, acbc_status got, acbc_status want) {
  if (got == want) return 0;
  fprintf(stderr, "%s: %s, expected %s\n", what, acbc_status_text(got), acbc_status_text(want));
  return 1;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: acbc_consumer DIR\n");
    return 2;
  }
  static unsigned char plain[SIZE], back[SIZE + 1];
  for (size_t i = 0; i < SIZE; ++i) plain[i] = (unsigned char)(i * 7 + 3);
  char in[4096], enc[4096], out[4096];
  snprintf(in, sizeof in, "%s/plain", argv[1]);
  snprintf(enc, sizeof enc, "%s/plain.acbc", argv[1]);
  snprintf(out, sizeof out, "%s/back", argv[1]);
  FILE* f = fopen(in, "wb");
  if (f == NULL || fwrite(plain, 1, SIZE, f) != SIZE || fclose(f) != 0) return 3;

  const size_t n = strlen(kPassword);
  acbc_result result;
  int failed =
      Expect("encrypt", acbc_encrypt_file(in, enc, kPassword, n, 0, NULL, &result), ACBC_OK);
  failed |= Expect("wrong password", acbc_decrypt_file(enc, out, "not it", 6, 0, NULL, NULL),
                   ACBC_E_WRONG_PASSWORD);
  failed |= Expect("decrypt", acbc_decrypt_file(enc, out, kPassword, n, 0, NULL, &result), ACBC_OK);
  failed |= Expect("existing output", acbc_decrypt_file(enc, out, kPassword, n, 0, NULL, NULL),
                   ACBC_E_OUTPUT_EXISTS);
  f = fopen(out, "rb");
  const size_t got = f == NULL ? 0 : fread(back, 1, sizeof back, f);
  if (f != NULL) fclose(f);
  if (failed || result.length != SIZE || got != SIZE || memcmp(plain, back, SIZE) != 0) {
    fprintf(stderr, "round trip failed (%zu bytes back)\n", got);
    return 1;
  }
  printf("round trip ok\n");
  return 0;
}
