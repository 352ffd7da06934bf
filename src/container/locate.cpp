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

// On a pool, the calling thread gathers the next batch while the workers
// size the one before it; one thread sizes each block as it passes it.
bool RecordWalk::walk(std::span<const std::uint8_t> window, bool ends_file) noexcept {
  window_offset_ = next_offset_;
  std::size_t at = 0;
  for (;;) {
    Batch& batch = sizing_ == batches_.data() ? batches_[1] : batches_[0];
    batch.clear();
    Status fault = Status::kOk;
    const Stop stop = gather(window, ends_file, at, batch, fault);
    if (sizing_ != nullptr) {
      sizing_->finish_sizing(workers_);
      Batch& sized = *sizing_;
      sizing_ = nullptr;
      if (pass(sized)) {
        return true;
      }
    }
    batch_records_ = std::min(2 * batch_records_, kMaxBatchRecords);
    next_offset_ = window_offset_ + at;
    if (workers_ != nullptr && batch.size() >= kMinRecordsTogether) {
      batch.start_sizing(workers_);
      if (stop == Stop::kBatchFull || stop == Stop::kWindowEnd) {
        sizing_ = &batch;  // passed by the next round, or the next call
        if (stop == Stop::kBatchFull) {
          continue;
        }
        return false;
      }
      batch.finish_sizing(workers_);
    }
    if (pass(batch)) {
      return true;
    }
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

bool RecordWalk::settle() noexcept {
  if (sizing_ == nullptr) {
    return false;
  }
  sizing_->finish_sizing(workers_);
  Batch& sized = *sizing_;
  sizing_ = nullptr;
  return pass(sized);
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
  // On a pool, with room for two windows, the buffer's halves take turns:
  // one is read while the workers size the last records of the other.
  const bool halves = tarvix_workers_threads(workers) > 1 && buffer.size() >= 2 * kMaxRecordSize;
  const std::size_t window_size = halves ? buffer.size() / 2 : buffer.size();
  std::span<std::uint8_t> window = buffer.first(window_size);
  // window[0, filled) holds the file's bytes from walk.next_offset() on.
  std::size_t filled = 0;
  for (;;) {
    bool ends_file = false;
    while (filled < window.size()) {
      const std::size_t wanted = window.size() - filled;
      const std::int64_t got = read(context, walk.next_offset() + filled, &window[filled], wanted);
      if (got < 0 || static_cast<std::uint64_t>(got) > wanted) {
        const bool over = walk.settle();
        record = walk.record();
        return over ? walk.status() : Status::kReadFailed;
      }
      if (got == 0) {
        ends_file = true;
        break;
      }
      filled += static_cast<std::size_t>(got);
    }
    const std::uint64_t window_offset = walk.next_offset();
    if (walk.walk(window.first(filled), ends_file)) {
      record = walk.record();
      return walk.status();
    }
    // The bytes not walked yet, less than one record, go to the front of
    // the next window: the other half, or this one.
    const auto walked = static_cast<std::size_t>(walk.next_offset() - window_offset);
    std::span<std::uint8_t> next = window;
    if (halves) {
      next = window.data() == buffer.data() ? buffer.subspan(window_size, window_size)
                                            : buffer.first(window_size);
    } else if (walk.settle()) {  // before this window is read over
      record = walk.record();
      return walk.status();
    }
    std::memmove(next.data(), window.data() + walked, filled - walked);
    filled -= walked;
    window = next;
  }
}

}  // namespace tarvix::detail
