// The file coder: opens the files, chooses the mode, and moves bytes between
// the files and the library's streaming container.
#include "file_coder.h"

#include <tarvix/container.h>
#include <tarvix/workers.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>

#include "target_file.h"
#include "thread_count.h"

namespace tarvix {

namespace {

// A run reads and writes many blocks at a time, straight between its buffers
// and the files: the streams are unbuffered, so stdio copies nothing and each
// read or write is one call to the system. The one-thread path reads 8 blocks
// at a time; with more threads a batch holds 16 blocks per thread, so that
// each thread codes several blocks between two writes.
constexpr std::size_t kOneThreadBatchBlocks = 8;
constexpr std::size_t kBatchBlocksPerThread = 16;
constexpr std::size_t kMaxBatchBlocks = 64;

// The output of a batch: its block records, or its blocks, each coded
// straight into the buffer.
constexpr std::size_t kOutputSize = kMaxBatchBlocks * kCompressorStraightRoom;
static_assert(kOutputSize >= kMaxBatchBlocks * kRestorerStraightRoom);

// A run's working areas: fixed for the whole run, in static storage. Not the
// heap, which the program does not use; not the stack, which may be small:
// the program runs with 64 KiB of it. One run at a time uses them.
struct RunAreas {
  std::array<std::uint8_t, kMaxBatchBlocks * kMaxBlockSize> input{};
  std::array<std::uint8_t, kOutputSize> output{};
  std::optional<Compressor> compressor;
  std::optional<Restorer> restorer;
};
RunAreas areas;

// Closes a file on every early return. The target's close is checked where it
// matters, in code_file; what closing the source reports cannot change a run.
struct FileCloser {
  void operator()(std::FILE* file) const noexcept { (void)std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// One run's block loop between two open files. Its outcomes are those of
// the block-by-block order, whatever the batch and the threads: each block is
// written before anything after it is read or judged, so a run that meets a
// failure first writes out every block before it, and a failed write is the
// result if that write fails; a failed write ends the run at once, with
// nothing after it written.
class BlockLoop {
 public:
  BlockLoop(std::FILE* source, std::FILE* target, const char* source_name, const char* target_name,
            Workers* workers)
      : source_(source),
        target_(target),
        source_name_(source_name),
        target_name_(target_name),
        workers_(workers),
        batch_size_(kMaxBlockSize *
                    (workers == nullptr
                         ? kOneThreadBatchBlocks
                         : std::min(kMaxBatchBlocks, kBatchBlocksPerThread * workers->threads()))) {
  }

  ResultCode compress();
  ResultCode restore(std::span<const std::uint8_t> magic);

 private:
  void print_progress_once(const char* format) {
    if (progress_pending_) {
      std::printf(format, source_name_, target_name_);
      progress_pending_ = false;
    }
  }
  // Reads the next batch of the source; empty at its end, or when it fails.
  std::span<const std::uint8_t> read_batch() {
    return std::span(areas.input).first(std::fread(areas.input.data(), 1, batch_size_, source_));
  }
  // The result of a source that reads nothing more: its end, or a failure.
  ResultCode end_of_source() const {
    return std::ferror(source_) != 0 ? ResultCode::kSourceDamaged : ResultCode::kSuccess;
  }
  // Writes the bytes that a call of the container put before `rest`, the
  // unused end of the output buffer.
  bool write_output(std::span<const std::uint8_t> rest) {
    const std::size_t size = areas.output.size() - rest.size();
    return size == 0 || std::fwrite(areas.output.data(), 1, size, target_) == size;
  }
  // Ends compress mode with `result`, once the last block has been read or
  // a failure met: the last block and every byte still held are written
  // first.
  ResultCode finish_compress(ResultCode result);

  std::FILE* source_;
  std::FILE* target_;
  const char* source_name_;
  const char* target_name_;
  Workers* workers_;
  std::size_t batch_size_;
  bool progress_pending_ = true;
};

ResultCode BlockLoop::finish_compress(ResultCode result) {
  Compressor& compressor = *areas.compressor;
  for (bool done = false; !done;) {
    std::span<std::uint8_t> output(areas.output);
    done = compressor.finish(output);
    if (!write_output(output)) {
      return ResultCode::kWriteFailed;
    }
  }
  return result;
}

ResultCode BlockLoop::compress() {
  Compressor& compressor = areas.compressor.emplace(workers_);
  // The bytes read to choose the mode belong to the first block. The magic,
  // which comes first, is written before a failed seek is reported.
  if (std::fseek(source_, 0, SEEK_SET) != 0) {
    return finish_compress(ResultCode::kSeekFailed);
  }
  for (;;) {
    std::span<const std::uint8_t> input = read_batch();
    if (input.empty()) {
      return finish_compress(end_of_source());
    }
    print_progress_once("Compressing %s to %s\n");
    while (!input.empty()) {
      std::span<std::uint8_t> output(areas.output);
      compressor.compress(input, output);
      if (!write_output(output)) {
        return ResultCode::kWriteFailed;
      }
    }
  }
}

ResultCode BlockLoop::restore(std::span<const std::uint8_t> magic) {
  Restorer& restorer = areas.restorer.emplace(workers_);
  RestoreStatus status = RestoreStatus::kOk;
  // Restores `input` into the output buffer and writes what comes out; false
  // when the write fails. The progress line comes once the first record's
  // block data has been read, before that block is written or judged.
  auto pump = [&](std::span<const std::uint8_t>& input) {
    std::span<std::uint8_t> output(areas.output);
    status = restorer.restore(input, output);
    if (restorer.records_read() != 0) {
      print_progress_once("Decompressing %s to %s\n");
    }
    return write_output(output);
  };
  for (std::span<const std::uint8_t> input = magic; status == RestoreStatus::kOk;
       input = read_batch()) {
    if (input.empty()) {
      // The end of the file, or a failure to read it: a record that it cuts
      // short is damage, and so is a read that failed between two records.
      for (bool more = true; more;) {
        std::span<std::uint8_t> output(areas.output);
        status = restorer.finish(output);
        more = restorer.holds_output();
        if (!write_output(output)) {
          return ResultCode::kWriteFailed;
        }
      }
      return status == RestoreStatus::kOk ? end_of_source() : ResultCode::kSourceDamaged;
    }
    while (!input.empty() && status == RestoreStatus::kOk) {
      if (!pump(input)) {
        return ResultCode::kWriteFailed;
      }
    }
  }
  // Damage: the blocks before it have been written.
  return ResultCode::kSourceDamaged;
}

}  // namespace

ResultCode code_file(const char* source_name, const char* target_name) {
  if (source_name == nullptr || target_name == nullptr) {
    return ResultCode::kNameMissing;
  }
  File source(std::fopen(source_name, "rb"));
  if (!source) {
    return ResultCode::kSourceNotOpened;
  }
  std::FILE* opened_target = nullptr;
  const ResultCode opened = open_target(source.get(), target_name, opened_target);
  if (opened != ResultCode::kSuccess) {
    return opened;
  }
  File target(opened_target);
  // The run reads and writes in batches of its own; a stream that keeps a
  // buffer anyway works as well, only with one more copy.
  (void)std::setvbuf(source.get(), nullptr, _IONBF, 0);
  (void)std::setvbuf(target.get(), nullptr, _IONBF, 0);

  // One thread is the reference path, with no pool at all. The pool's
  // destructor joins its threads on every path out of the run.
  const unsigned threads = thread_count();
  std::optional<Workers> workers;
  if (threads > 1) {
    workers.emplace(threads);
  }
  BlockLoop loop(source.get(), target.get(), source_name, target_name,
                 workers ? &*workers : nullptr);

  std::array<std::uint8_t, kMagicSize> first{};
  ResultCode result = ResultCode::kSuccess;
  if (std::fread(first.data(), kMagicSize, 1, source.get()) == 1 && first == kFileMagic) {
    result = loop.restore(first);
  } else {
    // Anything else is compressed, a source whose first read failed (a
    // directory) included: compress mode writes the magic before its own
    // read fails. The first read's error is cleared, so that compress mode's
    // own reads decide its result.
    std::clearerr(source.get());
    result = loop.compress();
  }
  workers.reset();

  // The source closes first. A write that fails only when the target is
  // flushed or closed (a full disk) is still a failed write; the first
  // failure of the run is the one reported.
  source.reset();
  const bool target_flushed = std::fflush(target.get()) == 0;
  const bool target_closed = std::fclose(target.release()) == 0;
  if (result == ResultCode::kSuccess && !(target_flushed && target_closed)) {
    result = ResultCode::kWriteFailed;
  }
  return result;
}

}  // namespace tarvix
