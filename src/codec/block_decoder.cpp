// The block decoder and its walk, bounded against malformed block data.
//
// Two loops decode the coded form. The fast loop decodes whole groups of
// items while both ends are far: its bounds are derived once at its top, and
// its copies move whole words, which may run past the end of the item they
// belong to but never past the end of block_data (for reads) or output (for
// writes). Once a group might reach either end, it hands over, for good, to
// the careful loop, which checks every item against the exact ends. The
// checks that refuse malformed block data are made on exact lengths before any
// copy, so every refusal is the same as the byte-at-a-time decoder's.
//
// block_restored_size() walks the items the same way, with a fast loop over
// whole groups and a careful loop for the end, and writes nothing.
#include <tarvix/block_decoder.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64)
#define TARVIX_WALK_SSE2 1
#include <emmintrin.h>
#else
#define TARVIX_WALK_SSE2 0
#endif

namespace tarvix {

namespace {

unsigned get_big_endian16(const std::uint8_t* in) noexcept {
  return (unsigned{in[0]} << 8) | in[1];
}

// Copies 8 or 16 bytes. memcpy of a fixed size compiles to one load and one
// store.
void copy8(std::uint8_t* to, const std::uint8_t* from) noexcept {
  std::uint64_t word = 0;
  std::memcpy(&word, from, sizeof word);
  std::memcpy(to, &word, sizeof word);
}

void copy16(std::uint8_t* to, const std::uint8_t* from) noexcept {
  std::array<std::uint8_t, 16> words{};
  std::memcpy(words.data(), from, sizeof words);
  std::memcpy(to, words.data(), sizeof words);
}

// Each byte value with its bits in reverse order: 0x10 (0001 0000) gives 0x08
// (0000 1000).
constexpr std::array<std::uint8_t, 256> kReversedBytes = [] {
  std::array<std::uint8_t, 256> reversed{};
  for (unsigned byte = 0; byte < 256; ++byte) {
    unsigned bits = 0;
    for (unsigned bit = 0; bit < 8; ++bit) {
      bits |= ((byte >> bit) & 1U) << (7 - bit);
    }
    reversed[byte] = static_cast<std::uint8_t>(bits);
  }
  return reversed;
}();

// The control word at `in` with its bits in item order: bit 0 describes the
// group's first item, bit 15 its last. The word 10 00 (items 1-3 literal,
// item 4 a copy item) gives 0x0008: its lowest set bit, bit 3, is item 4.
std::uint32_t copy_items(const std::uint8_t* in) noexcept {
  return kReversedBytes[in[0]] | (std::uint32_t{kReversedBytes[in[1]]} << 8);
}

// Room that the word copies below need past the start of a copy: literal
// stretches copy 16 bytes, matches up to 24.
constexpr std::size_t kLiteralCopySize = 16;
constexpr std::size_t kMatchCopySize = 24;

// The room in block data and output from which the fast loop decodes a whole
// group: its control word, 16 items of at most 4 bytes and a literal copy past
// them; 16 matches of at most 18 bytes and a match copy past them. A run item
// may write more: the fast loop takes one only where the room is left after it.
constexpr std::size_t kFastGroupInput =
    kControlWordSize + kItemsPerControlWord * kRunItemSize + kLiteralCopySize;
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

// Where decoding stands: the next byte of block data to read, the bytes
// written, and the items left in the current group. `items` holds their bits
// in item order, the next item's at bit 0 (1 for a copy item), with a marker
// bit above them: 1 alone when the group is done, and the next control word
// comes. After the control word 10 00 it is 0x10008: a literal next, then two
// more, then a copy item; after those four items 0x1000.
struct Cursor {
  std::size_t read;
  std::size_t written;
  std::uint32_t items;
};
constexpr std::uint32_t kGroupDone = 1;
constexpr std::uint32_t kFullGroupMarker = std::uint32_t{1} << kItemsPerControlWord;

// The fast loop: decodes whole groups from a control word at `at.read` on,
// while the group can neither reach the end of the block data nor pass
// out_limit, and stops at a group's end, or before a run item too long for
// that room. Returns false if the block data is malformed.
bool decode_fast(std::span<const std::uint8_t> block_data, std::uint8_t* out, std::size_t out_limit,
                 Cursor& at) noexcept {
  assert(at.items == kGroupDone);
  if (block_data.size() - at.read < kFastGroupInput || out_limit < kFastGroupOutput) {
    return true;
  }
  const std::uint8_t* ip = block_data.data() + at.read;
  std::uint8_t* op = out + at.written;
  // Groups start at or before these, so that each finds the room it needs.
  const std::uint8_t* const ip_last = block_data.data() + block_data.size() - kFastGroupInput;
  std::uint8_t* const op_last = out + out_limit - kFastGroupOutput;

  while (ip <= ip_last && op <= op_last) {
    // The copy items of the group, found lowest bit first: the literals
    // before each are the difference of its index and the next item's. With
    // 0x0008 (the word 10 00), the copy item is item 3 counted from 0, so
    // items 0-2 are literals; after it, items 4-15 are.
    std::uint32_t copies = copy_items(ip);
    ip += kControlWordSize;
    unsigned next = 0;  // the index of the group's next item
    while (copies != 0) {
      const auto copy = static_cast<unsigned>(std::countr_zero(copies));
      copies &= copies - 1;
      // The literals before the copy item, up to 15, in one 16-byte copy.
      assert(ip + kLiteralCopySize <= block_data.data() + block_data.size());
      assert(op + kLiteralCopySize <= out + out_limit);
      copy16(op, ip);
      ip += copy - next;
      op += copy - next;
      next = copy + 1;

      const unsigned field = get_big_endian16(ip);
      const unsigned distance = field >> 4;
      if (distance == 0) [[unlikely]] {
        // A run item: 00 0F EF 61 is 0x0FEF + 16 = 4095 bytes of 61. Taken
        // here only if the room for a group is still left after it. The
        // items before it in the group may already have passed op_last.
        const std::size_t count = get_big_endian16(ip + 1) + kMinRunLength;
        if (op > op_last || count > static_cast<std::size_t>(op_last - op)) {
          // The careful loop takes over at this item.
          at = {static_cast<std::size_t>(ip - block_data.data()),
                static_cast<std::size_t>(op - out),
                (((copies >> copy) | 1) | (kFullGroupMarker >> copy))};
          return true;
        }
        std::memset(op, ip[3], count);
        op += count;
        ip += kRunItemSize;
        continue;
      }
      if (distance > static_cast<std::size_t>(op - out)) {
        return false;
      }
      assert(op + kMatchCopySize <= out + out_limit);
      copy_match(op, distance, kMaxMatchLength, kMatchCopySize);
      op += (field & 0x0F) + kMinMatchLength;
      ip += kMatchItemSize;
    }
    // The literals after the group's last copy item, up to 16.
    assert(ip + kLiteralCopySize <= block_data.data() + block_data.size());
    assert(op + kLiteralCopySize <= out + out_limit);
    copy16(op, ip);
    ip += kItemsPerControlWord - next;
    op += kItemsPerControlWord - next;
  }
  at.read = static_cast<std::size_t>(ip - block_data.data());
  at.written = static_cast<std::size_t>(op - out);
  return true;
}

// The careful loop: decodes the rest of the block data from `at` on, to its
// end, checking every item against the exact ends. The stream has no end
// marker: items follow until the block data ends, and the last item must end
// exactly on its last byte. Returns the block's length, or std::nullopt if
// the block data is malformed. Decoded bytes end by out_limit; spare bytes
// of word copies end by out_size.
std::optional<std::uint16_t> decode_careful(std::span<const std::uint8_t> block_data,
                                            std::uint8_t* out, std::size_t out_size,
                                            std::size_t out_limit, Cursor at) noexcept {
  const std::size_t in_size = block_data.size();
  const std::uint8_t* const in = block_data.data();
  std::size_t read = at.read;
  std::size_t written = at.written;
  std::uint32_t items = at.items;
  for (;;) {
    if (items == kGroupDone) {
      if (read == in_size) {
        break;
      }
      // A control word is read only when a byte remains, and it is always
      // followed by an item, which needs at least one more byte.
      if (in_size - read <= kControlWordSize) {
        return std::nullopt;
      }
      items = copy_items(in + read) | kFullGroupMarker;
      read += kControlWordSize;
    }

    // A stretch of literal items, possibly none, copied together. It ends
    // early, without error, where the block data ends (its last literal is
    // then the last item); read < in_size here, so it holds at least one
    // literal if it holds any.
    const auto stretch = static_cast<std::size_t>(std::countr_zero(items));
    const std::size_t literals = std::min(stretch, in_size - read);
    if (literals > out_limit - written) {
      return std::nullopt;
    }
    if (in_size - read >= kLiteralCopySize && out_size - written >= kLiteralCopySize) {
      copy16(out + written, in + read);
    } else {
      std::memcpy(out + written, in + read, literals);
    }
    read += literals;
    written += literals;
    items >>= literals;
    if (read == in_size) {
      break;
    }
    if (items == kGroupDone) {
      continue;
    }

    // A copy item.
    items >>= 1;
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
      const std::size_t count = get_big_endian16(in + read + 1) + kMinRunLength;
      if (count > out_limit - written) {
        return std::nullopt;
      }
      std::memset(out + written, in[read + 3], count);
      written += count;
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

  Cursor at{1, 0, kGroupDone};
  if (!decode_fast(block_data, out, out_limit, at)) {
    return std::nullopt;
  }
  return decode_careful(block_data, out, out_size, out_limit, at);
}

namespace {

// The most block data one group of items takes: its control word and 16 run
// items. A group that starts this far from the end lies whole in the block
// data.
constexpr std::size_t kLargestGroup = kControlWordSize + kItemsPerControlWord * kRunItemSize;

// The output length of the copy item at `item`, of which `available` bytes
// lie in the block data: a run's count, or a match's length. Sets `size` to
// the item's bytes. std::nullopt for an item cut off by the end, or a match
// that reaches back further than the `written` bytes before it.
std::optional<std::size_t> copy_length(const std::uint8_t* item, std::size_t available,
                                       std::size_t written, std::size_t& size) noexcept {
  if (available < kMatchItemSize) {
    return std::nullopt;
  }
  const unsigned field = get_big_endian16(item);
  const unsigned distance = field >> 4;
  if (distance == 0) [[unlikely]] {
    size = kRunItemSize;
    if (available < kRunItemSize) {
      return std::nullopt;
    }
    return get_big_endian16(item + 1) + kMinRunLength;
  }
  size = kMatchItemSize;
  if (distance > written) {
    return std::nullopt;
  }
  return (field & 0x0F) + kMinMatchLength;
}

#if TARVIX_WALK_SSE2
// The number of copy items that each control byte announces (a table: x86-64
// has no population count instruction in every model).
constexpr std::array<std::uint8_t, 256> kCopyItems = [] {
  std::array<std::uint8_t, 256> counts{};
  for (unsigned control = 0; control < 256; ++control) {
    counts[control] = static_cast<std::uint8_t>(std::popcount(control));
  }
  return counts;
}();

// The byte lanes of 16 bytes that hold the second byte of each copy item of
// half a group, 8 items announced by `control`, if every copy item is a
// match: 0xFF there, 0 elsewhere. A literal takes one lane, a match two:
// the bits 0100 0000 (a literal, a match, six literals) give lane 2, as the
// match's bytes are lanes 1 and 2.
struct alignas(16) LaneMask {
  std::array<std::uint8_t, 16> lanes;
};
constexpr std::array<LaneMask, 256> kSecondBytes = [] {
  std::array<LaneMask, 256> masks{};
  for (unsigned control = 0; control < 256; ++control) {
    unsigned lane = 0;
    for (unsigned bit = 8; bit-- > 0;) {
      lane += ((control >> bit) & 1U) + 1;
      if (((control >> bit) & 1U) != 0) {
        masks[control].lanes[lane - 1] = 0xFF;
      }
    }
  }
  return masks;
}();

// Walks the group whose control word is at `group`, in SSE2's byte lanes, if
// its items are literals and matches, each known to reach no further back
// than the `written` bytes before the group: its 16 items then take 16 bytes
// and one per match, and restore to 16 bytes, two more per match and the sum
// of the matches' length fields (the low 4 bits of their second bytes).
// Reads 34 bytes from `group`. Returns false, walking nothing, for a group
// with a run item or, in the first kMaxMatchDistance bytes, a match that may
// reach further back: its first byte over 16 gives its distance to within
// 15 bytes.
bool walk_plain_group(const std::uint8_t* group, Cursor& at) noexcept {
  const unsigned copies[2] = {kCopyItems[group[0]], kCopyItems[group[1]]};
  const std::uint8_t* const half_at[2] = {group + kControlWordSize,
                                          group + kControlWordSize + 8 + copies[0]};
  const __m128i zero = _mm_setzero_si128();
  __m128i runs = zero;
  __m128i firsts = zero;
  __m128i fields = zero;
  for (int half = 0; half < 2; ++half) {
    const __m128i mask =
        _mm_load_si128(reinterpret_cast<const __m128i*>(kSecondBytes[group[half]].lanes.data()));
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(half_at[half]));
    const __m128i second = _mm_and_si128(bytes, mask);
    // Each match's first byte, moved into the lane of its second.
    const __m128i first = _mm_and_si128(_mm_slli_si128(bytes, 1), mask);
    // A copy item whose distance field (its first byte and the upper half
    // of its second) is 0 is a run.
    const __m128i distance_field =
        _mm_or_si128(first, _mm_and_si128(second, _mm_set1_epi8(static_cast<char>(0xF0))));
    runs = _mm_or_si128(runs, _mm_and_si128(_mm_cmpeq_epi8(distance_field, zero), mask));
    firsts = _mm_max_epu8(firsts, first);
    fields = _mm_add_epi64(fields, _mm_sad_epu8(_mm_and_si128(second, _mm_set1_epi8(0x0F)), zero));
  }
  if (_mm_movemask_epi8(runs) != 0) {
    return false;
  }
  if (at.written < kMaxMatchDistance) {
    // Every group but the first starts 16 bytes or more into the block; a
    // match in the first has nothing before it.
    if (at.written < kItemsPerControlWord) {
      return false;
    }
    const auto farthest = static_cast<char>((at.written - 15) >> 4);
    const __m128i beyond = _mm_subs_epu8(firsts, _mm_set1_epi8(farthest));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(beyond, zero)) != 0xFFFF) {
      return false;
    }
  }
  const auto length_fields = static_cast<std::size_t>(_mm_cvtsi128_si32(fields)) +
                             static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_srli_si128(fields, 8)));
  const std::size_t matches = copies[0] + copies[1];
  at.read += kControlWordSize + kItemsPerControlWord + matches;
  at.written += kItemsPerControlWord + matches * (kMinMatchLength - 1) + length_fields;
  return true;
}
#endif

