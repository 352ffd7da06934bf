// The C interface: pointers and sizes turned into spans for the container.
#include <tarvix/tarvix.h>

#include <tarvix/block_format.h>
#include <tarvix/container.h>
#include <tarvix/version.h>
#include <tarvix/workers.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <span>

// The C names of the opaque coders (hence their lower-case names).
// Each coder owns its pool; with one thread the pool starts nothing.
struct tarvix_compressor {  // NOLINT(readability-identifier-naming)
  explicit tarvix_compressor(unsigned threads) noexcept
      : workers(threads), coder(threads > 1 ? &workers : nullptr) {}
  tarvix::Workers workers;
  tarvix::Compressor coder;
};
struct tarvix_restorer {  // NOLINT(readability-identifier-naming)
  explicit tarvix_restorer(unsigned threads) noexcept
      : workers(threads), coder(threads > 1 ? &workers : nullptr) {}
  tarvix::Workers workers;
  tarvix::Restorer coder;
};

namespace {

static_assert(TARVIX_MAX_BLOCK_SIZE == tarvix::kMaxBlockSize);

// The C statuses are the container's, in the same order.
constexpr bool same_status(tarvix_status c, tarvix::RestoreStatus cpp) {
  return static_cast<int>(c) == static_cast<int>(cpp);
}
static_assert(same_status(TARVIX_OK, tarvix::RestoreStatus::kOk));
static_assert(same_status(TARVIX_NOT_COMPRESSED, tarvix::RestoreStatus::kNotCompressed));
static_assert(same_status(TARVIX_CUT_SHORT, tarvix::RestoreStatus::kCutShort));
static_assert(same_status(TARVIX_BAD_LENGTH, tarvix::RestoreStatus::kBadLength));
static_assert(same_status(TARVIX_BAD_BLOCK_DATA, tarvix::RestoreStatus::kBadBlockData));
static_assert(same_status(TARVIX_OUTPUT_TOO_SMALL, tarvix::RestoreStatus::kOutputTooSmall));

tarvix_status to_c(tarvix::RestoreStatus status) { return static_cast<tarvix_status>(status); }

std::span<const std::uint8_t> bytes(const void* data, std::size_t size) {
  return {static_cast<const std::uint8_t*>(data), size};
}

std::span<std::uint8_t> bytes(void* data, std::size_t size) {
  return {static_cast<std::uint8_t*>(data), size};
}

}  // namespace

extern "C" {

size_t tarvix_compress_bound(size_t source_size) { return tarvix::compress_bound(source_size); }

size_t tarvix_compress(const void* source, size_t source_size, void* file, size_t file_capacity) {
  return tarvix::compress(bytes(source, source_size), bytes(file, file_capacity));
}

tarvix_status tarvix_restore(const void* file, size_t file_size, void* out, size_t out_capacity,
                             size_t* restored) {
  const tarvix::RestoreResult result =
      tarvix::restore(bytes(file, file_size), bytes(out, out_capacity));
  if (restored != nullptr) {
    *restored = result.restored;
  }
  return to_c(result.status);
}

size_t tarvix_restored_size_bound(const void* file, size_t file_size) {
  return tarvix::restored_size_bound(bytes(file, file_size));
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
  }
  return "unknown status";
}

const char* tarvix_version_string(void) { return TARVIX_VERSION_STRING; }

tarvix_compressor* tarvix_compressor_create(void) { return tarvix_compressor_create_threaded(1); }

tarvix_compressor* tarvix_compressor_create_threaded(unsigned threads) {
  return new (std::nothrow) tarvix_compressor(threads);
}

void tarvix_compressor_free(tarvix_compressor* compressor) { delete compressor; }

void tarvix_compressor_compress(tarvix_compressor* compressor, const void* input, size_t input_size,
                                size_t* input_used, void* output, size_t output_capacity,
                                size_t* output_written) {
  std::span<const std::uint8_t> in = bytes(input, input_size);
  std::span<std::uint8_t> out = bytes(output, output_capacity);
  compressor->coder.compress(in, out);
  *input_used = input_size - in.size();
  *output_written = output_capacity - out.size();
}

int tarvix_compressor_finish(tarvix_compressor* compressor, void* output, size_t output_capacity,
                             size_t* output_written) {
  std::span<std::uint8_t> out = bytes(output, output_capacity);
  const bool done = compressor->coder.finish(out);
  *output_written = output_capacity - out.size();
  return done ? 1 : 0;
}

tarvix_restorer* tarvix_restorer_create(void) { return tarvix_restorer_create_threaded(1); }

tarvix_restorer* tarvix_restorer_create_threaded(unsigned threads) {
  return new (std::nothrow) tarvix_restorer(threads);
}

void tarvix_restorer_free(tarvix_restorer* restorer) { delete restorer; }

tarvix_status tarvix_restorer_restore(tarvix_restorer* restorer, const void* input,
                                      size_t input_size, size_t* input_used, void* output,
                                      size_t output_capacity, size_t* output_written) {
  std::span<const std::uint8_t> in = bytes(input, input_size);
  std::span<std::uint8_t> out = bytes(output, output_capacity);
  const tarvix::RestoreStatus status = restorer->coder.restore(in, out);
  *input_used = input_size - in.size();
  *output_written = output_capacity - out.size();
  return to_c(status);
}

tarvix_status tarvix_restorer_finish(tarvix_restorer* restorer, void* output,
                                     size_t output_capacity, size_t* output_written) {
  std::span<std::uint8_t> out = bytes(output, output_capacity);
  const tarvix::RestoreStatus status = restorer->coder.finish(out);
  *output_written = output_capacity - out.size();
  return to_c(status);
}

int tarvix_restorer_holds_output(const tarvix_restorer* restorer) {
  return restorer->coder.holds_output() ? 1 : 0;
}

}  // extern "C"
