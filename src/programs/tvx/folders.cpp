// tvx -r: the walk over a folder's files, on POSIX hosts and on Windows.
#include "folders.h"

#include "platform.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "signals.h"

namespace tarvix::tvx {

namespace {

// The name of the file being walked to: a folder's name, to which each
// entry's is put in turn.
class WalkedName {
 public:
  static constexpr std::size_t kMaxName = kMaxPendingName;

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

void walk(WalkedName& name, FolderVisitor& visitor) noexcept;

// Shows one entry of the folder `name`, of the kind `kind_of(path)` tells.
template <typename KindOf>
void take(WalkedName& name, std::string_view entry, KindOf kind_of,
          FolderVisitor& visitor) noexcept {
  if (entry == "." || entry == "..") {
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
}

#ifdef _WIN32

// The entries of the folder, each of the kind its attributes tell.
void walk(WalkedName& name, FolderVisitor& visitor) noexcept {
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
    take(
        name, found.cFileName,
        [attributes](const char*) {
          return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? Entry::kOther
                 : (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0   ? Entry::kFolder
                                                                  : Entry::kFile;
        },
        visitor);
  } while (FindNextFileA(search, &found) != 0);
  (void)FindClose(search);
}

bool is_folder_named(const char* name) noexcept {
  const DWORD attributes = GetFileAttributesA(name);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

#else

// The kind of the entry at `path`, as lstat() tells it.
Entry kind_of(const char* path) noexcept {
  struct stat info {};
  if (lstat(path, &info) != 0) {
    return Entry::kOther;  // gone since the folder was read
  }
  return S_ISDIR(info.st_mode)   ? Entry::kFolder
         : S_ISREG(info.st_mode) ? Entry::kFile
                                 : Entry::kOther;
}

// The entries of the folder, each looked at without following a link.
void walk(WalkedName& name, FolderVisitor& visitor) noexcept {
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
  // readdir() tells a failure from the end only by errno.
  errno = 0;
  while (const struct dirent* const entry = readdir(folder)) {
    take(name, entry->d_name, kind_of, visitor);
    errno = 0;
  }
  if (errno != 0) {
    visitor.failed(name.c_str(), errno);
  }
  (void)closedir(folder);
}

bool is_folder_named(const char* name) noexcept {
  struct stat info {};
  return stat(name, &info) == 0 && S_ISDIR(info.st_mode);
}

#endif

}  // namespace

bool is_folder(const char* name) noexcept { return is_folder_named(name); }

void walk_folder(const char* name, FolderVisitor& visitor) noexcept {
  const std::string_view folder(name);
  if (folder.size() > WalkedName::kMaxName) {
    visitor.failed(name, ENAMETOOLONG);
    return;
  }
  WalkedName walked(folder);
  walk(walked, visitor);
}

}  // namespace tarvix::tvx
