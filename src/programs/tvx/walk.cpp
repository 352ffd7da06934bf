// tvx's walks over a compressed file's records, through its stream. (The
// programs are built with a 64-bit off_t on every host, for fseeko() and
// ftello() past 2 GiB.)
#include "walk.h"

#include <array>
#include <cerrno>

namespace tarvix::tvx {

Walked walk_stream(std::FILE* stream, std::uint64_t offset, unsigned flags, Workers* workers,
                   WalkArea& area) noexcept {
  Walked walked{Status::kOk, Record{}, 0, 0};
  // The walk reads in order, each byte once: from where the stream stands.
  auto read = [&](std::uint64_t at, std::span<std::uint8_t> into) -> std::int64_t {
    if (at != walked.bytes_read) {
      walked.read_error = EINVAL;
      return -1;
    }
    errno = 0;
    const std::size_t got = std::fread(into.data(), 1, into.size(), stream);
    if (got == 0 && std::ferror(stream) != 0) {
      walked.read_error = errno != 0 ? errno : EIO;
      return -1;
    }
    walked.bytes_read += got;
    return static_cast<std::int64_t>(got);
  };
  walked.status = locate_read(read, area, offset, walked.record, flags, workers);
  return walked;
}

#ifdef _WIN32

std::optional<std::uint64_t> stream_position(std::FILE* stream) noexcept {
  const __int64 position = _ftelli64(stream);
  return position < 0 ? std::nullopt : std::optional(static_cast<std::uint64_t>(position));
}

bool seek_stream(std::FILE* stream, std::uint64_t position) noexcept {
  return _fseeki64(stream, static_cast<__int64>(position), SEEK_SET) == 0;
}

#else

std::optional<std::uint64_t> stream_position(std::FILE* stream) noexcept {
  const off_t position = ftello(stream);
  return position < 0 ? std::nullopt : std::optional(static_cast<std::uint64_t>(position));
}

bool seek_stream(std::FILE* stream, std::uint64_t position) noexcept {
  return fseeko(stream, static_cast<off_t>(position), SEEK_SET) == 0;
}

#endif

}  // namespace tarvix::tvx
