// Input and output files as the commands need them: nothing half-written is
// ever left under the output's name, and nothing the user had is lost.
#pragma once

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
  // The size of a regular file, or -1 for a pipe, terminal or device.
  std::int64_t regularSize() const { return regularSize_; }

  // Replaces the stream with a private copy of everything that is left in
  // it: an unlinked mode-0600 file under $TMPDIR (or /tmp), so that nothing
  // is left behind whatever happens. Stops with a Failure once the copy
  // reaches limit bytes. Used to learn the length of a pipe's content.
  void SpoolToPrivateFile(std::int64_t limit);

 private:
  std::string name_;
  std::FILE* stream_ = nullptr;
  bool owned_ = false;
  std::int64_t regularSize_ = -1;
};

// Creates a private (mode 0600) temporary file under $TMPDIR (or /tmp) and
// unlinks it at once: the open stream is the only way to it. Throws Failure.
std::FILE* OpenPrivateTempFile();

// Where a command's result goes, written so that nothing is lost:
//
// - A regular file (the usual case): the output is written to a new
//   temporary file in the output's directory, and only Commit() moves it
//   into place (after flushing it to disk), with the permissions a new file
//   gets, or those of the file it replaces. Until then an existing output
//   is untouched; a failure, an exception or SIGINT/SIGTERM removes the
//   temporary file. Without `force` an existing output is refused, both
//   here and again at the rename (which never replaces a file that appeared
//   meanwhile).
// - Standard output ("-") or an existing non-regular file (/dev/null, a
//   FIFO, a device): written in place. With `deferUntilCommit` the result is
//   first collected in a private temporary file and copied out only by
//   Commit(), so that a failure writes nothing at all there.
//
// The output is refused when it is the same file as the input (same device
// and inode) or a directory.
class OutputFile {
 public:
  OutputFile(const std::string& path, bool force, std::FILE* input, bool deferUntilCommit);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

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
  std::string target_;     // the path that Commit() renames onto (kReplace)
  std::string temporary_;  // the temporary file while it exists (kReplace)
  bool force_ = false;
  bool terminal_ = false;
  int mode_ = 0;  // permissions for the committed file (kReplace)
  std::FILE* stream_ = nullptr;
  std::FILE* destination_ = nullptr;  // kInPlace: where the result goes
  bool ownsDestination_ = false;
};

}  // namespace pellfold::host
