// The walk over a compressed file's records: the magics and length fields
// in file order, each record's block sized by the block decoder's walk.
#include <tarvix/block_decoder.h>

#include <algorithm>
#include <array>
#include <cassert>
#include <cstring>
#include <optional>

#include "container_internal.h"
#include "record_walk.h"

namespace tarvix::detail {

namespace {

// The most records sized at once, and the first batch of a walk on a pool:
// batches double from it, so that a walk to a near offset sizes few records
// past it and one to a far offset hands the pool few, large batches.
constexpr std::size_t kMaxBatchRecords = 256;
constexpr std::size_t kFirstBatchRecords = 8;
// The fewest records worth handing to a pool.
constexpr std::size_t kMinRecordsTogether = 4;

}  // namespace

// Records read from a window, in file order, with their blocks' sizes once
// they are known.
class RecordWalk::Batch {
 public:
  std::size_t size() const noexcept { return count_; }
  void add(std::uint64_t file_offset, std::span<const std::uint8_t> block_data) noexcept {
    assert(count_ < kMaxBatchRecords);
    offsets_[count_] = file_offset;
    block_data_[count_] = block_data;
    ++count_;
  }
  std::uint64_t file_offset(std::size_t i) const noexcept { return offsets_[i]; }
  std::span<const std::uint8_t> block_data(std::size_t i) const noexcept { return block_data_[i]; }

  // Sizes every block on the pool's threads.
  void size_all(tarvix_workers* workers) noexcept {
    tarvix_workers_run(
        workers, count_,
        [](void* batch, std::size_t i) {
          auto& self = *static_cast<Batch*>(batch);
          self.sizes_[i] = block_restored_size(self.block_data_[i]);
        },
        this);
    sized_ = true;
  }
  // The restored size of block i, std::nullopt for block data that the
  // decoder refuses.
  std::optional<std::uint16_t> restored_size(std::size_t i) const noexcept {
    return sized_ ? sizes_[i] : block_restored_size(block_data_[i]);
  }

