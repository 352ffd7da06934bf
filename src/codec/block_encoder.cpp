// The block encoder and its match finder.
//
// The output is fixed byte for byte by the block format, so every shortcut
// here must give exactly what the plain step-by-step coding gives (the
// differential test holds it to that). The shortcuts are about how bytes are
// compared, never about which positions are searched; the one that skips
// most of the parse, for a block proved unable to shrink (stored_proof.cpp),
// gives the stored form only where the parse would.
//
// One item writer writes the coded form for both loops of the Parser: a
// fast loop codes whole groups of items far from the block end and from the
// output's limit, then hands over for good to a careful loop that follows
// the block format step by step and asks find_match() at each position.
#include <tarvix/block_encoder.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstdint>
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
// items of at most kMaxMatchLength source bytes (after a run item, which may
// be longer, the room is measured again), and 16 items of at most
// kRunItemSize output bytes, then a 16-byte copy.
constexpr std::size_t kFastGroupSource = std::size_t{kItemsPerControlWord} * kMaxMatchLength;
constexpr std::size_t kFastGroupOutput = kItemsPerControlWord * kRunItemSize + 16;

// The number of bytes from `position` on that agree with those from
// `candidate` on, capped at kMaxMatchLength and at the block end `end`.
// candidate < position, so every byte read lies in the block.
std::size_t match_length(const std::uint8_t* block, std::size_t position, std::size_t candidate,
                         std::size_t end) noexcept {
  assert(candidate < position && position < end);
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

// Length of the run of bytes equal to block[position], that byte included,
// capped at kMaxWrittenRunLength and at the block end. The caller knows the
// first `known` bytes are equal.
std::size_t run_length(const std::uint8_t* block, std::size_t position, std::size_t end,
                       std::size_t known) noexcept {
  const std::uint8_t* const here = block + position;
  const std::size_t limit = std::min<std::size_t>(kMaxWrittenRunLength, end - position);
  assert(known >= 1 && known <= limit);
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
    assert(slots[i] == hash_slot(block[i], block[i + 1], block[i + 2]));
  }
}

void put_big_endian16(std::uint8_t* out, unsigned value) noexcept {
  out[0] = static_cast<std::uint8_t>(value >> 8);
  out[1] = static_cast<std::uint8_t>(value);
}

// Writes the coded form item by item: each item's bytes at the output index,
// and its bit in the control word of its group, which is written out when
// the group is full and another item follows, or at the end.
class ItemWriter {
 public:
  // Starts the coded form at the start of `out`: the kind byte, and the
  // first control word reserved.
  explicit ItemWriter(std::span<std::uint8_t> out) noexcept
      : begin_(out.data()),
        end_(begin_ + out.size()),
        next_(begin_ + kCodedHeaderSize),
        control_(begin_ + 1) {
    assert(out.size() >= kCodedHeaderSize);
    begin_[0] = kKindCoded;
  }

  // The output index: where the next item, or the next control word, goes.
  std::size_t size() const noexcept { return static_cast<std::size_t>(next_ - begin_); }

  // Items the current group still takes, 0 when it is full.
  unsigned room() const noexcept {
    return static_cast<unsigned>(std::countl_zero(bits_)) - (31 - kItemsPerControlWord);
  }

  // Writes the full group's control word and reserves the next one. Called
  // only when another item follows, so that a block whose last group is full
  // ends without an empty control word.
  void next_group() noexcept {
    assert(room() == 0);
    put_big_endian16(control_, bits_);
    control_ = next_;
    next_ += kControlWordSize;
    bits_ = kMarker;
  }

  void literal(std::uint8_t byte) noexcept {
    *at(kLiteralItemSize) = byte;
    next_ += kLiteralItemSize;
    add_bits(0, 1);
  }

  // `count` literal items (0 to 16), the bytes from `from` on, by one copy of
  // 16 bytes: those past `count` are overwritten by the items that follow, or
  // lie past the end of the coded form. Both areas hold the 16 bytes.
  void literals(const std::uint8_t* from, std::size_t count) noexcept {
    assert(count <= 16);
    std::memcpy(at(16), from, 16);
    next_ += count;
    add_bits(0, static_cast<unsigned>(count));
  }

  // A match item: the distance (1 to 4095) in the first 12 bits, the length
  // minus 3 in the last 4.
  void match(std::size_t distance, std::size_t length) noexcept {
    assert(distance >= 1 && distance <= kMaxMatchDistance);
    assert(length >= kMinMatchLength && length <= kMaxMatchLength);
    put_big_endian16(at(kMatchItemSize),
                     static_cast<unsigned>((distance << 4) | (length - kMinMatchLength)));
    next_ += kMatchItemSize;
    add_bits(1, 1);
  }

