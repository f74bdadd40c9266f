#include "program.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace pellfold::test {
namespace {

std::vector<char*> Pointers(std::vector<std::string>& words) {
  std::vector<char*> pointers;
  for (auto& w : words) pointers.push_back(w.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Whether the process is stopped (state T in /proc/PID/stat).
bool Stopped(pid_t pid) {
  const Bytes stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const std::string text(stat.begin(), stat.end());
  const std::size_t paren = text.rfind(')');
  return paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] == 'T';
}

}  // namespace

ProcessResult Pellfold(const std::vector<std::string>& args, const std::string& input,
                       const std::vector<std::string>& env) {
  std::vector<std::string> argv = {PELLFOLD_PROGRAM};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProcess(argv, input, env);
}

bool CallExport(const std::string& op, const std::string& in, const std::string& out,
                const std::u16string& password) {
  const auto r = RunProcess({EXPORT_CHILD, op, in, out, ExportChildArgument(password)});
  const std::string expected = op == "encrypt" ? "returned 999\n" : "returned 0\n";
  return r.exitCode == 0 && r.out.find(expected) != std::string::npos;
}

Bytes AesEncypt(const std::string& in, const std::u16string& password) {
  const std::string out = in + ".reference.acbc";
  EXPECT_TRUE(CallExport("encrypt", in, out, password));
  Bytes file = ReadFile(out);
  unlink(out.c_str());
  return file;
}

std::string Utf8(const std::u16string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::map<std::string, Entry> Snapshot(const std::string& dir) {
  std::map<std::string, Entry> entries;
  for (const auto& name : ListDir(dir)) {
    const std::string path = dir + "/" + name;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) continue;
    Entry entry{static_cast<unsigned>(st.st_mode), ""};
    if (S_ISREG(st.st_mode)) {
      entry.content = Text(ReadFile(path));
    } else if (S_ISLNK(st.st_mode)) {
      char target[4096];
      const ssize_t n = readlink(path.c_str(), target, sizeof target);
      entry.content.assign(target, n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    entries[name] = entry;
  }
  return entries;
}

Child Spawn(const std::vector<std::string>& argv, bool pipeStdin, const std::string& stdoutPath,
            const std::vector<std::string>& env) {
  int in[2] = {-1, -1};
  if (pipeStdin && pipe2(in, O_CLOEXEC) != 0) ADD_FAILURE() << "pipe";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (pipeStdin) posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults, none;
  sigemptyset(&defaults);
  for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) sigaddset(&defaults, s);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  std::vector<std::string> words = argv;
  std::vector<std::string> environment = env;
  for (char** e = environ; *e != nullptr; ++e) environment.emplace_back(*e);
  Child child;
  if (posix_spawn(&child.pid, words[0].c_str(), &actions, &attributes, Pointers(words).data(),
                  Pointers(environment).data()) != 0) {
    ADD_FAILURE() << "cannot start " << argv[0];
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (pipeStdin) {
    close(in[0]);
    child.stdinFd = in[1];
  }
  return child;
}

int WaitFor(pid_t pid, int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "child " << pid << " did not end in " << seconds << " s";
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return status;
}

PtyResult RunInPty(const std::vector<std::string>& argv, const std::vector<PtyStep>& steps,
                   int seconds) {
  std::vector<std::string> words = argv;
  std::vector<char*> pointers = Pointers(words);
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGPIPE}) signal(s, SIG_DFL);
    execv(pointers[0], pointers.data());
    _exit(127);
  }
  PtyResult result;
  if (pid < 0) {
    ADD_FAILURE() << "forkpty failed";
    return result;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  std::size_t step = 0, searchFrom = 0;
  for (;;) {
    if (step < steps.size()) {
      const std::size_t at = result.transcript.find(steps[step].expect, searchFrom);
      if (at != std::string::npos) {
        searchFrom = at + steps[step].expect.size();
        if (steps[step].signal != 0) {
          while (!Stopped(pid) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
          }
          termios now{};
          result.echoStopped = tcgetattr(master, &now) == 0 && (now.c_lflag & ECHO) != 0;
          kill(pid, steps[step].signal);
        }
        const std::string& send = steps[step++].send;
        if (write(master, send.data(), send.size()) < 0) ADD_FAILURE() << "write to terminal";
        continue;
      }
    }
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "terminal session timed out; it showed:\n" << result.transcript;
      kill(pid, SIGKILL);
      break;
    }
    pollfd fd{master, POLLIN, 0};
    if (poll(&fd, 1, 100) <= 0) continue;
    char buffer[4096];
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) break;  // EIO: the program and its terminal are gone
    result.transcript.append(buffer, static_cast<std::size_t>(n));
  }
  termios settings{};
  if (tcgetattr(master, &settings) == 0) result.echoAfter = (settings.c_lflag & ECHO) != 0;
  int status = 0;
  waitpid(pid, &status, 0);
  close(master);
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  EXPECT_EQ(step, steps.size()) << "the program never showed '"
                                << steps[step < steps.size() ? step : 0].expect << "'; it showed:\n"
                                << result.transcript;
  return result;
}

}  // namespace pellfold::test
