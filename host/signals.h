// What the program undoes when SIGINT, SIGTERM, SIGHUP or SIGQUIT ends it: a
// half-written temporary output is removed, and a terminal whose echo was
// turned off for a password prompt gets its settings back. The process then
// exits with status 128 + the signal number (130 for SIGINT, 131 for
// SIGQUIT, 143 for SIGTERM), without a core dump.
//
// At a password prompt, SIGTSTP (Ctrl-Z) gives the terminal its settings
// back before the process stops, and SIGCONT turns echo off again and shows
// the prompt once more, so that a password is never echoed after `fg`.
//
// The handlers use only async-signal-safe calls on data registered here; the
// registration functions block those signals while they change it, so a
// handler never sees half an update.
#pragma once

#include <termios.h>

#include <csignal>

namespace pellfold::host {

// Installs the handlers (once), and ignores SIGXFSZ so that a write beyond
// the file size limit fails with EFBIG and is cleaned up like any other
// write error instead of killing the process.
void InstallSignalHandlers();

// Keeps secrets out of core files and away from other processes of the same
// user: no core dump (RLIMIT_CORE 0) and not dumpable (no ptrace attach, no
// /proc/PID/mem), for the rest of the process's life.
void ProtectSecrets();

// Blocks the handled signals for its lifetime, so that a file can be
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

// The file to remove if a signal ends the process: `name` inside the
// directory open as `dirFd` (a copy of the name is kept), so that the file is
// found even if the directory was moved meanwhile. nullptr clears it. Call
// inside a SignalBlock, together with creating or renaming the file. Returns
// false when the name is too long to keep.
bool SetCleanupPath(int dirFd, const char* name);

// The terminal prompt in progress: its descriptor, the settings to restore,
// the settings with echo off, and the prompt to show again after SIGCONT.
// fd -1 clears it. The prompt text must outlive the registration.
void SetTerminalRestore(int fd, const termios* saved, const termios* quiet, const char* prompt);

}  // namespace pellfold::host
