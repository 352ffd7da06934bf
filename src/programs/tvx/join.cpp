// tvx --join: the parts walked, checked, and copied without their magics.
#include "join.h"

#include <tarvix/container.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "pending_target.h"
#include "platform.h"
#include "source.h"
#include "walk.h"

namespace tarvix::tvx {

namespace {

constexpr const char* kShortInTheMiddle =
    "would leave a short block in the middle (every part but the last must restore to whole "
    "blocks of 8192 bytes)";

JoinFailure failed(const char* name) noexcept { return {name, errno != 0 ? errno : EIO, nullptr}; }

// Copies the part's records, from `start` (where its stream stood) to `end`,
// but a magic before them, to `target`.
std::optional<JoinFailure> copy_records(const char* name, std::FILE* part, std::uint64_t start,
                                        std::uint64_t end, std::FILE* target,
                                        const char* target_name) noexcept {
  if (!seek_stream(part, start)) {
    return failed(name);
  }
  std::array<std::uint8_t, 1 << 16> buffer{};
  for (std::uint64_t at = start; at < end;) {
    const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), end - at));
    errno = 0;
    if (std::fread(buffer.data(), 1, size, part) != size) {
      return failed(name);
    }
    // Only a whole magic at the part's start is one: no record starts so.
    const std::size_t skip =
        at == start && size >= kMagicSize &&
                std::equal(kFileMagic.begin(), kFileMagic.end(), buffer.begin())
            ? kMagicSize
            : 0;
    errno = 0;
    if (std::fwrite(buffer.data() + skip, 1, size - skip, target) != size - skip) {
      return failed(target_name);
    }
    at += size;
  }
  return std::nullopt;
}

// Where the parts go: the target, with its name for messages, its look
// before anything was written, and the pool and area of the walks.
struct Joined {
  std::FILE* target = nullptr;
  const char* name = nullptr;
  TargetLook look;
  Workers* workers = nullptr;
  WalkArea& walk_area;
};

// Walks a part and copies its records to the target; `short_part` names a
// part before it that ended in a short block, and then this one.
std::optional<JoinFailure> join_part(const char* name, const Joined& joined,
                                     const char*& short_part) noexcept {
  Source part;
  errno = 0;
  if (!open_source(name, part)) {
    return failed(name);
  }
  // Read twice: walked, then copied.
  const std::optional<std::uint64_t> start = stream_position(part.stream);
  if (!part.is_regular || !start) {
    return JoinFailure{name, 0, "is not a regular file"};
  }
  if (joined.look.is(part)) {
    return JoinFailure{joined.name, 0, "is one of the parts"};
  }
  const Walked walked =
      walk_stream(part.stream, UINT64_MAX, kLocateRecords, joined.workers, joined.walk_area);
  if (walked.status == Status::kReadFailed) {
    return JoinFailure{name, walked.read_error, nullptr};
  }
  if (walked.status != Status::kOk) {
    return JoinFailure{name, 0, to_string(walked.status).data()};
  }
  const Record& last = walked.record;
  if (last.data_size == 0) {
    return std::nullopt;  // no records: nothing to add
  }
  if (short_part != nullptr) {
    return JoinFailure{short_part, 0, kShortInTheMiddle};
  }
  if (last.restored_offset != last.index * kMaxBlockSize) {
    return JoinFailure{name, 0, kShortInTheMiddle};
  }
  short_part = last.restored_size != kMaxBlockSize ? name : nullptr;
  return copy_records(name, part.stream, *start, *start + records_end(last, 0), joined.target,
                      joined.name);
}

// Opens the target of the join: standard output, or the file `output`
// pending under a temporary name (a device or a pipe is written, not
// replaced; any other existing target only with -f).
std::optional<JoinFailure> open_joined(const Options& options, const TargetLook& look,
                                       PendingTarget& pending, std::FILE*& target) noexcept {
  if (options.output == nullptr) {
    if (!options.force && platform::is_terminal(stdout)) {
      return JoinFailure{"stdout", 0,
                         "compressed data is not written to a terminal (use -f to force)"};
    }
    target = stdout;
    return std::nullopt;
  }
  errno = 0;
  if (!look.is_special && !options.force && look.exists) {
    return JoinFailure{options.output, EEXIST, nullptr};
  }
  if (!pending.create(options.output, look.is_special, options.force)) {
    return failed(options.output);
  }
  target = pending.stream();
  return std::nullopt;
}

}  // namespace

std::optional<JoinFailure> join_parts(const Options& options, Workers* workers,
                                      WalkArea& walk_area) noexcept {
  const char* const target_name = options.output != nullptr ? options.output : "stdout";
  const TargetLook look = options.output != nullptr ? look_at_target(options.output) : TargetLook{};
  PendingTarget pending;
  std::FILE* target = nullptr;
  if (const auto failure = open_joined(options, look, pending, target)) {
    return failure;
  }
  errno = 0;
  if (std::fwrite(kFileMagic.data(), 1, kMagicSize, target) != kMagicSize) {
    return failed(target_name);
  }
  const Joined joined{target, target_name, look, workers, walk_area};
  const char* short_part = nullptr;
  for (const char* const name : options.files) {
    if (const auto failure = join_part(name, joined, short_part)) {
      return failure;
    }
  }
  const Source none;  // a new file's mode, time and owner
  errno = 0;
  if (options.output != nullptr && !pending.commit(none, false)) {
    return failed(options.output);
  }
  return std::nullopt;
}

}  // namespace tarvix::tvx
