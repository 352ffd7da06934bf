// Fuzz target: encode_block of arbitrary bytes decodes back to them.
//
// Both output areas are heap blocks of exactly the size the interface
// promises to be enough (block length + 6 for the encoder, block length for
// the decoder), so AddressSanitizer stops any write past them.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

#include <tarvix/block_decoder.h>
#include <tarvix/block_encoder.h>
#include "fuzz_check.h"

using tarvix::decode_block;
using tarvix::encode_block;
using tarvix::encoder_output_size;
using tarvix::kKindCoded;
using tarvix::kKindStored;
using tarvix::kMaxBlockSize;

// NOLINTNEXTLINE(readability-identifier-naming): the name libFuzzer calls.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::size_t length = size < kMaxBlockSize ? size : kMaxBlockSize;
  const std::span<const std::uint8_t> block(data, length);

  const std::size_t area = encoder_output_size(length);
  const auto coded = std::make_unique<std::uint8_t[]>(area);
  const std::size_t coded_length = encode_block(block, std::span(coded.get(), area));

  FUZZ_CHECK(coded_length >= 1 && coded_length <= length + 1);
  const std::uint8_t kind = coded[0];
  FUZZ_CHECK(kind == kKindCoded || kind == kKindStored);
  if (kind == kKindCoded) {
    // The coded form is never longer than the block itself.
    FUZZ_CHECK(coded_length <= length);
  } else {
    FUZZ_CHECK(coded_length == length + 1);
    FUZZ_CHECK(length == 0 || std::memcmp(coded.get() + 1, data, length) == 0);
  }

  const auto restored = std::make_unique<std::uint8_t[]>(length);
  const auto decoded =
      decode_block(std::span(coded.get(), coded_length), std::span(restored.get(), length));
  FUZZ_CHECK(decoded && *decoded == length);
  FUZZ_CHECK(length == 0 || std::memcmp(restored.get(), data, length) == 0);
  return 0;
}
