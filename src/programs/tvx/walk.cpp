// tvx's walks over a compressed file's records, through its stream. (Built
// with a 64-bit off_t on every host, for fseeko() and ftello() past 2 GiB.)
#include "walk.h"

#include <array>
#include <cerrno>

namespace tarvix::tvx {

namespace {

// The walks' reads: 1 MiB lets a pool size about 200 records at once. Static,
// as the pipeline's areas are: neither heap nor stack.
std::array<std::uint8_t, std::size_t{1} << 20> walk_area;

}  // namespace

Walked walk_stream(std::FILE* stream, std::uint64_t offset, unsigned flags,
                   Workers* workers) noexcept {
  Walked walked{Status::kOk, Record{}, 0, 0};
  // The walk reads in order, each byte once: from where the stream stands.
  auto read = [&](std::uint64_t at, std::span<std::uint8_t> area) -> std::int64_t {
    if (at != walked.bytes_read) {
      walked.read_error = EINVAL;
      return -1;
    }
    errno = 0;
    const std::size_t got = std::fread(area.data(), 1, area.size(), stream);
    if (got == 0 && std::ferror(stream) != 0) {
      walked.read_error = errno != 0 ? errno : EIO;
      return -1;
    }
    walked.bytes_read += got;
    return static_cast<std::int64_t>(got);
  };
  walked.status = locate_read(read, walk_area, offset, walked.record, flags, workers);
  return walked;
}

std::optional<std::uint64_t> stream_position(std::FILE* stream) noexcept {
#ifdef _WIN32
  const auto position = _ftelli64(stream);
#else
  const auto position = ftello(stream);
#endif
  if (position < 0) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(position);
}

bool seek_stream(std::FILE* stream, std::uint64_t position) noexcept {
#ifdef _WIN32
  return _fseeki64(stream, static_cast<__int64>(position), SEEK_SET) == 0;
#else
  return fseeko(stream, static_cast<off_t>(position), SEEK_SET) == 0;
#endif
}

}  // namespace tarvix::tvx
