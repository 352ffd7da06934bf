// The block decoder, bounded against malformed block data.
#include "block_decoder.h"

#include <algorithm>
#include <cstring>

namespace tarvix {

namespace {

unsigned get_big_endian16(const std::uint8_t* in) noexcept {
  return (unsigned{in[0]} << 8) | in[1];
}

}  // namespace

std::optional<std::uint16_t> decode_block(std::span<const std::uint8_t> block_data,
                                          std::span<std::uint8_t> output) noexcept {
  const std::size_t in_size = block_data.size();
  if (in_size == 0 || in_size > kMaxBlockDataSize) {
    return std::nullopt;
  }
  const std::size_t out_limit = std::min(output.size(), kMaxBlockSize);
  const std::uint8_t* const in = block_data.data();
  std::uint8_t* const out = output.data();

  if (in[0] == kKindStored) {
    const std::size_t stored = in_size - 1;
    if (stored > out_limit) {
      return std::nullopt;
    }
    if (stored != 0) {
      std::memcpy(out, in + 1, stored);
    }
    return static_cast<std::uint16_t>(stored);
  }

  // Coded form. Up to 3 bytes hold no item: the block is empty.
  if (in_size <= kCodedHeaderSize) {
    return 0;
  }
  unsigned control = get_big_endian16(in + 1);
  unsigned items_left = kItemsPerControlWord;
  std::size_t read = kCodedHeaderSize;
  std::size_t written = 0;

  // The stream has no end marker: items follow until the block data ends, and
  // the last item must end exactly on its last byte.
  while (read < in_size) {
    if (items_left == 0) {
      // A control word is read only when a byte remains, and it is always
      // followed by an item, so both must fit.
      if (in_size - read < kControlWordSize) {
        return std::nullopt;
      }
      control = get_big_endian16(in + read);
      read += kControlWordSize;
      items_left = kItemsPerControlWord;
    }
    const bool is_copy = (control & 0x8000) != 0;
    control <<= 1;
    --items_left;

    if (!is_copy) {
      if (read >= in_size || written >= out_limit) {
        return std::nullopt;
      }
      out[written++] = in[read++];
      continue;
    }
    if (in_size - read < kMatchItemSize) {
      return std::nullopt;
    }
    // A copy item whose 12-bit distance field is 0 is a run item:
    //   00 0F EF 61  ->  0x0FEF + 16 = 4095 bytes of 61.
    const unsigned field = get_big_endian16(in + read);
    const unsigned distance = field >> 4;
    if (distance == 0) {
      if (in_size - read < kRunItemSize) {
        return std::nullopt;
      }
      // Bytes 1 and 2 hold the count; the distance field's 0 took byte 1's top half.
      const std::size_t count = get_big_endian16(in + read + 1) + kMinRunLength;
      if (count > out_limit - written) {
        return std::nullopt;
      }
      std::memset(out + written, in[read + 3], count);
      written += count;
      read += kRunItemSize;
      continue;
    }
    const std::size_t length = (field & 0x0F) + kMinMatchLength;
    if (distance > written || length > out_limit - written) {
      return std::nullopt;
    }
    // Byte by byte, first to last: where the distance is shorter than the
    // length the copy reads what it has just written, so after the literals
    // 61 62 63 the match (distance 3, length 6) gives 61 62 63 61 62 63.
    const std::uint8_t* from = out + written - distance;
    for (std::size_t i = 0; i < length; ++i) {
      out[written + i] = from[i];
    }
    written += length;
    read += kMatchItemSize;
  }
  return static_cast<std::uint16_t>(written);
}

}  // namespace tarvix
