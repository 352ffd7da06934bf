// The programs' one door to the system's own headers: Windows' (lean), or
// POSIX's, and the few calls that differ only in their spelling. Include it
// before any other system header.
#ifndef TARVIX_PROGRAMS_COMMON_PLATFORM_H
#define TARVIX_PROGRAMS_COMMON_PLATFORM_H

#include <cstdio>

#ifdef _WIN32

#define WIN32_LEAN_AND_MEAN
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <sys/utime.h>
#include <windows.h>

namespace tarvix::platform {

inline int descriptor_of(std::FILE* stream) noexcept { return _fileno(stream); }
inline bool is_terminal(std::FILE* stream) noexcept { return _isatty(_fileno(stream)) != 0; }
// Bytes in and out as they are, where the C library would turn line ends.
inline void read_and_write_bytes(std::FILE* stream) noexcept {
  (void)_setmode(_fileno(stream), _O_BINARY);
}
// The handle the C library keeps for a descriptor.
inline HANDLE handle_of(int descriptor) noexcept {
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the C library keeps handles as integers.
  return reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
}

}  // namespace tarvix::platform

#else

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvix::platform {

inline int descriptor_of(std::FILE* stream) noexcept { return fileno(stream); }
inline bool is_terminal(std::FILE* stream) noexcept { return isatty(fileno(stream)) != 0; }
inline void read_and_write_bytes(std::FILE*) noexcept {}

}  // namespace tarvix::platform

#endif

#endif  // TARVIX_PROGRAMS_COMMON_PLATFORM_H
