// The compressed-file container: the file magic and the block records around
// the block data, as whole-buffer functions and as streaming coders.
//
// A compressed file is the 4-byte file magic D8 C7 B6 A5, then one block
// record per block of at most kMaxBlockSize source bytes: a 2-byte
// little-endian length field and that many bytes of block data. Nothing else
// is stored. docs/format.md describes the container and the block data in full.
//
// Like the block codec, everything here is computation on the caller's memory:
// no I/O, no allocation, no global state. Distinct objects may be used on
// distinct threads at the same time; one object is used by one thread at a time.
// A streaming coder may be given a pool of worker threads (<tarvix/workers.h>,
// which the caller makes and owns) to code many blocks at once.
#ifndef TARVIX_CONTAINER_H
#define TARVIX_CONTAINER_H

// The C++ interface needs C++20; C programs include <tarvix/tarvix.h>.
#if __cplusplus < 202002L && !(defined(_MSVC_LANG) && _MSVC_LANG >= 202002L)
#error "<tarvix/container.h> needs C++20 (for example -std=c++20)"
#else

#include <tarvix/block_encoder.h>
#include <tarvix/block_format.h>
#include <tarvix/export.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tarvix {

class Workers;  // <tarvix/workers.h>

// The first four bytes of every compressed file.
inline constexpr std::array<std::uint8_t, 4> kFileMagic = {0xD8, 0xC7, 0xB6, 0xA5};
inline constexpr std::size_t kMagicSize = kFileMagic.size();  // bytes
inline constexpr std::size_t kLengthFieldSize = 2;  // bytes, little-endian, before each block data
inline constexpr std::size_t kMaxRecordSize =
    kLengthFieldSize + kMaxBlockDataSize;  // bytes: a record of a stored full block

// How restoring a compressed file ends. Every status but kOk names the first
// fault in file order; the blocks before it have been restored.
enum class RestoreStatus {
  kOk,              // the whole file was restored (a single byte after the last record is ignored)
  kNotCompressed,   // the file does not open with the file magic
  kCutShort,        // the end of the file cuts a record's block data short
  kBadLength,       // a length field of 0, or above kMaxBlockDataSize
  kBadBlockData,    // the block decoder refuses a record's block data
  kOutputTooSmall,  // restore() only: the next whole block does not fit in `out`
};

struct RestoreResult {
  RestoreStatus status;
  std::size_t restored;  // bytes of the whole blocks restored before `status`
};

// ---------------------------------------------------------------------------
// Whole-buffer functions

// compress_bound() returns the most bytes that compress() writes for a source
// of `source_size` bytes: the magic, and a record of a stored block per block
// (SIZE_MAX for a size so large that the bound does not fit in a size_t).
TARVIX_EXPORT std::size_t compress_bound(std::size_t source_size) noexcept;

// compress() writes the whole compressed file of `source` at the start of
// `file`, byte for byte what the tarvix tool writes, and returns its length,
// at least kMagicSize. It returns 0 and writes nothing when
// file.size() < compress_bound(source.size()). Bytes of `file` past the
// returned length may have been overwritten. The two areas must not overlap.
TARVIX_EXPORT std::size_t compress(std::span<const std::uint8_t> source,
                                   std::span<std::uint8_t> file) noexcept;

// restore() restores the compressed file `file` into the start of `out`, with
// the outcomes of the tarvix tool: on any status, result.restored bytes of
// whole blocks lie at the start of `out`, exactly what the tool's target holds
// after the same file (a file without the magic, kNotCompressed, the tool
// would compress instead). kOutputTooSmall means that the next record is
// sound but its block would not fit; a fault in it is reported as the fault.
// Bytes of `out` past result.restored may have been overwritten; nothing
// outside `out` is written. The two areas must not overlap.
TARVIX_EXPORT RestoreResult restore(std::span<const std::uint8_t> file,
                                    std::span<std::uint8_t> out) noexcept;

// restored_size_bound() returns enough room for restore() to reach the end of
// `file`, or its first fault, without kOutputTooSmall (0 for a file without
// the magic; SIZE_MAX if the sum does not fit in a size_t). It walks the
// length fields and decodes nothing: a stored block counts its own size, a
// coded one kMaxBlockSize.
TARVIX_EXPORT std::size_t restored_size_bound(std::span<const std::uint8_t> file) noexcept;

// ---------------------------------------------------------------------------
// Streaming coders
//
// Each call takes bytes from the front of `input` and writes bytes to the
// front of `output`, and advances both spans past what it used. A call returns
// when it can make no more progress: its input is used up, or its output is
// full (or, restoring, at a fault). Any split of the input into calls, and any
// sizes of output, give the same bytes out and the same outcome. Bytes of
// `output` past those given out may be overwritten.
//
// With output space of at least kCompressorStraightRoom or
// kRestorerStraightRoom, whole blocks go straight between the caller's areas:
// a source block or a block record that lies whole in `input` is coded from
// there, into `output`, with no copy through the coder. The rest is gathered
// in buffers inside the object (about 16 KiB each), so an object is best kept
// where it lives long, not created per call.