  // A run item: 0x00, the run length - 16 as 16 bits (so the distance field,
  // the first 12 bits, is 0), then the byte.
  void run(std::size_t length, std::uint8_t byte) noexcept {
    assert(length >= kMinRunLength && length <= kMaxWrittenRunLength);
    std::uint8_t* const item = at(kRunItemSize);
    item[0] = 0x00;
    put_big_endian16(item + 1, static_cast<unsigned>(length - kMinRunLength));
    item[3] = byte;
    next_ += kRunItemSize;
    add_bits(1, 1);
  }

  // Writes the last control word and returns the length of the coded form.
  // The word holds the bits of its own items from bit 15 down, and zeros for
  // the items that never came: a literal and two copy items leave 0b1011,
  // the marker first, which shifted left by the 13 missing items is 0x16000,
  // and the word 0x6000 below the marker.
  std::size_t finish() noexcept {
    put_big_endian16(control_, bits_ << room());
    return size();
  }

 private:
  // The bits of a group sit below a marker bit, which each item shifts left
  // by one, so that the marker reaches bit 16, above the 16 bits that are
  // written, when the group is full, and always tells how many items the
  // group holds.
  static constexpr unsigned kMarker = 1;

  // Where the next `size` bytes go, all inside the output area.
  std::uint8_t* at([[maybe_unused]] std::size_t size) noexcept {
    assert(size <= static_cast<std::size_t>(end_ - next_));
    return next_;
  }

  // Shifts in the bits of `count` items that are all literal items (0) or
  // all copy items (1).
  void add_bits(unsigned bit, unsigned count) noexcept {
    assert(count <= room());
    bits_ = (bits_ << count) | bit;
  }

  // Pointers rather than indexes: the fast loop then needs one register
  // fewer, and keeps all it uses in registers.
  std::uint8_t* begin_;
  std::uint8_t* end_;             // the end of the output area
  std::uint8_t* next_;            // where the next item, or the next control word, goes
  std::uint8_t* control_;         // where the current group's control word goes
  std::uint32_t bits_ = kMarker;  // the current group's items, one bit each
};

// A position judged ahead of coding it, against the candidate from its slot.
// The fast loop keeps one for the position being coded and one for the next.
struct Judged {
  std::uint64_t word;        // the 8 bytes from the position on
  std::size_t candidate;     // the position they were compared with
  std::uint64_t difference;  // word ^ the candidate's word, refusal bit included

  // The first three bytes agree, and the candidate was not refused.
  bool is_match() const noexcept { return (difference & kFirstThreeBytes) == 0; }
};

// Judges the 8 bytes at `at` against the candidate `raw` that the table
// held: in one step whatever the candidate, for whether it is refused is as
// hard to predict as the match itself, and a branch on it would often be
// mispredicted. A candidate is refused, as find_match() refuses it, when the
// slot is empty or the candidate is too far back. A refused candidate is
// still compared, at a position inside the block, and the result forced to
// differ in the first three bytes by setting the refusal bit, the lowest
// bit of the first byte. On a little-endian machine, where the first byte
// of a word is its lowest:
//   - at 5000, raw 2000, with "abcdeXYZ" at 5000 and "abcdeQRS" at 2000: the
//     distance 3000 is accepted and the refusal bit is 0; the difference has
//     its 5 lowest bytes zero, a match of 5 bytes.
//   - at 5000, raw 0xFFFF (an empty slot): at - raw wraps around to 2^64 -
//     60535, above 4095, so the refusal bit is 1; the word is compared with
//     itself at min(raw, at) = 5000, and the difference 0 | 1 has its first
//     byte nonzero: no match.
//   - at 5000, raw 900, with the same 8 bytes at both: the distance 4100 is
//     refused, and the difference is 0 | 1 although the bytes agree.
// On a big-endian machine the first byte is the highest, and the refusal bit
// is bit 56; the examples read the same.
// Judged this way, a position gives the fast loop what find_match() gives
// the careful loop. Requires 8 bytes from `at` on.
Judged judge(const std::uint8_t* block, std::size_t at, std::size_t raw) noexcept {
  const std::uint64_t word = load64(block + at);
  const std::uint64_t refused = std::uint64_t{at - raw > kMaxMatchDistance} << kFirstByteBit;
  const std::size_t candidate = std::min(raw, at);
  return {word, candidate, (word ^ load64(block + candidate)) | refused};
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
  const unsigned slot = hash_slot(block[position], block[position + 1], block[position + 2]);
  const std::size_t candidate = table[slot];
  // The slot takes the current position before the candidate is judged, so a
  // candidate that fails is lost for good.
  table[slot] = position;
  // An empty slot (kEmptySlot, above every position) makes the difference
  // wrap around to a huge value, so one comparison refuses both it and a
  // candidate that is too far back.
  if (position - candidate > kMaxMatchDistance) {
    return std::nullopt;
  }
  const std::size_t length = match_length(block.data(), position, candidate, block.size());
  if (length < kMinMatchLength) {
    return std::nullopt;
  }
  return Match{static_cast<std::uint16_t>(length), static_cast<std::uint16_t>(candidate)};
}

