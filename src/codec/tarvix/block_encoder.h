// The block encoder: one block of source bytes to block data.
#ifndef TARVIX_CODEC_BLOCK_ENCODER_H
#define TARVIX_CODEC_BLOCK_ENCODER_H

// The C++ interface needs C++20; C programs include <tarvix/tarvix.h>.
#if __cplusplus < 202002L && !(defined(_MSVC_LANG) && _MSVC_LANG >= 202002L)
#error "<tarvix/block_encoder.h> needs C++20 (for example -std=c++20)"
#else

#include <cstddef>
#include <cstdint>
#include <span>

#include <tarvix/block_format.h>
#include <tarvix/export.h>

namespace tarvix {

// Bytes past the block length that encode_block may write to before it gives up
// on the coded form: the output area holds block length + kEncoderOutputSlack.
inline constexpr std::size_t kEncoderOutputSlack = 6;

// The output area encode_block needs for a block of block_length bytes.
constexpr std::size_t encoder_output_size(std::size_t block_length) noexcept {
  return block_length + kEncoderOutputSlack;
}

// encode_block() codes one block of 0 to kMaxBlockSize bytes into block data,
// written from the start of `output`, and returns its length:
//   - at most source.size(), with the kind byte kKindCoded (the coded form), or
//   - source.size() + 1, with the kind byte kKindStored (the stored form), when
//     the coded form would be longer than the block.
// The output is fixed byte for byte by the block format: a greedy parse with
// runs of 16 or more equal bytes first, one hash probe per searched position.
// Data that does not shrink costs less to code: once a cheap count proves
// that a block cannot shrink, its stored form is written without the rest of
// the parse, with the same result.
//
// `output` must hold encoder_output_size(source.size()) bytes; bytes past the
// returned length are left with unspecified contents. `source` and `output`
// must not overlap. Misuse is checked in every build: a source longer than
// kMaxBlockSize, or a smaller `output`, gives 0 (never a block data length,
// which counts the kind byte) and writes nothing. Otherwise the encoder
// cannot fail. It allocates nothing and keeps nothing between calls, so calls
// on distinct buffers may run concurrently.
TARVIX_EXPORT std::uint16_t encode_block(std::span<const std::uint8_t> source,
                                         std::span<std::uint8_t> output) noexcept;

}  // namespace tarvix

#endif  // C++20
#endif  // TARVIX_CODEC_BLOCK_ENCODER_H
