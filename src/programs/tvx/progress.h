// tvx's progress line on standard error.
#ifndef TARVIX_PROGRAMS_TVX_PROGRESS_H
#define TARVIX_PROGRAMS_TVX_PROGRESS_H

#include <cstdint>
#include <optional>

#include "options.h"

namespace tarvix::tvx {

// ProgressLine shows, for one file at a time, the bytes done, the percent
// where the size is known, and the speed, on one line of standard error that
// it rewrites in place and clears at the end. On a terminal the line stays
// narrower than the terminal, the name shortened in its middle, so that it
// never wraps. Progress::kAuto shows it only
// while standard error is a terminal and once the file has taken more than a
// second; kAlways shows it from the start, at least once for each file;
// kNever never.
class ProgressLine {
 public:
  explicit ProgressLine(Progress setting) noexcept;

  void begin(const char* name, std::optional<std::uint64_t> size) noexcept;
  // Called as the work goes, with the source bytes done so far.
  void update(std::uint64_t done) noexcept;
  void end(std::uint64_t done) noexcept;

 private:
  void show(std::uint64_t done, double now) noexcept;
  // The columns to blank over the lines shown, within the terminal's width.
  int clear_width() const noexcept;

  Progress setting_;
  const char* name_ = "";
  std::optional<std::uint64_t> size_;
  double started_ = 0;    // seconds
  double shown_at_ = -1;  // seconds; below 0 while nothing is shown
  int width_ = 0;         // columns of the widest line shown
};

}  // namespace tarvix::tvx

#endif  // TARVIX_PROGRAMS_TVX_PROGRESS_H
