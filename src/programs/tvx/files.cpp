// What tvx asks of the file system, on POSIX hosts and on Windows.
#include "files.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string_view>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <sys/utime.h>
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

#include <tarvix/container.h>

#include "names.h"

namespace tarvix::tvx {

namespace {

// The temporary file that a signal handler removes. A handler may touch
// nothing but this static name and the flag that says it is set.
char pending_name[PendingTarget::kMaxName + 1];
std::atomic<bool> pending{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// The compressed stream that a signal handler ends with a mark: its
// descriptor (-1 for none) and where its writes stand.
std::atomic<int> watched_descriptor{-1};
WriteWatch stream_watch;
static_assert(std::atomic<int>::is_always_lock_free);

// Ends the watched stream, cut after a whole write, with the length field 0,
// which every reader refuses. A reader that takes no more bytes within a
// second is not waited for: the signal still ends the process.
void mark_cut_stream() noexcept {
  constexpr char kMark[kLengthFieldSize] = {0, 0};
  const int fd = watched_descriptor.load();
  if (fd < 0 || !stream_watch.claim_boundary()) {
    return;
  }
#ifdef _WIN32
  (void)_write(fd, kMark, sizeof kMark);
#else
  struct pollfd ready {
    fd, POLLOUT, 0
  };
  if (poll(&ready, 1, 1000) == 1 && (ready.revents & POLLOUT) != 0) {
    (void)write(fd, kMark, sizeof kMark);
  }
#endif
}

// The signal is raised again once its handler is gone, and ends the process
// as it would have without tvx. Everything here is safe in a signal handler.
extern "C" void remove_pending_target(int signal_number) {
  if (pending.load()) {
#ifdef _WIN32
    (void)_unlink(pending_name);
#else
    (void)unlink(pending_name);  // safe in a signal handler, as std::remove() need not be
#endif
  }
  mark_cut_stream();
  (void)std::signal(signal_number, SIG_DFL);
  (void)std::raise(signal_number);
}

// Holds off SIGINT, SIGTERM and SIGHUP on this thread, the only one that
// takes them (the pools' workers block every signal), while a temporary file
// and the flag that names it to the handler change together.
class HeldSignals {
 public:
#ifdef _WIN32
  HeldSignals() noexcept = default;
#else
  HeldSignals() noexcept {
    sigset_t set;
    (void)sigemptyset(&set);
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
      (void)sigaddset(&set, signal_number);
    }
    (void)pthread_sigmask(SIG_BLOCK, &set, &before_);
  }
  ~HeldSignals() { (void)pthread_sigmask(SIG_SETMASK, &before_, nullptr); }

 private:
  sigset_t before_{};
#endif

 public:
  HeldSignals(const HeldSignals&) = delete;
  HeldSignals& operator=(const HeldSignals&) = delete;
  HeldSignals(HeldSignals&&) = delete;
  HeldSignals& operator=(HeldSignals&&) = delete;
};

// Renames `from` to `to`; without `replace`, only if `to` does not exist,
// checked by the rename itself (EEXIST).
bool move_into_place(const char* from, const char* to, bool replace) noexcept {
#ifdef _WIN32
  if (MoveFileExA(from, to, replace ? MOVEFILE_REPLACE_EXISTING : 0) != 0) {
    return true;
  }
  errno = GetLastError() == ERROR_ALREADY_EXISTS ? EEXIST : EACCES;
  return false;
#else
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
#endif
}

#ifndef _WIN32
mode_t creation_mask = 022;  // the umask, read once at the start
#endif

// The length of the folder part of `name`, with its last separator (0 for
// none).
std::size_t folder_length(std::string_view name) noexcept {
#ifdef _WIN32
  const std::size_t separator = name.find_last_of("/\\:");
#else
  const std::size_t separator = name.find_last_of('/');
#endif
  return separator == std::string_view::npos ? 0 : separator + 1;
}

// The name of the file being walked to: a folder's name, to which each
// entry's is put in turn.
class WalkedName {
 public:
  static constexpr std::size_t kMaxName = PendingTarget::kMaxName;

  // `folder` holds at most kMaxName bytes.
  explicit WalkedName(std::string_view folder) noexcept : length_(folder.size()) {
    std::memcpy(name_.data(), folder.data(), length_);
    name_[length_] = '\0';
  }
  const char* c_str() const noexcept { return name_.data(); }
  // Puts "/entry" after the name; false when it would be too long.
  bool enter(std::string_view entry, std::size_t& before) noexcept {
    before = length_;
    const bool slash = length_ != 0 && name_[length_ - 1] != '/';
    if (length_ + (slash ? 1 : 0) + entry.size() > kMaxName) {
      return false;
    }
    if (slash) {
      name_[length_++] = '/';
    }
    std::memcpy(name_.data() + length_, entry.data(), entry.size());
    length_ += entry.size();
    name_[length_] = '\0';
    return true;
  }
  void leave(std::size_t before) noexcept {
    length_ = before;
    name_[length_] = '\0';
  }

