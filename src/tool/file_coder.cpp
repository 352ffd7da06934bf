// The file coder: opens the files, chooses the mode, and moves bytes between
// the files and the library's streaming container.
#include "file_coder.h"

#include <tarvix/container.h>
#include <tarvix/workers.h>

#include <algorithm>
#include <array>
#include <cassert>
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
// at a time; with more threads a batch holds 32 blocks per thread, up to 64,
// so that each thread codes many blocks between two hand-overs.
constexpr std::size_t kOneThreadBatchBlocks = 8;
constexpr std::size_t kBatchBlocksPerThread = 32;
constexpr std::size_t kMaxBatchBlocks = 64;

// The output of a batch: its block records, or its blocks, each coded
// straight into the buffer.
constexpr std::size_t kOutputSize = kMaxBatchBlocks * kCompressorStraightRoom;
static_assert(kOutputSize >= kMaxBatchBlocks * kRestorerStraightRoom);

// A run's working areas: fixed for the whole run, in static storage. Not the
// heap, which the program does not use; not the stack, which may be small:
// the program runs with 64 KiB of it. One run at a time uses them. There are
// two of each buffer: while one batch is coded, the output of the one before
// it is written and the input of the one after it read.
using InputBuffer = std::array<std::uint8_t, kMaxBatchBlocks * kMaxBlockSize>;
using OutputBuffer = std::array<std::uint8_t, kOutputSize>;
struct RunAreas {
  std::array<InputBuffer, 2> input{};
  std::array<OutputBuffer, 2> output{};
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

// One run's block loop between two open files.
//
// Its outcomes are those of the block-by-block order, whatever the batches
// and the threads: in that order each block is written before anything after
// it is read or judged. So a run that meets a failure (a seek or read that
// failed, a damaged record) first writes out every block before it, and if
// that write fails, the failed write is the result; and a failed write ends
// the run at once, with nothing after it written. Reading ahead changes
// none of this, since reading shows nothing until its bytes are judged.
//
// The batches flow through two sets of buffers. While the coders work on
// batch k, the I/O thread writes the output of batch k - 1 and reads batch
// k + 1; with one thread, the same steps run one after another.
class BlockLoop {
 public:
  BlockLoop(std::FILE* source, std::FILE* target, const char* source_name, const char* target_name,
            Workers* coders, Workers& io)
      : source_(source),
        target_(target),
        source_name_(source_name),
        target_name_(target_name),
        coders_(coders),
        io_(io),
        batch_blocks_(coders == nullptr
                          ? kOneThreadBatchBlocks
                          : std::min(kMaxBatchBlocks, kBatchBlocksPerThread * coders->threads())),
        batch_size_(batch_blocks_ * kMaxBlockSize) {}

  ResultCode compress();
  ResultCode restore(std::span<const std::uint8_t> magic);

 private:
  void print_progress_once(const char* format) {
    if (progress_pending_) {
      std::printf(format, source_name_, target_name_);
      progress_pending_ = false;
    }
  }
  // Reads the next batch of the source into input buffer `which`; empty at
  // the source's end, or when reading it fails.
  std::span<const std::uint8_t> read_batch(std::size_t which) {
    InputBuffer& input = areas.input[which];
    return std::span(input).first(std::fread(input.data(), 1, batch_size_, source_));
  }
  // The result of a source that reads nothing more: its end, or a failure.
  ResultCode end_of_source() const {
    return std::ferror(source_) != 0 ? ResultCode::kSourceDamaged : ResultCode::kSuccess;
  }
  bool write(std::span<const std::uint8_t> bytes) {
    return bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), target_) == bytes.size();
  }
  // Output buffer `which`, as far as a batch uses it: room for the records
  // or the blocks of one batch, so that a run touches no more memory than
  // its batches need.
  std::span<std::uint8_t> output_buffer(std::size_t which) const {
    return std::span(areas.output[which]).first(batch_blocks_ * kCompressorStraightRoom);
  }
  // The bytes that calls of the container put into output buffer `which`
  // before `rest`, its unused end.
  std::span<const std::uint8_t> produced(std::size_t which, std::span<std::uint8_t> rest) const {
    return output_buffer(which).first(output_buffer(which).size() - rest.size());
  }
  // Runs the source through `code(input, output)`, a call of the container,
  // and writes what comes out, until the source ends or `code` returns false
  // at a fault; false when a write failed. While one call codes, the I/O
  // thread writes the output of the call before and reads the next batch
  // into the other input buffer, once it is free.
  template <typename Code>
  bool pump(Code& code);
  // Ends the file of `coder`, a Compressor or a Restorer, and writes what it
  // gives until it holds nothing; returns the outcome, or std::nullopt when
  // a write failed.
  template <typename Coder>
  std::optional<RestoreStatus> write_rest(Coder& coder);
  // Ends compress mode with `result`, once the last block has been read or
  // a failure met: the last block and every byte still held are written
  // first.
  ResultCode finish_compress(ResultCode result);

  std::FILE* source_;
  std::FILE* target_;
  const char* source_name_;
  const char* target_name_;
  Workers* coders_;
  Workers& io_;
  std::size_t batch_blocks_;
  std::size_t batch_size_;  // bytes
  bool progress_pending_ = true;
};

