// The match finder of the block encoder, shared with the tests only.
#ifndef TARVIX_CODEC_BLOCK_ENCODER_INTERNAL_H
#define TARVIX_CODEC_BLOCK_ENCODER_INTERNAL_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include <tarvix/block_format.h>

namespace tarvix {

// For each slot, the most recent position searched whose three bytes hash to
// it, or kEmptySlot. One table belongs to one call of encode_block.
using HashTable = std::array<std::uint16_t, kHashSlots>;

// The slot of the three bytes b0 b1 b2. The shifted terms overlap on purpose:
// b1 shares bits 8-11 with b0 and bits 4-7 with b2. Only bits 4-15 of the
// product reach the slot, so any unsigned width of 16 bits or more agrees.
// Example: the bytes 61 62 63 give h = 0x6743 and slot 0xABD.
constexpr unsigned hash_slot(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2) noexcept {
  const std::uint32_t h = (std::uint32_t{b0} << 8) ^ (std::uint32_t{b1} << 4) ^ b2;
  return ((h * kHashMultiplier) >> 4) & (kHashSlots - 1);
}

struct Match {
  std::uint16_t length;     // kMinMatchLength to kMaxMatchLength
  std::uint16_t candidate;  // the earlier position; the distance is position - candidate
};

// find_match() looks up the one earlier position whose three bytes shared the
// slot of the three bytes at `position`, records `position` in that slot
// whatever it finds, and returns the match if at least kMinMatchLength bytes
// agree within kMaxMatchDistance. Requires position + 2 < block.size().
// encode_block's careful loop calls it at every position it searches; its
// fast loop judges positions to the same effect, one ahead.
std::optional<Match> find_match(std::span<const std::uint8_t> block, std::uint16_t position,
                                HashTable& table) noexcept;

// least_coded_length() is the fewest bytes that the coded form of a block of
// `length` bytes can take when at most `repeats` of its positions start 3
// bytes that occurred earlier in the block. Requires repeats <= length.
std::size_t least_coded_length(std::size_t length, std::size_t repeats) noexcept;

// The ways that repeats_at_most() counts: the portable code, which every host
// runs, and where the compiler targets x86's SSE2, the same arithmetic on 16
// positions at a time. All give the same count for every block; the last in
// kProofPaths is the one must_be_stored() takes.
enum class ProofPath { kPortable, kSse2 };
#if defined(__SSE2__) || defined(_M_X64)
#define TARVIX_PROOF_SSE2 1
inline constexpr ProofPath kProofPaths[] = {ProofPath::kPortable, ProofPath::kSse2};
#else
#define TARVIX_PROOF_SSE2 0
inline constexpr ProofPath kProofPaths[] = {ProofPath::kPortable};
#endif

// repeats_at_most() counts, by `path` (one of kProofPaths), at least as many
// positions p of `block`, p + 2 < block.size(), as start 3 bytes that also
// start at an earlier position: a K for least_coded_length(). It may count
// more, never fewer.
std::size_t repeats_at_most(std::span<const std::uint8_t> block, ProofPath path) noexcept;

// must_be_stored() tells, for a fraction of the cost of coding it, that the
// coded form of `block` is sure to be longer than the block, so that
// encode_block gives the stored form. false proves nothing.
bool must_be_stored(std::span<const std::uint8_t> block) noexcept;

}  // namespace tarvix

#endif  // TARVIX_CODEC_BLOCK_ENCODER_INTERNAL_H
