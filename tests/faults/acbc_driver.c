/*
 * acbc_driver: one libacbc file call per run, for the fault sweep.
 *
 *   acbc_driver encrypt INPUT OUTPUT PASSWORD
 *   acbc_driver decrypt INPUT OUTPUT PASSWORD
 *   acbc_driver rekey INPUT OUTPUT|- OLD NEW     (- rewrites INPUT in place)
 *   acbc_driver verify FILE PASSWORD
 *   acbc_driver inspect FILE
 *
 * Outputs are replaced (ACBC_REPLACE). Prints one line on standard output,
 * "STATUS ERRNO LENGTH" ("STATUS - LENGTH EXPECTED PRESENT" for inspect,
 * which has no errno to give, with its record counts), and exits 0 for
 * ACBC_OK, 1 for any other status, 2 for a bad command line.
 */
#include <stdio.h>
#include <string.h>

#include "acbc.h"

static int usage(void) {
  fputs("usage: acbc_driver encrypt|decrypt|rekey|verify|inspect ARGUMENTS\n", stderr);
  return 2;
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
