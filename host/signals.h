// What the program does when SIGINT, SIGTERM, SIGHUP or SIGQUIT ends it: a
// terminal whose echo was turned off for a password prompt gets its
// settings back, and the process exits with status 128 + the signal number
// (130 for SIGINT, 131 for SIGQUIT, 143 for SIGTERM), without a core dump.
// Outputs need nothing undone: libacbc writes them under no name (or a
// temporary one) until they are complete. While a libacbc call writes a file
// (DeferSignals), the signal is only noted and the call is asked to stop
// through its progress hook, so that the call either leaves everything as
// it was or, when the signal came too late for that, finishes its output,
// which the program then reports as written.
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
// created and unlinked as one step.
class SignalBlock {
 public:
  SignalBlock();
  ~SignalBlock();
  SignalBlock(const SignalBlock&) = delete;
  SignalBlock& operator=(const SignalBlock&) = delete;

 private:
  sigset_t previous_;
};

// For its lifetime, a terminating signal is noted (CaughtSignal()) instead
// of ending the process; a second one ends it at once. Several may be alive
// at once, one a worker thread: a signal is noted while any is, and once
// noted it stays noted for the rest of a parallel run, so that every call
// in progress stops.
class DeferSignals {
 public:
  DeferSignals();
  ~DeferSignals();
  DeferSignals(const DeferSignals&) = delete;
  DeferSignals& operator=(const DeferSignals&) = delete;
};

// The terminating signal noted under DeferSignals, or 0.
int CaughtSignal();

// Waits until `fd` has something to read (or its end, or an error), or,
// under DeferSignals, until a terminating signal is noted: a blocked read
// of a pipe would otherwise go on after the signal (the handlers restart
// system calls). Returns CaughtSignal().
int AwaitInput(int fd);

// Ends the process as the signal would have: status 128 + signal. On a
// worker thread (SetWorkerThread) it throws SignalStop instead, and the
// run ends the process once every job in progress has returned and what
// the jobs done said is printed.
[[noreturn]] void ExitForSignal(int signal);
struct SignalStop {
  int signal;
};
void SetWorkerThread(bool worker);

// The terminal prompt in progress: its descriptor, the settings to restore,
// the settings with echo off, and the prompt to show again after SIGCONT.
// fd -1 clears it. The prompt text must outlive the registration.
void SetTerminalRestore(int fd, const termios* saved, const termios* quiet, const char* prompt);

}  // namespace pellfold::host
