// Inputs and outputs as the commands see them. The ACBC work itself, with
// its temporary outputs, checks and syncs, is libacbc's (acbc.h); what is
// left here is the part that only a command-line program has: standard
// input and output, pipes, and refusing a bad output before the password is
// asked for.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli.h"

namespace pellfold::host {

// A folder reached by descriptors: the root of a walk (opened by its path)
// or a folder below another one (opened relative to it with O_NOFOLLOW), so
// that a folder swapped for a symbolic link, or renamed, after it was found
// is never followed. Descriptors are closed when many are open and opened
// again on demand by walking down from the parent, checking that each one is
// still the folder that was found; a missing folder below an output folder
// is created (mkdirat) on the way.
class Folder {
 public:
  // The folder `path` (a symbolic link to a folder is followed here only).
  // Throws Failure naming it.
  static std::shared_ptr<Folder> Root(const std::string& path, int status);
  // The folder `name` in `parent`, created when missing if `create`.
  static std::shared_ptr<Folder> Below(const std::shared_ptr<Folder>& parent,
                                       const std::string& name, bool create);
  ~Folder();
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  // Its descriptor, opened again if it was closed. Throws Failure naming
  // the folder, with the status given to Root().
  int fd();
  // A path to `name` in the folder that resolves through the descriptor
  // ("/proc/self/fd/N/NAME": short at any depth), or the shown path when
  // there is no /proc. Valid while the folder is pinned.
  std::string PathTo(const std::string& name);
  // The folder as the user names it: the operand joined with the names below.
  const std::string& shown() const { return shown_; }

  // Keeps the descriptor open for its lifetime.
  class Pin {
   public:
    explicit Pin(const std::shared_ptr<Folder>& folder);
    ~Pin();
    Pin(const Pin&) = delete;
    Pin& operator=(const Pin&) = delete;

   private:
    std::shared_ptr<Folder> folder_;
  };

 private:
  Folder() = default;
  bool OpenOne();  // opens this one with the parent open; false with errno
  void Close();

  std::shared_ptr<Folder> parent_;
  std::string name_;  // in the parent, or the path of a root
  std::string shown_;
  int status_ = 0;
  bool create_ = false;
  bool known_ = false;  // device and inode recorded
  dev_t device_ = 0;
  ino_t inode_ = 0;
  int fd_ = -1;
  int pins_ = 0;
};

// Where a file found by a walk is: its folder and its name there. Empty for
// a file named by the user, which is opened by its path.
struct Place {
  std::shared_ptr<Folder> folder;
  std::string name;
};

// An input opened for binary reading: a named file, or standard input for
// "-". Closed on destruction (standard input is left open).
class InputFile {
 public:
  // Throws Failure (naming the file) when it cannot be opened or is a
  // directory. Opening never waits: a FIFO is opened without blocking and
  // then waited on for its first data (or its writer's end), unless
  // `regular` asks for a regular file, as for a file found by a walk (opened
  // in its place's folder, not followed when a symbolic link) and one that
  // --remove-input removes: anything else is then refused.
  explicit InputFile(const std::string& path, const Place& place = {}, bool regular = false);
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // A stream over the input, for reading it from start to end.
  std::FILE* stream() const { return stream_; }
  // The descriptor libacbc reads: the input, or its private copy once
  // spooled. Reading starts at its current offset.
  int fd() const { return fd_; }
  const std::string& name() const { return name_; }  // for messages
  // A path that opens the very file this one read ("/proc/self/fd/N"), or
  // `path` without /proc, for the library calls that take a path.
  std::string SamePath(const std::string& path) const;
  const struct stat& status() const { return status_; }  // as opened
  // True for a regular file that reports a size: libacbc reads it as it
  // is. A pipe, a terminal, a device, and a file that says it is empty
  // (files under /proc have content all the same) are spooled first.
  bool readable() const { return readable_; }

  // Copies more of the input into a private file (see OpenPrivateTempFile)
  // that then stands in for it: reads until `readUpTo` bytes have been read
  // in all or the input ends, stores those before offset `keep` and only
  // counts the rest (the copy's size is the count, the uncounted part a
  // hole). Returns the bytes read in all. Throws Failure on a read or write
  // error and once the count passes `limit`.
  std::int64_t Spool(std::int64_t keep, std::int64_t readUpTo, std::int64_t limit);
  // True once Spool() stands a copy in for the input.
  bool spooled() const { return spool_ >= 0; }
  // True when the input ended during Spool().
  bool ended() const { return ended_; }
  // Gives the spooled copy the permissions an output made from a pipe may
  // have (0666; the copy has no name, so nobody can open it by them).
  void FinishSpool() const;
  // A reader for libacbc's stream calls (the context is the object) over
  // all of the input: what Spool() kept (all it read, with `keep` at least
  // `readUpTo`), then the rest straight from the input, which is thus never
  // copied whole.
  static std::ptrdiff_t ReadThrough(void* context, void* buffer, std::size_t size);

