// The file coder: the container of block records and both block loops.
#include "file_coder.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>

#include "block_decoder.h"
#include "block_encoder.h"
#include "byte_order.h"

namespace tarvix {

namespace {

constexpr std::size_t kMagicSize = sizeof(kFileMagic);
constexpr std::size_t kLengthFieldSize = sizeof(std::uint16_t);

// Each block buffer has room for the largest block data and, in compress
// mode, for a block record: the length field followed by the encoder's
// output area for a full block.
constexpr std::size_t kBlockBufferSize = 8200;
static_assert(kBlockBufferSize >= kMaxBlockDataSize);
static_assert(kBlockBufferSize >= kLengthFieldSize + encoder_output_size(kMaxBlockSize));

// The stdio buffer of each file. Larger than stdio's own (often 4 KiB), it
// turns the many small reads and writes of the block loops into few system
// calls.
constexpr std::size_t kStreamBufferSize = std::size_t{64} * 1024;

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
  bool write(const void* bytes, std::size_t size) {
    return std::fwrite(bytes, 1, size, target_) == size;
  }
  void print_progress_once(const char* format) {
    if (progress_pending_) {
      std::printf(format, source_name_, target_name_);
      progress_pending_ = false;
    }
  }

  std::FILE* source_;
  std::FILE* target_;
  const char* source_name_;
  const char* target_name_;
  bool progress_pending_ = true;
  std::array<std::uint8_t, kBlockBufferSize> input_{};
  std::array<std::uint8_t, kBlockBufferSize> output_{};
};

ResultCode Run::compress() {
  const std::uint32_t magic = little_endian32(kFileMagic);
  if (!write(&magic, kMagicSize)) {
    return ResultCode::kWriteFailed;
  }
  // The bytes read to choose the mode belong to the first block.
  if (std::fseek(source_, 0, SEEK_SET) != 0) {
    return ResultCode::kSeekFailed;
  }
  for (;;) {
    const std::size_t read = std::fread(input_.data(), 1, kMaxBlockSize, source_);
    if (read == 0) {
      return end_of_source();
    }
    print_progress_once("Compressing %s to %s\n");
    // The block data is coded just after room for its length field, so the
    // whole block record goes out in one write.
    const std::uint16_t coded =
        encode_block(std::span(input_.data(), read), std::span(output_).subspan(kLengthFieldSize));
    const std::uint16_t field = little_endian16(coded);
    std::memcpy(output_.data(), &field, kLengthFieldSize);
    if (!write(output_.data(), kLengthFieldSize + coded)) {
      return ResultCode::kWriteFailed;
    }
  }
}

ResultCode Run::restore() {
  for (;;) {
    std::uint16_t field = 0;
    // No whole length field, a single byte left over included, ends the file.
    if (std::fread(&field, kLengthFieldSize, 1, source_) != 1) {
      return end_of_source();
    }
    const std::size_t length = little_endian16(field);
    // A record longer than the largest block data is never read into the
    // buffer; an empty one has no kind byte, which the decoder refuses.
    if (length > kMaxBlockDataSize || std::fread(input_.data(), 1, length, source_) != length) {
      return ResultCode::kSourceDamaged;
    }
    print_progress_once("Decompressing %s to %s\n");
    const auto decoded = decode_block(std::span(input_.data(), length), std::span(output_));
    if (!decoded) {
      return ResultCode::kSourceDamaged;
    }
    if (!write(output_.data(), *decoded)) {
      return ResultCode::kWriteFailed;
    }
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
  // The stream buffers are declared before the files so that they outlive
  // them, and live in this frame rather than on the heap.
  std::array<char, kStreamBufferSize> source_buffer{};
  std::array<char, kStreamBufferSize> target_buffer{};
  File source(std::fopen(source_name, "rb"));
  if (!source) {
    return ResultCode::kSourceNotOpened;
  }
  File target(std::fopen(target_name, "wb"));
  if (!target) {
    return ResultCode::kTargetNotOpened;
  }
  // A stream that keeps its own buffer works as well, only slower.
  (void)std::setvbuf(source.get(), source_buffer.data(), _IOFBF, source_buffer.size());
  (void)std::setvbuf(target.get(), target_buffer.data(), _IOFBF, target_buffer.size());

  // The run's buffers are large; they live for the run, never on the heap.
  static_assert(sizeof(Run) < std::size_t{32} * 1024);
  Run run(source.get(), target.get(), source_name, target_name);
  std::array<std::uint8_t, kMagicSize> first{};
  // A source that cannot be read at all is neither compressed nor restored.
  ResultCode result = ResultCode::kSourceDamaged;
  if (std::fread(first.data(), kMagicSize, 1, source.get()) == 1 && starts_with_magic(first)) {
    result = run.restore();
  } else if (std::ferror(source.get()) == 0) {
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
