// The files tvx writes: a target, looked at once, and written under a
// temporary name until it is whole.
#ifndef TARVIX_PROGRAMS_TVX_PENDING_TARGET_H
#define TARVIX_PROGRAMS_TVX_PENDING_TARGET_H

#include <array>
#include <cstddef>
#include <cstdio>
#include <optional>

#include "file_identity.h"
#include "signals.h"
#include "source.h"

namespace tarvix::tvx {

// What one look at a target's name tells, before anything is written.
struct TargetLook {
  bool exists = false;  // a dangling symbolic link counts
  // It leads to a file that holds no data of its own: a device (such as
  // /dev/null), a pipe or a socket.
  bool is_special = false;
  std::optional<FileIdentity> identity;  // of the file it leads to

  // Whether the name leads to the file open as `source`.
  bool is(const Source& source) const noexcept {
    return identity && source.identity && *identity == *source.identity;
  }
};

// look_at_target() looks at `name` once (twice for a symbolic link, whose
// file is looked at too).
TargetLook look_at_target(const char* name) noexcept;

// PendingTarget writes a target under a temporary name in the target's
// folder, created anew and readable by its owner alone, and renames it onto
// the target only when it is whole. Until then, or when it fails, or when the
// process receives SIGINT, SIGTERM or SIGHUP, the temporary file is removed
// and nothing else is touched. One target is pending at a time.
//
// A target that the user named and that exists as no file of data (a device
// such as /dev/null, a pipe, a socket) may be written directly instead:
// renaming would put a file in its place.
class PendingTarget {
 public:
  // The longest target name it takes, in bytes.
  static constexpr std::size_t kMaxName = kMaxPendingName;

  PendingTarget() = default;
  ~PendingTarget() { discard(); }
  PendingTarget(const PendingTarget&) = delete;
  PendingTarget& operator=(const PendingTarget&) = delete;
  PendingTarget(PendingTarget&&) = delete;
  PendingTarget& operator=(PendingTarget&&) = delete;

  // Creates the temporary file for `target_name`, or with `direct`, when
  // the target is a device, a pipe or a socket, opens it; false with errno
  // set. Without `replace`, the target must not exist when it is renamed
  // into place (EEXIST).
  bool create(const char* target_name, bool direct, bool replace) noexcept;
  // The stream to write, unbuffered.
  std::FILE* stream() const noexcept { return stream_; }
  // True when the target is written directly, not renamed into place.
  bool is_direct() const noexcept { return direct_; }
  // Gives the target the owner, where the process may set it, the
  // permission bits and the times of `source` when that is a regular file
  // (else the mode a new file gets), in that order; writes it to disk when
  // `durable`, then closes it and renames it onto the target, syncing the
  // folder too when `durable`. False with errno set on failure, the
  // temporary file removed. A target written directly is only closed.
  bool commit(const Source& source, bool durable) noexcept;
  // Closes and removes the temporary file, if there is one.
  void discard() noexcept;

 private:
  // Closes the stream; false with errno set when closing failed.
  bool close() noexcept;
  // Moves the whole temporary file onto the target.
  bool move_into_place() noexcept;
  // Discards the temporary file and returns false, with errno kept.
  bool fail() noexcept;

  std::FILE* stream_ = nullptr;
  bool direct_ = false;
  bool replace_ = false;
  std::array<char, kMaxName + 1> target_{};
};

}  // namespace tarvix::tvx

#endif  // TARVIX_PROGRAMS_TVX_PENDING_TARGET_H
