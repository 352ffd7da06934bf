// tvx's progress line on standard error.
#include "progress.h"

#include "platform.h"

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <span>
#include <string_view>

#ifndef _WIN32
#include <sys/ioctl.h>

#include <ctime>
#endif

namespace tarvix::tvx {

namespace {

// How long a file takes before its line shows, and between two updates.
constexpr double kFirstShown = 1.0;  // seconds
constexpr double kInterval = 0.2;    // seconds

constexpr double kMebibyte = 1024.0 * 1024.0;

#ifdef _WIN32

double now_seconds() noexcept { return static_cast<double>(GetTickCount64()) / 1000; }

// The columns of the terminal on standard error; 0 for none.
std::size_t terminal_columns() noexcept {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info) == 0) {
    return 0;
  }
  return static_cast<std::size_t>(info.srWindow.Right - info.srWindow.Left + 1);
}

#else

double now_seconds() noexcept {
  struct timespec now {};
  (void)clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::size_t terminal_columns() noexcept {
  struct winsize size {};
  return ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

#endif

// The columns that a line on standard error may fill, one fewer than the
// terminal has, so that it never wraps; 0 when standard error is no terminal.
std::size_t line_columns() noexcept {
  const std::size_t columns = terminal_columns();
  return columns > 1 ? columns - 1 : 0;
}

// Text is counted in characters of UTF-8, a column each: every byte but
// those that continue a character.
bool starts_character(char byte) noexcept {
  return (static_cast<unsigned char>(byte) & 0xC0) != 0x80;
}

std::size_t characters(std::string_view text) noexcept {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), starts_character));
}

// The first and the last `count` characters of `text`.
std::string_view first_characters(std::string_view text, std::size_t count) noexcept {
  std::size_t end = 0;
  for (std::size_t seen = 0; end < text.size(); ++end) {
    if (starts_character(text[end]) && seen++ == count) {
      break;
    }
  }
  return text.substr(0, end);
}

std::string_view last_characters(std::string_view text, std::size_t count) noexcept {
  std::size_t begin = text.size();
  for (std::size_t seen = 0; begin > 0 && seen < count;) {
    --begin;
    seen += starts_character(text[begin]) ? 1 : 0;
  }
  return text.substr(begin);
}

// Writes "tvx: NAME" and `tail` into `line` within `columns` columns (0: as
// many as it takes): a name too long loses its middle to "...", and a line
// too long even so loses its end. Returns the columns it takes.
std::size_t compose(std::span<char> line, std::string_view name, std::string_view tail,
                    std::size_t columns) noexcept {
  constexpr std::string_view kPrefix = "tvx: ";
  constexpr std::string_view kCut = "...";
  const std::size_t fixed = kPrefix.size() + tail.size();
  std::string_view head = name;
  std::string_view cut;
  std::string_view end;
  if (columns != 0 && fixed + characters(name) > columns) {
    const std::size_t room = columns > fixed + kCut.size() ? columns - fixed - kCut.size() : 0;
    head = first_characters(name, (room + 1) / 2);
    cut = kCut;
    end = last_characters(name, room / 2);
  }
  // The pieces one after another, as much of them as the line holds.
  std::size_t size = 0;
  for (const std::string_view piece : {kPrefix, head, cut, end, tail}) {
    const std::size_t taken = std::min(piece.size(), line.size() - 1 - size);
    std::copy_n(piece.begin(), taken, line.begin() + static_cast<std::ptrdiff_t>(size));
    size += taken;
  }
  line[size] = '\0';
  std::string_view text(line.data(), size);
  if (columns != 0 && characters(text) > columns) {
    text = first_characters(text, columns);
    line[text.size()] = '\0';
  }
  return characters(text);
}

}  // namespace

int ProgressLine::clear_width() const noexcept {
  const std::size_t columns = line_columns();
  return columns == 0 ? width_ : std::min(width_, static_cast<int>(columns));
}

ProgressLine::ProgressLine(Progress setting) noexcept
    : setting_(setting == Progress::kAuto && !platform::is_terminal(stderr) ? Progress::kNever
                                                                            : setting) {}

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
    (void)std::fprintf(stderr, "\r%*s\r", clear_width(), "");
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
  char tail[64];
  const int tail_size = std::snprintf(tail, sizeof tail, ": %.1f MiB%s, %.0f MiB/s",
                                      static_cast<double>(done) / kMebibyte, percent, speed);
  const std::string_view tail_text(
      tail, std::clamp<std::size_t>(tail_size < 0 ? 0 : tail_size, 0, sizeof tail - 1));
  char line[512];
  const int width = static_cast<int>(compose(line, name_, tail_text, line_columns()));
  // A shorter line than the last one is padded over it.
  (void)std::fprintf(stderr, "\r%s%*s", line, std::max(clear_width() - width, 0), "");
  width_ = std::max(width, width_);
  shown_at_ = now;
}

}  // namespace tarvix::tvx
