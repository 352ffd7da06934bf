// Opening the target of a run, once its source is open.
#include "target_file.h"

#include "platform.h"

#include <cerrno>

namespace tarvix {

namespace {

#ifdef _WIN32

// Windows has no mode bits to give a new file.
unsigned new_file_mode(const std::optional<FileLook>&) noexcept { return 0; }

// Opens the target for binary writing: a new file only, or created or emptied.
std::FILE* create(const char* name, bool only_new, unsigned) noexcept {
  if (!only_new) {
    return std::fopen(name, "wb");
  }
  int fd = -1;
  if (_sopen_s(&fd, name, _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _SH_DENYNO,
               _S_IREAD | _S_IWRITE) != 0) {
    return nullptr;
  }
  std::FILE* const target = _fdopen(fd, "wb");
  if (target == nullptr) {
    (void)_close(fd);
  }
  return target;
}

#else

// The mode is given to open() so that the file never exists with more
// permissions than the source. Only a regular file's bits say who may read
// its bytes: from anything else (a pipe, a device) the target gets the usual
// 0666, as the umask masks it. A source whose mode cannot be known gives a
// private target.
unsigned new_file_mode(const std::optional<FileLook>& source) noexcept {
  if (!source) {
    return 0600;
  }
  return source->is_regular ? (source->permissions & 0777) : 0666;
}

std::FILE* create(const char* name, bool only_new, unsigned mode) noexcept {
  const int fd = open(name, O_WRONLY | O_CREAT | O_NOCTTY | (only_new ? O_EXCL : O_TRUNC),
                      static_cast<mode_t>(mode));
  if (fd < 0) {
    return nullptr;
  }
  std::FILE* const target = fdopen(fd, "wb");
  if (target == nullptr) {
    (void)close(fd);
  }
  return target;
}

#endif

// True when the target is the file on standard output, and that file holds
// bytes that the target's would mix with.
bool is_standard_output_file(const FileLook& target) noexcept {
  const std::optional<FileLook> output = look_at(platform::descriptor_of(stdout));
  return output && output->identity == target.identity && output->holds_bytes;
}

}  // namespace

ResultCode open_target(const std::optional<FileLook>& source, std::optional<FileLook> target_look,
                       const char* target_name, std::FILE*& target) noexcept {
  const unsigned mode = new_file_mode(source);
  if (!target_look) {
    // No file had the name: one made anew is neither the source nor the file
    // on standard output. A name that leads to a file only now, such as
    // /dev/fd/3 once the source has taken descriptor 3, is looked at again.
    target = create(target_name, true, mode);
    if (target != nullptr) {
      return ResultCode::kSuccess;
    }
    if (errno != EEXIST) {
      return ResultCode::kTargetNotOpened;
    }
    target_look = look_at(target_name);
    if (target_look && source && target_look->identity == source->identity) {
      return ResultCode::kSameNames;
    }
  }
  if (target_look && is_standard_output_file(*target_look)) {
    return ResultCode::kTargetNotOpened;
  }
  target = create(target_name, false, mode);
  return target == nullptr ? ResultCode::kTargetNotOpened : ResultCode::kSuccess;
}

}  // namespace tarvix
