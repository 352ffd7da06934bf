// The files tvx writes, on POSIX hosts and on Windows: each platform's
// calls first, then the steps of a pending target, the same on both.
#include "pending_target.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

namespace tarvix::tvx {

namespace {

#ifdef _WIN32

// Windows has no device, pipe or socket of data by name (no target is
// special there), so nothing is written directly but through the same call.
std::FILE* open_direct(const char* name) noexcept { return std::fopen(name, "wb"); }

TargetLook look_at_name(const char* name) noexcept {
  TargetLook look;
  look.exists = GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES;
  if (const std::optional<FileLook> file = look.exists ? look_at(name) : std::nullopt) {
    look.identity = file->identity;
  }
  return look;
}

// The length of the folder part of `name`, with its last separator.
std::size_t folder_length(std::string_view name) noexcept {
  const std::size_t separator = name.find_last_of("/\\:");
  return separator == std::string_view::npos ? 0 : separator + 1;
}

// Creates the file that `name` (ending in XXXXXX) names once its Xs are
// replaced, and marks it pending; -1 with errno set on failure.
int make_temporary(char* name, std::size_t size) noexcept {
  int fd = -1;
  if (_mktemp_s(name, size) != 0 || _sopen_s(&fd, name, _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY,
                                             _SH_DENYNO, _S_IREAD | _S_IWRITE) != 0) {
    return -1;
  }
  mark_pending(true);
  return fd;
}

std::FILE* stream_on(int fd) noexcept { return _fdopen(fd, "wb"); }
void close_descriptor(int fd) noexcept { (void)_close(fd); }

// The modification time; Windows has no owner or mode bits to copy.
void copy_metadata(int fd, const Source& source) noexcept {
  if (source.is_regular && !source.is_standard_input) {
    struct __utimbuf64 times {
      source.info.st_atime, source.info.st_mtime
    };
    (void)_futime64(fd, &times);
  }
}

bool sync_file(int fd) noexcept { return _commit(fd) == 0; }

// Renames `from` to `to`; without `replace`, only if `to` does not exist.
bool rename_onto(const char* from, const char* to, bool replace) noexcept {
  if (MoveFileExA(from, to, replace ? MOVEFILE_REPLACE_EXISTING : 0) != 0) {
    return true;
  }
  errno = GetLastError() == ERROR_ALREADY_EXISTS ? EEXIST : EACCES;
  return false;
}

// A rename is on disk with the file on Windows.
bool sync_folder(const char*) noexcept { return true; }

#else

std::FILE* open_direct(const char* name) noexcept {
  const int fd = open(name, O_WRONLY | O_NOCTTY | O_CLOEXEC);
  std::FILE* const stream = fd < 0 ? nullptr : fdopen(fd, "wb");
  if (stream == nullptr && fd >= 0) {
    (void)close(fd);
  }
  return stream;
}

TargetLook look_of(const struct stat& info) noexcept {
  return {true, !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode),
          FileIdentity{info.st_dev, info.st_ino}};
}

// The name itself first: most targets do not exist yet, and a symbolic link
// counts as a file even when it dangles.
TargetLook look_at_name(const char* name) noexcept {
  struct stat info {};
  if (lstat(name, &info) != 0) {
    return {};
  }
  if (!S_ISLNK(info.st_mode)) {
    return look_of(info);
  }
  TargetLook look;
  if (stat(name, &info) == 0) {
    look = look_of(info);
  }
  look.exists = true;
  return look;
}

std::size_t folder_length(std::string_view name) noexcept {
  const std::size_t separator = name.find_last_of('/');
  return separator == std::string_view::npos ? 0 : separator + 1;
}

// mkstemp() creates the file anew, with the mode 0600; it and the mark that
// names it to the signal handler change together.
int make_temporary(char* name, std::size_t) noexcept {
  [[maybe_unused]] const HeldSignals held;
  const int fd = mkstemp(name);
  mark_pending(fd >= 0);
  return fd;
}

std::FILE* stream_on(int fd) noexcept { return fdopen(fd, "wb"); }
void close_descriptor(int fd) noexcept { (void)close(fd); }

// The owner, where the process may set it; the bits it may keep of `mode`.
mode_t copy_owner(int fd, const struct stat& info, mode_t mode) noexcept {
  if (fchown(fd, info.st_uid, info.st_gid) == 0) {
    return mode;
  }
  // Another owner's file: no set-user-ID or set-group-ID bit for it.
  mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
  if (fchown(fd, static_cast<uid_t>(-1), info.st_gid) != 0) {
    // Nor the source's group: its bits would go to another group.
    mode &= ~static_cast<mode_t>(S_IRWXG);
  }
  return mode;
}

// The mode that a new file gets: 0666 as the umask masks it. The umask is
// read by setting it, back at once: no other thread creates a file while a
// target is committed, and a signal handler creates none.
mode_t new_file_mode() noexcept {
  const mode_t mask = umask(0);
  (void)umask(mask);
  return 0666 & ~mask;
}

// The owner, then the mode (a change of owner clears the set-user-ID bit),
// then the times. None of them is worth failing a whole target for: it
// keeps the private mode it was made with. Standard input's mode is not the
// data's: its target is a new file.
void copy_metadata(int fd, const Source& source) noexcept {
  if (!source.is_regular || source.is_standard_input) {
    (void)fchmod(fd, new_file_mode());
    return;
  }
  (void)fchmod(fd, copy_owner(fd, source.info, source.info.st_mode & 07777));
  const struct timespec times[2] = {source.info.st_atim, source.info.st_mtim};
  (void)futimens(fd, times);
}

bool sync_file(int fd) noexcept { return fsync(fd) == 0; }

bool rename_onto(const char* from, const char* to, bool replace) noexcept {
  if (replace) {
    return std::rename(from, to) == 0;
  }
#ifdef RENAME_NOREPLACE
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS) {
    return false;
  }
#endif
  // A file system that cannot rename so: a new link fails where `to` exists.
  if (link(from, to) == 0) {
    (void)unlink(from);
    return true;
  }
  return false;
}

