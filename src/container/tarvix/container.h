// The compressed-file container in C++: whole-buffer functions, streaming
// coders and a walk over the records, in namespace tarvix.
//
// Everything here is inline over the C interface <tarvix/tarvix.h>, so that
// nothing of a class's layout is part of the shared library (docs/abi.md).
// Each function does what the C function it calls does, as the C header's
// comments say (sizes, outcomes, what the output holds on a fault, threads);
// the comments here add what the C++ spelling changes: spans in place of
// pointers and sizes, which calls advance past what they used, and
// std::unique_ptr in place of the free functions. The format's constants and
// the statuses are in <tarvix/container_format.h>.
#ifndef TARVIX_CONTAINER_H
#define TARVIX_CONTAINER_H

// The C++ interface needs C++20; C programs include <tarvix/tarvix.h>.
#if __cplusplus < 202002L && !(defined(_MSVC_LANG) && _MSVC_LANG >= 202002L)
#error "<tarvix/container.h> needs C++20 (for example -std=c++20)"
#else

#include <tarvix/container_format.h>
#include <tarvix/tarvix.h>
#include <tarvix/workers.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

namespace tarvix {

// to_string() is tarvix_status_string(): "the compressed file is cut short".
inline std::string_view to_string(Status status) noexcept {
  return tarvix_status_string(static_cast<tarvix_status>(status));
}

// ---------------------------------------------------------------------------
// Whole-buffer functions: tarvix_compress_bound(), tarvix_compress(),
// tarvix_restore() and tarvix_restored_size_bound(), on spans. Read the
// warning of tarvix_restored_size_bound() before sizing an area by it.

inline std::size_t compress_bound(std::size_t source_size) noexcept {
  return tarvix_compress_bound(source_size);
}

inline std::size_t compress(std::span<const std::uint8_t> source,
                            std::span<std::uint8_t> file) noexcept {
  return tarvix_compress(source.data(), source.size(), file.data(), file.size());
}

// The status and the bytes of whole blocks restored at the start of `out`.
inline RestoreResult restore(std::span<const std::uint8_t> file,
                             std::span<std::uint8_t> out) noexcept {
  std::size_t restored = 0;
  const tarvix_status status =
      tarvix_restore(file.data(), file.size(), out.data(), out.size(), &restored);
  return {static_cast<Status>(status), restored};
}

inline std::size_t restored_size_bound(std::span<const std::uint8_t> file) noexcept {
  return tarvix_restored_size_bound(file.data(), file.size());
}

// ---------------------------------------------------------------------------
// Streaming coders: tarvix_compressor_* and tarvix_restorer_*, whose contract
// the C header states (the same bytes and outcome for any split of the input,
// the ending called until nothing is held, reset(), kMisuse out of order).
//
// Each call takes bytes from the front of `input` and writes bytes to the
// front of `output`, and advances both spans past what it used:
//   for each piece of input: until the piece is used up (or, restoring, the
//     status is a fault), coder.compress(piece, output) or
//     coder.restore(piece, output), writing out the output;
//   do { ending = coder.finish(output); write out the output; }
//     while (ending.held != 0);
//   ending.status is the outcome.
// With output space of at least kCompressorStraightRoom or
// kRestorerStraightRoom, whole blocks go straight between the caller's areas.

namespace detail {

// Frees a C coder: the deleter of the C++ coders' handles.
struct CoderFree {
  void operator()(tarvix_compressor* coder) const noexcept { tarvix_compressor_free(coder); }
  void operator()(tarvix_restorer* coder) const noexcept { tarvix_restorer_free(coder); }
};

// Calls `code`, a C coder's call over an input and an output area, with the
// spans, and advances them past what it used.
template <typename Coder, typename Code>
Status code(Code code, Coder* coder, std::span<const std::uint8_t>& input,
            std::span<std::uint8_t>& output) noexcept {
  std::size_t used = 0;
  std::size_t written = 0;
  const tarvix_status status =
      code(coder, input.data(), input.size(), &used, output.data(), output.size(), &written);
  input = input.subspan(used);
  output = output.subspan(written);
  return static_cast<Status>(status);
}

// Calls `end`, a C coder's end of the file, with the span, and advances it.
template <typename Coder, typename End>
FinishResult end(End end, Coder* coder, std::span<std::uint8_t>& output) noexcept {
  std::size_t written = 0;
  std::size_t held = 0;
  const tarvix_status status = end(coder, output.data(), output.size(), &written, &held);
  output = output.subspan(written);
  return {static_cast<Status>(status), held};
}

inline tarvix_workers* c_pool(Workers* workers) noexcept {
  return workers == nullptr ? nullptr : workers->c_pool();
}

}  // namespace detail

// Compressor is a tarvix_compressor: source bytes in, the compressed file
// out, magic first. If its state cannot be allocated, it is empty (!*this)
// and every call returns kMisuse.
class Compressor {
 public:
  Compressor() noexcept : Compressor(nullptr) {}
  // On the caller's pool, as tarvix_compressor_create_on(); null: one thread.
  explicit Compressor(Workers* workers) noexcept
      : coder_(tarvix_compressor_create_on(detail::c_pool(workers))) {}