// Walks the group of items whose control word is at `in + at.read` item by
// item; the whole group lies in the block data. Returns false if a match
// reaches before the block.
bool walk_group(const std::uint8_t* in, Cursor& at) noexcept {
  std::uint32_t copies = copy_items(in + at.read);
  std::size_t read = at.read + kControlWordSize;
  std::size_t written = at.written;
  unsigned next = 0;  // the index of the group's next item
  while (copies != 0) {
    const auto copy = static_cast<unsigned>(std::countr_zero(copies));
    copies &= copies - 1;
    read += copy - next;
    written += copy - next;
    next = copy + 1;
    std::size_t size = 0;
    const std::optional<std::size_t> length = copy_length(in + read, kRunItemSize, written, size);
    if (!length) {
      return false;
    }
    written += *length;
    read += size;
  }
  at.read = read + kItemsPerControlWord - next;
  at.written = written + kItemsPerControlWord - next;
  return true;
}

// The walk's fast loop: whole groups from a control word at `at.read` on,
// while a whole group and the bytes read past it lie before the end of the
// block data, so that no item can be cut off. A group of 16 literals takes
// a step; where SSE2 is at hand, so does one of literals and matches, and
// every other group goes item by item. Returns false if a match reaches
// before the block.
bool walk_fast(std::span<const std::uint8_t> block_data, Cursor& at) noexcept {
  assert(at.items == kGroupDone);
  const std::uint8_t* const in = block_data.data();
  Cursor walked = at;  // kept in registers, not written back per group
  while (block_data.size() - walked.read >= kLargestGroup) {
    const std::uint8_t* const group = in + walked.read;
    if ((group[0] | group[1]) == 0) {
      walked.read += kControlWordSize + kItemsPerControlWord;
      walked.written += kItemsPerControlWord;
      continue;
    }
#if TARVIX_WALK_SSE2
    if (walk_plain_group(group, walked)) {
      continue;
    }
#endif
    if (!walk_group(in, walked)) {
      return false;
    }
  }
  at = walked;
  return true;
}

}  // namespace

