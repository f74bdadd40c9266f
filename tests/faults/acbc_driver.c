/*
 * acbc_driver: one libacbc file call per run, for the fault sweep.
 *
 *   acbc_driver encrypt INPUT OUTPUT PASSWORD
 *   acbc_driver decrypt INPUT OUTPUT PASSWORD
 *   acbc_driver rekey INPUT OUTPUT|- OLD NEW     (- rewrites INPUT in place)
 *   acbc_driver verify FILE PASSWORD
 *   acbc_driver inspect FILE
 *   acbc_driver upgrade INPUT OUTPUT PASSWORD PASSPHRASE
 *   acbc_driver age-decrypt INPUT OUTPUT PASSPHRASE
 *   acbc_driver age-rekey INPUT OUTPUT|- OLD NEW  (passphrases; - rewrites INPUT in place)
 *
 * age files are written at scrypt work factor 10, for speed. Outputs are
 * replaced (ACBC_REPLACE). Prints one line on standard output,
 * "STATUS ERRNO LENGTH" ("STATUS - LENGTH EXPECTED PRESENT" for inspect,
 * which has no errno to give, with its record counts), and exits 0 for
 * ACBC_OK, 1 for any other status, 2 for a bad command line.
 */
#include <stdio.h>
#include <string.h>

#include "acbc.h"

static int usage(void) {
  fputs(
      "usage: acbc_driver encrypt|decrypt|rekey|verify|inspect|upgrade|age-decrypt|age-rekey "
      "ARGUMENTS\n",
      stderr);
  return 2;
}

static acbc_age_keys passphrase(const char* text) {
  const acbc_age_keys keys = {text, strlen(text), 10, NULL, 0, NULL, 0};
  return keys;
}

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  const char* command = argv[1];
  acbc_result result;
  memset(&result, 0, sizeof result);
  acbc_status status;
  if ((strcmp(command, "encrypt") == 0 || strcmp(command, "decrypt") == 0) && argc == 5) {
    status = (command[0] == 'e' ? acbc_encrypt_file : acbc_decrypt_file)(
        argv[2], argv[3], argv[4], strlen(argv[4]), ACBC_REPLACE, NULL, &result);
  } else if (strcmp(command, "rekey") == 0 && argc == 6) {
    const char* output = strcmp(argv[3], "-") == 0 ? NULL : argv[3];
    status = acbc_rekey_file(argv[2], output, argv[4], strlen(argv[4]), argv[5], strlen(argv[5]),
                             ACBC_REPLACE, NULL, &result);
  } else if (strcmp(command, "upgrade") == 0 && argc == 6) {
    const acbc_age_keys keys = passphrase(argv[5]);
    status = acbc_upgrade_file(argv[2], argv[3], argv[4], strlen(argv[4]), &keys, ACBC_REPLACE,
                               NULL, &result);
  } else if (strcmp(command, "age-decrypt") == 0 && argc == 5) {
    const acbc_age_keys keys = passphrase(argv[4]);
    status = acbc_age_decrypt_file(argv[2], argv[3], &keys, ACBC_REPLACE, NULL, &result);
  } else if (strcmp(command, "age-rekey") == 0 && argc == 6) {
    const char* output = strcmp(argv[3], "-") == 0 ? NULL : argv[3];
    const acbc_age_keys old_keys = passphrase(argv[4]), new_keys = passphrase(argv[5]);
    status =
        acbc_age_rekey_file(argv[2], output, &old_keys, &new_keys, ACBC_REPLACE, NULL, &result);
  } else if (strcmp(command, "verify") == 0 && argc == 4) {
    status = acbc_verify_file(argv[2], argv[3], strlen(argv[3]), &result);
  } else if (strcmp(command, "inspect") == 0 && argc == 3) {
    acbc_info info;
    status = acbc_inspect_file(argv[2], &info);
    printf("%s - %lld %lld %lld\n", acbc_status_name(status), (long long)info.length,
           (long long)info.records_expected, (long long)info.records_present);
    return status == ACBC_OK ? 0 : 1;
  } else {
    return usage();
  }
  printf("%s %d %lld\n", acbc_status_name(status), result.error_number, (long long)result.length);
  return status == ACBC_OK ? 0 : 1;
}
