// The plain block encoder and decoder, kept as the oracle for the fast ones.
#ifndef TARVIX_TESTS_REFERENCE_CODEC_H
#define TARVIX_TESTS_REFERENCE_CODEC_H

#include <cstdint>
#include <optional>
#include <span>

namespace tarvix::reference {

// reference_encode_block() has the contract of encode_block: source of 0 to
// 8192 bytes, output of at least source.size() + 6 bytes, returns the length of
// the block data written from the start of output. It follows the encoding
// steps one byte at a time, for clarity rather than speed.
std::uint16_t reference_encode_block(std::span<const std::uint8_t> source,
                                     std::span<std::uint8_t> output) noexcept;

// reference_decode_block() has the contract of decode_block, std::nullopt
// cases included. It copies one byte at a time.
std::optional<std::uint16_t> reference_decode_block(std::span<const std::uint8_t> block_data,
                                                    std::span<std::uint8_t> output) noexcept;

}  // namespace tarvix::reference

#endif  // TARVIX_TESTS_REFERENCE_CODEC_H
