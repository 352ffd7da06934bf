// The block encoder and its match finder.
//
// The output is fixed byte for byte by the block format, so every shortcut
// here must give exactly what the plain step-by-step coding gives (the
// differential test holds it to that). The shortcuts are about how bytes are
// compared, never about which positions are searched.
#include <tarvix/block_encoder.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstring>

#include "block_encoder_internal.h"

namespace tarvix {

namespace {

// Whole-word loads. memcpy makes an unaligned load legal and compiles to one
// instruction on the machines that allow unaligned loads.
std::uint64_t load64(const std::uint8_t* bytes) noexcept {
  std::uint64_t word = 0;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

// The index of the first byte (in memory order) that differs between two
// words whose exclusive or is `difference`, not 0.
unsigned first_different_byte(std::uint64_t difference) noexcept {
  assert(difference != 0);
  if constexpr (std::endian::native == std::endian::little) {
    return static_cast<unsigned>(std::countr_zero(difference)) / 8;
  } else {
    return static_cast<unsigned>(std::countl_zero(difference)) / 8;
  }
}

// The bits of a word loaded from memory that hold its first three bytes.
constexpr std::uint64_t kFirstThreeBytes =
    std::endian::native == std::endian::little ? 0xFFFFFF : 0xFFFFFF0000000000;

// The lowest bit of the first byte of a word loaded from memory: setting it
// makes the word differ in its first three bytes.
constexpr unsigned kFirstByteBit = std::endian::native == std::endian::little ? 0 : 56;

// A word holding eight copies of `byte`.
std::uint64_t eight_copies(std::uint8_t byte) noexcept {
  return byte * std::uint64_t{0x0101010101010101};
}

// Bytes the fast loop needs left from a position on: with this many, a whole
// match (18 bytes) and the test for a run (16 bytes) are read as whole words
// without passing the block end.
constexpr std::size_t kWordPathBytes = kMaxMatchLength;
static_assert(kWordPathBytes >= kMinRunLength && kWordPathBytes >= 16);

// The room from which a whole group of items is coded by the fast loop: 16
// items of at most kMaxMatchLength source bytes (a run item ends the loop),
// and 16 items of at most kRunItemSize output bytes, then a 16-byte copy.
constexpr std::size_t kFastGroupSource = std::size_t{kItemsPerControlWord} * kMaxMatchLength;
constexpr std::size_t kFastGroupOutput = kItemsPerControlWord * kRunItemSize + 16;

// The number of bytes from `position` on that agree with those from
// `candidate` on, capped at kMaxMatchLength and at the block end `end`.
// candidate < position, so every byte read lies in the block.
std::size_t match_length(const std::uint8_t* block, std::size_t position, std::size_t candidate,
                         std::size_t end) noexcept {
  const std::uint8_t* const here = block + position;
  const std::uint8_t* const there = block + candidate;
  if (end - position >= kMaxMatchLength) {
    // Three words cover the 18 bytes: bytes 0-7, 8-15 and 10-17. The third
    // overlaps the second, whose bytes are known to agree by then, so its
    // first difference is at byte 16 or 17 or nowhere.
    std::uint64_t difference = load64(here) ^ load64(there);
    if (difference != 0) {
      return first_different_byte(difference);
    }
    difference = load64(here + 8) ^ load64(there + 8);
    if (difference != 0) {
      return 8 + first_different_byte(difference);
    }
    difference = load64(here + 10) ^ load64(there + 10);
    return difference != 0 ? 10 + first_different_byte(difference) : kMaxMatchLength;
  }
  // Near the block end, byte by byte.
  const std::size_t limit = end - position;
  std::size_t length = 0;
  while (length < limit && here[length] == there[length]) {
    ++length;
  }
  return length;
}

// Looks up and updates the slot of the three bytes at `position`, and returns
// the candidate's match length, or 0 when the slot holds no candidate within
// reach. Requires position + 2 < end.
struct Probe {
  std::size_t length;
  std::size_t candidate;
};
Probe probe(const std::uint8_t* block, std::size_t position, std::size_t end,
            HashTable& table) noexcept {
  const unsigned slot = hash_slot(block[position], block[position + 1], block[position + 2]);
  const std::size_t candidate = table[slot];
  // The slot takes the current position before the candidate is judged, so a
  // candidate that fails is lost for good.
  table[slot] = static_cast<std::uint16_t>(position);
  // An empty slot (kEmptySlot, above every position) makes the difference
  // wrap around to a huge value, so one comparison refuses both it and a
  // candidate that is too far back.
  if (position - candidate > kMaxMatchDistance) {
    return {0, candidate};
  }
  return {match_length(block, position, candidate, end), candidate};
}

// Length of the run of bytes equal to block[position], that byte included,
// capped at kMaxWrittenRunLength and at the block end. The caller knows the
// first `known` bytes are equal.
std::size_t run_length(const std::uint8_t* block, std::size_t position, std::size_t end,
                       std::size_t known) noexcept {
  const std::uint8_t* const here = block + position;
  const std::size_t limit = std::min<std::size_t>(kMaxWrittenRunLength, end - position);
  const std::uint64_t copies = eight_copies(here[0]);
  std::size_t length = known;
  while (limit - length >= 8) {
    const std::uint64_t difference = load64(here + length) ^ copies;
    if (difference != 0) {
      return length + first_different_byte(difference);
    }
    length += 8;
  }
  while (length < limit && here[length] == here[0]) {
    ++length;
  }
  return length;
}

// Stores in slots[i] the slot of the three bytes from block[i] on, for i
// from 0 to count - 1. The arithmetic is hash_slot's, in 16-bit lanes: h
// fits in 16 bits, and only bits 4-15 of the product reach the slot.
void fill_slots(const std::uint8_t* block, std::size_t count, std::uint16_t* slots) noexcept {
  for (std::size_t i = 0; i < count; ++i) {
    const auto h = static_cast<std::uint16_t>((block[i] << 8) ^ (block[i + 1] << 4) ^ block[i + 2]);
    slots[i] = static_cast<std::uint16_t>(static_cast<std::uint16_t>(h * kHashMultiplier) >> 4);
  }
}

void put_big_endian16(std::uint8_t* out, unsigned value) noexcept {
  out[0] = static_cast<std::uint8_t>(value >> 8);
  out[1] = static_cast<std::uint8_t>(value);
}

// A match item: the distance (1 to 4095) in the first 12 bits, the length
// minus 3 in the last 4.
void put_match_item(std::uint8_t* out, std::size_t distance, std::size_t length) noexcept {
  put_big_endian16(out, static_cast<unsigned>((distance << 4) | (length - kMinMatchLength)));
}

// A run item: 0x00, the run length - 16 as 16 bits (so the distance field,
// the first 12 bits, is 0), then the byte.
void put_run_item(std::uint8_t* out, std::size_t run, std::uint8_t byte) noexcept {
  out[0] = 0x00;
  put_big_endian16(out + 1, static_cast<unsigned>(run - kMinRunLength));
  out[3] = byte;
}

std::uint16_t store_block(std::span<const std::uint8_t> source,
                          std::span<std::uint8_t> output) noexcept {
  output[0] = kKindStored;
  if (!source.empty()) {
    std::memcpy(output.data() + 1, source.data(), source.size());
  }
  return static_cast<std::uint16_t>(source.size() + 1);
}

}  // namespace

std::optional<Match> find_match(std::span<const std::uint8_t> block, std::uint16_t position,
                                HashTable& table) noexcept {
  assert(position + std::size_t{2} < block.size());
  const Probe found = probe(block.data(), position, block.size(), table);
  if (found.length < kMinMatchLength) {
    return std::nullopt;
  }
  return Match{static_cast<std::uint16_t>(found.length),
               static_cast<std::uint16_t>(found.candidate)};
}

std::uint16_t encode_block(std::span<const std::uint8_t> source,
                           std::span<std::uint8_t> output) noexcept {
  const std::size_t length = source.size();
  // Misuse has a defined result in every build: 0 is never a block data length.
  if (length > kMaxBlockSize || output.size() < encoder_output_size(length)) {
    return 0;
  }

  // Every slot starts empty: kEmptySlot is two 0xFF bytes, so one fill of
  // bytes does it.
  static_assert(kEmptySlot == 0xFFFF);
  HashTable table;
  std::memset(table.data(), 0xFF, sizeof table);

  const std::uint8_t* const in = source.data();
  std::uint8_t* const out = output.data();
  out[0] = kKindCoded;
  std::size_t out_index = kCodedHeaderSize;
  std::size_t control_position = 1;
  unsigned control_bits = 0;
  unsigned item_count = 0;
  std::size_t position = 0;

  // The fast loop starts items before fast_end: up to there 18 bytes remain.
  const std::size_t fast_end = length >= kWordPathBytes ? length - kWordPathBytes + 1 : 0;

  // The slots of the fast loop's positions and of the one after the last,
  // computed ahead in one pass that the compiler can turn into vector
  // instructions; it costs less than hashing inside the coding loop, even
  // counting the positions that matches and runs skip.
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-member-init): filled just below.
  std::array<std::uint16_t, kMaxBlockSize> slots;
  fill_slots(in, fast_end == 0 ? 0 : fast_end + 1, slots.data());

