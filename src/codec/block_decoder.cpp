// The block decoder, bounded against malformed block data.
//
// The fast paths copy whole words, and a word may run past the end of the
// item it belongs to. Such a copy is made only where the whole word lies
// inside block_data (for reads) and inside output (for writes); near either
// end the exact copy runs instead. The checks that refuse malformed block
// data are made on exact lengths before any copy, so every refusal is the
// same as the byte-at-a-time decoder's.
#include <tarvix/block_decoder.h>

#include <algorithm>
#include <bit>
#include <cstring>

namespace tarvix {

namespace {

unsigned get_big_endian16(const std::uint8_t* in) noexcept {
  return (unsigned{in[0]} << 8) | in[1];
}

// Copies 8 bytes. memcpy of a fixed size compiles to one load and one store.
void copy8(std::uint8_t* to, const std::uint8_t* from) noexcept {
  std::uint64_t word = 0;
  std::memcpy(&word, from, sizeof word);
  std::memcpy(to, &word, sizeof word);
}

// Appends the bytes of the run item at `item`, unless they would pass
// out_limit. Bytes 1 and 2 hold the count; the distance field's 0 took byte
// 1's top half: 00 0F EF 61 is 0x0FEF + 16 = 4095 bytes of 61.
bool append_run(const std::uint8_t* item, std::uint8_t* out, std::size_t& written,
                std::size_t out_limit) noexcept {
  const std::size_t count = get_big_endian16(item + 1) + kMinRunLength;
  if (count > out_limit - written) {
    return false;
  }
  std::memset(out + written, item[3], count);
  written += count;
  return true;
}

// Room that the word copies below need past the start of a copy: literal
// stretches copy 16 bytes, matches up to 24.
constexpr std::size_t kLiteralCopySize = 16;
constexpr std::size_t kMatchCopySize = 24;

// The room in block data and output from which a whole group of items is
// decoded by the fast loop: 16 items of at most 4 bytes and a literal copy
// past them; 16 matches of at most 18 bytes and a match copy past them.
constexpr std::size_t kFastGroupInput = kItemsPerControlWord * kRunItemSize + kLiteralCopySize;
constexpr std::size_t kFastGroupOutput =
    std::size_t{kItemsPerControlWord} * kMaxMatchLength + kMatchCopySize;

// Copies a match of `length` bytes (3 to 18) that starts `distance` bytes
// back, from the first byte to the last, so that a short distance repeats
// what the copy itself has just written.
void copy_match(std::uint8_t* to, std::size_t distance, std::size_t length,
                std::size_t room) noexcept {
  const std::uint8_t* from = to - distance;
  if (distance >= 8 && room >= kMatchCopySize) {
    // Each 8-byte step reads only bytes that are final before it: at a
    // distance of 8 or more, bytes i to i + 7 of the copy come from bytes
    // i - distance to i + 7 - distance, all before byte i. So with distance
    // 8 and length 18 the steps copy bytes 0-7, 8-15 (from 0-7, just
    // written) and 16-23; bytes 18-23 are spare, written inside the room and
    // overwritten by the next item or left past the decoded length.
    // Three steps whatever the length: a branch on it would cost more.
    copy8(to, from);
    copy8(to + 8, from + 8);
    copy8(to + 16, from + 16);
    return;
  }
  if (distance == 1) {
    // One byte repeated: 61 then a match of distance 1 and length 5 gives
    // 61 61 61 61 61 61. Three words of eight copies where there is room.
    if (room >= kMatchCopySize) {
      const std::uint64_t copies = from[0] * std::uint64_t{0x0101010101010101};
      std::memcpy(to, &copies, 8);
      std::memcpy(to + 8, &copies, 8);
      std::memcpy(to + 16, &copies, 8);
    } else {
      std::memset(to, from[0], length);
    }
    return;
  }
  if (room >= kMatchCopySize) {
    // A distance of 2 to 7 repeats a short pattern. The first 8 bytes go
    // one at a time; after them the pattern is also found `step` bytes back,
    // the smallest multiple of the distance that is 8 or more, so the rest
    // goes in 8-byte steps as above. With distance 3 after 61 62 63: bytes
    // 0-7 are 61 62 63 61 62 63 61 62, and bytes 8-15 come from 9 back,
    // bytes -1 to 6, that is 63 61 62 63 61 62 63 61.
    static constexpr std::uint8_t kStep[8] = {0, 8, 8, 9, 8, 10, 12, 14};
    for (std::size_t i = 0; i < 8; ++i) {
      to[i] = from[i];
    }
    const std::size_t step = kStep[distance];
    copy8(to + 8, to + 8 - step);
    copy8(to + 16, to + 16 - step);
    return;
  }
  // A short distance, or near the end of the output: byte by byte, first to
  // last. After the literals 61 62 63 the match (distance 3, length 6) gives
  // 61 62 63 61 62 63 61 62 63, reading bytes it has just written.
  for (std::size_t i = 0; i < length; ++i) {
    to[i] = from[i];
  }
}

}  // namespace

std::optional<std::uint16_t> decode_block(std::span<const std::uint8_t> block_data,
                                          std::span<std::uint8_t> output) noexcept {
  const std::size_t in_size = block_data.size();
  if (in_size == 0 || in_size > kMaxBlockDataSize) {
    return std::nullopt;
  }
  // Decoded bytes end by out_limit; spare bytes of word copies end by out_size.
  const std::size_t out_size = output.size();
  const std::size_t out_limit = std::min(out_size, kMaxBlockSize);
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

  // The control word of the current group sits in the top 16 bits of
  // `control`, its next item's bit at bit 31, followed by a marker bit. Each
  // item shifts it left by one, so the marker reaches bit 31 when the group's
  // 16 items are done, and the leading zero bits count the literal items
  // that come next, never more than the group has left. For example the
  // word 0x0F00 gives 0x0F008000: four literals, then a copy item; after all
  // 16 items only the marker, 0x80000000, is left.
  constexpr std::uint32_t kGroupDone = 0x80000000;
  std::uint32_t control = (std::uint32_t{get_big_endian16(in + 1)} << 16) | 0x8000;
  std::size_t read = kCodedHeaderSize;
  std::size_t written = 0;

  // The stream has no end marker: items follow until the block data ends, and
  // the last item must end exactly on its last byte.
  for (;;) {
    if (control == kGroupDone) {
      if (read == in_size) {
        break;
      }
      // A control word is read only when a byte remains, and it is always
      // followed by an item, which needs at least one more byte.
      if (in_size - read <= kControlWordSize) {
        return std::nullopt;
      }
      control = (std::uint32_t{get_big_endian16(in + read)} << 16) | 0x8000;
      read += kControlWordSize;
    }

    // Far from both ends, the rest of the group is decoded without the
    // checks that only the ends need. Its at most 16 items take at most 64
    // bytes of block data, so the data cannot end among them and a 16-byte
    // literal copy stays inside it; without a run item they give at most
    // 16 * 18 bytes, so the output can neither pass out_limit nor lack room
    // for a word copy. A run item may be long: after one the group goes on
    // by the careful loop below. A match that reaches before the block start
    // is refused exactly as there.
    if (in_size - read >= kFastGroupInput && out_limit - written >= kFastGroupOutput) {
      bool run_seen = false;
      while (control != kGroupDone && !run_seen) {
        const auto stretch = static_cast<std::size_t>(std::countl_zero(control | 1));
        std::memcpy(out + written, in + read, kLiteralCopySize);
        read += stretch;
        written += stretch;
        control <<= stretch;
        if (control == kGroupDone) {
          break;
        }
        control <<= 1;
        const unsigned field = get_big_endian16(in + read);
        const unsigned distance = field >> 4;
        if (distance == 0) [[unlikely]] {
          if (!append_run(in + read, out, written, out_limit)) {
            return std::nullopt;
          }
          read += kRunItemSize;
          run_seen = true;
          continue;
        }
        const std::size_t length = (field & 0x0F) + kMinMatchLength;
        if (distance > written) {
          return std::nullopt;
        }
        copy_match(out + written, distance, length, kMatchCopySize);
        written += length;
        read += kMatchItemSize;
      }
      continue;
    }

    // A stretch of literal items, possibly none, copied together. It ends
    // early, without error, where the block data ends (its last literal is
    // then the last item); read < in_size here, so it holds at least one
    // literal if it holds any.
    const auto stretch = static_cast<std::size_t>(std::countl_zero(control | 1));
    const std::size_t literals = std::min(stretch, in_size - read);
    if (literals > out_limit - written) {
      return std::nullopt;
    }
    if (in_size - read >= kLiteralCopySize && out_size - written >= kLiteralCopySize) {
      std::memcpy(out + written, in + read, kLiteralCopySize);
    } else {
      std::memcpy(out + written, in + read, literals);
    }
    read += literals;
    written += literals;
    control <<= literals;
    if (read == in_size) {
      break;
    }
    if (control == kGroupDone) {
      continue;
    }

    // A copy item.
    control <<= 1;
    if (in_size - read < kMatchItemSize) {
      return std::nullopt;
    }
    // A copy item whose 12-bit distance field is 0 is a run item:
    //   00 0F EF 61  ->  0x0FEF + 16 = 4095 bytes of 61.
    const unsigned field = get_big_endian16(in + read);
    const unsigned distance = field >> 4;
    if (distance == 0) [[unlikely]] {
      if (in_size - read < kRunItemSize) {
        return std::nullopt;
      }
      if (!append_run(in + read, out, written, out_limit)) {
        return std::nullopt;
      }
      read += kRunItemSize;
    } else {
      const std::size_t length = (field & 0x0F) + kMinMatchLength;
      if (distance > written || length > out_limit - written) {
        return std::nullopt;
      }
      copy_match(out + written, distance, length, out_size - written);
      written += length;
      read += kMatchItemSize;
    }
    if (read == in_size) {
      break;
    }
  }
  return static_cast<std::uint16_t>(written);
}

}  // namespace tarvix
