#include "progress.h"

#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>

#include "signals.h"

namespace pellfold::host {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kFirstShow = std::chrono::milliseconds(500);
constexpr auto kInterval = std::chrono::milliseconds(200);

std::atomic<bool> gOff = false;

std::string Mebibytes(double bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024.0));
  return text;
}

// "M:SS", or "H:MM:SS" from an hour on.
std::string Duration(double seconds) {
  const auto whole = std::llround(seconds);
  char text[32];
  if (whole >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60,
                  whole % 60);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
  }
  return text;
}

}  // namespace

void ProgressOff() {
  gOff = true;
}

Progress::Progress(std::string label, bool quiet)
    : label_(std::move(label)),
      total_(-1),
      enabled_(!quiet && !gOff && isatty(STDERR_FILENO) != 0),
      hook_{&Progress::Report, this},
      start_(Clock::now()),
      lastShown_(start_) {}

Progress::~Progress() {
  Finish();
}

int Progress::Report(void* context, std::int64_t bytesDone, std::int64_t total) {
  auto* self = static_cast<Progress*>(context);
  self->done_ = bytesDone;
  self->total_ = total;
  if (self->enabled_) {
    const auto now = Clock::now();
    if (now - self->start_ >= kFirstShow && now - self->lastShown_ >= kInterval) self->Show(now);
  }
  return CaughtSignal() != 0 ? 1 : 0;
}

void Progress::Show(Clock::time_point now) {
  lastShown_ = now;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const double rate = seconds > 0 ? static_cast<double>(done_) / seconds : 0;
  std::string line = "\rpellfold: " + label_ + ": ";
  if (total_ > 0) {
    // "42% of 1024.0 MiB, 80.0 MiB/s, 0:07 left"; the time left once there
    // is a rate to reckon it from.
    const double total = static_cast<double>(total_);
    const double done = static_cast<double>(done_);
    char percent[16];
    std::snprintf(percent, sizeof percent, "%3d%% ", static_cast<int>(100.0 * done / total));
    line += percent + ("of " + Mebibytes(total)) + ", " + Mebibytes(rate) + "/s";
    if (rate > 0 && done < total) line += ", " + Duration((total - done) / rate) + " left";
  } else {
    line += Mebibytes(static_cast<double>(done_)) + ", " + Mebibytes(rate) + "/s";
  }
  const std::size_t width = line.size();
  // Blank out what a longer earlier line left behind.
  if (width < shownWidth_) line.append(shownWidth_ - width, ' ');
  shownWidth_ = width > shownWidth_ ? width : shownWidth_;
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
}

void Progress::Finish() {
  if (shownWidth_ == 0) return;
  std::string blank = "\r" + std::string(shownWidth_, ' ') + "\r";
  std::fputs(blank.c_str(), stderr);
  std::fflush(stderr);
  shownWidth_ = 0;
}

}  // namespace pellfold::host
