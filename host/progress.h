// Progress on standard error for long work: percent done of the total size,
// rate and time left, on one line that is rewritten in place and erased at
// the end. Shown only when standard error is a terminal and the user did not
// ask for quiet, and only once the work has taken half a second, so short
// runs print nothing.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "acbc.h"

namespace pellfold::host {

// Turns progress lines off for the rest of the process: jobs on several
// threads would overwrite each other's line.
void ProgressOff();

class Progress {
 public:
  // label names the work ("encrypt: notes.txt"); the total is the one the
  // library reports.
  Progress(std::string label, bool quiet);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // The hook for libacbc's calls. It also asks the call to stop once a
  // terminating signal was caught (see signals.h).
  const acbc_progress* hook() const { return &hook_; }

  // Erases the progress line, if one was shown.
  void Finish();

 private:
  static int Report(void* context, std::int64_t bytesDone, std::int64_t total);
  void Show(std::chrono::steady_clock::time_point now);

  std::string label_;
  std::int64_t total_;
  bool enabled_;
  acbc_progress hook_;
  std::int64_t done_ = 0;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastShown_;
  std::size_t shownWidth_ = 0;
};

}  // namespace pellfold::host
