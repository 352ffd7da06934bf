// The compressed-file container's format in C++: the file magic, the record
// sizes, and how a call ends, shared by the library's insides and by
// <tarvix/container.h> over the C interface.
//
// A compressed file is the 4-byte file magic D8 C7 B6 A5, then one block
// record per block of at most kMaxBlockSize source bytes: a 2-byte
// little-endian length field and that many bytes of block data. Nothing else
// is stored. docs/format.md describes the container and the block data in full.
#ifndef TARVIX_CONTAINER_FORMAT_H
#define TARVIX_CONTAINER_FORMAT_H

// The C++ interface needs C++20; C programs include <tarvix/tarvix.h>.
#if __cplusplus < 202002L && !(defined(_MSVC_LANG) && _MSVC_LANG >= 202002L)
#error "<tarvix/container_format.h> needs C++20 (for example -std=c++20)"
#else

#include <tarvix/block_encoder.h>
#include <tarvix/block_format.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace tarvix {

// The first four bytes of every compressed file.
inline constexpr std::array<std::uint8_t, 4> kFileMagic = {0xD8, 0xC7, 0xB6, 0xA5};
inline constexpr std::size_t kMagicSize = kFileMagic.size();  // bytes
inline constexpr std::size_t kLengthFieldSize = 2;  // bytes, little-endian, before each block data
inline constexpr std::size_t kMaxRecordSize =
    kLengthFieldSize + kMaxBlockDataSize;  // bytes: a record of a stored full block

// Output space with which a streaming coder codes a whole block straight into
// the caller's output, with no copy through the coder.
inline constexpr std::size_t kCompressorStraightRoom =
    kLengthFieldSize + encoder_output_size(kMaxBlockSize);           // bytes: 8200
inline constexpr std::size_t kRestorerStraightRoom = kMaxBlockSize;  // bytes

// How a call ended: the values and meanings of tarvix_status in
// <tarvix/tarvix.h>, whose comments say when each is returned. Every status
// from kNotCompressed to kOutputTooSmall names the first fault of a
// compressed file in file order; the blocks before it have been restored.
enum class Status : int {
  kOk = 0,          // TARVIX_OK
  kNotCompressed,   // TARVIX_NOT_COMPRESSED
  kCutShort,        // TARVIX_CUT_SHORT
  kBadLength,       // TARVIX_BAD_LENGTH
  kBadBlockData,    // TARVIX_BAD_BLOCK_DATA
  kOutputTooSmall,  // TARVIX_OUTPUT_TOO_SMALL
  kMisuse,          // TARVIX_MISUSE
  kReadFailed,      // TARVIX_READ_FAILED
};

// Status's first name, from when only restoring returned it.
using RestoreStatus = Status;

// What a whole-buffer restore gives.
struct RestoreResult {
  Status status;
  std::size_t restored;  // bytes of the whole blocks restored before `status`
};

// What a call that ends a streaming coder's file leaves.
struct FinishResult {
  Status status;     // the outcome of the file
  std::size_t held;  // bytes still held, at least: call again until 0
};

}  // namespace tarvix

#endif  // C++20
#endif  // TARVIX_CONTAINER_FORMAT_H
