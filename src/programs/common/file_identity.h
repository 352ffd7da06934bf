// The file identity checks: which file a name or an open descriptor leads
// to, and what kind of file it is, from one look at it.
#ifndef TARVIX_PROGRAMS_COMMON_FILE_IDENTITY_H
#define TARVIX_PROGRAMS_COMMON_FILE_IDENTITY_H

#include <array>
#include <cstdint>
#include <optional>

#include "platform.h"

namespace tarvix {

#ifdef _WIN32
// On Windows a file is known by its volume's serial number and its ID on that
// volume; stat() gives no inode there. The ID that FileIdInfo gives needs no
// access to the file, so it serves for a handle opened for writing alone, as
// standard output redirected to a file is; where it is not supported (before
// Windows 8, some file systems) the older index serves. Every handle of one
// file gives the same kind.
struct FileIdentity {
  bool full_id = false;  // FileIdInfo's ID, else the older index
  std::uint64_t volume = 0;
  std::array<std::uint8_t, 16> id{};

  bool operator==(const FileIdentity&) const = default;
};
#else
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;

  bool operator==(const FileIdentity&) const = default;
};
#endif

// What one look at a file tells.
struct FileLook {
  FileIdentity identity;
  bool is_regular = false;
  bool is_folder = false;
  // A regular file, a pipe or a socket, whose bytes another writer's would
  // mix with; not a device (/dev/null) nor a folder.
  bool holds_bytes = false;
  unsigned permissions = 0;  // the mode bits 07777; 0 where there are none (Windows)
};

// look_at() looks at the file that `name` leads to (following symbolic
// links), or that `descriptor` is open on, in one call to the system (stat()
// or fstat()); std::nullopt when there is none or it cannot be looked at. It
// opens no file for reading or writing and changes nothing.
std::optional<FileLook> look_at(const char* name) noexcept;
std::optional<FileLook> look_at(int descriptor) noexcept;

#ifndef _WIN32
// The look that a stat() gave.
FileLook look_of(const struct stat& info) noexcept;
#endif

}  // namespace tarvix

#endif  // TARVIX_PROGRAMS_COMMON_FILE_IDENTITY_H
