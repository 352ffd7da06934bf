// Fuzz target: decode_block on arbitrary bytes into guarded output areas, and the walk beside it.
//
// The output area is a heap block of exactly 8192 bytes, so AddressSanitizer
// stops any write past it; the input is libFuzzer's own heap copy of exactly
// the given size, so any read past the block data stops too.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

#include <tarvix/block_decoder.h>
#include "fuzz_check.h"

using tarvix::block_restored_size;
using tarvix::decode_block;
using tarvix::kMaxBlockDataSize;
using tarvix::kMaxBlockSize;

// NOLINTNEXTLINE(readability-identifier-naming): the name libFuzzer calls.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> block_data(data, size);
  const auto output = std::make_unique<std::uint8_t[]>(kMaxBlockSize);
  const auto decoded = decode_block(block_data, std::span(output.get(), kMaxBlockSize));
  // The walk gives the same length without decoding, and refuses the same inputs.
  FUZZ_CHECK(block_restored_size(block_data) == decoded);
  if (size == 0 || size > kMaxBlockDataSize) {
    FUZZ_CHECK(!decoded);
  }
  if (!decoded) {
    return 0;
  }
  const std::size_t length = *decoded;
  FUZZ_CHECK(length <= kMaxBlockSize);

  // The output bound is exact: an area of exactly the decoded length gives the
  // same block, and one byte less is refused rather than overrun.
  const auto exact = std::make_unique<std::uint8_t[]>(length);
  const auto again = decode_block(block_data, std::span(exact.get(), length));
  FUZZ_CHECK(again && *again == length);
  FUZZ_CHECK(length == 0 || std::memcmp(exact.get(), output.get(), length) == 0);
  if (length > 0) {
    const auto short_area = std::make_unique<std::uint8_t[]>(length - 1);
    FUZZ_CHECK(!decode_block(block_data, std::span(short_area.get(), length - 1)));
  }
  return 0;
}
