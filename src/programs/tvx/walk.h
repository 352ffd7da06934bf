// tvx's walks over a compressed file's records through its stream, decoding
// nothing: the sizes that -l lists, the record --range restores from, the
// records --join copies.
#ifndef TARVIX_PROGRAMS_TVX_WALK_H
#define TARVIX_PROGRAMS_TVX_WALK_H

#include <tarvix/container.h>
#include <tarvix/workers.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>

namespace tarvix::tvx {

// What a walk gave: its status and record (as tarvix::locate_read gives
// them), the bytes it read, and the errno of a read that failed (kReadFailed).
struct Walked {
  Status status;
  Record record;
  std::uint64_t bytes_read;
  int read_error;
};

// The area a walk reads into: on a pool, two windows of 2 MiB, one read
// while the workers size the records of the other. The program keeps it in
// static storage, as the pipeline's areas: neither heap nor stack.
using WalkArea = std::array<std::uint8_t, std::size_t{4} << 20>;

// walk_stream() walks the compressed file that `stream` holds from where it
// stands, reading on in order (a pipe will do) into `area`, to the record
// that holds the restored offset `offset`, on `workers` if given. The stream
// stands after the bytes read.
Walked walk_stream(std::FILE* stream, std::uint64_t offset, unsigned flags, Workers* workers,
                   WalkArea& area) noexcept;

// Where a stream that can seek stands; std::nullopt for one that cannot.
std::optional<std::uint64_t> stream_position(std::FILE* stream) noexcept;
// Moves a stream that can seek to `position`; false with errno set.
bool seek_stream(std::FILE* stream, std::uint64_t position) noexcept;

// The first byte after `record`, the last one a walk passed, or `start` for
// a walk that passed none (`record` is then the start).
inline std::uint64_t records_end(const Record& record, std::uint64_t start) noexcept {
  return record.data_size == 0 ? start : record.file_offset + kLengthFieldSize + record.data_size;
}

}  // namespace tarvix::tvx

#endif  // TARVIX_PROGRAMS_TVX_WALK_H
