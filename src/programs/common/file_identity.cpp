// The file identity checks, on POSIX hosts and on Windows.
#include "file_identity.h"

#include <cstring>

namespace tarvix {

#ifdef _WIN32

namespace {

std::optional<FileLook> look_at(HANDLE handle) noexcept {
  FileLook look;
  FileIdentity& identity = look.identity;
  FILE_ID_INFO id_info;
  if (GetFileInformationByHandleEx(handle, FileIdInfo, &id_info, sizeof id_info) != 0) {
    identity.full_id = true;
    identity.volume = id_info.VolumeSerialNumber;
    std::memcpy(identity.id.data(), id_info.FileId.Identifier, identity.id.size());
  }
  // The older index, and the attributes, need a right to read them.
  BY_HANDLE_FILE_INFORMATION info{};
  const bool told = GetFileInformationByHandle(handle, &info) != 0;
  if (!identity.full_id) {
    if (!told) {
      return std::nullopt;
    }
    identity.volume = info.dwVolumeSerialNumber;
    const ULONGLONG index = (ULONGLONG{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    std::memcpy(identity.id.data(), &index, sizeof index);
  }
  // Sockets are pipes here.
  const DWORD type = GetFileType(handle);
  look.is_folder = told && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  look.is_regular = type == FILE_TYPE_DISK && !look.is_folder;
  look.holds_bytes = look.is_regular || type == FILE_TYPE_PIPE;
  return look;
}

}  // namespace

std::optional<FileLook> look_at(const char* name) noexcept {
  const HANDLE handle = CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return std::nullopt;
  }
  const std::optional<FileLook> look = look_at(handle);
  CloseHandle(handle);
  return look;
}

std::optional<FileLook> look_at(int descriptor) noexcept {
  const HANDLE handle = platform::handle_of(descriptor);
  return handle == INVALID_HANDLE_VALUE ? std::nullopt : look_at(handle);
}

#else

FileLook look_of(const struct stat& info) noexcept {
  const bool regular = S_ISREG(info.st_mode);
  return {{info.st_dev, info.st_ino},
          regular,
          S_ISDIR(info.st_mode),
          regular || S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode),
          static_cast<unsigned>(info.st_mode & 07777)};
}

std::optional<FileLook> look_at(const char* name) noexcept {
  struct stat info {};
  return stat(name, &info) == 0 ? std::optional(look_of(info)) : std::nullopt;
}

std::optional<FileLook> look_at(int descriptor) noexcept {
  struct stat info {};
  return fstat(descriptor, &info) == 0 ? std::optional(look_of(info)) : std::nullopt;
}

#endif

}  // namespace tarvix