// The new name is on disk only once its folder is: the folder's name is
// the target's up to its last '/', or ".".
bool sync_folder(const char* target) noexcept {
  std::array<char, PendingTarget::kMaxName + 2> folder{'.', '\0'};
  if (const std::size_t length = folder_length(target); length != 0) {
    std::memcpy(folder.data(), target, length);
    folder[length] = '\0';
  }
  const int fd = open(folder.data(), O_RDONLY | O_DIRECTORY);
  const bool synced = fd >= 0 && fsync(fd) == 0;
  const int error = errno;
  if (fd >= 0) {
    (void)close(fd);
  }
  errno = error;
  return synced;
}

#endif

}  // namespace

TargetLook look_at_target(const char* name) noexcept { return look_at_name(name); }

bool PendingTarget::create(const char* target_name, bool direct, bool replace) noexcept {
  discard();
  direct_ = direct;
  replace_ = replace;
  if (direct_) {
    stream_ = open_direct(target_name);
    if (stream_ != nullptr) {
      (void)std::setvbuf(stream_, nullptr, _IONBF, 0);
    }
    return stream_ != nullptr;
  }
  // ".NAME.XXXXXX" beside the target; a long name is shortened to leave room
  // for the rest within the longest file name.
  const std::string_view target(target_name);
  const std::size_t folder = folder_length(target);
  const std::string_view base(target.data() + folder,
                              std::min<std::size_t>(target.size() - folder, 200));
  const std::span<char, kMaxName + 1> name = pending_name();
  const int length =
      std::snprintf(name.data(), name.size(), "%.*s.%.*s.XXXXXX", static_cast<int>(folder),
                    target.data(), static_cast<int>(base.size()), base.data());
  if (target.size() > kMaxName || length < 0 || static_cast<std::size_t>(length) >= name.size()) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::memcpy(target_.data(), target.data(), target.size() + 1);
  const int fd = make_temporary(name.data(), static_cast<std::size_t>(length) + 1);
  if (fd < 0) {
    return false;
  }
  stream_ = stream_on(fd);
  if (stream_ == nullptr) {
    const int error = errno;
    close_descriptor(fd);
    errno = error;
    return fail();
  }
  (void)std::setvbuf(stream_, nullptr, _IONBF, 0);
  return true;
}

bool PendingTarget::commit(const Source& source, bool durable) noexcept {
  if (direct_) {
    return close();
  }
  const int fd = platform::descriptor_of(stream_);
  copy_metadata(fd, source);
  const bool written = !durable || sync_file(fd);
  const bool closed = close();
  if (!written || !closed || !move_into_place()) {
    return fail();
  }
  return !durable || sync_folder(target_.data());
}

bool PendingTarget::close() noexcept {
  const bool closed = std::fclose(stream_) == 0;
  stream_ = nullptr;
  return closed;
}

bool PendingTarget::move_into_place() noexcept {
  [[maybe_unused]] const HeldSignals held;
  const bool moved = rename_onto(pending_name().data(), target_.data(), replace_);
  mark_pending(!moved);
  return moved;
}

bool PendingTarget::fail() noexcept {
  const int error = errno;
  discard();
  errno = error;
  return false;
}

void PendingTarget::discard() noexcept {
  if (stream_ != nullptr) {
    (void)std::fclose(stream_);
    stream_ = nullptr;
  }
  if (is_pending()) {
    (void)std::remove(pending_name().data());
    mark_pending(false);
  }
}

}  // namespace tarvix::tvx
