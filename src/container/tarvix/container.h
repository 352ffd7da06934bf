// The compressed-file container in C++: the file magic and the block records
// around the block data, as whole-buffer functions, streaming coders and a
// walk over the records.
//
// A compressed file is the 4-byte file magic D8 C7 B6 A5, then one block
// record per block of at most kMaxBlockSize source bytes: a 2-byte
// little-endian length field and that many bytes of block data. Nothing else
// is stored. docs/format.md describes the container and the block data in full.
//
// Everything here is inline over the C interface <tarvix/tarvix.h>, so that
// nothing of a class's layout is part of the shared library (docs/abi.md).
// The whole-buffer functions do no I/O and allocate nothing; a streaming
// coder allocates its state (about 16 KiB) once, when it is made. Distinct
// objects may be used on distinct threads at the same time; one object is
// used by one thread at a time. A streaming coder may be given a pool of
// worker threads (<tarvix/workers.h>, which the caller makes and owns) to
// code many blocks at once.
#ifndef TARVIX_CONTAINER_H
#define TARVIX_CONTAINER_H

// The C++ interface needs C++20; C programs include <tarvix/tarvix.h>.
#if __cplusplus < 202002L && !(defined(_MSVC_LANG) && _MSVC_LANG >= 202002L)
#error "<tarvix/container.h> needs C++20 (for example -std=c++20)"
#else

#include <tarvix/block_encoder.h>
#include <tarvix/block_format.h>
#include <tarvix/tarvix.h>
#include <tarvix/workers.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

