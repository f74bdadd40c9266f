#include "signals.h"

#include <limits.h>
#include <unistd.h>

#include <cstring>

namespace pellfold::host {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Written only with the signals blocked, read only by the handler.
char gCleanupPath[PATH_MAX];
volatile std::sig_atomic_t gCleanupArmed = 0;
termios gTerminalSaved;
volatile std::sig_atomic_t gTerminalFd = -1;

extern "C" void OnTerminatingSignal(int signal) {
  if (gTerminalFd >= 0) {
    tcsetattr(gTerminalFd, TCSANOW, &gTerminalSaved);
    // The user's Enter never came: end the prompt's line.
    const ssize_t ignored = write(gTerminalFd, "\n", 1);
    (void)ignored;
  }
  if (gCleanupArmed != 0) unlink(gCleanupPath);
  _exit(128 + signal);
}

sigset_t TerminatingSet() {
  sigset_t set;
  sigemptyset(&set);
  for (const int s : kSignals) sigaddset(&set, s);
  return set;
}

}  // namespace

void InstallSignalHandlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  struct sigaction action {};
  action.sa_handler = OnTerminatingSignal;
  action.sa_mask = TerminatingSet();  // one handler at a time
  for (const int s : kSignals) {
    // A signal that was ignored when we started (nohup, a shell's
    // background job) stays ignored, as for any well-behaved program.
    struct sigaction old {};
    if (sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    sigaction(s, &action, nullptr);
  }
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, nullptr);
}

SignalBlock::SignalBlock() {
  const sigset_t set = TerminatingSet();
  sigprocmask(SIG_BLOCK, &set, &previous_);
}

SignalBlock::~SignalBlock() {
  sigprocmask(SIG_SETMASK, &previous_, nullptr);
}

bool SetCleanupPath(const char* path) {
  if (path == nullptr) {
    gCleanupArmed = 0;
    return true;
  }
  const std::size_t length = std::strlen(path);
  if (length >= sizeof gCleanupPath) return false;
  std::memcpy(gCleanupPath, path, length + 1);
  gCleanupArmed = 1;
  return true;
}

void SetTerminalRestore(int fd, const termios* saved) {
  const SignalBlock block;
  if (fd >= 0) gTerminalSaved = *saved;
  gTerminalFd = fd;
}

}  // namespace pellfold::host
