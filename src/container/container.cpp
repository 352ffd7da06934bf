// The compressed-file container: the file magic and the block records.
#include "container_internal.h"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>

#include <tarvix/block_decoder.h>
#include <tarvix/block_encoder.h>

namespace tarvix::detail {

namespace {

constexpr std::size_t kSizeMax = std::numeric_limits<std::size_t>::max();

// The fewest blocks, or groups of records, that are coded together on a
// pool's threads: below this, handing them out costs about what it saves.
constexpr std::size_t kMinBlocksTogether = 4;

std::size_t add_saturated(std::size_t a, std::size_t b) noexcept {
  return a > kSizeMax - b ? kSizeMax : a + b;
}

// The area in which a block's record is coded: the length field, then the
// encoder's output area, which may be used past the block data it returns.
constexpr std::size_t record_room(std::size_t block_length) noexcept {
  return kLengthFieldSize + encoder_output_size(block_length);
}
static_assert(record_room(kMaxBlockSize) == kCompressorStraightRoom);

// The block record at the start of `rest`, once its length field is whole:
// its block data, or the fault of the record (kBadLength, kCutShort). The
// record takes kLengthFieldSize + block_data.size() bytes of `rest`.
struct Record {
  Status fault;
  std::span<const std::uint8_t> block_data;
};
// Returns std::nullopt when no whole length field is left: the end of the
// file, a single byte left over included.
std::optional<Record> next_record(std::span<const std::uint8_t> rest) noexcept {
  if (rest.size() < kLengthFieldSize) {
    return std::nullopt;
  }
  const std::size_t length = read_length_field(rest.data());
  rest = rest.subspan(kLengthFieldSize);
  if (!is_readable_length(length)) {
    return Record{Status::kBadLength, {}};
  }
  if (rest.size() < length) {
    return Record{Status::kCutShort, {}};
  }
  return Record{Status::kOk, rest.first(length)};
}

// Codes the record of `block` into the start of `record`, which holds
// record_room(block.size()) bytes, and returns the record's length.
std::size_t code_record(std::span<const std::uint8_t> block,
                        std::span<std::uint8_t> record) noexcept {
  assert(record.size() >= record_room(block.size()));
  const std::uint16_t coded = encode_block(block, record.subspan(kLengthFieldSize));
  assert(coded != 0);
  record[0] = static_cast<std::uint8_t>(coded & 0xFF);
  record[1] = static_cast<std::uint8_t>(coded >> 8);
  return kLengthFieldSize + coded;
}

bool starts_with_magic(std::span<const std::uint8_t> file) noexcept {
  return file.size() >= kMagicSize &&
         std::equal(kFileMagic.begin(), kFileMagic.end(), file.begin());
}

// Copies as much of `held` as fits to the front of `output`; advances both.
void give_out(std::span<const std::uint8_t>& held, std::span<std::uint8_t>& output) noexcept {
  const std::size_t size = std::min(held.size(), output.size());
  std::copy_n(held.begin(), size, output.begin());
  held = held.subspan(size);
  output = output.subspan(size);
}

bool is_stored(std::span<const std::uint8_t> block_data) noexcept {
  return block_data[0] == kKindStored;
}

// The most bytes that a record's block data restores to, from its length
// alone: a stored block holds its own bytes; in the coded form no item gives
// more bytes for its size than a run item, kMaxReadRunLength for
// kRunItemSize, and the items follow the kind byte and a control word. So the
// block data 40 of the record 01 00 40 restores to nothing, and a coded block
// of 100 bytes to at most a whole block.
std::size_t restored_bound(std::span<const std::uint8_t> block_data) noexcept {
  if (is_stored(block_data)) {
    return block_data.size() - 1;
  }
  const std::size_t items = block_data.size() - std::min(block_data.size(), kCodedHeaderSize);
  return std::min(kMaxBlockSize, items * kMaxReadRunLength / kRunItemSize);
}

// Records restored on a pool go to its threads in groups of whole records,
// one task per group, each of about one block's work: the bytes its records
// may restore to and their own bytes. A group of full blocks holds one
// record, a group of records that restore to nothing (01 00 40) some 2700,
// so that handing out work costs the same per byte whatever the records.
constexpr std::size_t kGroupWork = kMaxBlockSize;
// The most groups handed to the pool at once.
constexpr std::size_t kMaxGroups = 64;

// A group: the records at input[input_begin, input_end), decoded into
// output[output_begin, output_end), the most they restore to; then what its
// task gave.
struct RecordGroup {
  std::size_t input_begin = 0;
  std::size_t input_end = 0;
  std::size_t output_begin = 0;
  std::size_t output_end = 0;
  std::size_t input_used = 0;  // bytes of the records decoded, a refused one included
  std::size_t restored = 0;
  std::uint64_t records = 0;
  std::uint64_t stored = 0;
  bool refused = false;  // the last record decoded holds malformed block data
};

// Gathers the sound, whole records at the front of `input` whose blocks fit
// in `room` bytes, in file order, into `groups`; returns how many groups it
// made.
std::size_t group_records(std::span<const std::uint8_t> input, std::size_t room,
                          std::span<RecordGroup> groups) noexcept {
  std::size_t count = 0;
  std::size_t at = 0;
  std::size_t bounds = 0;
  std::size_t work = 0;  // of the open group; 0 when none is open
  while (count < groups.size()) {
    const std::optional<Record> record = next_record(input.subspan(at));
    if (!record || record->fault != Status::kOk) {
      break;
    }
    const std::size_t bound = restored_bound(record->block_data);
    if (bound > room - bounds) {
      break;
    }
    RecordGroup& group = groups[count];
    if (work == 0) {
      group = {.input_begin = at, .output_begin = bounds};
    }
    at += kLengthFieldSize + record->block_data.size();
    bounds += bound;
    group.input_end = at;
    group.output_end = bounds;
    work += bound + kLengthFieldSize + record->block_data.size();
    if (work >= kGroupWork) {
      ++count;
      work = 0;
    }
  }
  return work != 0 ? count + 1 : count;
}

// Decodes the records of `group`, found sound by group_records(), one after
// another into its area, up to the first refused block data.
void decode_group(RecordGroup& group, std::span<const std::uint8_t> input,
                  std::span<std::uint8_t> output) noexcept {
  std::size_t at = group.input_begin;
  std::size_t restored = group.output_begin;
  while (at < group.input_end) {
    const std::optional<Record> record = next_record(input.subspan(at));
    assert(record && record->fault == Status::kOk);
    const std::span<const std::uint8_t> block_data = record->block_data;
    at += kLengthFieldSize + block_data.size();
    ++group.records;
    // The area left holds at least this record's bound, so only malformed
    // block data is refused, as it is with a whole block's room.
    const std::optional<std::uint16_t> decoded =
        decode_block(block_data, output.subspan(restored, group.output_end - restored));
    if (!decoded) {
      group.refused = true;
      break;
    }
    group.stored += is_stored(block_data) ? 1 : 0;
    restored += *decoded;
  }
  group.input_used = at - group.input_begin;
  group.restored = restored - group.output_begin;
}

// Calls task(i) for each i below `count` on the pool's threads.
template <typename Task>
void for_each(tarvix_workers* workers, std::size_t count, Task& task) noexcept {
  tarvix_workers_run(
      workers, count,
      [](void* context, std::size_t index) { (*static_cast<Task*>(context))(index); }, &task);
}

}  // namespace

std::size_t compress_bound(std::size_t source_size) noexcept {
  const std::size_t blocks = source_size / kMaxBlockSize + (source_size % kMaxBlockSize != 0);
  return add_saturated(source_size, kMagicSize + blocks * (kLengthFieldSize + 1));
}

std::size_t compress(std::span<const std::uint8_t> source, std::span<std::uint8_t> file) noexcept {
  if (file.size() < compress_bound(source.size())) {
    return 0;
  }
  std::copy(kFileMagic.begin(), kFileMagic.end(), file.begin());
  std::size_t written = kMagicSize;
  for (std::size_t at = 0; at < source.size(); at += kMaxBlockSize) {
    const auto block = source.subspan(at, std::min(kMaxBlockSize, source.size() - at));
    const auto rest = file.subspan(written);
    if (rest.size() >= record_room(block.size())) {
      written += code_record(block, rest);
    } else {
      // The bound holds a stored block's record, not the encoder's spare
      // bytes past it: near the end of `file` they go to a local area.
      std::array<std::uint8_t, kCompressorStraightRoom> record{};
      const std::size_t length = code_record(block, record);
      assert(length <= rest.size());
      std::copy_n(record.begin(), length, rest.begin());
      written += length;
    }
  }
  return written;
}

RestoreResult restore(std::span<const std::uint8_t> file, std::span<std::uint8_t> out) noexcept {
  if (!starts_with_magic(file)) {
    return {Status::kNotCompressed, 0};
  }
  std::size_t restored = 0;
  for (std::size_t at = kMagicSize;;) {
    const std::optional<Record> record = next_record(file.subspan(at));
    if (!record) {
      break;
    }
    if (record->fault != Status::kOk) {
      return {record->fault, restored};
    }
    const auto block_data = record->block_data;
    at += kLengthFieldSize + block_data.size();
    const auto room = out.subspan(restored);
    std::optional<std::uint16_t> decoded;
    if (room.size() >= kMaxBlockSize) {
      decoded = decode_block(block_data, room);
    } else {
      // With less room than the largest block, a refusal into `room` could
      // be a block too large as well as bad block data: the block is decoded
      // whole first, and copied if it fits.
      std::array<std::uint8_t, kMaxBlockSize> block{};
      decoded = decode_block(block_data, block);
      if (decoded && *decoded > room.size()) {
        return {Status::kOutputTooSmall, restored};
      }
      if (decoded) {
        std::copy_n(block.begin(), *decoded, room.begin());
      }
    }
    if (!decoded) {
      return {Status::kBadBlockData, restored};
    }
    restored += *decoded;
  }
  return {Status::kOk, restored};
}

std::size_t restored_size_bound(std::span<const std::uint8_t> file) noexcept {
  if (!starts_with_magic(file)) {
    return 0;
  }
  std::size_t bound = 0;
  for (std::size_t at = kMagicSize;;) {
    const std::optional<Record> record = next_record(file.subspan(at));
    if (!record || record->fault != Status::kOk) {
      return bound;
    }
    const auto block_data = record->block_data;
    bound = add_saturated(bound, is_stored(block_data) ? block_data.size() - 1 : kMaxBlockSize);
    at += kLengthFieldSize + block_data.size();
  }
}

// ---------------------------------------------------------------------------
// The streaming compressor

bool CompressorState::give_out(std::span<std::uint8_t>& output) noexcept {
  std::span<const std::uint8_t> magic = std::span(kFileMagic).subspan(magic_given_);
  detail::give_out(magic, output);
  magic_given_ = kMagicSize - magic.size();
  if (!magic.empty()) {
    return false;
  }
  std::span<const std::uint8_t> record =
      std::span(record_).subspan(record_begin_, record_end_ - record_begin_);
  detail::give_out(record, output);
  record_begin_ = record_end_ - record.size();
  return record.empty();
}

void CompressorState::code_block(std::span<const std::uint8_t> block,
                                 std::span<std::uint8_t>& output) noexcept {
  assert(magic_given_ == kMagicSize && record_begin_ == record_end_);
  if (output.size() >= record_room(block.size())) {
    output = output.subspan(code_record(block, output));
  } else {
    record_begin_ = 0;
    record_end_ = code_record(block, record_);
    give_out(output);
  }
}

Status CompressorState::compress(std::span<const std::uint8_t>& input,
                                 std::span<std::uint8_t>& output) noexcept {
  if (finishing_) {
    return Status::kMisuse;
  }
  while (give_out(output) && !input.empty()) {
    if (block_fill_ == 0 && input.size() >= kMaxBlockSize) {
      if (workers_ != nullptr && code_blocks_together(input, output)) {
        continue;
      }
      code_block(input.first(kMaxBlockSize), output);
      input = input.subspan(kMaxBlockSize);
      continue;
    }
    const std::size_t size = std::min(kMaxBlockSize - block_fill_, input.size());
    std::copy_n(input.begin(), size, block_.begin() + static_cast<std::ptrdiff_t>(block_fill_));
    block_fill_ += size;
    input = input.subspan(size);
    if (block_fill_ == kMaxBlockSize) {
      block_fill_ = 0;
      code_block(block_, output);
    }
  }
  return Status::kOk;
}

Status CompressorState::finish(std::span<std::uint8_t>& output) noexcept {
  finishing_ = true;
  // The last block waits until the record before it is given out.
  if (give_out(output) && block_fill_ != 0) {
    const std::size_t last = block_fill_;
    block_fill_ = 0;
    code_block(std::span(block_).first(last), output);
  }
  return Status::kOk;
}

std::size_t CompressorState::held() const noexcept {
  return (kMagicSize - magic_given_) + (record_end_ - record_begin_);
}

// Each block is coded into a slot of its own, as if the output held only
// that block's record; then the records close up, in file order, so the
// bytes are those of the blocks coded one after another.
bool CompressorState::code_blocks_together(std::span<const std::uint8_t>& input,
                                           std::span<std::uint8_t>& output) noexcept {
  const std::size_t count =
      std::min(input.size() / kMaxBlockSize, output.size() / kCompressorStraightRoom);
  if (count < kMinBlocksTogether) {
    return false;
  }
  auto code = [&](std::size_t i) noexcept {
    code_record(input.subspan(i * kMaxBlockSize, kMaxBlockSize),
                output.subspan(i * kCompressorStraightRoom, kCompressorStraightRoom));
  };
  for_each(workers_, count, code);
  std::size_t written = 0;
  for (std::size_t i = 0; i < count; ++i) {
    // Each record moves towards the start, never past a later slot.
    const std::uint8_t* const record = &output[i * kCompressorStraightRoom];
    const std::size_t length = kLengthFieldSize + read_length_field(record);
    std::memmove(&output[written], record, length);
    written += length;
  }
  input = input.subspan(count * kMaxBlockSize);
  output = output.subspan(written);
  return true;
}

// ---------------------------------------------------------------------------
// The streaming restorer

bool RestorerState::give_out(std::span<std::uint8_t>& output) noexcept {
  std::span<const std::uint8_t> held =
      std::span(block_).subspan(held_begin_, held_end_ - held_begin_);
  detail::give_out(held, output);
  held_begin_ = held_end_ - held.size();
  return held.empty();
}

void RestorerState::take_magic_byte(std::uint8_t byte) noexcept {
  if (byte != kFileMagic[have_]) {
    // After the first file, the magic's first two bytes were a length field.
    fail(opened_ ? Status::kBadLength : Status::kNotCompressed);
    return;
  }
  if (++have_ == kMagicSize) {
    have_ = 0;
    opened_ = true;
    stage_ = Stage::kLengthField;
  }
}

void RestorerState::take_length(std::size_t length) noexcept {
  have_ = 0;
  if (concatenated_ && length == read_length_field(kFileMagic.data())) {
    // The next file begins: the rest of its magic follows.
    have_ = kLengthFieldSize;
    stage_ = Stage::kMagic;
    return;
  }
  if (length == 0) {
    // An empty record has been read in full as soon as its field has.
    ++records_read_;
  }
  if (!is_readable_length(length)) {
    fail(Status::kBadLength);
    return;
  }
  length_ = length;
  stage_ = Stage::kBlockData;
}

void RestorerState::count_block(std::span<const std::uint8_t> block_data) noexcept {
  stored_blocks_ += is_stored(block_data) ? 1 : 0;
}

void RestorerState::decode(std::span<const std::uint8_t> block_data,
                           std::span<std::uint8_t>& output) noexcept {
  assert(held_begin_ == held_end_);
  ++records_read_;
  have_ = 0;
  stage_ = Stage::kLengthField;
  if (output.size() >= kRestorerStraightRoom) {
    const auto decoded = decode_block(block_data, output);
    if (!decoded) {
      fail(Status::kBadBlockData);
      return;
    }
    count_block(block_data);
    output = output.subspan(*decoded);
    return;
  }
  const auto decoded = decode_block(block_data, block_);
  if (!decoded) {
    fail(Status::kBadBlockData);
    return;
  }
  count_block(block_data);
  held_begin_ = 0;
  held_end_ = *decoded;
  give_out(output);
}

Status RestorerState::restore(std::span<const std::uint8_t>& input,
                              std::span<std::uint8_t>& output) noexcept {
  if (finished_) {
    return Status::kMisuse;
  }
  while (give_out(output)) {
    if (stage_ == Stage::kFault) {
      return fault_;
    }
    if (input.empty()) {
      break;
    }
    switch (stage_) {
      case Stage::kMagic:
        take_magic_byte(input.front());
        if (stage_ != Stage::kFault) {
          input = input.subspan(1);
        }
        break;
      case Stage::kLengthField:
        if (have_ == 0 && workers_ != nullptr && restore_together(input, output)) {
          break;
        }
        if (have_ == 0 && input.size() >= kLengthFieldSize) {
          const std::size_t length = read_length_field(input.data());
          input = input.subspan(kLengthFieldSize);
          take_length(length);
        } else if (have_ == 0) {
          length_ = input.front();  // the low byte
          have_ = 1;
          input = input.subspan(1);
        } else {
          const std::size_t length = length_ | (std::size_t{input.front()} << 8);
          input = input.subspan(1);
          take_length(length);
        }
        break;
      case Stage::kBlockData:
        if (have_ == 0 && input.size() >= length_) {
          // The whole block data lies in `input`: decoded where it lies.
          const auto block_data = input.first(length_);
          input = input.subspan(length_);
          decode(block_data, output);
        } else {
          const std::size_t size = std::min(length_ - have_, input.size());
          std::copy_n(input.begin(), size,
                      block_data_.begin() + static_cast<std::ptrdiff_t>(have_));
          have_ += size;
          input = input.subspan(size);
          if (have_ == length_) {
            decode(std::span(block_data_).first(length_), output);
          }
        }
        break;
      case Stage::kFault:
        break;
    }
  }
  return Status::kOk;
}

Status RestorerState::finish(std::span<std::uint8_t>& output) noexcept {
  finished_ = true;
  give_out(output);
  switch (stage_) {
    case Stage::kMagic:
      // Inside the first file's magic, or a later one's.
      return fail(opened_ ? Status::kCutShort : Status::kNotCompressed);
    case Stage::kBlockData:
      return fail(Status::kCutShort);
    case Stage::kLengthField:
      // The end of the file, or a single byte after the last record, but for
      // the first byte of a later file's magic.
      if (concatenated_ && have_ == 1 && length_ == kFileMagic[0]) {
        return fail(Status::kCutShort);
      }
      return Status::kOk;
    case Stage::kFault:
      break;
  }
  return fault_;
}

// The records are found one after another, as the one-thread path reads
// them, and gathered into groups; each group is decoded by one task into an
// area of its own, as large as its blocks can be; then the blocks close up in
// file order and stop at the first refused block data, so the output, the
// records read and the fault are those of the one-thread path.
bool RestorerState::restore_together(std::span<const std::uint8_t>& input,
                                     std::span<std::uint8_t>& output) noexcept {
  std::array<RecordGroup, kMaxGroups> groups;
  const std::size_t count = group_records(input, output.size(), groups);
  if (count == 0) {
    return false;
  }
  auto decode_one = [&](std::size_t i) noexcept { decode_group(groups[i], input, output); };
  // Too few groups to hand out are decoded here, all of them, so that the
  // records of a short stretch are not gathered again for each of them.
  if (count < kMinBlocksTogether) {
    for_each(nullptr, count, decode_one);
  } else {
    for_each(workers_, count, decode_one);
    ++pool_batches_;
  }
  std::size_t used = 0;
  std::size_t written = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const RecordGroup& group = groups[i];
    records_read_ += group.records;
    stored_blocks_ += group.stored;
    // The groups before it may have restored less than their areas hold.
    if (group.restored != 0) {
      std::memmove(output.data() + written, output.data() + group.output_begin, group.restored);
    }
    written += group.restored;
    used = group.input_begin + group.input_used;
    if (group.refused) {
      fail(Status::kBadBlockData);
      break;
    }
  }
  input = input.subspan(used);
  output = output.subspan(written);
  return true;
}

}  // namespace tarvix::detail
