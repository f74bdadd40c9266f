// The output side of the file calls (acbc_files.cpp), for calls that write
// a new file piece by piece: an unnamed temporary file in the output's
// folder, linked into place on commit, with the guarantees acbc.h gives the
// file calls. The state lives in caller memory.
#pragma once

#include <acbc.h>

#include <cstddef>
#include <cstdint>

namespace pellfold::acbc {

struct alignas(8) OutputSlot {
  unsigned char bytes[5120];
};

// Checks `path` as the file calls do (ACBC_REPLACE, ACBC_NO_SYNC) and
// creates its temporary file, mode 0666 & ~umask. On a failure nothing is
// left and the slot needs no OutputDiscard.
acbc_status OutputBegin(OutputSlot* slot, const char* path, unsigned flags, acbc_result* result);
// Writes `size` bytes at `offset` of the temporary file; ACBC_E_WRITE.
acbc_status OutputWriteAt(OutputSlot* slot, const std::uint8_t* buffer, std::size_t size,
                          std::int64_t offset, acbc_result* result);
// Syncs the file and puts it under its name; the slot is released either way.
acbc_status OutputCommit(OutputSlot* slot, acbc_result* result);
// Removes the temporary file and releases the slot; ACBC_WARN_TEMPORARY_LEFT
// in `result` (when given) for a named one that could not be removed.
void OutputDiscard(OutputSlot* slot, acbc_result* result = nullptr);

}  // namespace pellfold::acbc
