// The programs' pipeline: its batches, reads and writes.
#include "pipeline.h"

#include <algorithm>
#include <array>
#include <cerrno>

namespace tarvix {

namespace {

// The one-thread path reads 8 blocks at a time; with more threads a batch
// holds 32 blocks per thread, up to Pipeline::kMaxBatchBlocks, so that each
// thread codes many blocks between two hand-overs.
constexpr std::size_t kOneThreadBatchBlocks = 8;
constexpr std::size_t kBatchBlocksPerThread = 32;

}  // namespace

Pipeline::Pipeline(PipelineAreas& areas, std::FILE* source, std::FILE* target,
                   const Workers* coders, Workers& io, WriteWatch* watch) noexcept
    : areas_(areas),
      source_(source),
      target_(target),
      io_(io),
      watch_(watch),
      batch_blocks_(coders == nullptr
                        ? kOneThreadBatchBlocks
                        : std::min(kMaxBatchBlocks, kBatchBlocksPerThread * coders->threads())),
      batch_size_(batch_blocks_ * kMaxBlockSize) {}

std::span<const std::uint8_t> Pipeline::read_batch(std::size_t which) noexcept {
  auto& input = areas_.input[which];
  errno = 0;
  const std::size_t size = std::fread(input.data(), 1, batch_size_, source_);
  if (size < batch_size_ && std::ferror(source_) != 0) {
    read_error_ = errno;
  }
  read_.fetch_add(size, std::memory_order_relaxed);
  return std::span(input).first(size);
}

bool Pipeline::write(std::span<const std::uint8_t> bytes) noexcept {
  errno = 0;
  if (target_ != nullptr && !bytes.empty()) {
    // A signal handler has ended the target: the process is ending.
    if (watch_ != nullptr && !watch_->begin_write()) {
      write_error_ = EINTR;
      return false;
    }
    const bool whole = std::fwrite(bytes.data(), 1, bytes.size(), target_) == bytes.size();
    if (watch_ != nullptr) {
      watch_->end_write(whole);
    }
    if (!whole) {
      write_error_ = errno;
      return false;
    }
  }
  written_.fetch_add(bytes.size(), std::memory_order_relaxed);
  return true;
}

std::span<std::uint8_t> Pipeline::output_buffer(std::size_t which) const noexcept {
  return std::span(areas_.output[which]).first(batch_blocks_ * kCompressorStraightRoom);
}

}  // namespace tarvix
