// tvx -d --range: the walk to the range's first record, and the restored
// bytes cut to the range.
#include "range.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <span>

#include "walk.h"

namespace tarvix::tvx {

namespace {

// The part of the restored bytes that goes out: `skip` bytes dropped, then
// `left` bytes, or all of the rest when it is std::nullopt.
class Window {
 public:
  Window(std::uint64_t skip, std::optional<std::uint64_t> left) noexcept
      : skip_(skip), left_(left) {}

  bool is_full() const noexcept { return left_ == 0; }

  // Cuts the bytes that a call wrote at the front of `area`, before `rest`,
  // to those in the window, moved to the front; `rest` then follows them.
  void cut(std::span<std::uint8_t> area, std::span<std::uint8_t>& rest) noexcept {
    const std::size_t written = area.size() - rest.size();
    const auto dropped = static_cast<std::size_t>(std::min<std::uint64_t>(skip_, written));
    skip_ -= dropped;
    std::size_t kept = written - dropped;
    if (left_) {
      kept = static_cast<std::size_t>(std::min<std::uint64_t>(*left_, kept));
      *left_ -= kept;
    }
    std::memmove(area.data(), area.data() + dropped, kept);
    rest = area.subspan(kept);
  }

 private:
  std::uint64_t skip_;
  std::optional<std::uint64_t> left_;
};

// A Restorer whose end goes through a Window, for Pipeline::finish().
struct WindowedRestorer {
  Restorer& restorer;
  Window& window;

  FinishResult finish(std::span<std::uint8_t>& output) noexcept {
    const std::span<std::uint8_t> area = output;
    const FinishResult ending = restorer.finish(output);
    window.cut(area, output);
    return ending;
  }
};

// Walks a source that can seek, from `start`, to the record that holds the
// range's start, and readies `restorer` to restore from it, with `skip` set
// to the bytes of that record's block before the range: std::nullopt. Or
// the outcome, with nothing to restore: the walk's fault, or kOk where the
// range begins past the end.
std::optional<Status> walk_to_range(const RangeTools& tools, std::FILE* source, std::uint64_t start,
                                    const Range& range, std::uint64_t& skip,
                                    int& read_error) noexcept {
  const Walked walked =
      walk_stream(source, range.offset, kLocateConcatenated, tools.workers, tools.walk_area);
  if (walked.status == Status::kReadFailed) {
    read_error = walked.read_error;
    return walked.status;
  }
  // A fault before the range, or a range past the end: nothing to write.
  if (walked.status != Status::kOk || restored_end(walked.record) <= range.offset) {
    return walked.status;
  }
  if (!seek_stream(source, start + walked.record.file_offset)) {
    read_error = errno != 0 ? errno : EIO;
    return Status::kReadFailed;
  }
  // The record's file starts with the magic, as far as the restorer knows.
  std::span<const std::uint8_t> magic = kFileMagic;
  std::span<std::uint8_t> nothing;
  (void)tools.restorer.restore(magic, nothing);
  skip = range.offset - walked.record.restored_offset;
  return std::nullopt;
}

// Restores through `window` to the end of the range or of the file.
std::optional<Status> restore_window(const RangeTools& tools, Window& window) noexcept {
  auto step = [&](std::span<const std::uint8_t>& input, std::span<std::uint8_t>& output) {
    tools.progress.update(tools.pipeline.bytes_read());
    const std::span<std::uint8_t> area = output;
    const bool sound = tools.restorer.restore(input, output) == Status::kOk;
    window.cut(area, output);
    return sound && !window.is_full();
  };
  if (!tools.pipeline.pump(step)) {
    return std::nullopt;
  }
  if (window.is_full()) {
    return Status::kOk;
  }
  WindowedRestorer ending{tools.restorer, window};
  return tools.pipeline.finish(ending);
}

}  // namespace

std::optional<Status> restore_range(const RangeTools& tools, std::FILE* source, bool can_seek,
                                    const Range& range, int& read_error) noexcept {
  tools.restorer.reset();
  std::uint64_t skip = range.offset;
  if (const std::optional<std::uint64_t> start =
          can_seek ? stream_position(source) : std::nullopt) {
    if (const std::optional<Status> outcome =
            walk_to_range(tools, source, *start, range, skip, read_error)) {
      return outcome;
    }
  }
  Window window(skip, range.length);
  if (window.is_full()) {
    return Status::kOk;
  }
  return restore_window(tools, window);
}

}  // namespace tarvix::tvx
