// Input and output files as the commands need them: nothing half-written is
// ever left under the output's name, and nothing the user had is lost.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace pellfold::host {

// An input opened for binary reading: a named file, or standard input for
// "-". Closed on destruction (standard input is left open).
class InputFile {
 public:
  // Throws Failure (naming the file) when it cannot be opened or is a
  // directory.
  explicit InputFile(const std::string& path);
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  std::FILE* stream() const { return stream_; }
  const std::string& name() const { return name_; }  // for messages
  // The bytes left in a regular file from where reading starts, or -1 for a
  // pipe, terminal or device.
  std::int64_t regularSize() const { return regularSize_; }
  // The same, taken again now: differs from regularSize() when the file
  // grew or shrank meanwhile.
  std::int64_t CurrentSize() const;
  // The permission bits an output made from this input may have at most:
  // a regular file's read and write bits, else 0666.
  mode_t outputMode() const { return outputMode_; }

  // Replaces the stream with a private copy of what is left in it: an
  // unlinked mode-0600 file under $TMPDIR (or /tmp), so that nothing is left
  // behind whatever happens. Used to learn the length of a pipe's content.
  // The first `keep` bytes are copied; the rest is read and counted only
  // (regularSize() is the whole count). Stops with a Failure once the count
  // passes `limit`.
  void SpoolToPrivateFile(std::int64_t limit, std::int64_t keep);

 private:
  std::string name_;
  std::FILE* stream_ = nullptr;
  bool owned_ = false;
  std::int64_t regularSize_ = -1;
  std::int64_t start_ = 0;  // where reading starts in a regular file
  mode_t outputMode_ = 0666;
};

// Creates a private (mode 0600) temporary file under $TMPDIR (or /tmp) and
// unlinks it at once: the open stream is the only way to it. Throws Failure.
std::FILE* OpenPrivateTempFile();

// Where a command's result goes, written so that nothing is lost:
//
// - A regular file (the usual case): the output is written to a new
//   temporary file in the output's directory, and only Commit() moves it
//   into place (after flushing it and then the directory to disk). The
//   temporary file is created with mode 0600 and takes the output's mode,
//   the input's permission bits & 0666 & ~umask, before any data is written:
//   an output is never more readable than its input and never setuid,
//   setgid or sticky. The directory is held open, and the temporary file is
//   created, renamed and removed relative to it, so that a directory moved
//   meanwhile cannot strand it. Until Commit() an existing output is
//   untouched; a failure, an exception or a terminating signal removes the
//   temporary file. Without `force` an existing output is refused, both here
//   and again at the rename (which never replaces a file that appeared
//   meanwhile).
// - Standard output ("-") or an existing non-regular file (/dev/null, a
//   FIFO, a device): written in place. With `deferUntilCommit` the result is
//   first collected in a private temporary file and copied out only by
//   Commit(), so that a failure writes nothing at all there.
//
// The output is refused when it is the same file as the input (same device
// and inode) or a directory, and when its directory cannot be written.
class OutputFile {
 public:
  // Checks the output; creates nothing. `inputMode` is the input's
  // InputFile::outputMode().
  OutputFile(const std::string& path, bool force, std::FILE* input, mode_t inputMode,
             bool deferUntilCommit);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates the temporary file (or private copy) that stream() writes to.
  // Throws Failure.
  void Open();

  std::FILE* stream() const { return stream_; }
  const std::string& name() const { return name_; }
  // True when the output is a terminal (and so is written in place).
  bool isTerminal() const { return terminal_; }

  // Finishes the output as described above. Throws Failure; the temporary
  // file is gone either way.
  void Commit();

 private:
  enum class Kind { kReplace, kInPlace };

  void CreateTemporary();
  void CopyOut();
  void Discard();

  std::string name_;
  Kind kind_ = Kind::kReplace;
  bool defer_ = false;
  int dirFd_ = -1;         // the output's directory (kReplace)
  std::string base_;       // the name Commit() renames onto, in dirFd_ (kReplace)
  std::string temporary_;  // the temporary file's name in dirFd_ while it exists
  bool force_ = false;
  bool terminal_ = false;
  mode_t mode_ = 0;  // permissions of the output file (kReplace)
  std::FILE* stream_ = nullptr;
  std::FILE* destination_ = nullptr;  // kInPlace: where the result goes
  bool ownsDestination_ = false;
};

}  // namespace pellfold::host
