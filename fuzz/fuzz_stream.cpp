// Fuzz target: the streaming coders against the whole-buffer functions, with
// the input split at random and output areas of random sizes.
//
// The first 8 bytes of the fuzzer's input seed the splits (4 bytes the input
// pieces, 4 the output areas); the rest is the data. Each output area is a
// heap block of exactly its size, so AddressSanitizer stops any write past it.
//   - Compressor, fed the data in pieces, gives out byte for byte what
//     compress() writes, and Restorer, fed that file in pieces, restores the
//     data with kOk;
//   - Restorer, fed the data as a compressed file (after the file magic,
//     unless the lowest bit of the first byte is set), gives the outcome and
//     the bytes of restore(), and reads as many records as when it is fed the
//     file in one piece with room for all;
//   - every call returns with its input used up or its output full, or at a
//     fault.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include <tarvix/container.h>
#include <tarvix/workers.h>
#include "fuzz_check.h"
#include "streams.h"

using tarvix::Compressor;
using tarvix::Restorer;
using tarvix::RestoreStatus;
using tarvix::Workers;
using tarvix::test::Bytes;
using tarvix::test::NextSize;
using tarvix::test::stream;
using tarvix::test::Streamed;

namespace {

constexpr std::size_t kSeedSize = 8;

// Sizes of pieces or output areas: a few bytes, about a block, or anything up
// to several blocks; now and then 0.
class Splits {
 public:
  explicit Splits(std::uint32_t seed) : state_(seed | 1) {}
  std::size_t next() {
    state_ ^= state_ << 13;  // xorshift32
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    const std::uint32_t pick = state_ >> 2;
    switch (state_ & 3) {
      case 0:
        return pick % 17;
      case 1:
        return pick % 1100;
      case 2:
        return tarvix::kMaxBlockSize - 3 + pick % 12;
      default:
        return pick % 70000;
    }
  }

 private:
  std::uint32_t state_;
};

// The splits of `splits`, from its seed on, as a stream's sizes.
NextSize sizes(Splits splits) {
  return [splits]() mutable { return splits.next(); };
}

Bytes compress_in_pieces(std::span<const std::uint8_t> source, Splits pieces, Splits rooms,
                         Workers* workers = nullptr) {
  Compressor compressor(workers);
  return stream(compressor, source, sizes(pieces), sizes(rooms)).restored.bytes;
}

// What a Restorer gives for a file given whole, with room for all: on a
// pool, it decodes four or more whole records at a time together.
Streamed restore_at_once(std::span<const std::uint8_t> file, Workers* workers = nullptr) {
  Restorer restorer(workers);
  const std::size_t room = tarvix::restored_size_bound(file) + tarvix::kRestorerStraightRoom;
  return stream(
      restorer, file, [] { return SIZE_MAX; }, [room] { return room; });
}

std::uint32_t seed_at(const std::uint8_t* bytes) {
  return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (std::uint32_t{bytes[3]} << 24);
}

}  // namespace

// NOLINTNEXTLINE(readability-identifier-naming): the name libFuzzer calls.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kSeedSize) {
    return 0;
  }
  const Splits pieces(seed_at(data));
  const Splits rooms(seed_at(data + 4));
  const std::span<const std::uint8_t> bytes(data + kSeedSize, size - kSeedSize);

  // The data as a source.
  Bytes file(tarvix::compress_bound(bytes.size()));
  file.resize(tarvix::compress(bytes, file));
  // A pool of one thread takes the paths that code blocks together, on the
  // calling thread.
  Workers one(1);
  FUZZ_CHECK(compress_in_pieces(bytes, pieces, rooms) == file);
  FUZZ_CHECK(compress_in_pieces(bytes, pieces, rooms, &one) == file);
  Restorer restorer;
  const Streamed round_trip = stream(restorer, file, sizes(pieces), sizes(rooms));
  FUZZ_CHECK(round_trip.restored.status == RestoreStatus::kOk);
  FUZZ_CHECK(std::equal(round_trip.restored.bytes.begin(), round_trip.restored.bytes.end(),
                        bytes.begin(), bytes.end()));

  // The data as a compressed file.
  Bytes damaged;
  if ((data[0] & 1) == 0) {
    damaged.assign(tarvix::kFileMagic.begin(), tarvix::kFileMagic.end());
  }
  damaged.insert(damaged.end(), bytes.begin(), bytes.end());
  Bytes out(tarvix::restored_size_bound(damaged));
  const tarvix::RestoreResult whole = tarvix::restore(damaged, out);
  out.resize(whole.restored);
  restorer.reset();
  const Streamed streamed = stream(restorer, damaged, sizes(pieces), sizes(rooms));
  FUZZ_CHECK(streamed.restored.status == whole.status);
  FUZZ_CHECK(streamed.restored.bytes == out);
  const Streamed at_once = restore_at_once(damaged);
  FUZZ_CHECK(streamed.records == at_once.records);
  const Streamed together = restore_at_once(damaged, &one);
  FUZZ_CHECK(together == at_once);
  return 0;
}
