// ACBC encryption of an input that comes as it comes (a pipe, a terminal, a
// file that says it is empty): its length, which the header records first,
// is known only at its end. The plaintext never reaches any file but the
// output: a named output gets the records as they are encrypted and the
// header last (acbc_writer); standard output and outputs written in place
// get the header first, so the records wait in a private file until the
// length is known, encrypted already.
#pragma once

#include <cstddef>
#include <string>

#include "acbc.h"

namespace pellfold::host {

// Encrypts all of `fd` into the file `path` through acbc_writer (flags:
// ACBC_REPLACE), waiting for more input as long as it takes but not past a
// terminating signal noted under DeferSignals (ACBC_E_CANCELLED). Fills `r`
// as the library's calls do.
void EncryptPipedToFile(int fd, const std::string& path, const void* password,
                        std::size_t passwordLength, unsigned flags, acbc_result* r);

// Encrypts all of `fd` into `write`: the records into a private temporary
// file (see OpenPrivateTempFile) as they are encrypted, then the header and
// the records to `write`. Fills `r`; throws Failure when the temporary file
// fails.
void EncryptPipedAside(int fd, const void* password, std::size_t passwordLength,
                       acbc_write_fn write, void* context, acbc_result* r);

}  // namespace pellfold::host
