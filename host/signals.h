// What the program undoes when SIGINT, SIGTERM or SIGHUP ends it: a
// half-written temporary output is removed, and a terminal whose echo was
// turned off for a password prompt gets its settings back. The process then
// exits with status 128 + the signal number (130 for SIGINT, 143 for
// SIGTERM).
//
// The handler uses only async-signal-safe calls on data registered here; the
// registration functions block those signals while they change it, so the
// handler never sees half an update.
#pragma once

#include <termios.h>

#include <csignal>

namespace pellfold::host {

// Installs the handlers (once), and ignores SIGXFSZ so that a write beyond
// the file size limit fails with EFBIG and is cleaned up like any other
// write error instead of killing the process.
void InstallSignalHandlers();

// Blocks SIGINT, SIGTERM and SIGHUP for its lifetime, so that a file can be
// created and registered, or renamed and unregistered, as one step.
class SignalBlock {
 public:
  SignalBlock();
  ~SignalBlock();
  SignalBlock(const SignalBlock&) = delete;
  SignalBlock& operator=(const SignalBlock&) = delete;

 private:
  sigset_t previous_;
};

// The file to remove if a signal ends the process (a copy is kept); nullptr
// clears it. Call inside a SignalBlock, together with creating or renaming
// the file. Returns false when the path is too long to keep.
bool SetCleanupPath(const char* path);

// The terminal to restore if a signal ends the process while a prompt has
// its echo off; fd -1 clears it.
void SetTerminalRestore(int fd, const termios* saved);

}  // namespace pellfold::host
