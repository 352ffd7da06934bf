// Inside the library: the walk over a compressed file's records that
// tarvix_locate() and tarvix_locate_read() take, one window of the file's
// bytes at a time. Pure computation on the caller's memory.
#ifndef TARVIX_RECORD_WALK_H
#define TARVIX_RECORD_WALK_H

#include <tarvix/block_decoder.h>
#include <tarvix/container_format.h>
#include <tarvix/tarvix.h>
#include <tarvix/workers.h>

#include <algorithm>
#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace tarvix::detail {

// The most records sized at once, and the first batch of a walk on a pool:
// batches double from it, so that a walk to a near offset sizes few records
// past it and one to a far offset hands the pool few, large batches.
constexpr std::size_t kMaxBatchRecords = 1024;
constexpr std::size_t kFirstBatchRecords = 8;
// The fewest records worth handing to a pool.
constexpr std::size_t kMinRecordsTogether = 4;
// The records that one thread of a pool sizes in a row: runs of them keep
// the threads off each other's cache lines.
constexpr std::size_t kRecordsPerTask = 32;

// Records read from a window, in file order, with their blocks' sizes once
// they are known.
class RecordWalkBatch {
 public:
  std::size_t size() const noexcept { return count_; }
  void clear() noexcept {
    count_ = 0;
    sized_ = false;
  }
  void add(std::uint64_t file_offset, std::span<const std::uint8_t> block_data) noexcept {
    assert(count_ < kMaxBatchRecords);
    if (count_ == 0) {
      first_offset_ = file_offset;
      first_data_ = block_data.data();
    }
    // The records of a batch lie in one window: each one's place in it is
    // the same distance from the first one's in the file and in memory.
    assert(block_data.data() - first_data_ ==
           static_cast<std::ptrdiff_t>(file_offset - first_offset_));
    places_[count_] = static_cast<std::uint32_t>(file_offset - first_offset_);
    data_sizes_[count_] = static_cast<std::uint16_t>(block_data.size());
    ++count_;
  }
  std::uint64_t file_offset(std::size_t i) const noexcept { return first_offset_ + places_[i]; }
  std::span<const std::uint8_t> block_data(std::size_t i) const noexcept {
    return {first_data_ + places_[i], data_sizes_[i]};
  }

  // Sizes every block on the pool's threads: start_sizing() hands the
  // blocks to them and returns; finish_sizing(), from the same thread,
  // sizes those no worker has taken and returns when all are sized.
  void start_sizing(tarvix_workers* workers) noexcept {
    tarvix_workers_start(
        workers, (count_ + kRecordsPerTask - 1) / kRecordsPerTask,
        [](void* batch, std::size_t task) {
          auto& self = *static_cast<RecordWalkBatch*>(batch);
          const std::size_t end = std::min(self.count_, (task + 1) * kRecordsPerTask);
          for (std::size_t i = task * kRecordsPerTask; i < end; ++i) {
            self.sizes_[i] = block_restored_size(self.block_data(i));
          }
        },
        this);
  }
  void finish_sizing(tarvix_workers* workers) noexcept {
    tarvix_workers_wait(workers);
    sized_ = true;
  }
  // The restored size of block i, std::nullopt for block data that the
  // decoder refuses.
  std::optional<std::uint16_t> restored_size(std::size_t i) const noexcept {
    return sized_ ? sizes_[i] : block_restored_size(block_data(i));
  }

 private:
  std::size_t count_ = 0;
  bool sized_ = false;
  // Records are kept small, so that a walk's two batches take 20 KiB of the
  // stack: each by its distance from the first one, and its block's size.
  std::uint64_t first_offset_ = 0;
  const std::uint8_t* first_data_ = nullptr;
  std::array<std::uint32_t, kMaxBatchRecords> places_{};
  std::array<std::uint16_t, kMaxBatchRecords> data_sizes_{};
  std::array<std::optional<std::uint16_t>, kMaxBatchRecords> sizes_;
};

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
  //
  // On a pool, the last records of a window that returns false may still be
  // being sized, while the caller reads the next window: keep the window
  // whole until the next call to walk(), which passes them first.
  bool walk(std::span<const std::uint8_t> window, bool ends_file) noexcept;
  // Passes the records still being sized, if any, before their window is
  // overwritten or the walk ends for want of the bytes next_offset() names
  // (a reader that failed); true when the walk is over, as walk() says.
  bool settle() noexcept;

  // Where the bytes that the walk needs next begin in the file.
  std::uint64_t next_offset() const noexcept { return next_offset_; }
  // kOk (the record holds the target, or is the last one), or the fault
  // met before it.
  Status status() const noexcept { return status_; }
  // The record that holds the target, or the last sound record before the
  // end or the fault; the start while none has been passed.
  const tarvix_record& record() const noexcept { return record_; }

 private:
  using Batch = RecordWalkBatch;

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
  // On a pool, the workers size one batch while the calling thread gathers
  // the other; `sizing_` is the one on the workers, if any.
  std::array<Batch, 2> batches_;
  Batch* sizing_ = nullptr;
};

// tarvix_locate() and tarvix_locate_read() on spans.
Status locate(std::span<const std::uint8_t> file, std::uint64_t target, unsigned flags,
              tarvix_workers* workers, tarvix_record& record) noexcept;
Status locate_read(tarvix_reader read, void* context, std::span<std::uint8_t> buffer,
                   std::uint64_t target, unsigned flags, tarvix_workers* workers,
                   tarvix_record& record) noexcept;

}  // namespace tarvix::detail

#endif  // TARVIX_RECORD_WALK_H
