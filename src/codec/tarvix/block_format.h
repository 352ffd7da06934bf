// The block format: constants shared by the block encoder and the block decoder.
//
// A block is at most 8192 source bytes, coded on its own. Its block data
// opens with a kind byte: 0x80 marks the stored form (the block's bytes follow
// unchanged), any other value the coded form (16-bit control words, each
// followed by up to 16 literal, match or run items). Every multi-byte field
// inside the block data is big-endian. docs/format.md describes the format in
// full, with worked examples.
#ifndef TARVIX_CODEC_BLOCK_FORMAT_H
#define TARVIX_CODEC_BLOCK_FORMAT_H

// The C++ interface needs C++20; C programs include <tarvix/tarvix.h>.
#if __cplusplus < 202002L && !(defined(_MSVC_LANG) && _MSVC_LANG >= 202002L)
#error "<tarvix/block_format.h> needs C++20 (for example -std=c++20)"
#else

#include <cstddef>
#include <cstdint>

namespace tarvix {

// Block sizes.
inline constexpr std::size_t kMaxBlockSize = 8192;  // bytes of source in one block
inline constexpr std::size_t kMaxBlockDataSize =
    kMaxBlockSize + 1;  // bytes of block data: a stored block of kMaxBlockSize

// Kind bytes: the first byte of every block data.
inline constexpr std::uint8_t kKindCoded = 0x40;   // written for the coded form
inline constexpr std::uint8_t kKindStored = 0x80;  // the only value read as stored

// Control words.
inline constexpr std::size_t kControlWordSize = 2;    // bytes, big-endian
inline constexpr unsigned kItemsPerControlWord = 16;  // items; bit 15 is the first
inline constexpr std::size_t kCodedHeaderSize =
    1 + kControlWordSize;  // bytes: the kind byte and the first control word

// Item sizes.
inline constexpr std::size_t kLiteralItemSize = 1;  // bytes
inline constexpr std::size_t kMatchItemSize = 2;    // bytes: 12-bit distance, 4-bit length - 3
inline constexpr std::size_t kRunItemSize = 4;      // bytes: 00, 16-bit count - 16, the byte

// Match items.
inline constexpr unsigned kMinMatchLength = 3;       // bytes
inline constexpr unsigned kMaxMatchLength = 18;      // bytes: kMinMatchLength + 0xF
inline constexpr unsigned kMaxMatchDistance = 4095;  // bytes back; 0 marks a run item

// Run items.
inline constexpr unsigned kMinRunLength = 16;           // bytes: a count field of 0
inline constexpr unsigned kMaxWrittenRunLength = 4095;  // bytes: the most the encoder writes
inline constexpr unsigned kMaxReadRunLength =
    kMinRunLength + 0xFFF;  // bytes: 4111, the most a 12-bit count field holds

// Match finder hash.
inline constexpr unsigned kHashBits = 12;                               // bits of a slot index
inline constexpr std::size_t kHashSlots = std::size_t{1} << kHashBits;  // slots: 4096
inline constexpr std::uint32_t kHashMultiplier = 40543;                 // 0x9E5F
inline constexpr std::uint16_t kEmptySlot = 0xFFFF;  // a slot no position has taken

}  // namespace tarvix

#endif  // C++20
#endif  // TARVIX_CODEC_BLOCK_FORMAT_H
