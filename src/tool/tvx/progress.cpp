// tvx's progress line on standard error.
#include "progress.h"

#include <algorithm>
#include <cstdio>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <ctime>
#endif

#include "files.h"

namespace tarvix::tvx {

namespace {

// How long a file takes before its line shows, and between two updates.
constexpr double kFirstShown = 1.0;  // seconds
constexpr double kInterval = 0.2;    // seconds

double now_seconds() noexcept {
#ifdef _WIN32
  return static_cast<double>(GetTickCount64()) / 1000;
#else
  struct timespec now {};
  (void)clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
#endif
}

constexpr double kMebibyte = 1024.0 * 1024.0;

}  // namespace

ProgressLine::ProgressLine(Progress setting) noexcept
    : setting_(setting == Progress::kAuto && !is_terminal(stderr) ? Progress::kNever : setting) {}

void ProgressLine::begin(const char* name, std::optional<std::uint64_t> size) noexcept {
  name_ = name;
  size_ = size;
  started_ = now_seconds();
  shown_at_ = -1;
  width_ = 0;
}

void ProgressLine::update(std::uint64_t done) noexcept {
  if (setting_ == Progress::kNever) {
    return;
  }
  const double now = now_seconds();
  const bool due = shown_at_ < 0 ? setting_ == Progress::kAlways || now - started_ >= kFirstShown
                                 : now - shown_at_ >= kInterval;
  if (due) {
    show(done, now);
  }
}

void ProgressLine::end(std::uint64_t done) noexcept {
  if (setting_ == Progress::kAlways && shown_at_ < 0) {
    show(done, now_seconds());
  }
  if (shown_at_ >= 0) {
    (void)std::fprintf(stderr, "\r%*s\r", width_, "");
  }
  shown_at_ = -1;
}

void ProgressLine::show(std::uint64_t done, double now) noexcept {
  char percent[16] = "";
  if (size_ && *size_ != 0) {
    (void)std::snprintf(percent, sizeof percent, ", %.0f%%",
                        100.0 * static_cast<double>(done) / static_cast<double>(*size_));
  }
  const double elapsed = now - started_;
  const double speed = elapsed > 0 ? static_cast<double>(done) / kMebibyte / elapsed : 0;
  char line[512];
  int width = std::snprintf(line, sizeof line, "tvx: %s: %.1f MiB%s, %.0f MiB/s", name_,
                            static_cast<double>(done) / kMebibyte, percent, speed);
  width = std::clamp(width, 0, static_cast<int>(sizeof line) - 1);
  // A shorter line than the last one is padded over it.
  (void)std::fprintf(stderr, "\r%s%*s", line, width_ > width ? width_ - width : 0, "");
  width_ = width > width_ ? width : width_;
  shown_at_ = now;
}

}  // namespace tarvix::tvx
