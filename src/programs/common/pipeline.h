// The programs' pipeline between two files and a streaming coder: read the
// next batch while the coders work; write the last batch.
#ifndef TARVIX_PROGRAMS_COMMON_PIPELINE_H
#define TARVIX_PROGRAMS_COMMON_PIPELINE_H

#include <tarvix/container.h>
#include <tarvix/workers.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>

namespace tarvix {

// A WriteWatch tells a signal handler where the bytes written to a target
// stand: after a whole write, or inside one. A Pipeline given one marks the
// start and the end of each write; a handler whose claim_boundary() returns
// true may append to the target, whose bytes then end where a whole write
// ended, and no write starts after it. Lock-free: safe in a signal handler.
class WriteWatch {
 public:
  // Readies it for a target with nothing written yet.
  void reset() noexcept { stage_.store(Stage::kNothing); }
  // Before a write: false when a handler has claimed the target, and the
  // write must not start.
  bool begin_write() noexcept {
    Stage stage = stage_.load();
    for (;;) {
      if (stage == Stage::kClaimed) {
        return false;
      }
      // Once cut inside a write, the target is never claimed.
      if (stage == Stage::kCut || stage_.compare_exchange_weak(stage, Stage::kWriting)) {
        return true;
      }
    }
  }
  // After the write: `whole` when all of it was written.
  void end_write(bool whole) noexcept {
    Stage writing = Stage::kWriting;
    (void)stage_.compare_exchange_strong(writing, whole ? Stage::kBetween : Stage::kCut);
  }
  // True, once, when the target's bytes end with a whole write and none is
  // under way.
  bool claim_boundary() noexcept {
    Stage between = Stage::kBetween;
    return stage_.compare_exchange_strong(between, Stage::kClaimed);
  }

 private:
  enum class Stage : unsigned char { kNothing, kBetween, kWriting, kCut, kClaimed };
  std::atomic<Stage> stage_{Stage::kNothing};
  static_assert(std::atomic<Stage>::is_always_lock_free);
};

// A Pipeline moves the bytes of `source` through a coder to `target`, batch
// by batch: while the coders work on one batch, the I/O thread writes the
// output of the batch before it and reads the batch after it. With one thread
// the same steps run one after another, in the same order of effects: every
// batch is written before anything after it is judged, so a failed write ends
// the run with nothing after it written, and reading ahead shows nothing
// until its bytes are coded.
//
// The areas a pipeline reads into and codes into: two of each, so that while
// one batch is coded, the output of the one before it is written and the
// input of the one after it read. 2 MiB: a program keeps them in static
// storage, neither heap nor stack (it may run with a small stack), and
// hands them to one pipeline at a time.
struct PipelineAreas {
  // The most blocks a batch holds.
  static constexpr std::size_t kMaxBatchBlocks = 64;
  // The output of a batch: its block records, or its blocks, each coded
  // straight into the area.
  static constexpr std::size_t kOutputSize = kMaxBatchBlocks * kCompressorStraightRoom;
  static_assert(kOutputSize >= kMaxBatchBlocks * kRestorerStraightRoom);

  std::array<std::array<std::uint8_t, kMaxBatchBlocks * kMaxBlockSize>, 2> input;
  std::array<std::array<std::uint8_t, kOutputSize>, 2> output;
};

// Give it unbuffered streams (setvbuf with _IONBF, before their first read
// or write): each batch is then one read or write call to the system,
// straight between the pipeline's areas and the files. (A stream that keeps
// a buffer works as well, with one more copy.)
class Pipeline {
 public:
  static constexpr std::size_t kMaxBatchBlocks = PipelineAreas::kMaxBatchBlocks;

  // Moves bytes through `areas`, which no other pipeline uses while this one
  // lives. `target` may be null: the output is counted and dropped. `coders`
  // is the coders' pool, or null for the one-thread path; `io` is a pool of
  // two threads beside it (one on the one-thread path), for the reads and
  // writes. `watch`, if given, follows the writes to `target`.
  Pipeline(PipelineAreas& areas, std::FILE* source, std::FILE* target, const Workers* coders,
           Workers& io, WriteWatch* watch = nullptr) noexcept;

