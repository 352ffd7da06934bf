// Opening the target of a run, once its source is open.
#include "target_file.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "names.h"

namespace tarvix {

namespace {

// True when standard output is a file whose bytes the target's would mix
// with: a regular file, a pipe or a socket, but not a device.
bool standard_output_holds_bytes() noexcept {
#ifdef _WIN32
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the C library keeps handles as integers.
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor_of(stdout)));
  if (handle == INVALID_HANDLE_VALUE) {
    return false;
  }
  // Sockets are pipes here.
  const DWORD type = GetFileType(handle);
  return type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE;
#else
  struct stat info {};
  return fstat(STDOUT_FILENO, &info) == 0 &&
         (S_ISREG(info.st_mode) || S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode));
#endif
}

// Opens the target for binary writing, creating or emptying it.
std::FILE* create_target(std::FILE* source, const char* target_name) noexcept {
#ifdef _WIN32
  (void)source;
  return std::fopen(target_name, "wb");
#else
  // The mode is given to open() so that the file never exists with more
  // permissions than the source. Only a regular file's bits say who may read
  // its bytes: from anything else (a pipe, a device) the target gets the
  // usual 0666, as the umask masks it. A source whose mode cannot be known
  // (it always can) gives a private target.
  struct stat info {};
  mode_t mode = 0600;
  if (fstat(descriptor_of(source), &info) == 0) {
    mode = S_ISREG(info.st_mode) ? (info.st_mode & 0777) : 0666;
  }
  const int fd = open(target_name, O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY, mode);
  if (fd < 0) {
    return nullptr;
  }
  std::FILE* const target = fdopen(fd, "wb");
  if (target == nullptr) {
    (void)close(fd);
  }
  return target;
#endif
}

}  // namespace

ResultCode open_target(std::FILE* source, const char* target_name, std::FILE*& target) {
  // The names were found to lead to different files before the source was
  // opened; a name under /dev/fd may lead to the source only now.
  if (same_open_file(target_name, descriptor_of(source))) {
    return ResultCode::kSameNames;
  }
  if (same_open_file(target_name, descriptor_of(stdout)) && standard_output_holds_bytes()) {
    return ResultCode::kTargetNotOpened;
  }
  target = create_target(source, target_name);
  return target == nullptr ? ResultCode::kTargetNotOpened : ResultCode::kSuccess;
}

}  // namespace tarvix
