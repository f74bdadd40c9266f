#include "password.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cli.h"
#include "signals.h"
#include "utf8.h"
#include "util/text.h"

namespace pellfold::host {
namespace {

// A first line longer than this is not a password but a wrong file.
constexpr std::size_t kMaxLine = 1 << 16;

enum class LineEnd { kNewline, kEndOfInput };

// Reads one line from fd, a byte at a time so that nothing after the line is
// consumed (the rest of standard input may be the data). The newline, if
// any, is kept. Returns the reason the line ended; sets *error on failure,
// ECANCELED for a terminating signal noted under DeferSignals (a run that
// holds prepared files stops them itself; see StopOnSignal).
LineEnd ReadLine(int fd, std::string* line, int* error) {
  line->clear();
  // Room for the longest line up front: a string that grows leaves copies
  // of its first bytes behind in the blocks it gives back.
  line->reserve(kMaxLine + 2);
  *error = 0;
  for (;;) {
    char c = 0;
    if (AwaitInput(fd) != 0) {
      *error = ECANCELED;
      return LineEnd::kEndOfInput;
    }
    const ssize_t n = read(fd, &c, 1);
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = errno;
      return LineEnd::kEndOfInput;
    }
    if (n == 0) return LineEnd::kEndOfInput;
    line->push_back(c);
    if (c == '\n') return LineEnd::kNewline;
    if (line->size() > kMaxLine) {
      *error = EFBIG;
      return LineEnd::kEndOfInput;
    }
  }
}

// A read of a password that a signal stopped ends the program (or, on a
// run's thread, the run, which discards its prepared files first), the
// part read wiped.
void StopOnSignal(int error, std::string* line) {
  if (error != ECANCELED) return;
  explicit_bzero(line->data(), line->size());
  line->clear();
  ExitForSignal(CaughtSignal());
}

// The first line of fd with its line end cut by the library's TrimLineEnd.
std::string FirstLine(int fd, const std::string& source) {
  std::string line;
  int error = 0;
  ReadLine(fd, &line, &error);
  StopOnSignal(error, &line);
  if (error == EFBIG) throw FileFailure(source, "first line is too long for a password");
  if (error != 0) throw FileError(source, error);
  // Sized once, NUL included, so that no copy is left behind by growth.
  std::vector<char> text(line.size() + 1, '\0');
  std::copy(line.begin(), line.end(), text.begin());
  Wipe(&line);
  TrimLineEnd(text.data());
  const std::size_t length = std::strlen(text.data());
  // A NUL before the line end would silently cut the password short.
  const bool hasNul = std::find_if(text.begin() + static_cast<long>(length), text.end() - 1,
                                   [](char c) { return c != '\0'; }) != text.end() - 1;
  std::string result(text.data(), length);
  explicit_bzero(text.data(), text.size());
  if (hasNul) {
    Wipe(&result);
    throw FileFailure(source, "first line contains a NUL byte");
  }
  return result;
}

const char* const kSources = "use pass:TEXT, env:VAR, file:PATH, fd:N or stdin";

// One prompt with echo off; the terminal's settings come back on every path,
// a signal included.
std::string Ask(int tty, const termios& saved, const char* prompt) {
  termios quiet = saved;
  quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
  quiet.c_lflag |= ECHONL;  // the Enter still moves to a new line
  // Echo goes off before the prompt appears, so nothing typed after seeing
  // it can be echoed or flushed away.
  SetTerminalRestore(tty, &saved, &quiet, prompt);
  tcsetattr(tty, TCSAFLUSH, &quiet);
  const ssize_t written = write(tty, prompt, std::strlen(prompt));
  (void)written;
  std::string line;
  int error = 0;
  const LineEnd end = ReadLine(tty, &line, &error);
  tcsetattr(tty, TCSAFLUSH, &saved);
  SetTerminalRestore(-1, nullptr, nullptr, nullptr);
  if (error == ECANCELED) {
    const ssize_t ignored = write(tty, "\n", 1);
    (void)ignored;
  }
  StopOnSignal(error, &line);
  if (error != 0 || end == LineEnd::kEndOfInput) {
    const ssize_t ignored = write(tty, "\n", 1);
    (void)ignored;
    Wipe(&line);
    if (error == EFBIG) throw Failure{"password is too long"};
    if (error != 0) throw Failure{std::string("terminal: ") + std::strerror(error)};
    throw Failure{"no password entered"};
  }
  line.pop_back();  // the newline
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

void Wipe(std::string* text) {
  explicit_bzero(text->data(), text->size());
  text->clear();
}

std::string ReadSecret(const std::string& source, const std::string& option) {
  const std::string label = option + " " + source;
  if (source.rfind("pass:", 0) == 0) return source.substr(5);
  if (source.rfind("env:", 0) == 0) {
    const char* value = std::getenv(source.c_str() + 4);
    if (value == nullptr) throw FileFailure(label, "environment variable is not set");
    return value;
  }
  if (source.rfind("file:", 0) == 0) {
    const int fd = open(source.c_str() + 5, O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw FileError(label, errno);
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) != 0) {
      Warn(label + " is readable by group or others (chmod 600 it)");
    }
    try {
      std::string text = FirstLine(fd, label);
      close(fd);
      return text;
    } catch (...) {
      close(fd);
      throw;
    }
  }
  if (source.rfind("fd:", 0) == 0) {
    const std::string digits = source.substr(3);
    char* end = nullptr;
    errno = 0;
    const long fd = std::strtol(digits.c_str(), &end, 10);
    if (digits.empty() || *end != '\0' || errno != 0 || fd < 0 || fd > INT_MAX ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
      throw UsageError{"invalid file descriptor in '" + option + " " + source + "'"};
    }
    return FirstLine(static_cast<int>(fd), label);
  }
  if (source == "stdin") return FirstLine(STDIN_FILENO, label);
  throw UsageError{"invalid " + option + " source '" + source + "' (" + kSources + ")"};
}

std::string PromptPassword(int fd, bool confirm, const char* prompt) {
  const int tty = fd >= 0 ? dup(fd) : open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios saved{};
  if (tty < 0 || tcgetattr(tty, &saved) != 0) {
    if (tty >= 0) close(tty);
    throw UsageError{"no password given and no terminal to ask for one: use --pass"};
  }
  try {
    std::string first = Ask(tty, saved, prompt);
    if (confirm) {
      const std::string again =
          std::string("Repeat ") + static_cast<char>(std::tolower(*prompt)) + (prompt + 1);
      std::string second = Ask(tty, saved, again.c_str());
      const bool same = first == second;
      Wipe(&second);
      if (!same) {
        Wipe(&first);
        throw Failure{"passwords do not match"};
      }
    }
    close(tty);
    return first;
  } catch (...) {
    close(tty);
    throw;
  }
}

Password::Password() : bytes{}, length(0), textLength(0) {}

Password::~Password() {
  explicit_bzero(bytes, sizeof bytes);
}

void MakePassword(const std::string& text, Password* password) {
  std::u16string wide;
  // Never more UTF-16 units than UTF-8 bytes: reserved once, the string is
  // never moved, and the one buffer to wipe is this one.
  wide.reserve(text.size() + 1);
  const bool valid = text.find('\0') == std::string::npos && Utf8ToUtf16(text, &wide);
  if (!valid) {
    explicit_bzero(wide.data(), wide.size() * sizeof(char16_t));
    throw Failure{text.find('\0') != std::string::npos ? "password contains a NUL byte"
                                                       : "password is not valid UTF-8"};
  }
  // The exports narrow their UTF-16 argument to UTF-8 again and cut it after
  // 511 bytes. For valid UTF-8 that is the text itself, so the key matches
  // AESEncypt's.
  const std::size_t kept = std::min(text.size(), sizeof password->bytes - 1);
  std::memcpy(password->bytes, text.data(), kept);
  password->bytes[kept] = '\0';
  password->length = static_cast<std::int32_t>(kept);
  password->textLength = text.size();
  explicit_bzero(wide.data(), wide.size() * sizeof(char16_t));
}

void ObtainPassword(const std::string* source, bool confirm, Password* password, const char* prompt,
                    const char* option) {
  // A terminal on standard input is asked like the prompt asks: echo off.
  const bool terminal = source != nullptr && *source == "stdin" && isatty(STDIN_FILENO) != 0;
  std::string text = source == nullptr ? PromptPassword(-1, confirm, prompt)
                     : terminal        ? PromptPassword(STDIN_FILENO, confirm, prompt)
                                       : ReadSecret(*source, option);
  try {
    MakePassword(text, password);
  } catch (...) {
    Wipe(&text);
    throw;
  }
  Wipe(&text);
}

}  // namespace pellfold::host
