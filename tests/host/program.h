// Driving the pellfold program as a user would: a child process on real
// files, fed through pipes, FIFOs or a pseudo-terminal. AESEncypt and
// AESDecrypt (through the export_child program) are the reference for the
// files it must write and read.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "files.h"
#include "oracle.h"

namespace pellfold::test {

// pellfold ARGS... with the given standard input and extra environment.
ProcessResult Pellfold(const std::vector<std::string>& args, const std::string& input = "",
                       const std::vector<std::string>& env = {});

// Runs AESEncypt or AESDecrypt (op "encrypt" or "decrypt") in export_child
// with the password handed over as UTF-16; false unless it returned its
// success value.
bool CallExport(const std::string& op, const std::string& in, const std::string& out,
                const std::u16string& password);
// The file AESEncypt writes for `in` under password.
Bytes AesEncypt(const std::string& in, const std::u16string& password);

std::string Utf8(const std::u16string& text);
inline std::string Text(const Bytes& b) {
  return std::string(b.begin(), b.end());
}
inline Bytes ToBytes(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

// Everything in a directory (not recursive): type and mode, and the content
// of a regular file or the target of a symbolic link. Two equal snapshots
// mean nothing was created, removed or changed.
struct Entry {
  unsigned mode = 0;
  std::string content;
  bool operator==(const Entry&) const = default;
};
std::map<std::string, Entry> Snapshot(const std::string& dir);

// A child left running, for the tests that interrupt it. Standard output
// goes to the file `stdoutPath`, standard error to /dev/null; SIGINT, SIGTERM,
// SIGHUP and SIGQUIT start with their default handling whatever the test runner
// ignores. `env` is added to the environment.
struct Child {
  pid_t pid = -1;
  int stdinFd = -1;  // write end of the child's standard input, if piped
};
Child Spawn(const std::vector<std::string>& argv, bool pipeStdin, const std::string& stdoutPath,
            const std::vector<std::string>& env);
// Waits up to `seconds` for the child (killing it after that) and returns
// its wait status.
int WaitFor(pid_t pid, int seconds);

// A session on a pseudo-terminal: the program's standard input, output and
// error are the terminal. Each step waits until `expect` appears in what the
// program printed (after the previous match) and then types `send`; with a
// `signal`, it first waits until the program has stopped, notes the
// terminal's ECHO flag, and sends it the signal.
struct PtyStep {
  std::string expect;
  std::string send;
  int signal = 0;
};
struct PtyResult {
  int exitCode = -1;
  int signal = 0;
  std::string transcript;    // everything the terminal showed
  bool echoAfter = false;    // the terminal's ECHO flag once the program ended
  bool echoStopped = false;  // the ECHO flag while it was stopped (signal steps)
};
PtyResult RunInPty(const std::vector<std::string>& argv, const std::vector<PtyStep>& steps,
                   int seconds = 60);

}  // namespace pellfold::test
