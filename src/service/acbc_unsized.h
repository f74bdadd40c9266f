// ACBC encryption of a plaintext read to its end, whose length is known
// only then (acbc_unsized.cpp).
#pragma once

#include <acbc.h>
#include <sys/types.h>

#include "service/acbc_engine.h"

namespace pellfold::acbc {

// Encrypts what `reader` gives, to its end (ACBC_E_TOO_LARGE past the
// longest plaintext), into the seekable `fd` as a whole ACBC file at
// `base`: the records after the header's place as they come, the header
// last. Progress is told with a total of -1. Sets r->length and counts
// r->bytes_written.
acbc_status EncryptUnsized(Reader reader, const CallKey& key, int fd, off_t base,
                           const Progress& report, acbc_result* r);
// The same into `writer`, which is written in order: the file is made
// aside in an unnamed temporary file of $TMPDIR (or /tmp), then copied.
acbc_status EncryptUnsizedTo(Reader reader, const CallKey& key, Writer writer,
                             const Progress& report, acbc_result* r);

}  // namespace pellfold::acbc