namespace tarvix {

// The first four bytes of every compressed file.
inline constexpr std::array<std::uint8_t, 4> kFileMagic = {0xD8, 0xC7, 0xB6, 0xA5};
inline constexpr std::size_t kMagicSize = kFileMagic.size();  // bytes
inline constexpr std::size_t kLengthFieldSize = 2;  // bytes, little-endian, before each block data
inline constexpr std::size_t kMaxRecordSize =
    kLengthFieldSize + kMaxBlockDataSize;  // bytes: a record of a stored full block

// How a call ended (tarvix_status in C). Every status from kNotCompressed to
// kOutputTooSmall names the first fault of a compressed file in file order;
// the blocks before it have been restored.
enum class RestoreStatus : int {
  kOk = TARVIX_OK,                         // the whole file was restored (a single byte
                                           // after the last record is ignored)
  kNotCompressed = TARVIX_NOT_COMPRESSED,  // the file does not open with the file magic
  kCutShort = TARVIX_CUT_SHORT,            // the end of the file cuts a record's block data short
  kBadLength = TARVIX_BAD_LENGTH,          // a length field of 0, or above kMaxBlockDataSize
  kBadBlockData = TARVIX_BAD_BLOCK_DATA,   // the block decoder refuses a record's block data
  kOutputTooSmall = TARVIX_OUTPUT_TOO_SMALL,  // restore() only: the next whole block does not fit
  kMisuse = TARVIX_MISUSE,           // a call out of order, or overlapping areas: nothing was done
  kReadFailed = TARVIX_READ_FAILED,  // locate_read() only: the caller's reader failed
};

// to_string() describes `status` in English, without a final period ("the
// compressed file is cut short"): the text of tarvix_status_string().
inline std::string_view to_string(RestoreStatus status) noexcept {
  return tarvix_status_string(static_cast<tarvix_status>(status));
}

struct RestoreResult {
  RestoreStatus status;
  std::size_t restored;  // bytes of the whole blocks restored before `status`
};

// ---------------------------------------------------------------------------
// Whole-buffer functions

// compress_bound() returns the most bytes that compress() writes for a source
// of `source_size` bytes: the magic, and a record of a stored block per block
// (SIZE_MAX for a size so large that the bound does not fit in a size_t).
inline std::size_t compress_bound(std::size_t source_size) noexcept {
  return tarvix_compress_bound(source_size);
}

// compress() writes the whole compressed file of `source` at the start of
// `file`, byte for byte what the tarvix tool writes, and returns its length,
// at least kMagicSize. It returns 0 and writes nothing when
// file.size() < compress_bound(source.size()), or when the two areas overlap.
// Bytes of `file` past the returned length may have been overwritten.
inline std::size_t compress(std::span<const std::uint8_t> source,
                            std::span<std::uint8_t> file) noexcept {
  return tarvix_compress(source.data(), source.size(), file.data(), file.size());
}

// restore() restores the compressed file `file` into the start of `out`, with
// the outcomes of the tarvix tool: on any status, result.restored bytes of
// whole blocks lie at the start of `out`, exactly what the tool's target holds
// after the same file (a file without the magic, kNotCompressed, the tool
// would compress instead). kOutputTooSmall means that the next record is
// sound but its block would not fit; a fault in it is reported as the fault.
// Bytes of `out` past result.restored may have been overwritten; nothing
// outside `out` is written. Overlapping areas give kMisuse, restoring nothing.
inline RestoreResult restore(std::span<const std::uint8_t> file,
                             std::span<std::uint8_t> out) noexcept {
  std::size_t restored = 0;
  const tarvix_status status =
      tarvix_restore(file.data(), file.size(), out.data(), out.size(), &restored);
  return {static_cast<RestoreStatus>(status), restored};
}

// restored_size_bound() returns enough room for restore() to reach the end of
// `file`, or its first fault, without kOutputTooSmall (0 for a file without
// the magic; SIZE_MAX if the sum does not fit in a size_t). It walks the
// length fields and decodes nothing: a stored block counts its own size, a
// coded one kMaxBlockSize. So it suits files that this library wrote, which
// it exceeds by less than a block. Do not size an area by it for a file from
// anyone else: a record of 3 bytes (01 00 40) counts a whole block and
// restores to nothing, so that 300 KB of file ask for 800 MB. Restore such a
// file with a Restorer, into areas of your size, or cap the area and take
// kOutputTooSmall as "too large".
inline std::size_t restored_size_bound(std::span<const std::uint8_t> file) noexcept {
  return tarvix_restored_size_bound(file.data(), file.size());
}

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
// Both coders end a file the same way: finish() returns the outcome and the
// bytes it still holds; call it, writing out the output, until it holds none.
//   for each piece of input: until the piece is used up (or, restoring, the
//     status is a fault), coder.compress(piece, output) or
//     coder.restore(piece, output), writing out the output;
//   do { ending = coder.finish(output); write out the output; }
//     while (ending.held != 0);
//   ending.status is the outcome.
// reset() then readies the coder for the next file, with its pool and
// options kept. A call out of order (more input after finish()) returns
// kMisuse and does nothing.
//
// With output space of at least kCompressorStraightRoom or
// kRestorerStraightRoom, whole blocks go straight between the caller's areas:
// a source block or a block record that lies whole in `input` is coded from
// there, into `output`, with no copy through the coder.

// Output space with which a whole block is coded straight into `output`.
inline constexpr std::size_t kCompressorStraightRoom =
    kLengthFieldSize + encoder_output_size(kMaxBlockSize);           // bytes: 8200
inline constexpr std::size_t kRestorerStraightRoom = kMaxBlockSize;  // bytes

// What a call of finish() leaves.
struct FinishResult {
  RestoreStatus status;  // the outcome of the file
  std::size_t held;      // bytes still held, at least: call finish() again until 0
};

namespace detail {

// Frees a C coder: the deleter of the C++ coders' handles.
struct CoderFree {
  void operator()(tarvix_compressor* coder) const noexcept { tarvix_compressor_free(coder); }
  void operator()(tarvix_restorer* coder) const noexcept { tarvix_restorer_free(coder); }
};

// Calls `code`, a C coder's call over an input and an output area, with the
// spans, and advances them past what it used.
template <typename Coder, typename Code>
RestoreStatus code(Code code, Coder* coder, std::span<const std::uint8_t>& input,
                   std::span<std::uint8_t>& output) noexcept {
  std::size_t used = 0;
  std::size_t written = 0;
  const tarvix_status status =
      code(coder, input.data(), input.size(), &used, output.data(), output.size(), &written);
  input = input.subspan(used);
  output = output.subspan(written);
  return static_cast<RestoreStatus>(status);
}

// Calls `end`, a C coder's end of the file, with the span, and advances it.
template <typename Coder, typename End>
FinishResult end(End end, Coder* coder, std::span<std::uint8_t>& output) noexcept {
  std::size_t written = 0;
  std::size_t held = 0;
  const tarvix_status status = end(coder, output.data(), output.size(), &written, &held);
  output = output.subspan(written);
  return {static_cast<RestoreStatus>(status), held};
}

inline tarvix_workers* c_pool(Workers* workers) noexcept {
  return workers == nullptr ? nullptr : workers->c_pool();
}

}  // namespace detail

// Compressor turns source bytes into a compressed file, the magic first,
// byte for byte what compress() writes for the same source. If its state
// cannot be allocated, it is empty (!*this) and every call returns kMisuse.
class Compressor {
 public:
  Compressor() noexcept : Compressor(nullptr) {}
  // With `workers`, a call that is given four or more whole blocks and room
  // for their records codes them on the pool's threads; the bytes are the
  // same.
  explicit Compressor(Workers* workers) noexcept
      : coder_(tarvix_compressor_create_on(detail::c_pool(workers))) {}