  // Runs the source through `code(input, output)`, a coder's call that takes
  // from `input` and writes into `output` and returns false at a fault, and
  // writes what comes out, until the source ends or `code` returns false.
  // Returns false when a write failed.
  template <typename Code>
  bool pump(Code& code);

  // Ends the file of `coder`, a Compressor or a Restorer, and writes what it
  // gives until it holds nothing; returns the outcome, or std::nullopt when a
  // write failed.
  template <typename Coder>
  std::optional<Status> finish(Coder& coder) {
    for (;;) {
      std::span<std::uint8_t> output = output_buffer(0);
      const FinishResult ending = coder.finish(output);
      if (!write(produced(0, output))) {
        return std::nullopt;
      }
      if (ending.held == 0) {
        return ending.status;
      }
    }
  }

  // True when reading the source failed (rather than ended).
  bool read_failed() const noexcept { return std::ferror(source_) != 0; }
  // The errno of the failed read or write, which may have failed on the
  // I/O thread; 0 when none failed or the system told nothing.
  int read_error() const noexcept { return read_error_; }
  int write_error() const noexcept { return write_error_; }
  // The bytes read from the source and given to the target so far; the
  // I/O thread counts them as it goes.
  std::uint64_t bytes_read() const noexcept { return read_.load(std::memory_order_relaxed); }
  std::uint64_t bytes_written() const noexcept { return written_.load(std::memory_order_relaxed); }

 private:
  // Reads the next batch of the source into input buffer `which`; empty at
  // the source's end, or when reading it fails.
  std::span<const std::uint8_t> read_batch(std::size_t which) noexcept;
  bool write(std::span<const std::uint8_t> bytes) noexcept;
  // Output buffer `which`, as far as a batch uses it: room for the records
  // or the blocks of one batch, so that a run touches no more memory than
  // its batches need.
  std::span<std::uint8_t> output_buffer(std::size_t which) const noexcept;
  // The bytes that calls of a coder put into output buffer `which` before
  // `rest`, its unused end.
  std::span<const std::uint8_t> produced(std::size_t which,
                                         std::span<std::uint8_t> rest) const noexcept {
    return output_buffer(which).first(output_buffer(which).size() - rest.size());
  }

  PipelineAreas& areas_;
  std::FILE* source_;
  std::FILE* target_;
  Workers& io_;
  WriteWatch* watch_;
  std::size_t batch_blocks_;
  std::size_t batch_size_;  // bytes
  std::atomic<std::uint64_t> read_{0};
  std::atomic<std::uint64_t> written_{0};
  int read_error_ = 0;
  int write_error_ = 0;
};

template <typename Code>
bool Pipeline::pump(Code& code) {
  std::size_t in_which = 0;   // the input buffer being coded
  std::size_t out_which = 0;  // the output buffer being filled
  std::span<const std::uint8_t> input = read_batch(in_which);
  // A short read is the end of the source, or a failure to read it.
  bool source_ended = input.size() < batch_size_;
  bool next_read = false;  // the other input buffer holds the next batch
  std::span<const std::uint8_t> next;
  std::span<const std::uint8_t> to_write;
  bool written = true;
  auto io = [&](std::size_t) noexcept {
    written = write(to_write);
    if (written && !next_read && !source_ended) {
      next = read_batch(1 - in_which);
      next_read = true;
    }
  };
  for (bool sound = true; sound && !input.empty();) {
    // With nothing more to read, the write needs no thread of its own.
    const bool ahead = !source_ended;
    if (ahead) {
      io_.start(1, io);
    }
    std::span<std::uint8_t> output = output_buffer(out_which);
    sound = code(input, output);
    if (ahead) {
      io_.wait();
    } else {
      io(0);
    }
    if (!written) {
      return false;
    }
    to_write = produced(out_which, output);
    out_which = 1 - out_which;
    if (input.empty() && next_read) {
      in_which = 1 - in_which;
      input = next;
      next_read = false;
      source_ended = input.size() < batch_size_;
    }
  }
  return write(to_write);
}

}  // namespace tarvix

#endif  // TARVIX_PROGRAMS_COMMON_PIPELINE_H
