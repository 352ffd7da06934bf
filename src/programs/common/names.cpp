// The name check, on the names as typed and on the files they lead to.
#include "names.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>

#include <array>
#include <cstring>
#else
#include <sys/stat.h>
#endif

namespace tarvix {

namespace {

constexpr char fold_case(char c) noexcept {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

#ifdef _WIN32
// On Windows a file is known by its volume's serial number and its ID on that
// volume; stat() gives no inode there. The ID that FileIdInfo gives needs no
// access to the file, so it serves for a handle opened for writing alone, as
// standard output redirected to a file is; where it is not supported (before
// Windows 8, some file systems) the older index serves, which needs a right
// to read the file's attributes. Every handle of one file gives the same kind.
struct FileIdentity {
  bool full_id = false;  // FileIdInfo's ID, else the older index
  ULONGLONG volume = 0;
  std::array<BYTE, sizeof(FILE_ID_128::Identifier)> id{};
};

bool identify(HANDLE handle, FileIdentity& identity) noexcept {
  FILE_ID_INFO id_info;
  if (GetFileInformationByHandleEx(handle, FileIdInfo, &id_info, sizeof id_info) != 0) {
    identity.full_id = true;
    identity.volume = id_info.VolumeSerialNumber;
    std::memcpy(identity.id.data(), id_info.FileId.Identifier, identity.id.size());
    return true;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(handle, &info) == 0) {
    return false;
  }
  identity.full_id = false;
  identity.volume = info.dwVolumeSerialNumber;
  const ULONGLONG index = (ULONGLONG{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  std::memcpy(identity.id.data(), &index, sizeof index);
  return true;
}

bool identify(const char* name, FileIdentity& identity) noexcept {
  const HANDLE handle = CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return false;
  }
  const bool known = identify(handle, identity);
  CloseHandle(handle);
  return known;
}

bool identify(int descriptor, FileIdentity& identity) noexcept {
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the C library keeps handles as integers.
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
  return handle != INVALID_HANDLE_VALUE && identify(handle, identity);
}

bool operator==(const FileIdentity& a, const FileIdentity& b) noexcept {
  return a.full_id == b.full_id && a.volume == b.volume && a.id == b.id;
}
#else
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
};

bool identify(const char* name, FileIdentity& identity) noexcept {
  struct stat info {};
  if (stat(name, &info) != 0) {
    return false;
  }
  identity = {info.st_dev, info.st_ino};
  return true;
}

bool identify(int descriptor, FileIdentity& identity) noexcept {
  struct stat info {};
  if (fstat(descriptor, &info) != 0) {
    return false;
  }
  identity = {info.st_dev, info.st_ino};
  return true;
}

bool operator==(const FileIdentity& a, const FileIdentity& b) noexcept {
  return a.device == b.device && a.inode == b.inode;
}
#endif

}  // namespace

bool same_names(const char* source_name, const char* target_name) noexcept {
  if (source_name == nullptr || target_name == nullptr) {
    return false;
  }
  // Up to and including the terminator, so names of different lengths differ.
  for (;; ++source_name, ++target_name) {
    if (fold_case(*source_name) != fold_case(*target_name)) {
      return false;
    }
    if (*source_name == '\0') {
      return true;
    }
  }
}

bool same_file(const char* source_name, const char* target_name) noexcept {
  if (source_name == nullptr || target_name == nullptr) {
    return false;
  }
  FileIdentity source;
  FileIdentity target;
  return identify(source_name, source) && identify(target_name, target) && source == target;
}

bool same_open_file(const char* name, int descriptor) noexcept {
  if (name == nullptr) {
    return false;
  }
  FileIdentity file;
  FileIdentity open_file;
  return identify(name, file) && identify(descriptor, open_file) && file == open_file;
}

bool same_open_files(int descriptor, int other) noexcept {
  FileIdentity file;
  FileIdentity other_file;
  return identify(descriptor, file) && identify(other, other_file) && file == other_file;
}

int descriptor_of(std::FILE* stream) noexcept {
#ifdef _WIN32
  return _fileno(stream);
#else
  return fileno(stream);
#endif
}

}  // namespace tarvix