 private:
  std::array<char, kMaxName + 1> name_{};
  std::size_t length_ = 0;
};

enum class Entry { kFolder, kFile, kOther };

bool is_dot_entry(std::string_view entry) noexcept { return entry == "." || entry == ".."; }

// Walks the folder that `name` holds, and the folders in it.
void walk(WalkedName& name, FolderVisitor& visitor) noexcept {
  // Shows one entry of the folder, found to be a folder, a file or neither.
  auto take = [&](std::string_view entry, auto kind_of) {
    if (is_dot_entry(entry)) {
      return;
    }
    std::size_t before = 0;
    if (!name.enter(entry, before)) {
      visitor.failed(name.c_str(), ENAMETOOLONG);
      return;
    }
    switch (kind_of(name.c_str())) {
      case Entry::kFolder:
        walk(name, visitor);
        break;
      case Entry::kFile:
        visitor.file(name.c_str());
        break;
      case Entry::kOther:
        break;
    }
    name.leave(before);
  };
#ifdef _WIN32
  std::size_t before = 0;
  if (!name.enter("*", before)) {
    visitor.failed(name.c_str(), ENAMETOOLONG);
    return;
  }
  WIN32_FIND_DATAA found{};
  const HANDLE search = FindFirstFileA(name.c_str(), &found);
  name.leave(before);
  if (search == INVALID_HANDLE_VALUE) {
    visitor.failed(name.c_str(), GetLastError() == ERROR_ACCESS_DENIED ? EACCES : ENOENT);
    return;
  }
  do {
    const DWORD attributes = found.dwFileAttributes;
    take(found.cFileName, [attributes](const char*) {
      return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? Entry::kOther
             : (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0   ? Entry::kFolder
                                                              : Entry::kFile;
    });
  } while (FindNextFileA(search, &found) != 0);
  (void)FindClose(search);
#else
  // A folder that became a symbolic link since it was looked at is not
  // followed either.
  const int fd = open(name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  DIR* const folder = fd < 0 ? nullptr : fdopendir(fd);
  if (folder == nullptr) {
    const int error = errno;
    if (fd >= 0) {
      (void)close(fd);
    }
    visitor.failed(name.c_str(), error);
    return;
  }
  while (const struct dirent* const entry = readdir(folder)) {
    take(entry->d_name, [](const char* path) {
      struct stat info {};
      if (lstat(path, &info) != 0) {
        return Entry::kOther;  // gone since the folder was read
      }
      return S_ISDIR(info.st_mode)   ? Entry::kFolder
             : S_ISREG(info.st_mode) ? Entry::kFile
                                     : Entry::kOther;
    });
  }
  (void)closedir(folder);
#endif
}

}  // namespace

void prepare_streams() noexcept {
#ifdef _WIN32
  (void)_setmode(_fileno(stdin), _O_BINARY);
  (void)_setmode(_fileno(stdout), _O_BINARY);
  for (const int signal_number : {SIGINT, SIGTERM, SIGBREAK}) {
    (void)std::signal(signal_number, remove_pending_target);
  }
#else
  // A closed descriptor would be the lowest free one, and so the first file
  // opened: a source or a target would stand in for a standard stream.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      (void)open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
    }
  }
  creation_mask = umask(0);
  (void)umask(creation_mask);
  // A write past the file-size limit fails with EFBIG, and is reported.
  (void)std::signal(SIGXFSZ, SIG_IGN);
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction action {};
    if (sigaction(signal_number, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) {
      continue;  // ignored by whoever started tvx (nohup, a background job)
    }
    action = {};
    action.sa_handler = remove_pending_target;
    (void)sigemptyset(&action.sa_mask);
    (void)sigaction(signal_number, &action, nullptr);
  }
#endif
  (void)std::setvbuf(stdin, nullptr, _IONBF, 0);
  (void)std::setvbuf(stdout, nullptr, _IONBF, 0);
}

Source::~Source() { close_source(*this); }

bool open_source(const char* name, Source& source) noexcept {
  const bool standard_input = std::strcmp(name, "-") == 0;
#ifdef _WIN32
  struct _stat64& info = source.info;
  if (standard_input) {
    source.stream = stdin;
    source.is_standard_input = true;
    return true;
  }
  if (_stat64(name, &info) == 0 && (info.st_mode & _S_IFDIR) != 0) {
    errno = EISDIR;
    return false;
  }
  source.stream = std::fopen(name, "rb");
  if (source.stream == nullptr) {
    return false;
  }
  source.is_regular = (info.st_mode & _S_IFREG) != 0;
  if (source.is_regular) {
    source.size = static_cast<std::uint64_t>(info.st_size);
  }
#else
  int fd = STDIN_FILENO;
  if (!standard_input) {
    // Without waiting for a pipe's writer: what the file is decides first.
    fd = open(name, O_RDONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
      return false;
    }
    (void)fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  }
  if (fstat(fd, &source.info) != 0 || S_ISDIR(source.info.st_mode)) {
    const int error = S_ISDIR(source.info.st_mode) ? EISDIR : errno;
    if (!standard_input) {
      (void)close(fd);
    }
    errno = error;
    return false;
  }
  source.stream = standard_input ? stdin : fdopen(fd, "rb");
  if (source.stream == nullptr) {
    (void)close(fd);
    return false;
  }
  source.is_standard_input = standard_input;
  source.is_regular = S_ISREG(source.info.st_mode);
  if (source.is_regular) {
    source.size = static_cast<std::uint64_t>(source.info.st_size);
  }
#endif
  if (!standard_input) {
    (void)std::setvbuf(source.stream, nullptr, _IONBF, 0);
  }
  return true;
}

void close_source(Source& source) noexcept {
  if (source.stream != nullptr && !source.is_standard_input) {
    (void)std::fclose(source.stream);
  }
  source.stream = nullptr;
}

bool exists(const char* name) noexcept {
#ifdef _WIN32
  return GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES;
#else
  struct stat info {};
  return lstat(name, &info) == 0;
#endif
}

bool is_folder(const char* name) noexcept {
#ifdef _WIN32
  const DWORD attributes = GetFileAttributesA(name);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
#else
  struct stat info {};
  return stat(name, &info) == 0 && S_ISDIR(info.st_mode);
#endif
}

void walk_folder(const char* name, FolderVisitor& visitor) noexcept {
  const std::string_view folder(name);
  if (folder.size() > WalkedName::kMaxName) {
    visitor.failed(name, ENAMETOOLONG);
    return;
  }
  WalkedName walked(folder);
  walk(walked, visitor);
}

bool is_special_file(const char* name) noexcept {
#ifdef _WIN32
  (void)name;
  return false;
#else
  struct stat info {};
  return stat(name, &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode);
#endif
}

bool is_same_file(const char* name, const Source& source) noexcept {
  return same_open_file(name, descriptor_of(source.stream));
}

bool is_standard_output(const Source& source) noexcept {
  return source.is_regular && same_open_files(descriptor_of(stdout), descriptor_of(source.stream));
}

WriteWatch* watch_compressed_stream(std::FILE* stream) noexcept {
  const int fd = descriptor_of(stream);
  if (watched_descriptor.load() != fd) {
    watched_descriptor.store(-1);
    stream_watch.reset();
    watched_descriptor.store(fd);
  }
  return &stream_watch;
}

void stop_watching_stream() noexcept { watched_descriptor.store(-1); }

bool is_terminal(std::FILE* stream) noexcept {
#ifdef _WIN32
  return _isatty(_fileno(stream)) != 0;
#else
  return isatty(fileno(stream)) != 0;
#endif
}

void raise_broken_pipe() noexcept {
#ifndef _WIN32
  (void)std::raise(SIGPIPE);
#endif
}

bool PendingTarget::create(const char* target_name, bool direct, bool replace) noexcept {
  discard();
  direct_ = direct;
  replace_ = replace;
#ifndef _WIN32
  if (direct_) {
    const int fd = open(target_name, O_WRONLY | O_NOCTTY | O_CLOEXEC);
    stream_ = fd < 0 ? nullptr : fdopen(fd, "wb");
    if (stream_ == nullptr) {
      if (fd >= 0) {
        (void)close(fd);
      }
      return false;
    }
    (void)std::setvbuf(stream_, nullptr, _IONBF, 0);
    return true;
  }
#endif
  // ".NAME.XXXXXX" beside the target; a long name is shortened to leave room
  // for the rest within the longest file name.
  const std::string_view target(target_name);
  const std::size_t folder = folder_length(target);
  const std::string_view base(target.data() + folder,
                              std::min<std::size_t>(target.size() - folder, 200));
  const int length =
      std::snprintf(pending_name, sizeof pending_name, "%.*s.%.*s.XXXXXX", static_cast<int>(folder),
                    target.data(), static_cast<int>(base.size()), base.data());
  if (target.size() > kMaxName || length < 0 ||
      static_cast<std::size_t>(length) >= sizeof pending_name) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::memcpy(target_.data(), target.data(), target.size() + 1);
#ifdef _WIN32
  int fd = -1;
  if (_mktemp_s(pending_name, static_cast<std::size_t>(length) + 1) != 0 ||
      _sopen_s(&fd, pending_name, _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _SH_DENYNO,
               _S_IREAD | _S_IWRITE) != 0) {
    return false;
  }
  stream_ = _fdopen(fd, "wb");
#else
  // mkstemp() creates the file anew, with the mode 0600.
  int fd = -1;
  {
    [[maybe_unused]] const HeldSignals held;
    fd = mkstemp(pending_name);
    pending.store(fd >= 0);
  }
  if (fd < 0) {
    return false;
  }
  stream_ = fdopen(fd, "wb");
#endif
#ifdef _WIN32
  pending.store(true);
#endif
  if (stream_ == nullptr) {
    const int error = errno;
#ifdef _WIN32
    (void)_close(fd);
#else
    (void)close(fd);
#endif
    discard();
    errno = error;
    return false;
  }
  (void)std::setvbuf(stream_, nullptr, _IONBF, 0);
  return true;
}

bool PendingTarget::commit(const Source& source, bool durable) noexcept {
  if (direct_) {
    const bool closed = std::fclose(stream_) == 0;
    stream_ = nullptr;
    return closed;
  }
  const int fd = descriptor_of(stream_);
  bool written = true;
#ifdef _WIN32
  // The modification time; Windows has no owner or mode bits to copy.
  if (source.is_regular && !source.is_standard_input) {
    struct __utimbuf64 times {source.info.st_atime, source.info.st_mtime};
    (void)_futime64(fd, &times);
  }
  written = !durable || _commit(fd) == 0;
#else
  // The owner, where the process may set it, then the mode (a change of
  // owner clears the set-user-ID bit), then the times. None of them is worth
  // failing a whole target for: it keeps the private mode it was made with.
  // Standard input's mode is not the data's: its target is a new file.
  const bool copies = source.is_regular && !source.is_standard_input;
  mode_t mode = 0666 & ~creation_mask;
  if (copies) {
    mode = source.info.st_mode & 07777;
    if (fchown(fd, source.info.st_uid, source.info.st_gid) != 0) {
      // Another owner's file: no set-user-ID or set-group-ID bit for it.
      mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
      if (fchown(fd, static_cast<uid_t>(-1), source.info.st_gid) != 0) {
        // Nor the source's group: its bits would go to another group.
        mode &= ~static_cast<mode_t>(S_IRWXG);
      }
    }
  }
  (void)fchmod(fd, mode);
  if (copies) {
    const struct timespec times[2] = {source.info.st_atim, source.info.st_mtim};
    (void)futimens(fd, times);
  }
  written = !durable || fsync(fd) == 0;
#endif
  const bool closed = std::fclose(stream_) == 0;
  stream_ = nullptr;
  if (!written || !closed) {
    const int error = errno;
    discard();
    errno = error;
    return false;
  }
  bool moved = false;
  {
    [[maybe_unused]] const HeldSignals held;
    moved = move_into_place(pending_name, target_.data(), replace_);
    pending.store(!moved);
  }
  if (!moved) {
    const int error = errno;
    discard();
    errno = error;
    return false;
  }
#ifndef _WIN32
  if (durable) {
    // The new name is on disk only once its folder is: the folder's name is
    // the target's up to its last '/', or ".".
    std::array<char, kMaxName + 2> folder{'.', '\0'};
    if (const std::size_t length = folder_length(target_.data()); length != 0) {
      std::memcpy(folder.data(), target_.data(), length);
      folder[length] = '\0';
    }
    const int folder_fd = open(folder.data(), O_RDONLY | O_DIRECTORY);
    const bool synced = folder_fd >= 0 && fsync(folder_fd) == 0;
    const int error = errno;
    if (folder_fd >= 0) {
      (void)close(folder_fd);
    }
    errno = error;
    return synced;
  }
#endif
  return true;
}

void PendingTarget::discard() noexcept {
  if (stream_ != nullptr) {
    (void)std::fclose(stream_);
    stream_ = nullptr;
  }
  if (pending.load()) {
    (void)std::remove(pending_name);
    pending.store(false);
  }
}

bool remove_source(const char* name) noexcept { return std::remove(name) == 0; }

}  // namespace tarvix::tvx