namespace {

// The parse of one block into the coded form. Its steps, in the order that
// code_block() takes them: fast groups up to the pause, the proof that the
// block must be stored, fast groups to the end of the fast part, then the
// careful loop to the block end.
class Parser {
 public:
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-member-init): table_ below, slots_ as needed.
  Parser(std::span<const std::uint8_t> source, std::span<std::uint8_t> output) noexcept
      : in_(source.data()),
        length_(source.size()),
        fast_end_(length_ >= kWordPathBytes ? length_ - kWordPathBytes + 1 : 0),
        writer_(output) {
    // Every slot starts empty: kEmptySlot is two 0xFF bytes, so one fill of
    // bytes does it.
    static_assert(kEmptySlot == 0xFFFF);
    std::memset(table_.data(), 0xFF, sizeof table_);
  }

  // The fast loop starts items before fast_end(): up to there 18 bytes remain.
  std::size_t fast_end() const noexcept { return fast_end_; }

  // The coded form so far is longer than the bytes that it codes.
  bool has_grown() const noexcept { return writer_.size() > position_; }

  // The fast loop: codes whole groups of items while the next group starts
  // as far from `limit` (at most fast_end()) and from the output's limit as
  // a group can reach. Its at most 16 items cover at most 16 * 18 bytes (a
  // run item is followed by the same test again), so each finds 18 bytes left
  // for whole-word tests; they write at most 4 bytes each, so none can start
  // past index `length` of the output, and a 16-byte copy of literals still
  // fits in the output area. Called again with a later limit, it goes on
  // from where it stopped, judging that position again from the same table.
  // Position and output index only grow, so once a group does not fit with
  // the limit at fast_end() it never will: the careful loop takes over for
  // good.
  void code_fast_groups(std::size_t limit) noexcept;

  // The careful loop: codes the rest of the block one item at a time, as the
  // block format spells it out, and returns the length of the coded form,
  // which is above the block length when coding stopped early.
  std::size_t code_items() noexcept;

 private:
  // Computes the slots of the positions up to `limit` that have none yet.
  void fill_slots_to(std::size_t limit) noexcept {
    if (filled_ <= limit) {
      fill_slots(in_ + filled_, limit + 1 - filled_, slots_.data() + filled_);
      filled_ = limit + 1;
    }
  }

  const std::uint8_t* in_;
  std::size_t length_;
  std::size_t fast_end_;
  ItemWriter writer_;
  std::size_t position_ = 0;  // the next source byte to code
  HashTable table_;

  // The slots of the fast loop's positions and of the one after the last,
  // computed ahead in one pass that the compiler can turn into vector
  // instructions; it costs less than hashing inside the coding loop, even
  // counting the positions that matches and runs skip. Those past the pause
  // are computed after it, and not at all for a block that is then stored.
  std::array<std::uint16_t, kMaxBlockSize> slots_;
  std::size_t filled_ = 0;  // slots_ holds the slots of the positions before it
};