template <typename Coder>
std::optional<RestoreStatus> BlockLoop::write_rest(Coder& coder) {
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

ResultCode BlockLoop::finish_compress(ResultCode result) {
  return write_rest(*areas.compressor) ? result : ResultCode::kWriteFailed;
}

template <typename Code>
bool BlockLoop::pump(Code& code) {
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

ResultCode BlockLoop::compress() {
  Compressor& compressor = areas.compressor.emplace(coders_);
  if (!compressor) {
    // No memory for the coder's state: nothing can be written.
    return ResultCode::kWriteFailed;
  }
  // The bytes read to choose the mode belong to the first block. The magic,
  // which comes first, is written before a failed seek is reported.
  if (std::fseek(source_, 0, SEEK_SET) != 0) {
    return finish_compress(ResultCode::kSeekFailed);
  }
  auto code = [&](std::span<const std::uint8_t>& input, std::span<std::uint8_t>& output) {
    print_progress_once("Compressing %s to %s\n");
    return compressor.compress(input, output) == RestoreStatus::kOk;
  };
  if (!pump(code)) {
    return ResultCode::kWriteFailed;
  }
  // The source has ended, or reading it failed.
  return finish_compress(end_of_source());
}

ResultCode BlockLoop::restore(std::span<const std::uint8_t> magic) {
  Restorer& restorer = areas.restorer.emplace(coders_);
  if (!restorer) {
    return ResultCode::kWriteFailed;
  }
  RestoreStatus status = RestoreStatus::kOk;
  // The progress line comes once the first record's block data has been
  // read, before that block is written or judged.
  auto code = [&](std::span<const std::uint8_t>& input, std::span<std::uint8_t>& output) {
    status = restorer.restore(input, output);
    if (restorer.records_read() != 0) {
      print_progress_once("Decompressing %s to %s\n");
    }
    return status == RestoreStatus::kOk;
  };
  std::span<std::uint8_t> no_output;
  code(magic, no_output);
  assert(magic.empty() && status == RestoreStatus::kOk);
  // The blocks before damage, or before the end of the file, are written
  // before either is judged.
  if (!pump(code)) {
    return ResultCode::kWriteFailed;
  }
  if (status != RestoreStatus::kOk) {
    return ResultCode::kSourceDamaged;
  }
  // The end of the file, or a failure to read it: a record that it cuts
  // short is damage, and so is a read that failed between two records.
  const std::optional<RestoreStatus> outcome = write_rest(restorer);
  if (!outcome) {
    return ResultCode::kWriteFailed;
  }
  return *outcome == RestoreStatus::kOk ? end_of_source() : ResultCode::kSourceDamaged;
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

  // One thread is the reference path: no coders' pool, and the I/O in line
  // on the one thread. With more, one I/O thread besides the coders. The
  // pools' destructors join their threads on every path out of the run.
  const unsigned threads = thread_count();
  std::optional<Workers> coders;
  if (threads > 1) {
    coders.emplace(threads);
  }
  Workers io(threads > 1 ? 2 : 1);
  BlockLoop loop(source.get(), target.get(), source_name, target_name, coders ? &*coders : nullptr,
                 io);

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

  // The coders go with the run: they point to its pools.
  areas.compressor.reset();
  areas.restorer.reset();

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
