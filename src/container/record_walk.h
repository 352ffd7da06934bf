// Inside the library: the walk over a compressed file's records that
// tarvix_locate() and tarvix_locate_read() take, one window of the file's
// bytes at a time. Pure computation on the caller's memory.
#ifndef TARVIX_RECORD_WALK_H
#define TARVIX_RECORD_WALK_H

#include <tarvix/container_format.h>
#include <tarvix/tarvix.h>
#include <tarvix/workers.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace tarvix::detail {

// A walk from a record `start` (one of zeros: the start of the file) to the
// record whose block holds the restored offset `target`, given the file's
// bytes window by window, in file order.
class RecordWalk {
 public:
  RecordWalk(const tarvix_record& start, std::uint64_t target, unsigned flags,
             tarvix_workers* workers) noexcept;

  // Walks what lies whole in `window`, the file's bytes from next_offset()
  // on; `ends_file` when the file ends with them. Returns true when the walk
  // is over (status() and record() tell how), false when it needs the bytes
  // from next_offset() on, which the window did not hold whole.
  bool walk(std::span<const std::uint8_t> window, bool ends_file) noexcept;

  // Where the bytes that the walk needs next begin in the file.
  std::uint64_t next_offset() const noexcept { return next_offset_; }
  // kOk (the record holds the target, or is the last one), or the fault
  // met before it.
  Status status() const noexcept { return status_; }
  // The record that holds the target, or the last sound record before the
  // end or the fault; the start while none has been passed.
  const tarvix_record& record() const noexcept { return record_; }

 private:
  class Batch;

  // Reads the magics and records of `window` from `at` on into `batch`,
  // until the batch is full or the window holds nothing more whole, and
  // says why it stopped: a fault in the file sets `fault`.
  enum class Stop { kBatchFull, kWindowEnd, kFileEnd, kFault };
  Stop gather(std::span<const std::uint8_t> window, bool ends_file, std::size_t& at, Batch& batch,
              Status& fault) noexcept;
  // Goes through the records of `batch` in file order; true when one holds
  // the target or is refused.
  bool pass(Batch& batch) noexcept;
  bool end(Status status) noexcept {
    status_ = status;
    return true;
  }

  std::uint64_t target_;
  bool concatenated_;
  bool records_only_;
  tarvix_workers* workers_;
  std::uint64_t next_offset_;        // of the next magic or length field
  std::uint64_t window_offset_ = 0;  // of the window being walked
  bool at_file_start_;               // the first file's magic comes next
  tarvix_record next_;               // the counters of the next record
  tarvix_record record_;             // what record() gives
  std::size_t batch_records_ = 0;    // the records of the next batch, growing
  Status status_ = Status::kOk;
};

// tarvix_locate() and tarvix_locate_read() on spans.
Status locate(std::span<const std::uint8_t> file, std::uint64_t target, unsigned flags,
              tarvix_workers* workers, tarvix_record& record) noexcept;
Status locate_read(tarvix_reader read, void* context, std::span<std::uint8_t> buffer,
                   std::uint64_t target, unsigned flags, tarvix_workers* workers,
                   tarvix_record& record) noexcept;

}  // namespace tarvix::detail

#endif  // TARVIX_RECORD_WALK_H
