/*
 * A program that uses libacbc the way any C project would: it includes
 * <acbc.h>, links -lacbc, round-trips a buffer through a file and checks
 * that a wrong password is refused without an output.
 *
 *   acbc_consumer DIR    writes DIR/data.acbc and DIR/back
 */
#include <acbc.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  char enc[600], back[600];
  snprintf(enc, sizeof enc, "%s/data.acbc", argv[1]);
  snprintf(back, sizeof back, "%s/back", argv[1]);
  unsigned char plain[3000], cipher[3584], again[3000];
  for (size_t i = 0; i < sizeof plain; ++i) plain[i] = (unsigned char)(i * 7u);
  acbc_result r;
  if (acbc_encrypt_buffer(plain, sizeof plain, cipher, sizeof cipher, "consumer", 8, &r) != ACBC_OK)
    return 1;
  FILE* f = fopen(enc, "wb");
  if (f == NULL || fwrite(cipher, 1, sizeof cipher, f) != sizeof cipher || fclose(f) != 0) return 1;
  if (acbc_decrypt_file(enc, back, "wrong", 5, 0, NULL, &r) != ACBC_E_WRONG_PASSWORD) return 1;
  if (fopen(back, "rb") != NULL) return 1;
  if (acbc_decrypt_file(enc, back, "consumer", 8, 0, NULL, &r) != ACBC_OK) return 1;
  f = fopen(back, "rb");
  if (f == NULL || fread(again, 1, sizeof again, f) != sizeof again ||
      memcmp(again, plain, sizeof plain) != 0)
    return 1;
  fclose(f);
  printf("acbc round trip ok (libacbc %s)\n", acbc_version());
  return 0;
}
