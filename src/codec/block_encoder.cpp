// The block encoder and its match finder.
#include "block_encoder.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "block_encoder_internal.h"

namespace tarvix {

std::optional<Match> find_match(std::span<const std::uint8_t> block, std::uint16_t position,
                                HashTable& table) noexcept {
  assert(position + std::size_t{2} < block.size());
  const unsigned slot = hash_slot(block[position], block[position + 1], block[position + 2]);
  const std::uint16_t candidate = table[slot];
  // The slot takes the current position before the candidate is judged, so a
  // candidate that fails is lost for good.
  table[slot] = position;
  if (candidate == kEmptySlot || unsigned{position} - candidate > kMaxMatchDistance) {
    return std::nullopt;
  }
  // The comparison runs over the source itself, so a match may overlap the
  // bytes it codes: at distance 1 over "aaaa" it finds length 3.
  const std::size_t limit = std::min<std::size_t>(kMaxMatchLength, block.size() - position);
  std::size_t length = 0;
  while (length < limit && block[position + length] == block[candidate + length]) {
    ++length;
  }
  if (length < kMinMatchLength) {
    return std::nullopt;
  }
  return Match{static_cast<std::uint16_t>(length), candidate};
}

namespace {

// Length of the run of bytes equal to block[position], that byte included,
// capped at kMaxWrittenRunLength.
std::size_t run_length(std::span<const std::uint8_t> block, std::size_t position) noexcept {
  const std::size_t limit = std::min<std::size_t>(kMaxWrittenRunLength, block.size() - position);
  const std::uint8_t value = block[position];
  std::size_t length = 1;
  while (length < limit && block[position + length] == value) {
    ++length;
  }
  return length;
}

void put_big_endian16(std::uint8_t* out, unsigned value) noexcept {
  out[0] = static_cast<std::uint8_t>(value >> 8);
  out[1] = static_cast<std::uint8_t>(value);
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

std::uint16_t encode_block(std::span<const std::uint8_t> source,
                           std::span<std::uint8_t> output) noexcept {
  const std::size_t length = source.size();
  assert(length <= kMaxBlockSize);
  assert(output.size() >= encoder_output_size(length));

  HashTable table;
  table.fill(kEmptySlot);

  std::uint8_t* const out = output.data();
  out[0] = kKindCoded;
  std::size_t out_index = kCodedHeaderSize;
  std::size_t control_position = 1;
  unsigned control_bits = 0;
  unsigned item_count = 0;

  std::size_t position = 0;
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
    const std::size_t run = run_length(source, position);
    if (run >= kMinRunLength) {
      // Runs come first, and their positions never enter the hash table.
      out[out_index] = 0x00;
      put_big_endian16(out + out_index + 1, static_cast<unsigned>(run - kMinRunLength));
      out[out_index + 3] = source[position];
      out_index += kRunItemSize;
      control_bits = (control_bits << 1) | 1;
      position += run;
    } else if (position + 2 < length) {
      const auto match = find_match(source, static_cast<std::uint16_t>(position), table);
      if (match) {
        const unsigned distance = static_cast<unsigned>(position) - match->candidate;
        put_big_endian16(out + out_index, (distance << 4) | (match->length - kMinMatchLength));
        out_index += kMatchItemSize;
        control_bits = (control_bits << 1) | 1;
        position += match->length;
      } else {
        out[out_index++] = source[position++];
        control_bits <<= 1;
      }
    } else {
      out[out_index++] = source[position++];
      control_bits <<= 1;
    }
    ++item_count;
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