 private:
  std::string name_;
  std::FILE* stream_ = nullptr;
  int fd_ = -1;
  int source_ = -1;  // the input's own descriptor
  bool owned_ = false;
  bool readable_ = false;
  struct stat status_ {};
  int spool_ = -1;
  std::int64_t spooled_ = 0;
  std::int64_t readThrough_ = 0;  // bytes of the copy ReadThrough() delivered
  bool ended_ = false;
};

// Creates a private (mode 0600) temporary file under $TMPDIR (or /tmp) and
// unlinks it at once: the descriptor is the only way to it. Throws Failure
// ("temporary file in DIR: reason").
int OpenPrivateTempFile();
// "temporary file in DIR: reason", for a failure of such a file.
Failure TemporaryFailure(int error);

// Where a command's result goes: standard output, or a file whose libacbc
// job checked it before any password is asked for. Standard output and
// existing non-regular files (/dev/null, a FIFO, a device) are written in
// place; libacbc writes every other output under a temporary name and links
// it into place when complete.
class OutputTarget {
 public:
  // Standard output, which must not be the input's file.
  explicit OutputTarget(const InputFile& input);

  // A file output that a libacbc job checks: nothing is looked up here;
  // SetInPlace() takes what the job found.
  struct Unchecked {};
  OutputTarget(const std::string& path, const std::string& shown, Unchecked /*unchecked*/)
      : path_(path), name_(OutputName(shown.empty() ? path : shown)) {}
  void SetInPlace(bool inPlace);
  ~OutputTarget();
  OutputTarget(const OutputTarget&) = delete;
  OutputTarget& operator=(const OutputTarget&) = delete;

  const std::string& path() const { return path_; }
  const std::string& name() const { return name_; }
  bool isStdout() const { return path_ == "-"; }
  // Standard output or an existing non-regular file: written in place,
  // with nothing to undo when the program is stopped.
  bool inPlace() const { return inPlace_; }
  bool isTerminal() const { return terminal_; }

 private:
  std::string path_;
  std::string name_;
  bool inPlace_ = false;
  bool terminal_ = false;
  // An existing FIFO is opened here for writing, which waits for a reader
  // as any writer of a FIFO does; libacbc, which never waits, then finds
  // that reader there.
  int fifo_ = -1;
  void WaitForReader();
};

// The folder a path names its file in: "." for a bare name, "/" at the root.
std::string DirectoryOf(const std::string& path);

// A file found below a folder by WalkFolder(): its path (the folder as
// given, joined with the names below it), the part below the folder, and
// its place. A folder that could not be read is listed too, with the
// failure set.
struct FoundFile {
  std::string path;
  std::string relative;
  std::string failure;  // "FOLDER: reason", or empty
  Place place;
};
// Every regular file below `folder`, depth first, with the names in each
// folder sorted by byte value, so that runs over the same tree go in the
// same order. Symbolic links are neither followed nor listed, nor are
// devices, FIFOs and sockets. Goes by folder descriptors, without
// recursion, so that any depth works (deeper than PATH_MAX too). Names
// that an interrupted --remove-input may leave (see RemoveFile) are
// skipped. Throws Failure when `folder` itself is not a readable folder.
std::vector<FoundFile> WalkFolder(const std::string& folder);

// Removes the file `name` in the folder `folder` only if it is the file
// `read` (device and inode): it is first renamed to a private name beside it
// (".NAME.pellfold-rm-XXXXXX"), so that no other file can take its name
// meanwhile, and checked there; another file is renamed back. The folder is
// synced after. Returns 0, or errno, or -1 when the name led to another file.
// Signals that end the program are held back between the rename and the
// unlink; only a crash there leaves the private name.
int RemoveFile(int folder, const std::string& name, const struct stat& read);

// Gives the file `path` (through symbolic links) the access and
// modification times of `from`. Returns 0 or errno.
int CopyTimes(const struct stat& from, const std::string& path);

// Writes to standard output, for libacbc's stream calls (context unused).
int WriteStdout(void* context, const void* buffer, std::size_t size);
// Reads the descriptor passed as the context, for libacbc's stream calls.
std::ptrdiff_t ReadDescriptor(void* context, void* buffer, std::size_t size);
// As ReadDescriptor for a pipe, which may keep the program waiting: the
// wait ends on a terminating signal noted under DeferSignals, as a failure
// with ECANCELED (which stops a libacbc stream call as cancelled).
std::ptrdiff_t ReadAwaiting(void* context, void* buffer, std::size_t size);

}  // namespace pellfold::host