  explicit operator bool() const noexcept { return coder_ != nullptr; }

  // tarvix_compressor_compress().
  Status compress(std::span<const std::uint8_t>& input, std::span<std::uint8_t>& output) noexcept {
    return detail::code(tarvix_compressor_compress, coder_.get(), input, output);
  }
  // tarvix_compressor_end().
  FinishResult finish(std::span<std::uint8_t>& output) noexcept {
    return detail::end(tarvix_compressor_end, coder_.get(), output);
  }
  // tarvix_compressor_reset().
  void reset() noexcept { tarvix_compressor_reset(coder_.get()); }

 private:
  std::unique_ptr<tarvix_compressor, detail::CoderFree> coder_;
};

// Restorer is a tarvix_restorer: a compressed file in, magic first, its
// source out. If its state cannot be allocated, it is empty (!*this) and
// every call returns kMisuse.
class Restorer {
 public:
  Restorer() noexcept : Restorer(nullptr) {}
  // On the caller's pool, as tarvix_restorer_create_on(); null: one thread.
  explicit Restorer(Workers* workers) noexcept
      : coder_(tarvix_restorer_create_on(detail::c_pool(workers))) {}

  explicit operator bool() const noexcept { return coder_ != nullptr; }

  // tarvix_restorer_set_concatenated(): compressed files one after another
  // restore as one (false, the default: one file, as the tool reads it).
  void set_concatenated(bool concatenated) noexcept {
    tarvix_restorer_set_concatenated(coder_.get(), concatenated ? 1 : 0);
  }
  // tarvix_restorer_restore().
  Status restore(std::span<const std::uint8_t>& input, std::span<std::uint8_t>& output) noexcept {
    return detail::code(tarvix_restorer_restore, coder_.get(), input, output);
  }
  // tarvix_restorer_end().
  FinishResult finish(std::span<std::uint8_t>& output) noexcept {
    return detail::end(tarvix_restorer_end, coder_.get(), output);
  }
  // tarvix_restorer_status(): kOk while the file is sound, else its first fault.
  Status status() const noexcept {
    return static_cast<Status>(tarvix_restorer_status(coder_.get()));
  }
  // tarvix_restorer_records_read() and tarvix_restorer_stored_blocks(). The
  // tool prints its progress line once records_read() is no longer 0.
  std::uint64_t records_read() const noexcept { return tarvix_restorer_records_read(coder_.get()); }
  std::uint64_t stored_blocks() const noexcept {
    return tarvix_restorer_stored_blocks(coder_.get());
  }
  // tarvix_restorer_reset().
  void reset() noexcept { tarvix_restorer_reset(coder_.get()); }

 private:
  std::unique_ptr<tarvix_restorer, detail::CoderFree> coder_;
};

// ---------------------------------------------------------------------------
// The records of a file, walked without decoding: tarvix_locate() and
// tarvix_locate_read(), whose comments say what a walk gives.

// Where a block record lies; Record{} is the start of the file.
using Record = tarvix_record;

// Flags of a walk, or'ed together.
inline constexpr unsigned kLocateConcatenated = TARVIX_LOCATE_CONCATENATED;
inline constexpr unsigned kLocateRecords = TARVIX_LOCATE_RECORDS;

// The restored bytes up to the end of `record`'s block: after a walk to the
// end, the restored size.
inline std::uint64_t restored_end(const Record& record) noexcept {
  return record.restored_offset + record.restored_size;
}

// tarvix_locate(): walks `file` from `record` on to the record whose block
// holds the restored offset `offset`, and sets `record` to it.
inline Status locate(std::span<const std::uint8_t> file, std::uint64_t offset, Record& record,
                     unsigned flags = 0, Workers* workers = nullptr) noexcept {
  return static_cast<Status>(
      tarvix_locate(file.data(), file.size(), offset, flags, detail::c_pool(workers), &record));
}

// tarvix_locate_read(), with `read(offset, area)` as the reader: it reads
// into the front of `area` (a std::span<std::uint8_t>) and returns the bytes
// it read, 0 at the end, or a negative number on failure. `buffer` holds at
// least kMaxRecordSize bytes.
template <typename Read>
Status locate_read(Read& read, std::span<std::uint8_t> buffer, std::uint64_t offset, Record& record,
                   unsigned flags = 0, Workers* workers = nullptr) noexcept {
  const tarvix_reader reader = [](void* context, std::uint64_t at, void* area,
                                  std::size_t size) -> std::int64_t {
    return (*static_cast<Read*>(context))(at, std::span(static_cast<std::uint8_t*>(area), size));
  };
  return static_cast<Status>(tarvix_locate_read(reader, &read, buffer.data(), buffer.size(), offset,
                                                flags, detail::c_pool(workers), &record));
}

}  // namespace tarvix

#endif  // C++20
#endif  // TARVIX_CONTAINER_H
