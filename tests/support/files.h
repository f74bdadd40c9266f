// File and process helpers for tests that work on real files or drive a
// program in a child process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pellfold::test {

using Bytes = std::vector<std::uint8_t>;

// A fresh directory under $TMPDIR (or /tmp), removed with its contents on
// destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

Bytes ReadFile(const std::string& path);
void WriteFile(const std::string& path, const Bytes& data);
bool FileExists(const std::string& path);
// Names of the entries of a directory, sorted, without "." and "..".
std::vector<std::string> ListDir(const std::string& path);

struct ProcessResult {
  int exitCode = -1;  // exit status, or -1 when the child did not exit normally
  int signal = 0;     // the signal that ended the child, if any
  std::string out;    // everything the child wrote to standard output
  std::string err;    // ... and to standard error
};

// An argument for tests/service/export_child that carries any UTF-16 text,
// unpaired surrogates included: "u16:" and each unit as 4 hex digits.
std::string ExportChildArgument(const std::u16string& text);

// Runs argv[0] (searched on PATH when it has no slash) with the given
// standard input and environment additions, and waits for it.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& input = "",
                         const std::vector<std::string>& extraEnv = {});

}  // namespace pellfold::test
