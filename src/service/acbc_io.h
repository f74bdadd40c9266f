// The input and output machinery shared by the file calls of acbc.h, ACBC
// and age alike: inputs read with pread from a known size, outputs written
// to an unnamed temporary file in the output's folder (a named one where
// the file system has none) and linked into place only when complete.
#pragma once

#include <acbc.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>

#include "service/acbc_engine.h"

namespace pellfold::acbc {

// ---------------------------------------------------------------- input

struct Input {
  int fd = -1;
  bool owned = false;
  off_t base = 0;         // where the file begins for this call
  std::int64_t size = 0;  // bytes from base to the end
  struct stat st {};
};

void CloseInput(Input* in);
// Opens a path (a FIFO is refused, not waited on) or takes a caller's
// descriptor, and measures it: a regular file or a device that seeks.
acbc_status OpenInputPath(const char* path, Input* in, acbc_result* r);
acbc_status OpenInputFd(int fd, Input* in, acbc_result* r);

// Reads [offset, end) of a descriptor with pread, whatever its own offset.
struct FdSource {
  int fd;
  off_t offset;
  off_t end;
};
Reader FdReader(FdSource* source);

// A regular input whose size, modification or change time moved while it
// was read was rewritten under the call: ACBC_E_INPUT_CHANGED.
acbc_status CheckUnchanged(const Input& in, acbc_result* r);

// ---------------------------------------------------------------- ACBC checks

// Reads the header record (the rest zero-filled) and classifies the file.
acbc_status ReadLayout(const Input& in, Layout* layout, acbc_result* r);

// ---------------------------------------------------------------- output

struct Output {
  int dirFd = -1;
  int fd = -1;
  bool inPlace = false;  // an existing file that is not regular: written directly
  bool unnamed = false;  // fd is an O_TMPFILE file
  bool replace = false;
  bool sync = true;
  // The temporary file is opened for reading too, so that a call can read
  // back what it wrote before it is linked.
  bool readable = false;
  mode_t mode = 0600;
  // An in-place rewrite keeps the file's owner where it may (as root).
  bool keepOwner = false;
  uid_t owner = 0;
  gid_t group = 0;
  char target[PATH_MAX] = {};
  char base[NAME_MAX + 1] = {};
  char temporary[NAME_MAX + 1] = {};  // a named temporary file in the folder, when there is one
  // Why the temporary name could not be removed once the output was linked
  // under its own name; 0 when it was.
  int leftover = 0;
  bool existed = false;  // a file had the output's name when it was checked
  bool placed = false;   // the new output is under its name
  // Set by a batch commit: the file's data was synced by its file system's
  // syncfs, and the folder is synced once for all the batch's outputs in it.
  bool fileSynced = false;
  bool folderSyncDeferred = false;
};

// The checks on the output before anything is created: the folder opens
// and is writable, an existing output is refused without ACBC_REPLACE, and
// the input is not the output. `inPlace` (a rekey without an output) names
// the input itself as the file to replace.
acbc_status PrepareOutput(const char* path, const Input& in, unsigned flags, bool inPlace,
                          Output* out, acbc_result* r);
// True when a rename by `user` over `target` in `folder` is refused: a
// sticky folder, neither of them the user's, and the user is not root.
bool StickyRefuses(const struct stat& folder, const struct stat& target, uid_t user);
// Creates the temporary file (or opens an in-place output) with its final
// mode and owner, before any data is in it.
acbc_status CreateOutput(Output* out, acbc_result* r);
// Syncs the complete temporary file, links it under its name and syncs the
// folder.
acbc_status CommitOutput(Output* out, acbc_result* r);
// Closes and removes whatever of the output is not in place; a named
// temporary file that cannot be removed sets ACBC_WARN_TEMPORARY_LEFT in
// `r` (when given).
void DiscardOutput(Output* out, acbc_result* r = nullptr);
// A writer callback over a descriptor: all of the buffer, through short writes.
int WriteFd(void* context, const void* buffer, std::size_t size);

}  // namespace pellfold::acbc