  explicit operator bool() const noexcept { return coder_ != nullptr; }

  // Codes the bytes of `input`; a block is coded once it is whole. Returns
  // kOk, or kMisuse with no input used after finish().
  RestoreStatus compress(std::span<const std::uint8_t>& input,
                         std::span<std::uint8_t>& output) noexcept {
    return detail::code(tarvix_compressor_compress, coder_.get(), input, output);
  }

  // Ends the file: codes the last, shorter block and gives out what is held.
  FinishResult finish(std::span<std::uint8_t>& output) noexcept {
    return detail::end(tarvix_compressor_end, coder_.get(), output);
  }

  // Readies the compressor for the next file.
  void reset() noexcept { tarvix_compressor_reset(coder_.get()); }

 private:
  std::unique_ptr<tarvix_compressor, detail::CoderFree> coder_;
};

// Restorer turns a compressed file, magic first, back into its source, with
// the outcomes of restore(). If its state cannot be allocated, it is empty
// (!*this) and every call returns kMisuse.
class Restorer {
 public:
  Restorer() noexcept : Restorer(nullptr) {}
  // With `workers`, a call that is given whole records, with room for what
  // they may restore to, decodes them on the pool's threads, about a block's
  // work to a task however small the records; the bytes and the outcome are
  // the same.
  explicit Restorer(Workers* workers) noexcept
      : coder_(tarvix_restorer_create_on(detail::c_pool(workers))) {}

  explicit operator bool() const noexcept { return coder_ != nullptr; }

  // Whether the input may hold several compressed files one after another,
  // restored as the concatenation of their sources (false, the default: one
  // file, as the tool reads it); see tarvix_restorer_set_concatenated().
  void set_concatenated(bool concatenated) noexcept {
    tarvix_restorer_set_concatenated(coder_.get(), concatenated ? 1 : 0);
  }

  // Restores what it can of `input` into `output`. Returns kOk while the file
  // is sound so far, or its first fault (kNotCompressed, kBadLength,
  // kBadBlockData) once every block before the fault has been given out;
  // after a fault it takes no more input and returns the same status. After
  // finish() it returns kMisuse and takes nothing.
  RestoreStatus restore(std::span<const std::uint8_t>& input,
                        std::span<std::uint8_t>& output) noexcept {
    return detail::code(tarvix_restorer_restore, coder_.get(), input, output);
  }