// The output only grows, and every refusal is the same std::nullopt, so the
// largest block is checked once, at the end: a block that passes it midway
// is refused there as well.
std::optional<std::uint16_t> block_restored_size(
    std::span<const std::uint8_t> block_data) noexcept {
  const std::size_t in_size = block_data.size();
  if (in_size == 0 || in_size > kMaxBlockDataSize) {
    return std::nullopt;
  }
  const std::uint8_t* const in = block_data.data();
  if (in[0] == kKindStored) {
    return static_cast<std::uint16_t>(in_size - 1);
  }
  if (in_size <= kCodedHeaderSize) {
    return 0;
  }
  Cursor at{1, 0, kGroupDone};
  if (!walk_fast(block_data, at)) {
    return std::nullopt;
  }
  // The careful loop, to the end, with the decoder's checks on the exact
  // end: the last group may hold fewer items, and the last item must end on
  // the last byte.
  std::size_t read = at.read;
  std::size_t written = at.written;
  std::uint32_t items = kGroupDone;
  while (read != in_size) {
    if (items == kGroupDone) {
      if (in_size - read <= kControlWordSize) {
        return std::nullopt;
      }
      items = copy_items(in + read) | kFullGroupMarker;
      read += kControlWordSize;
    }
    // The literals before the next copy item, up to the end of the block data.
    const std::size_t literals = std::min<std::size_t>(std::countr_zero(items), in_size - read);
    read += literals;
    written += literals;
    items >>= literals;
    if (read == in_size || items == kGroupDone) {
      continue;
    }
    items >>= 1;
    std::size_t size = 0;
    const std::optional<std::size_t> length = copy_length(in + read, in_size - read, written, size);
    if (!length) {
      return std::nullopt;
    }
    written += *length;
    read += size;
  }
  if (written > kMaxBlockSize) {
    return std::nullopt;
  }
  return static_cast<std::uint16_t>(written);
}

}  // namespace tarvix