void Parser::code_fast_groups(std::size_t limit) noexcept {
  assert(limit <= fast_end_);
  // The loop works on copies of the parser's state: the output bytes it
  // writes could otherwise be the parser's own, for all the compiler knows,
  // and every access would go to memory again.
  const std::uint8_t* const in = in_;
  const std::size_t length = length_;
  std::size_t position = position_;
  ItemWriter writer = writer_;
  const auto group_fits = [&](std::size_t control_words) {
    return position + kFastGroupSource <= limit &&
           writer.size() + control_words * kControlWordSize + kFastGroupOutput <= length;
  };
  if (!group_fits(0)) {
    return;
  }
  fill_slots_to(limit);

  // Literals are written together, a stretch at a time, when a copy item or
  // the group's end comes. `full_at` is the position at which the group is
  // full if only literals come: a copy item of l bytes moves it on by l - 1,
  // for it covers l positions as one item.
  const std::uint8_t* stretch = in + position;
  std::size_t full_at = position + writer.room();
  const auto write_stretch = [&] {
    writer.literals(stretch, static_cast<std::size_t>(in + position - stretch));
    stretch = in + position;
  };

  // The probe runs one position ahead: `slot` and `judged` belong to
  // `position`, and the next position is looked up and judged before this
  // one is coded. A literal, the common case, then finds its successor
  // judged already, and a mispredicted branch does not wait for the table
  // and the comparison again.
  std::size_t slot = slots_[position];
  Judged judged = judge(in, position, table_[slot]);
  while (true) {
    if (position == full_at) {
      // A full group goes on into the next one here, so the probe made one
      // position ahead is not thrown away at every control word.
      write_stretch();
      if (!group_fits(1)) {
        break;
      }
      writer.next_group();
      full_at = position + writer.room();
    }
    assert(position < limit && position + 1 < filled_);
    assert(writer.size() + kRunItemSize <= length);

    // Runs come first. A run item needs 16 equal bytes: the first word
    // equals itself turned by one byte only if its 8 bytes are equal, and
    // the second word must then be the same. Neither the run's start nor
    // any position inside it enters the hash table.
    if (judged.word == std::rotr(judged.word, 8) && load64(in + position + 8) == judged.word)
        [[unlikely]] {
      write_stretch();
      const std::size_t run = run_length(in, position, length, 16);
      writer.run(run, in[position]);
      position += run;
      stretch = in + position;
      full_at += run - 1;
      assert(full_at == position + writer.room());
      if (!group_fits(0)) {
        break;
      }
      slot = slots_[position];
      judged = judge(in, position, table_[slot]);
      continue;
    }

    // The next position is looked up and judged before this one is coded,
    // after this one has taken its slot, as find_match() would leave it:
    // when both share a slot, the next one's candidate is this position.
    const std::size_t next_slot = slots_[position + 1];
    table_[slot] = static_cast<std::uint16_t>(position);
    const Judged next = judge(in, position + 1, table_[next_slot]);

    if (judged.is_match()) {
      write_stretch();
      const std::size_t found = judged.difference != 0
                                    ? first_different_byte(judged.difference)
                                    : match_length(in, position, judged.candidate, length);
      writer.match(position - judged.candidate, found);
      position += found;
      stretch = in + position;
      full_at += found - 1;
      assert(full_at == position + writer.room());
      slot = slots_[position];
      judged = judge(in, position, table_[slot]);
      continue;
    }
    ++position;
    slot = next_slot;
    judged = next;
  }
  assert(stretch == in + position);
  position_ = position;
  writer_ = writer;
}

std::size_t Parser::code_items() noexcept {
  // Fewer than 16 bytes left cannot hold a run item, and the last two bytes
  // are never searched. Coding stops at the top of the first item at which
  // the output has passed the block length: from there only the stored form
  // can win. Until then an item starts at an index of at most `length`, and
  // the largest step (a new control word and a run item) ends at index
  // length + 5, inside the output area.
  const std::span<const std::uint8_t> source(in_, length_);
  while (position_ < length_ && writer_.size() <= length_) {
    if (writer_.room() == 0) {
      writer_.next_group();
    }
    const std::size_t left = length_ - position_;
    const std::size_t run = left >= kMinRunLength ? run_length(in_, position_, length_, 1) : 0;
    if (run >= kMinRunLength) {
      writer_.run(run, in_[position_]);
      position_ += run;
      continue;
    }
    if (left > 2) {
      if (const auto match = find_match(source, static_cast<std::uint16_t>(position_), table_)) {
        writer_.match(position_ - match->candidate, match->length);
        position_ += match->length;
        continue;
      }
    }
    writer_.literal(in_[position_]);
    ++position_;
  }
  return writer_.finish();
}

// The position from which the fast loop pauses, at its first group end, to
// try the proof that the block must be stored.
constexpr std::size_t kProofCheckpoint = 512;

std::uint16_t code_block(std::span<const std::uint8_t> source,
                         std::span<std::uint8_t> output) noexcept {
  Parser parser(source, output);

  // The pause, for blocks long enough to have one: the proof is tried if the
  // coded form so far is longer than the bytes that it codes. Compressible
  // data has shrunk by then (the first 512 bytes of the test corpus's text
  // blocks take at most about 490), while random bytes have grown by an
  // eighth, their control words; for them the proof costs about half the
  // rest of the parse that it saves.
  // The differential test checks on every block that the full parse would
  // store it too; an assert that parsed again here would double the stack
  // that coding takes, which must fit in 64 KiB in every build.
  constexpr std::size_t kPause = kProofCheckpoint + kFastGroupSource;
  if (kPause < parser.fast_end()) {
    parser.code_fast_groups(kPause);
    if (parser.has_grown() && must_be_stored(source)) {
      return store_block(source, output);
    }
  }
  parser.code_fast_groups(parser.fast_end());
  const std::size_t coded = parser.code_items();
  if (coded <= source.size()) {
    return static_cast<std::uint16_t>(coded);
  }
  return store_block(source, output);
}

}  // namespace

std::uint16_t encode_block(std::span<const std::uint8_t> source,
                           std::span<std::uint8_t> output) noexcept {
  // Misuse has a defined result in every build: 0 is never a block data length.
  if (source.size() > kMaxBlockSize || output.size() < encoder_output_size(source.size())) {
    return 0;
  }
  return code_block(source, output);
}

}  // namespace tarvix
