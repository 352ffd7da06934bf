// The C interface: pointers and sizes turned into spans for the container,
// and its coders' state behind opaque handles.
#include <tarvix/tarvix.h>

#include <tarvix/version.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "c_object.h"
#include "container_internal.h"
#include "record_walk.h"

using tarvix::Status;

namespace {

static_assert(TARVIX_MAX_BLOCK_SIZE == tarvix::kMaxBlockSize);
static_assert(TARVIX_MAX_RECORD_SIZE == tarvix::kMaxRecordSize);

// The C++ statuses are the C ones, value for value: both interfaces cast
// one to the other.
constexpr bool same_values(Status status, tarvix_status c_status) {
  return static_cast<int>(status) == static_cast<int>(c_status);
}
static_assert(same_values(Status::kOk, TARVIX_OK) &&
              same_values(Status::kNotCompressed, TARVIX_NOT_COMPRESSED) &&
              same_values(Status::kCutShort, TARVIX_CUT_SHORT) &&
              same_values(Status::kBadLength, TARVIX_BAD_LENGTH) &&
              same_values(Status::kBadBlockData, TARVIX_BAD_BLOCK_DATA) &&
              same_values(Status::kOutputTooSmall, TARVIX_OUTPUT_TOO_SMALL) &&
              same_values(Status::kMisuse, TARVIX_MISUSE) &&
              same_values(Status::kReadFailed, TARVIX_READ_FAILED));

tarvix_status to_c(Status status) { return static_cast<tarvix_status>(status); }

std::span<const std::uint8_t> bytes(const void* data, std::size_t size) {
  return {static_cast<const std::uint8_t*>(data), size};
}

std::span<std::uint8_t> bytes(void* data, std::size_t size) {
  return {static_cast<std::uint8_t*>(data), size};
}

// True when the two areas share a byte. Unrelated pointers are compared as
// addresses: std::less orders them all.
bool overlap(const void* a, std::size_t a_size, const void* b, std::size_t b_size) {
  if (a_size == 0 || b_size == 0) {
    return false;
  }
  const auto* const a_bytes = static_cast<const std::uint8_t*>(a);
  const auto* const b_bytes = static_cast<const std::uint8_t*>(b);
  const std::less<> before;
  return before(a_bytes, b_bytes + b_size) && before(b_bytes, a_bytes + a_size);
}

// A coder's state with the pool it codes on, which it owns when it was
// made with a thread count.
template <typename State>
struct Handle {
  Handle(tarvix_workers* workers, bool owns_workers) noexcept
      : state(workers), pool(owns_workers ? workers : nullptr) {}
  ~Handle() { tarvix_workers_free(pool); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Handle(Handle&&) = delete;
  Handle& operator=(Handle&&) = delete;

  State state;
  tarvix_workers* pool;
};

// A new coder on `workers`; a pool it was to own is freed if it cannot be made.
template <typename C>
C* create(tarvix_workers* workers, bool owns_workers) {
  C* const coder = tarvix::detail::make_c_object<C>(workers, owns_workers);
  if (coder == nullptr && owns_workers) {
    tarvix_workers_free(workers);
  }
  return coder;
}

// A coder of `threads` threads owns a pool when it has more than one.
template <typename C>
C* create_threaded(unsigned threads) {
  if (threads <= 1) {
    return create<C>(nullptr, false);
  }
  tarvix_workers* const workers = tarvix_workers_create(threads);
  return workers == nullptr ? nullptr : create<C>(workers, true);
}

// Runs `step`, the compress() or restore() of a coder's state, over the
// caller's areas and tells how much of each it used; a missing coder, or
// areas that overlap, are misuse.
template <typename C, typename Step>
tarvix_status code(C* coder, Step step, const void* input, size_t input_size, size_t* input_used,
                   void* output, size_t output_capacity, size_t* output_written) {
  *input_used = 0;
  *output_written = 0;
  if (coder == nullptr || overlap(input, input_size, output, output_capacity)) {
    return TARVIX_MISUSE;
  }
  std::span<const std::uint8_t> in = bytes(input, input_size);
  std::span<std::uint8_t> out = bytes(output, output_capacity);
  const Status status = (coder->state.*step)(in, out);
  *input_used = input_size - in.size();
  *output_written = output_capacity - out.size();
  return to_c(status);
}

// Runs the finish() of a coder's state over the caller's area and tells how
// much of it was written and how much the coder still holds.
template <typename C>
tarvix_status end(C* coder, void* output, size_t output_capacity, size_t* output_written,
                  size_t* held) {
  *output_written = 0;
  *held = 0;
  if (coder == nullptr) {
    return TARVIX_MISUSE;
  }
  std::span<std::uint8_t> out = bytes(output, output_capacity);
  const Status status = coder->state.finish(out);
  *output_written = output_capacity - out.size();
  *held = coder->state.held();
  return to_c(status);
}

}  // namespace

// The C names of the opaque coders (hence their lower-case names).
struct tarvix_compressor  // NOLINT(readability-identifier-naming)
    : Handle<tarvix::detail::CompressorState> {
  using Handle::Handle;
};
struct tarvix_restorer  // NOLINT(readability-identifier-naming)
    : Handle<tarvix::detail::RestorerState> {
  using Handle::Handle;
};

extern "C" {

size_t tarvix_compress_bound(size_t source_size) {
  return tarvix::detail::compress_bound(source_size);
}

size_t tarvix_compress(const void* source, size_t source_size, void* file, size_t file_capacity) {
  if (overlap(source, source_size, file, file_capacity)) {
    return 0;
  }
  return tarvix::detail::compress(bytes(source, source_size), bytes(file, file_capacity));
}

tarvix_status tarvix_restore(const void* file, size_t file_size, void* out, size_t out_capacity,
                             size_t* restored) {
  tarvix::RestoreResult result{Status::kMisuse, 0};
  if (!overlap(file, file_size, out, out_capacity)) {
    result = tarvix::detail::restore(bytes(file, file_size), bytes(out, out_capacity));
  }
  if (restored != nullptr) {
    *restored = result.restored;
  }
  return to_c(result.status);
}

size_t tarvix_restored_size_bound(const void* file, size_t file_size) {
  return tarvix::detail::restored_size_bound(bytes(file, file_size));
}

const char* tarvix_status_string(tarvix_status status) {
  switch (status) {
    case TARVIX_OK:
      return "the whole file was restored";
    case TARVIX_NOT_COMPRESSED:
      return "the file is not compressed: it does not open with the file magic";
    case TARVIX_CUT_SHORT:
      return "the compressed file is cut short";
    case TARVIX_BAD_LENGTH:
      return "a record's length field is 0 or too large";
    case TARVIX_BAD_BLOCK_DATA:
      return "a record's block data is malformed";
    case TARVIX_OUTPUT_TOO_SMALL:
      return "the output is too small for the next block";
    case TARVIX_MISUSE:
      return "the call came out of order, or its areas overlap";
    case TARVIX_READ_FAILED:
      return "reading the compressed file failed";
  }
  return "unknown status";
}

const char* tarvix_version_string(void) { return TARVIX_VERSION_STRING; }

// ---------------------------------------------------------------------------
// The walk over the records

tarvix_status tarvix_locate(const void* file, size_t file_size, uint64_t offset, unsigned flags,
                            tarvix_workers* workers, tarvix_record* record) {
  if (record == nullptr) {
    return TARVIX_MISUSE;
  }
  return to_c(tarvix::detail::locate(bytes(file, file_size), offset, flags, workers, *record));
}

tarvix_status tarvix_locate_read(tarvix_reader read, void* context, void* buffer,
                                 size_t buffer_size, uint64_t offset, unsigned flags,
                                 tarvix_workers* workers, tarvix_record* record) {
  if (record == nullptr) {
    return TARVIX_MISUSE;
  }
  return to_c(tarvix::detail::locate_read(read, context, bytes(buffer, buffer_size), offset, flags,
                                          workers, *record));
}

// ---------------------------------------------------------------------------
// The compressor

tarvix_compressor* tarvix_compressor_create(void) {
  return create<tarvix_compressor>(nullptr, false);
}

tarvix_compressor* tarvix_compressor_create_threaded(unsigned threads) {
  return create_threaded<tarvix_compressor>(threads);
}

tarvix_compressor* tarvix_compressor_create_on(tarvix_workers* workers) {
  return create<tarvix_compressor>(workers, false);
}

void tarvix_compressor_free(tarvix_compressor* compressor) {
  tarvix::detail::free_c_object(compressor);
}

tarvix_status tarvix_compressor_compress(tarvix_compressor* compressor, const void* input,
                                         size_t input_size, size_t* input_used, void* output,
                                         size_t output_capacity, size_t* output_written) {
  return code(compressor, &tarvix::detail::CompressorState::compress, input, input_size, input_used,
              output, output_capacity, output_written);
}

tarvix_status tarvix_compressor_end(tarvix_compressor* compressor, void* output,
                                    size_t output_capacity, size_t* output_written, size_t* held) {
  return end(compressor, output, output_capacity, output_written, held);
}

void tarvix_compressor_reset(tarvix_compressor* compressor) {
  if (compressor != nullptr) {
    compressor->state.reset();
  }
}

int tarvix_compressor_finish(tarvix_compressor* compressor, void* output, size_t output_capacity,
                             size_t* output_written) {
  size_t held = 0;
  const tarvix_status status =
      tarvix_compressor_end(compressor, output, output_capacity, output_written, &held);
  return status == TARVIX_OK && held == 0 ? 1 : 0;
}

// ---------------------------------------------------------------------------
// The restorer

tarvix_restorer* tarvix_restorer_create(void) { return create<tarvix_restorer>(nullptr, false); }

tarvix_restorer* tarvix_restorer_create_threaded(unsigned threads) {
  return create_threaded<tarvix_restorer>(threads);
}

tarvix_restorer* tarvix_restorer_create_on(tarvix_workers* workers) {
  return create<tarvix_restorer>(workers, false);
}

void tarvix_restorer_free(tarvix_restorer* restorer) { tarvix::detail::free_c_object(restorer); }

void tarvix_restorer_set_concatenated(tarvix_restorer* restorer, int concatenated) {
  if (restorer != nullptr) {
    restorer->state.set_concatenated(concatenated != 0);
  }
}

tarvix_status tarvix_restorer_restore(tarvix_restorer* restorer, const void* input,
                                      size_t input_size, size_t* input_used, void* output,
                                      size_t output_capacity, size_t* output_written) {
  return code(restorer, &tarvix::detail::RestorerState::restore, input, input_size, input_used,
              output, output_capacity, output_written);
}

tarvix_status tarvix_restorer_end(tarvix_restorer* restorer, void* output, size_t output_capacity,
                                  size_t* output_written, size_t* held) {
  return end(restorer, output, output_capacity, output_written, held);
}

tarvix_status tarvix_restorer_status(const tarvix_restorer* restorer) {
  return restorer == nullptr ? TARVIX_MISUSE : to_c(restorer->state.status());
}

uint64_t tarvix_restorer_records_read(const tarvix_restorer* restorer) {
  return restorer == nullptr ? 0 : restorer->state.records_read();
}

uint64_t tarvix_restorer_stored_blocks(const tarvix_restorer* restorer) {
  return restorer == nullptr ? 0 : restorer->state.stored_blocks();
}

void tarvix_restorer_reset(tarvix_restorer* restorer) {
  if (restorer != nullptr) {
    restorer->state.reset();
  }
}

tarvix_status tarvix_restorer_finish(tarvix_restorer* restorer, void* output,
                                     size_t output_capacity, size_t* output_written) {
  size_t held = 0;
  return tarvix_restorer_end(restorer, output, output_capacity, output_written, &held);
}

int tarvix_restorer_holds_output(const tarvix_restorer* restorer) {
  return restorer != nullptr && restorer->state.held() != 0 ? 1 : 0;
}

}  // extern "C"