  // Ends the file, once restore() has used up all of the input (or reported
  // a fault): gives out what is held, and returns the outcome: kOk, or
  // kCutShort when the file ends inside a record's block data, or
  // kNotCompressed when it ends inside the magic, or the fault that
  // restore() reported.
  FinishResult finish(std::span<std::uint8_t>& output) noexcept {
    return detail::end(tarvix_restorer_end, coder_.get(), output);
  }

  // The outcome so far: kOk while the file is sound, else its first fault.
  RestoreStatus status() const noexcept {
    return static_cast<RestoreStatus>(tarvix_restorer_status(coder_.get()));
  }

  // The number of records whose block data has been read in full: a record
  // with a length field of 0, and the one the decoder refuses, included. The
  // tool prints its progress line once this is no longer 0.
  std::uint64_t records_read() const noexcept { return tarvix_restorer_records_read(coder_.get()); }
  // How many of those held a stored block.
  std::uint64_t stored_blocks() const noexcept {
    return tarvix_restorer_stored_blocks(coder_.get());
  }

  // Readies the restorer for the next file.
  void reset() noexcept { tarvix_restorer_reset(coder_.get()); }

 private:
  std::unique_ptr<tarvix_restorer, detail::CoderFree> coder_;
};

// ---------------------------------------------------------------------------
// The records of a file, walked without decoding (see <tarvix/tarvix.h>)

// Where a block record lies: its file offset, its index, the restored bytes
// before it, the stored blocks up to it, its block data's and its block's
// sizes. Record{} is the start of the file.
using Record = tarvix_record;

// Flags of a walk, or'ed together.
inline constexpr unsigned kLocateConcatenated = TARVIX_LOCATE_CONCATENATED;
inline constexpr unsigned kLocateRecords = TARVIX_LOCATE_RECORDS;

// The restored bytes up to the end of `record`'s block: after a walk to the
// end, the restored size.
inline std::uint64_t restored_end(const Record& record) noexcept {
  return record.restored_offset + record.restored_size;
}

// locate() walks `file` from `record` on to the record whose block holds the
// restored offset `offset` and sets `record` to it: kOk, with the file's
// last record when `offset` is at or past the restored size; a fault met
// before it, with the last sound record; kMisuse for a record past
// `offset`. As tarvix_locate(), on `workers` if given.
inline RestoreStatus locate(std::span<const std::uint8_t> file, std::uint64_t offset,
                            Record& record, unsigned flags = 0,
                            Workers* workers = nullptr) noexcept {
  return static_cast<RestoreStatus>(
      tarvix_locate(file.data(), file.size(), offset, flags, detail::c_pool(workers), &record));
}

// locate_read() is locate() on a file that `read(offset, area)` reads into
// the front of `area` (a std::span<std::uint8_t>), returning the bytes it
// read, 0 at the end, or a negative number on failure; with `buffer` for the
// reads, at least kMaxRecordSize bytes, and kReadFailed when `read` fails.
// As tarvix_locate_read(): `read` is called with offsets in file order,
// each byte once.
template <typename Read>
RestoreStatus locate_read(Read& read, std::span<std::uint8_t> buffer, std::uint64_t offset,
                          Record& record, unsigned flags = 0, Workers* workers = nullptr) noexcept {
  const tarvix_reader reader = [](void* context, std::uint64_t at, void* area,
                                  std::size_t size) -> std::int64_t {
    return (*static_cast<Read*>(context))(at, std::span(static_cast<std::uint8_t*>(area), size));
  };
  return static_cast<RestoreStatus>(tarvix_locate_read(reader, &read, buffer.data(), buffer.size(),
                                                       offset, flags, detail::c_pool(workers),
                                                       &record));
}

}  // namespace tarvix

#endif  // C++20
#endif  // TARVIX_CONTAINER_H
