// Progress on standard error for long work: percent done of the total size,
// rate and time left, on one line that is rewritten in place and erased at
// the end. Shown only when standard error is a terminal and the user did not
// ask for quiet, and only once the work has taken half a second, so short
// runs print nothing.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "service/acbc.h"

namespace pellfold::host {

class Progress {
 public:
  // label names the work ("encrypt: notes.txt"); total is the byte count
  // expected, or -1 when it is not known (then only bytes done and rate
  // show, and no time left).
  Progress(std::string label, std::int64_t total, bool quiet);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // The hook for the library's record loops; it also counts the bytes.
  const AcbcProgress* hook() const { return &hook_; }
  std::int64_t done() const { return done_; }

  // Erases the progress line, if one was shown.
  void Finish();

 private:
  static void Report(void* context, std::int64_t bytesDone);
  void Show(std::chrono::steady_clock::time_point now);

  std::string label_;
  std::int64_t total_;
  bool enabled_;
  AcbcProgress hook_;
  std::int64_t done_ = 0;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastShown_;
  std::size_t shownWidth_ = 0;
};

}  // namespace pellfold::host
