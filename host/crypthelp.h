// Help text shared by encrypt, decrypt, verify, rekey and upgrade: the lines
// of the options they have in common.
#pragma once

#define PELLFOLD_PASS_HELP                                                              \
  "  -p, --pass SOURCE  take the password from SOURCE: pass:TEXT, env:VAR,\n"           \
  "                     file:PATH, fd:N or stdin (first line, line end removed; on a\n" \
  "                     terminal it is asked for without echo); without it the\n"       \
  "                     password is asked for on the terminal\n"

#define PELLFOLD_JOBS_HELP                                                           \
  "  -j, --jobs N       with several files, do up to N at once once the password\n"  \
  "                     is known (default: one per processor); what is printed is\n" \
  "                     the same, in the same order, as with -j 1\n"

#define PELLFOLD_FILES_HELP(what)                                                   \
  "  -r, --recursive    " what                                                      \
  " every file below each FOLDER (symbolic links are\n"                             \
  "                     not followed)\n"                                            \
  "  -o, --output-dir DIR  with -m or -r, write the outputs into DIR instead of\n"  \
  "                     beside their inputs (with -r, in the same sub-folders)\n"   \
  "      --preserve     give OUTPUT the access and modification times of INPUT\n"   \
  "      --remove-input remove INPUT once OUTPUT is complete and in place; never\n" \
  "                     after a failure\n" PELLFOLD_JOBS_HELP

#define PELLFOLD_AGE_HELP                                                          \
  "      --recipient age1...  encrypt to this X25519 recipient instead of a\n"     \
  "                     passphrase (repeatable)\n"                                 \
  "  -R, --recipients-file FILE  encrypt to the recipients in FILE, one a line\n"  \
  "                     ('#' comments and blank lines ignored; repeatable)\n"      \
  "  -a, --armor        write age's ASCII armor\n"                                 \
  "      --work-factor N  scrypt work factor (log2 N, 1 to 30) of a passphrase;\n" \
  "                     default 18\n"

#define PELLFOLD_IDENTITY_HELP                                                     \
  "  -i, --identity FILE  for age files: an identity file (AGE-SECRET-KEY-1...\n"  \
  "                     lines); repeatable. A passphrase is asked for only when\n" \
  "                     the file is encrypted under one\n"                         \
  "      --max-work-factor N  refuse an age file whose passphrase asks for a\n"    \
  "                     scrypt work factor above N (default 22)\n"

#define PELLFOLD_JSON_HELP                                                          \
  "      --json         print one JSON object per file on standard output: path,\n" \
  "                     status, message and warnings (output, for encrypt and decrypt)\n"