// Output space with which a whole block is coded straight into `output`.
inline constexpr std::size_t kCompressorStraightRoom =
    kLengthFieldSize + encoder_output_size(kMaxBlockSize);           // bytes: 8200
inline constexpr std::size_t kRestorerStraightRoom = kMaxBlockSize;  // bytes

// Compressor turns source bytes into a compressed file, the magic first,
// byte for byte what compress() writes for the same source.
//   Compressor compressor;
//   for each piece of source: until the piece is used up,
//     compressor.compress(piece, output), writing out the output whenever
//     it is full;
//   then until compressor.finish(output) returns true, write out the output.
class Compressor {
 public:
  Compressor() noexcept = default;
  // With `workers`, a call that is given four or more whole blocks and room
  // for their records codes them on the pool's threads; the bytes are the
  // same.
  explicit Compressor(Workers* workers) noexcept : workers_(workers) {}

  // Codes the bytes of `input`; a block is coded once it is whole.
  TARVIX_EXPORT void compress(std::span<const std::uint8_t>& input,
                              std::span<std::uint8_t>& output) noexcept;

  // Ends the file: codes the last, shorter block and gives out every byte
  // still held. Returns true once all of the file is in the output; call it
  // again with more output space until then. Input given to compress() after
  // finish() is left untouched.
  TARVIX_EXPORT bool finish(std::span<std::uint8_t>& output) noexcept;

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
  std::size_t block_fill_ = 0;                                  // bytes in block_
  std::size_t record_begin_ = 0;  // record_[record_begin_, record_end_) is still held
  std::size_t record_end_ = 0;
  std::size_t magic_given_ = 0;  // bytes of the magic given out
  bool finishing_ = false;
  Workers* workers_ = nullptr;
};

// Restorer turns a compressed file, magic first, back into its source, with
// the outcomes of restore().
//   Restorer restorer;
//   for each piece of the file: until the piece is used up or status is not
//     kOk, status = restorer.restore(piece, output), writing out the output
//     whenever it is full;
//   then status = restorer.finish(output), writing out the output, until
//     holds_output() is false; status is the outcome.
class Restorer {
 public:
  Restorer() noexcept = default;
  // With `workers`, a call that is given four or more whole records and room
  // for their blocks decodes them on the pool's threads; the bytes and the
  // outcome are the same.
  explicit Restorer(Workers* workers) noexcept : workers_(workers) {}

  // Restores what it can of `input` into `output`. Returns kOk while the file
  // is sound so far, or its first fault (kNotCompressed, kBadLength,
  // kBadBlockData) once every block before the fault has been given out;
  // after a fault it takes no more input and returns the same status.
  TARVIX_EXPORT RestoreStatus restore(std::span<const std::uint8_t>& input,
                                      std::span<std::uint8_t>& output) noexcept;

  // Ends the file, once restore() has used up all of the input (or reported
  // a fault): gives out
  // what is still held, and returns the outcome: kOk, or kCutShort when the
  // file ends inside a record's block data, or kNotCompressed when it ends
  // inside the magic, or the fault that restore() reported. While
  // holds_output() is true, call it again with more room.
  TARVIX_EXPORT RestoreStatus finish(std::span<std::uint8_t>& output) noexcept;

  // True while restored bytes wait for room in an output.
  bool holds_output() const noexcept { return held_begin_ != held_end_; }

  // The number of records whose block data has been read in full: a record
  // with a length field of 0, and the one the decoder refuses, included. The
  // tool prints its progress line once this is no longer 0.
  std::uint64_t records_read() const noexcept { return records_read_; }

 private:
  enum class Stage : std::uint8_t { kMagic, kLengthField, kBlockData, kFault };

  // Gives out held bytes; true when none are left.
  bool give_out(std::span<std::uint8_t>& output) noexcept;
  // Takes a length field that has come whole.
  void take_length(std::size_t length) noexcept;
  // Decodes a whole record's block data into `output` or, with too little
  // room there, into block_.
  void decode(std::span<const std::uint8_t> block_data, std::span<std::uint8_t>& output) noexcept;
  // Decodes the whole records at the front of `input` whose blocks have room
  // in `output` on the workers, up to the first fault; false, doing nothing,
  // when fewer than four are there.
  bool restore_together(std::span<const std::uint8_t>& input,
                        std::span<std::uint8_t>& output) noexcept;
  RestoreStatus fail(RestoreStatus status) noexcept {
    stage_ = Stage::kFault;
    fault_ = status;
    return status;
  }

  std::array<std::uint8_t, kMaxBlockDataSize> block_data_{};  // block data being gathered
  std::array<std::uint8_t, kMaxBlockSize> block_{};           // a block waiting for room
  std::size_t have_ = 0;        // bytes of the magic, length field or block data gathered
  std::size_t length_ = 0;      // the length field: low byte, then the whole field
  std::size_t held_begin_ = 0;  // block_[held_begin_, held_end_) is still held
  std::size_t held_end_ = 0;
  std::uint64_t records_read_ = 0;
  Stage stage_ = Stage::kMagic;
  RestoreStatus fault_ = RestoreStatus::kOk;
  Workers* workers_ = nullptr;
};

}  // namespace tarvix

#endif  // C++20
#endif  // TARVIX_CONTAINER_H