 private:
  std::size_t count_ = 0;
  bool sized_ = false;
  std::array<std::uint64_t, kMaxBatchRecords> offsets_{};
  std::array<std::span<const std::uint8_t>, kMaxBatchRecords> block_data_;
  std::array<std::optional<std::uint16_t>, kMaxBatchRecords> sizes_;
};

RecordWalk::RecordWalk(const tarvix_record& start, std::uint64_t target, unsigned flags,
                       tarvix_workers* workers) noexcept
    : target_(target),
      concatenated_((flags & TARVIX_LOCATE_CONCATENATED) != 0),
      records_only_((flags & TARVIX_LOCATE_RECORDS) != 0),
      workers_(tarvix_workers_threads(workers) > 1 ? workers : nullptr),
      next_offset_(start.file_offset),
      at_file_start_(start.file_offset == 0 && start.data_size == 0),
      next_(start),
      record_(start),
      batch_records_(workers_ != nullptr ? kFirstBatchRecords : kMaxBatchRecords) {}

RecordWalk::Stop RecordWalk::gather(std::span<const std::uint8_t> window, bool ends_file,
                                    std::size_t& at, Batch& batch, Status& fault) noexcept {
  while (batch.size() < batch_records_) {
    const std::span<const std::uint8_t> rest = window.subspan(at);
    if (at_file_start_) {
      if (rest.size() < kMagicSize && !ends_file) {
        return Stop::kWindowEnd;
      }
      at_file_start_ = false;
      if (rest.size() >= kMagicSize &&
          std::equal(kFileMagic.begin(), kFileMagic.end(), rest.begin())) {
        at += kMagicSize;
      } else if (!records_only_) {
        fault = Status::kNotCompressed;
        return Stop::kFault;
      }
      continue;
    }
    if (rest.size() < kLengthFieldSize) {
      if (!ends_file) {
        return Stop::kWindowEnd;
      }
      // A single byte after the last record is ignored, but for the first
      // byte of a later file's magic.
      if (concatenated_ && rest.size() == 1 && rest[0] == kFileMagic[0]) {
        fault = Status::kCutShort;
        return Stop::kFault;
      }
      return Stop::kFileEnd;
    }
    const std::size_t length = read_length_field(rest.data());
    if (concatenated_ && length == read_length_field(kFileMagic.data())) {
      // A later file: the rest of its magic follows, each byte read in turn.
      for (std::size_t i = kLengthFieldSize; i < kMagicSize; ++i) {
        if (i == rest.size()) {
          if (!ends_file) {
            return Stop::kWindowEnd;
          }
          fault = Status::kCutShort;
          return Stop::kFault;
        }
        if (rest[i] != kFileMagic[i]) {
          fault = Status::kBadLength;
          return Stop::kFault;
        }
      }
      at += kMagicSize;
      continue;
    }
    if (!is_readable_length(length)) {
      fault = Status::kBadLength;
      return Stop::kFault;
    }
    if (rest.size() - kLengthFieldSize < length) {
      if (!ends_file) {
        return Stop::kWindowEnd;
      }
      fault = Status::kCutShort;
      return Stop::kFault;
    }
    batch.add(window_offset_ + at, rest.subspan(kLengthFieldSize, length));
    at += kLengthFieldSize + length;
  }
  return Stop::kBatchFull;
}

bool RecordWalk::pass(Batch& batch) noexcept {
  if (workers_ != nullptr && batch.size() >= kMinRecordsTogether) {
    batch.size_all(workers_);
  }
  for (std::size_t i = 0; i < batch.size(); ++i) {
    const std::optional<std::uint16_t> size = batch.restored_size(i);
    if (!size) {
      return end(Status::kBadBlockData);
    }
    const auto block_data = batch.block_data(i);
    tarvix_record record = next_;
    record.file_offset = batch.file_offset(i);
    record.data_size = static_cast<std::uint32_t>(block_data.size());
    record.restored_size = *size;
    // Until a record is passed, next_ is the start: a start record is the
    // first record passed, and its count of stored blocks holds it already.
    if (next_.data_size == 0 && block_data[0] == kKindStored) {
      ++record.stored_blocks;
    }
    record_ = record;
    if (target_ - record.restored_offset < *size) {
      return end(Status::kOk);
    }
    next_ = {0, record.index + 1, record.restored_offset + *size, record.stored_blocks, 0, 0};
  }
  return false;
}

bool RecordWalk::walk(std::span<const std::uint8_t> window, bool ends_file) noexcept {
  window_offset_ = next_offset_;
  std::size_t at = 0;
  for (;;) {
    Batch batch;
    Status fault = Status::kOk;
    const Stop stop = gather(window, ends_file, at, batch, fault);
    if (pass(batch)) {
      return true;
    }
    next_offset_ = window_offset_ + at;
    batch_records_ = std::min(2 * batch_records_, kMaxBatchRecords);
    switch (stop) {
      case Stop::kBatchFull:
        continue;
      case Stop::kWindowEnd:
        return false;
      case Stop::kFileEnd:
        return end(Status::kOk);
      case Stop::kFault:
        return end(fault);
    }
  }
}

namespace {

// A walk may go on from a record, never back from it.
bool is_start_for(const tarvix_record& record, std::uint64_t target) noexcept {
  return record.restored_offset <= target;
}

}  // namespace

Status locate(std::span<const std::uint8_t> file, std::uint64_t target, unsigned flags,
              tarvix_workers* workers, tarvix_record& record) noexcept {
  if (!is_start_for(record, target)) {
    return Status::kMisuse;
  }
  RecordWalk walk(record, target, flags, workers);
  const std::uint64_t from = std::min<std::uint64_t>(walk.next_offset(), file.size());
  const bool over = walk.walk(file.subspan(static_cast<std::size_t>(from)), true);
  assert(over);
  (void)over;
  record = walk.record();
  return walk.status();
}

Status locate_read(tarvix_reader read, void* context, std::span<std::uint8_t> buffer,
                   std::uint64_t target, unsigned flags, tarvix_workers* workers,
                   tarvix_record& record) noexcept {
  if (read == nullptr || buffer.size() < kMaxRecordSize || !is_start_for(record, target)) {
    return Status::kMisuse;
  }
  RecordWalk walk(record, target, flags, workers);
  // buffer[0, filled) holds the file's bytes from walk.next_offset() on.
  std::size_t filled = 0;
  for (;;) {
    bool ends_file = false;
    while (filled < buffer.size()) {
      const std::size_t wanted = buffer.size() - filled;
      const std::int64_t got = read(context, walk.next_offset() + filled, &buffer[filled], wanted);
      if (got < 0 || static_cast<std::uint64_t>(got) > wanted) {
        record = walk.record();
        return Status::kReadFailed;
      }
      if (got == 0) {
        ends_file = true;
        break;
      }
      filled += static_cast<std::size_t>(got);
    }
    const std::uint64_t window_offset = walk.next_offset();
    if (walk.walk(buffer.first(filled), ends_file)) {
      record = walk.record();
      return walk.status();
    }
    // The bytes not walked yet, less than one record, move to the front.
    const auto walked = static_cast<std::size_t>(walk.next_offset() - window_offset);
    std::memmove(buffer.data(), buffer.data() + walked, filled - walked);
    filled -= walked;
  }
}

}  // namespace tarvix::detail
