// Where passwords and keys come from, and how a password becomes the bytes
// that AESEncypt and AESDecrypt would key with.
//
// A source is named as openssl users know it:
//   pass:TEXT   the text itself (visible to other users in the process list)
//   env:VAR     the value of an environment variable
//   file:PATH   the first line of a file
//   fd:N        the first line read from an open file descriptor
//   stdin       the first line of standard input
// A line's end (every CR and LF that ends it) is removed; nothing else is.
#pragma once

#include <cstdint>
#include <string>

namespace pellfold::host {

// The secret named by source, as raw bytes. `option` names the option in
// messages ("--pass"). Throws UsageError for a malformed source and Failure
// when it cannot be read or holds a NUL byte. Warns when a file: source can
// be read by group or others.
std::string ReadSecret(const std::string& source, const std::string& option);

// Asks for a password on the terminal open as fd (the controlling terminal
// for -1) with echo off; with `confirm`, asks twice and fails unless both
// answers match. Throws UsageError when there is no terminal to ask on (so a
// script without --pass fails at once instead of hanging), Failure when the
// answers differ.
std::string PromptPassword(int fd, bool confirm, const char* prompt = "Password: ");

// A password as the exports narrow it: UTF-8, cut after 511 bytes. Only the
// first 32 bytes reach the key. Wiped on destruction.
constexpr std::size_t kPasswordBufferSize = 512;
struct Password {
  char bytes[kPasswordBufferSize];
  std::int32_t length;     // bytes used, at most 511
  std::size_t textLength;  // bytes in the text the user gave

  Password();
  ~Password();
  Password(const Password&) = delete;
  Password& operator=(const Password&) = delete;
  const std::uint8_t* data() const { return reinterpret_cast<const std::uint8_t*>(bytes); }
};

// Checks that text is UTF-8 without NUL bytes and keeps what the exports
// keep of their UTF-16 password argument narrowed to UTF-8 again: its first
// 511 bytes, so that the key is the one AESEncypt would use for the same
// text. Throws Failure for text that is not UTF-8.
void MakePassword(const std::string& text, Password* password);

// Reads --pass SOURCE when given, else prompts (twice with `confirm`), and
// makes the password from it. `--pass stdin` on a terminal prompts too.
// `prompt` is the question asked ("Password: "), `option` the option that
// named the source, for messages ("--pass").
void ObtainPassword(const std::string* source, bool confirm, Password* password,
                    const char* prompt = "Password: ", const char* option = "--pass");

// Overwrites a string's bytes before it is released.
void Wipe(std::string* text);

}  // namespace pellfold::host
