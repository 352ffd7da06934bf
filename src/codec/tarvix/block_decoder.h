// The block decoder: one block data back to its block, or to its length, safe on any input.
#ifndef TARVIX_CODEC_BLOCK_DECODER_H
#define TARVIX_CODEC_BLOCK_DECODER_H

// The C++ interface needs C++20; C programs include <tarvix/tarvix.h>.
#if __cplusplus < 202002L && !(defined(_MSVC_LANG) && _MSVC_LANG >= 202002L)
#error "<tarvix/block_decoder.h> needs C++20 (for example -std=c++20)"
#else

#include <cstdint>
#include <optional>
#include <span>

#include <tarvix/block_format.h>
#include <tarvix/export.h>

namespace tarvix {

// decode_block() restores the block coded in `block_data` (kind byte first)
// into the start of `output` and returns the block's length, 0 to
// kMaxBlockSize. It returns std::nullopt when the block data is malformed:
//   - it is empty (no kind byte) or longer than kMaxBlockDataSize (refused
//     before any byte is read);
//   - its last item is cut off by the end of the block data;
//   - a match reaches back before the start of the block;
//   - the block would grow past kMaxBlockSize bytes or past output.size().
// Two unusual inputs have a defined result: a kind byte other than kKindStored
// decodes as the coded form, and coded block data of 1 to 3 bytes holds no item
// and decodes to an empty block.
//
// Whatever it is given, decode_block never reads outside `block_data` nor
// writes outside `output`, in every build: misuse (too much block data, too
// small an output) is refused like malformed block data, so with an output of
// kMaxBlockSize bytes or more std::nullopt always means malformed. Bytes of
// `output` past the returned length may be overwritten too (word copies leave
// spare bytes there); on std::nullopt the whole of `output` is unspecified.
// The two areas must not overlap. It allocates nothing and keeps nothing
// between calls, so calls on distinct buffers may run concurrently.
TARVIX_EXPORT std::optional<std::uint16_t> decode_block(std::span<const std::uint8_t> block_data,
                                                        std::span<std::uint8_t> output) noexcept;

// block_restored_size() returns the length of the block that `block_data`
// (kind byte first) restores to, 0 to kMaxBlockSize, by walking its control
// words and items without writing them out (a stored block: its block data's
// length - 1). It returns std::nullopt exactly where decode_block() into an
// output of kMaxBlockSize bytes does: for the same malformed block data, a
// match that reaches back before the start of the block included. It reads
// nothing outside `block_data`, allocates nothing and keeps nothing between
// calls, so calls may run concurrently.
TARVIX_EXPORT std::optional<std::uint16_t> block_restored_size(
    std::span<const std::uint8_t> block_data) noexcept;

}  // namespace tarvix

#endif  // C++20
#endif  // TARVIX_CODEC_BLOCK_DECODER_H
