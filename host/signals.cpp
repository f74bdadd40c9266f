#include "signals.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace pellfold::host {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// DeferSignals alive, and the signal noted; lock-free, so the handler may
// read and write them.
std::atomic<int> gDeferring = 0;
std::atomic<int> gCaught = 0;
static_assert(std::atomic<int>::is_always_lock_free);
thread_local bool tWorker = false;
// Written only with the signals blocked, read only by the handlers.
termios gTerminalSaved;
termios gTerminalQuiet;
const char* volatile gPrompt = nullptr;
volatile std::sig_atomic_t gTerminalFd = -1;
// A pipe the handler writes a byte into when it notes a signal, so that a
// thread waiting for input wakes even when another thread took the signal.
int gWake[2] = {-1, -1};

void WriteAll(int fd, const char* text) {
  const ssize_t ignored = write(fd, text, std::strlen(text));
  (void)ignored;
}

extern "C" void OnTerminatingSignal(int signal) {
  if (gDeferring != 0 && gCaught == 0) {
    gCaught = signal;
    const int saved = errno;
    if (gWake[1] >= 0) WriteAll(gWake[1], "!");
    errno = saved;
    return;
  }
  if (gTerminalFd >= 0) {
    tcsetattr(gTerminalFd, TCSANOW, &gTerminalSaved);
    // The user's Enter never came: end the prompt's line.
    WriteAll(gTerminalFd, "\n");
  }
  _exit(128 + signal);
}

// Ctrl-Z: the shell the user returns to gets a terminal that echoes. The
// process then stops with SIGSTOP, which (unlike a re-raised SIGTSTP) stops
// it whatever its process group.
extern "C" void OnStop(int /*signal*/) {
  const int saved = errno;
  if (gTerminalFd >= 0) {
    tcsetattr(gTerminalFd, TCSANOW, &gTerminalSaved);
    WriteAll(gTerminalFd, "\n");
  }
  kill(getpid(), SIGSTOP);
  errno = saved;
}

// Back from a stop (after Ctrl-Z, SIGSTOP or anything else): echo goes off
// again before the prompt shows, so nothing typed after it can be echoed.
extern "C" void OnContinue(int /*signal*/) {
  const int saved = errno;
  if (gTerminalFd >= 0) {
    tcsetattr(gTerminalFd, TCSANOW, &gTerminalQuiet);
    if (gPrompt != nullptr) WriteAll(gTerminalFd, gPrompt);
  }
  errno = saved;
}

sigset_t HandledSet() {
  sigset_t set;
  sigemptyset(&set);
  for (const int s : kSignals) sigaddset(&set, s);
  sigaddset(&set, SIGTSTP);
  sigaddset(&set, SIGCONT);
  return set;
}

}  // namespace

void InstallSignalHandlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  if (pipe2(gWake, O_CLOEXEC | O_NONBLOCK) != 0) gWake[0] = gWake[1] = -1;
  struct sigaction action {};
  action.sa_handler = OnTerminatingSignal;
  action.sa_mask = HandledSet();  // one handler at a time
  // A noted signal must not fail the system call it interrupted.
  action.sa_flags = SA_RESTART;
  for (const int s : kSignals) {
    // A signal that was ignored when we started (nohup, a shell's
    // background job) stays ignored, as for any well-behaved program.
    struct sigaction old {};
    if (sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    sigaction(s, &action, nullptr);
  }
  struct sigaction stop {};
  stop.sa_handler = OnStop;
  stop.sa_mask = HandledSet();
  sigdelset(&stop.sa_mask, SIGCONT);  // runs while the stop handler waits
  stop.sa_flags = SA_RESTART;
  struct sigaction old {};
  if (sigaction(SIGTSTP, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) {
    sigaction(SIGTSTP, &stop, nullptr);
  }
  struct sigaction resume {};
  resume.sa_handler = OnContinue;
  resume.sa_flags = SA_RESTART;
  sigaction(SIGCONT, &resume, nullptr);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, nullptr);
}

void ProtectSecrets() {
  const rlimit none{0, 0};
  setrlimit(RLIMIT_CORE, &none);
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

SignalBlock::SignalBlock() {
  const sigset_t set = HandledSet();
  sigprocmask(SIG_BLOCK, &set, &previous_);
}

SignalBlock::~SignalBlock() {
  sigprocmask(SIG_SETMASK, &previous_, nullptr);
}

DeferSignals::DeferSignals() {
  // A signal noted while a worker's call was in progress stops the others
  // too: only the first call of a single-threaded run starts afresh.
  if (gDeferring.fetch_add(1) == 0 && !tWorker && gCaught != 0) {
    gCaught = 0;
    char drained[16];
    while (gWake[0] >= 0 && read(gWake[0], drained, sizeof drained) > 0) {
    }
  }
}

DeferSignals::~DeferSignals() {
  gDeferring.fetch_sub(1);
}

int CaughtSignal() {
  return gCaught;
}

int AwaitInput(int fd) {
  // Blocked until the wait itself, so that a signal that comes between the
  // check and the wait ends the wait instead of being missed.
  const sigset_t set = HandledSet();
  sigset_t previous;
  sigprocmask(SIG_BLOCK, &set, &previous);
  if (gCaught == 0) {
    pollfd wait[2] = {{fd, POLLIN, 0}, {gWake[0], POLLIN, 0}};
    ppoll(wait, gWake[0] >= 0 ? 2 : 1, nullptr, &previous);
  }
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  return gCaught;
}

void SetWorkerThread(bool worker) {
  tWorker = worker;
}

void ExitForSignal(int signal) {
  if (tWorker) throw SignalStop{signal};
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(128 + signal);
}

void SetTerminalRestore(int fd, const termios* saved, const termios* quiet, const char* prompt) {
  const SignalBlock block;
  if (fd >= 0) {
    gTerminalSaved = *saved;
    gTerminalQuiet = *quiet;
    gPrompt = prompt;
  }
  gTerminalFd = fd;
}

}  // namespace pellfold::host
