// Inside the library: the container's whole-buffer functions and the state of
// its streaming coders, which the C interface (c_interface.cpp) puts behind its
// opaque handles. Pure computation on the caller's memory: no I/O, no
// allocation, no global state.
#ifndef TARVIX_CONTAINER_INTERNAL_H
#define TARVIX_CONTAINER_INTERNAL_H

#include <tarvix/container_format.h>
#include <tarvix/workers.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tarvix::detail {

// The whole-buffer functions of <tarvix/container.h>, for areas that do not
// overlap.
std::size_t compress_bound(std::size_t source_size) noexcept;
std::size_t compress(std::span<const std::uint8_t> source, std::span<std::uint8_t> file) noexcept;
RestoreResult restore(std::span<const std::uint8_t> file, std::span<std::uint8_t> out) noexcept;
std::size_t restored_size_bound(std::span<const std::uint8_t> file) noexcept;

// Length fields are little-endian on every host.
inline std::size_t read_length_field(const std::uint8_t* field) noexcept {
  return field[0] | (std::size_t{field[1]} << 8);
}

// A length field of 0 announces block data without its kind byte, and one
// above kMaxBlockDataSize more block data than any block has; both are
// refused before their block data is read.
inline bool is_readable_length(std::size_t length) noexcept {
  return length != 0 && length <= kMaxBlockDataSize;
}

// Where a streaming compressor stands in the file it codes: all that
// reset() makes new, stated once, for the state that inherits it.
class CompressorPosition {
 protected:
  std::size_t block_fill_ = 0;    // bytes in block_
  std::size_t record_begin_ = 0;  // record_[record_begin_, record_end_) is still held
  std::size_t record_end_ = 0;
  std::size_t magic_given_ = 0;  // bytes of the magic given out
  bool finishing_ = false;
};

// The state of a streaming compressor: the calls of tarvix_compressor_*.
class CompressorState : private CompressorPosition {
 public:
  // `workers` may be null: one thread.
  explicit CompressorState(tarvix_workers* workers) noexcept : workers_(workers) {}

  // kOk, or kMisuse with nothing used once the file has been ended.
  Status compress(std::span<const std::uint8_t>& input, std::span<std::uint8_t>& output) noexcept;
  // Ends the file: codes the last block and gives out what it can. Returns
  // kOk, the outcome of every file compressed, as the restorer's finish()
  // returns its own.
  Status finish(std::span<std::uint8_t>& output) noexcept;
  // Bytes still held, at least: the last block may wait to be coded until
  // the record before it is given out.
  std::size_t held() const noexcept;
  void reset() noexcept { static_cast<CompressorPosition&>(*this) = {}; }

 private:
  // Gives out held bytes, the magic first; true when none are left.
  bool give_out(std::span<std::uint8_t>& output) noexcept;
  // Codes one whole source block into `output` or, with too little room
  // there, into record_.
  void code_block(std::span<const std::uint8_t> block, std::span<std::uint8_t>& output) noexcept;
  // Codes the whole blocks at the front of `input` that have room in
  // `output` on the workers; false, doing nothing, when fewer than four fit.
  bool code_blocks_together(std::span<const std::uint8_t>& input,
                            std::span<std::uint8_t>& output) noexcept;

  std::array<std::uint8_t, kMaxBlockSize> block_{};             // a source block being gathered
  std::array<std::uint8_t, kCompressorStraightRoom> record_{};  // a record waiting for room
  tarvix_workers* workers_;
};

// Where a streaming restorer stands in the file it reads: all that reset()
// makes new, stated once. (Whether files are read as one concatenation is a
// setting, kept.)
class RestorerPosition {
 protected:
  enum class Stage : std::uint8_t { kMagic, kLengthField, kBlockData, kFault };

  std::size_t have_ = 0;        // bytes of the magic, length field or block data gathered
  std::size_t length_ = 0;      // the length field: low byte, then the whole field
  std::size_t held_begin_ = 0;  // block_[held_begin_, held_end_) is still held
  std::size_t held_end_ = 0;
  std::uint64_t records_read_ = 0;
  std::uint64_t stored_blocks_ = 0;
  bool opened_ = false;  // the first file's magic has come whole
  Stage stage_ = Stage::kMagic;
  Status fault_ = Status::kOk;
  bool finished_ = false;
};

// The state of a streaming restorer: the calls of tarvix_restorer_*.
class RestorerState : private RestorerPosition {
 public:
  // `workers` may be null: one thread.
  explicit RestorerState(tarvix_workers* workers) noexcept : workers_(workers) {}

  void set_concatenated(bool concatenated) noexcept { concatenated_ = concatenated; }
  // kOk while the file is sound, its first fault, or kMisuse with nothing
  // used once the file has been ended.
  Status restore(std::span<const std::uint8_t>& input, std::span<std::uint8_t>& output) noexcept;
  // Ends the file; returns its outcome.
  Status finish(std::span<std::uint8_t>& output) noexcept;
  std::size_t held() const noexcept { return held_end_ - held_begin_; }
  Status status() const noexcept { return stage_ == Stage::kFault ? fault_ : Status::kOk; }
  std::uint64_t records_read() const noexcept { return records_read_; }
  std::uint64_t stored_blocks() const noexcept { return stored_blocks_; }
  // The batches of records handed to the workers so far, for the tests: a
  // batch holds about as many bytes whatever the records.
  std::uint64_t pool_batches() const noexcept { return pool_batches_; }
  void reset() noexcept { static_cast<RestorerPosition&>(*this) = {}; }

 private:
  // Gives out held bytes; true when none are left.
  bool give_out(std::span<std::uint8_t>& output) noexcept;
  // Takes a magic byte; the file magic of a later file follows the length
  // field D8 C7 that opened it.
  void take_magic_byte(std::uint8_t byte) noexcept;
  // Takes a length field that has come whole.
  void take_length(std::size_t length) noexcept;
  // Decodes a whole record's block data into `output` or, with too little
  // room there, into block_.
  void decode(std::span<const std::uint8_t> block_data, std::span<std::uint8_t>& output) noexcept;
  // Counts a block decoded from `block_data`.
  void count_block(std::span<const std::uint8_t> block_data) noexcept;
  // Decodes the whole records at the front of `input` whose blocks have room
  // in `output`, up to the first fault, on the workers when there are enough
  // of them; false, doing nothing, when there is none.
  bool restore_together(std::span<const std::uint8_t>& input,
                        std::span<std::uint8_t>& output) noexcept;
  Status fail(Status status) noexcept {
    stage_ = Stage::kFault;
    fault_ = status;
    return status;
  }

  std::array<std::uint8_t, kMaxBlockDataSize> block_data_{};  // block data being gathered
  std::array<std::uint8_t, kMaxBlockSize> block_{};           // a block waiting for room
  bool concatenated_ = false;
  tarvix_workers* workers_;
  std::uint64_t pool_batches_ = 0;
};

}  // namespace tarvix::detail

#endif  // TARVIX_CONTAINER_INTERNAL_H
