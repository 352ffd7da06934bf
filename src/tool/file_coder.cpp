// The file coder: the container of block records and both block loops.
#include "file_coder.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>

#include <tarvix/block_decoder.h>
#include <tarvix/block_encoder.h>
#include "byte_order.h"
#include "target_file.h"

namespace tarvix {

namespace {

constexpr std::size_t kMagicSize = sizeof(kFileMagic);
constexpr std::size_t kLengthFieldSize = sizeof(std::uint16_t);

// The block loops read and write many blocks at a time, straight between
// the run's batch buffers and the files: the streams are unbuffered, so stdio
// copies nothing and each read or write is one call to the system.
//
// Compress mode reads 8 whole blocks into the input batch and codes their
// block records one after another into the output batch. Restore mode reads
// the compressed file into the input batch as it comes, decodes the block
// data where it lies, and writes the blocks one after another into the output
// batch. The output batch is written out whenever it may not hold the next
// block record or block, and at the end of the run, whatever its result.
constexpr std::size_t kBatchBlocks = 8;
constexpr std::size_t kInputBatchSize = kBatchBlocks * kMaxBlockSize;

// Room that each block needs in the output batch: a block record of the
// length field and the encoder's output area for a full block, or a decoded
// block with room for the decoder's word copies past it.
constexpr std::size_t kBlockRoom = 8200;
static_assert(kBlockRoom >= kLengthFieldSize + encoder_output_size(kMaxBlockSize));
static_assert(kBlockRoom > kMaxBlockSize);
constexpr std::size_t kOutputBatchSize = kBatchBlocks * kMaxBlockSize + kBlockRoom;

// A whole record, the length field and the largest block data, fits in the
// input batch with room to spare.
static_assert(kInputBatchSize >= kLengthFieldSize + kMaxBlockDataSize);

// The run's batch buffers: fixed areas for the whole run, in static storage.
// Not the heap, which the program does not use; not the stack, which may be
// small: the program runs with 64 KiB of it. One run at a time uses them.
struct Batches {
  std::array<std::uint8_t, kInputBatchSize> input;
  std::array<std::uint8_t, kOutputBatchSize> output;
};
Batches batches;

// Closes a file on every early return. The target's close is checked where it
// matters, in code_file; what closing the source reports cannot change a run.
struct FileCloser {
  void operator()(std::FILE* file) const noexcept { (void)std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// One run: the open files, the names for the progress line, and the buffers.
class Run {
 public:
  Run(std::FILE* source, std::FILE* target, const char* source_name, const char* target_name)
      : source_(source), target_(target), source_name_(source_name), target_name_(target_name) {}

  ResultCode compress();
  ResultCode restore();

 private:
  // A read that brings nothing is the end of the source, or a failure to read it.
  ResultCode end_of_source() const {
    return std::ferror(source_) ? ResultCode::kSourceDamaged : ResultCode::kSuccess;
  }
  void print_progress_once(const char* format) {
    if (progress_pending_) {
      std::printf(format, source_name_, target_name_);
      progress_pending_ = false;
    }
  }

  // Writes out the output batch and empties it.
  bool write_batch() {
    const std::size_t size = output_fill_;
    output_fill_ = 0;
    return size == 0 || std::fwrite(output_.data(), 1, size, target_) == size;
  }
  // Makes room in the output batch for one more block.
  bool make_block_room() { return output_.size() - output_fill_ >= kBlockRoom || write_batch(); }
  // The result of a run that ends here, at its end or at a failure: a seek
  // or read that failed, or a damaged record. Batching must not change any
  // outcome, so the run ends as the block-by-block order would have ended
  // it: that order writes every block coded so far before it meets the
  // failure, so they are written out first, and if that write fails, the
  // failed write is the result. A failed write itself ends the run at once
  // (make_block_room), with nothing after it written.
  ResultCode finish(ResultCode result) { return write_batch() ? result : ResultCode::kWriteFailed; }
  // Makes at least `size` unread bytes of the source available from
  // input_begin_, reading more after the ones there are; false when the
  // source ends (or fails) first.
  bool fill_input(std::size_t size) {
    while (input_end_ - input_begin_ < size) {
      // The unread bytes move to the front, so the rest of the batch is free.
      if (input_begin_ != 0) {
        std::memmove(input_.data(), input_.data() + input_begin_, input_end_ - input_begin_);
        input_end_ -= input_begin_;
        input_begin_ = 0;
      }
      const std::size_t read =
          std::fread(input_.data() + input_end_, 1, input_.size() - input_end_, source_);
      if (read == 0) {
        return false;
      }
      input_end_ += read;
    }
    return true;
  }

  std::FILE* source_;
  std::FILE* target_;
  const char* source_name_;
  const char* target_name_;
  bool progress_pending_ = true;
  std::array<std::uint8_t, kInputBatchSize>& input_ = batches.input;
  std::size_t input_begin_ = 0;  // restore mode: the first unread byte
  std::size_t input_end_ = 0;    // restore mode: the end of the bytes read
  std::array<std::uint8_t, kOutputBatchSize>& output_ = batches.output;
  std::size_t output_fill_ = 0;
};

ResultCode Run::compress() {
  const std::uint32_t magic = little_endian32(kFileMagic);
  std::memcpy(output_.data(), &magic, kMagicSize);
  output_fill_ = kMagicSize;
  // The bytes read to choose the mode belong to the first block.
  if (std::fseek(source_, 0, SEEK_SET) != 0) {
    return finish(ResultCode::kSeekFailed);
  }
  for (;;) {
    // A read brings whole blocks, except at the end of the source.
    const std::size_t read = std::fread(input_.data(), 1, input_.size(), source_);
    if (read == 0) {
      return finish(end_of_source());
    }
    print_progress_once("Compressing %s to %s\n");
    for (std::size_t at = 0; at < read; at += kMaxBlockSize) {
      if (!make_block_room()) {
        return ResultCode::kWriteFailed;
      }
      // The block data is coded just after room for its length field.
      const std::size_t length = std::min(kMaxBlockSize, read - at);
      std::uint8_t* const record = output_.data() + output_fill_;
      const std::uint16_t coded =
          encode_block(std::span(input_).subspan(at, length),
                       std::span(record + kLengthFieldSize, encoder_output_size(length)));
      const std::uint16_t field = little_endian16(coded);
      std::memcpy(record, &field, kLengthFieldSize);
      output_fill_ += kLengthFieldSize + coded;
    }
  }
}

ResultCode Run::restore() {
  for (;;) {
    // No whole length field, a single byte left over included, ends the file.
    if (!fill_input(kLengthFieldSize)) {
      return finish(end_of_source());
    }
    std::uint16_t field = 0;
    std::memcpy(&field, input_.data() + input_begin_, kLengthFieldSize);
    const std::size_t length = little_endian16(field);
    // A record longer than the largest block data is never read into the
    // buffer; an empty one has no kind byte, which the decoder refuses.
    if (length > kMaxBlockDataSize || !fill_input(kLengthFieldSize + length)) {
      return finish(ResultCode::kSourceDamaged);
    }
    print_progress_once("Decompressing %s to %s\n");
    if (!make_block_room()) {
      return ResultCode::kWriteFailed;
    }
    const auto decoded =
        decode_block(std::span(input_).subspan(input_begin_ + kLengthFieldSize, length),
                     std::span(output_).subspan(output_fill_, kBlockRoom));
    if (!decoded) {
      return finish(ResultCode::kSourceDamaged);
    }
    output_fill_ += *decoded;
    input_begin_ += kLengthFieldSize + length;
  }
}

bool starts_with_magic(std::span<const std::uint8_t, kMagicSize> first) {
  const std::uint32_t magic = little_endian32(kFileMagic);
  return std::memcmp(first.data(), &magic, kMagicSize) == 0;
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

  Run run(source.get(), target.get(), source_name, target_name);
  std::array<std::uint8_t, kMagicSize> first{};
  ResultCode result = ResultCode::kSuccess;
  if (std::fread(first.data(), kMagicSize, 1, source.get()) == 1 && starts_with_magic(first)) {
    result = run.restore();
  } else {
    // Anything else is compressed, a source whose first read failed (a
    // directory) included: compress mode writes the magic before its own
    // read fails. The first read's error is cleared, so that compress mode's
    // own reads decide its result.
    std::clearerr(source.get());
    result = run.compress();
  }

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