  // Coding stops at the top of the first item at which the output has passed
  // the block length: from there only the stored form can win. Until then an
  // item starts at an index of at most `length`, and the largest step (a new
  // control word and a run item) ends at index length + 5.
  while (position < length && out_index <= length) {
    if (item_count == kItemsPerControlWord) {
      // A control word is reserved only when another item follows, so a block
      // whose last group is full ends without an empty word.
      put_big_endian16(out + control_position, control_bits);
      control_position = out_index;
      out_index += kControlWordSize;
      control_bits = 0;
      item_count = 0;
    }

    // Far from the block end and from the output's limit, the rest of the
    // group, and the groups after it that start as far from both ends, are
    // coded by a loop without the checks that only the ends need. A group's
    // at most 16 items cover at most 16 * 18 bytes (a run item ends the
    // loop), so each finds 18 bytes left for whole-word tests; they write at
    // most 4 bytes each, so none can start past index `length` of the output,
    // and a 16-byte copy of literals still fits in the output area.
    if (position + kFastGroupSource <= fast_end && out_index + kFastGroupOutput <= length) {
      // Literals are written together, a stretch at a time, when a copy item
      // or the group's end comes: at most 16 bytes, copied as 16 whose
      // spare bytes later items overwrite.
      std::size_t stretch_start = position;
      const auto write_stretch = [&] {
        const std::size_t literals = position - stretch_start;
        std::memcpy(out + out_index, in + stretch_start, 16);
        out_index += literals;
        control_bits <<= literals;
      };
      // The probe runs one position ahead: `slot`, `word`, `candidate` and
      // `difference` belong to `position`, and the next position is looked
      // up and compared before this one is judged. A literal, the common
      // case, then finds its successor judged already, and a mispredicted
      // branch does not wait for the table and the comparison again.
      //
      // judge() compares the bytes at `at` with those at the candidate `raw`
      // from the table. The candidate is refused when empty or too far back,
      // as in probe(); a refused one is still compared, at a position inside
      // the block, and the result forced to differ in the first three
      // bytes by setting the lowest bit of the first: one bit rather than a
      // branch, for the refusal is as hard to predict as the match itself.
      // It returns the difference of the words and sets `word` (the bytes at
      // `at`) and `candidate` (the position compared).
      const auto judge = [in](std::size_t at, std::size_t raw, std::uint64_t& word,
                              std::size_t& candidate) {
        word = load64(in + at);
        const std::uint64_t refused = std::uint64_t{at - raw > kMaxMatchDistance} << kFirstByteBit;
        candidate = std::min(raw, at);
        return (word ^ load64(in + candidate)) | refused;
      };
      unsigned slot = slots[position];
      std::uint64_t word = 0;
      std::size_t candidate = 0;
      std::uint64_t difference = judge(position, table[slot], word, candidate);
      while (true) {
        // A full group goes on into the next one here, when the next one is
        // as far from both ends, so the probe made one position ahead is
        // not thrown away at every control word. Otherwise the loop above
        // reserves the next control word.
        if (item_count == kItemsPerControlWord) {
          if (stretch_start < position) {
            write_stretch();
          }
          if (position + kFastGroupSource > fast_end ||
              out_index + kControlWordSize + kFastGroupOutput > length) {
            stretch_start = position;
            break;
          }
          put_big_endian16(out + control_position, control_bits);
          control_position = out_index;
          out_index += kControlWordSize;
          control_bits = 0;
          item_count = 0;
          stretch_start = position;
        }
        ++item_count;
        const std::uint8_t* const here = in + position;

        // Runs come first. A run item needs 16 equal bytes: the first word
        // equals itself turned by one byte only if its 8 bytes are equal,
        // and the second word must then be the same. Neither the run's
        // start nor any position inside it enters the hash table.
        if (word == std::rotr(word, 8) && load64(here + 8) == word) [[unlikely]] {
          write_stretch();
          const std::size_t run = run_length(in, position, length, 16);
          put_run_item(out + out_index, run, here[0]);
          out_index += kRunItemSize;
          control_bits = (control_bits << 1) | 1;
          position += run;
          stretch_start = position;
          break;
        }

        // The next position is looked up and compared before this one is
        // judged. Its slot is read before this position is stored, so when
        // both share a slot its candidate is this position.
        const unsigned next_slot = slots[position + 1];
        std::size_t next_raw = table[next_slot];
        table[slot] = static_cast<std::uint16_t>(position);
        next_raw = next_slot == slot ? position : next_raw;
        std::uint64_t next_word = 0;
        std::size_t next_candidate = 0;
        const std::uint64_t next_difference =
            judge(position + 1, next_raw, next_word, next_candidate);

        if ((difference & kFirstThreeBytes) == 0) {
          write_stretch();
          const std::size_t found = difference != 0 ? first_different_byte(difference)
                                                    : match_length(in, position, candidate, length);
          put_match_item(out + out_index, position - candidate, found);
          out_index += kMatchItemSize;
          control_bits = (control_bits << 1) | 1;
          position += found;
          stretch_start = position;
          assert(position <= fast_end);
          slot = slots[position];
          difference = judge(position, table[slot], word, candidate);
          continue;
        }
        ++position;
        slot = next_slot;
        word = next_word;
        candidate = next_candidate;
        difference = next_difference;
      }
      if (stretch_start < position) {
        write_stretch();
      }
      continue;
    }

    // Near the block end or the output's limit: one item, step by step.
    // Fewer than 16 bytes left cannot hold a run item, and the last two
    // bytes are never searched.
    ++item_count;
    const std::size_t left = length - position;
    const std::size_t run = left >= kMinRunLength ? run_length(in, position, length, 1) : 0;
    if (run >= kMinRunLength) {
      put_run_item(out + out_index, run, in[position]);
      out_index += kRunItemSize;
      control_bits = (control_bits << 1) | 1;
      position += run;
      continue;
    }
    if (left > 2) {
      const Probe found = probe(in, position, length, table);
      if (found.length >= kMinMatchLength) {
        put_match_item(out + out_index, position - found.candidate, found.length);
        out_index += kMatchItemSize;
        control_bits = (control_bits << 1) | 1;
        position += found.length;
        continue;
      }
    }
    out[out_index++] = in[position++];
    control_bits <<= 1;
  }

  // The last control word holds the bits of its own items from bit 15 down,
  // and zeros for the items that never came.
  put_big_endian16(out + control_position, control_bits << (kItemsPerControlWord - item_count));
  if (out_index <= length) {
    return static_cast<std::uint16_t>(out_index);
  }
  return store_block(source, output);
}

}  // namespace tarvix
