// The compressed-file container: the file magic and the block records.
#include <tarvix/container.h>

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <limits>
#include <optional>

#include <tarvix/block_decoder.h>
#include <tarvix/block_encoder.h>

namespace tarvix {

namespace {

constexpr std::size_t kSizeMax = std::numeric_limits<std::size_t>::max();

std::size_t add_saturated(std::size_t a, std::size_t b) noexcept {
  return a > kSizeMax - b ? kSizeMax : a + b;
}

// The area in which a block's record is coded: the length field, then the
// encoder's output area, which may be used past the block data it returns.
constexpr std::size_t record_room(std::size_t block_length) noexcept {
  return kLengthFieldSize + encoder_output_size(block_length);
}

// Length fields are little-endian on every host.
std::size_t read_length_field(const std::uint8_t* field) noexcept {
  return field[0] | (std::size_t{field[1]} << 8);
}

// A length field of 0 announces block data without its kind byte, and one
// above kMaxBlockDataSize more block data than any block has; both are
// refused before their block data is read.
bool is_readable_length(std::size_t length) noexcept {
  return length != 0 && length <= kMaxBlockDataSize;
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
      std::array<std::uint8_t, record_room(kMaxBlockSize)> record{};
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
    return {RestoreStatus::kNotCompressed, 0};
  }
  std::size_t restored = 0;
  // No whole length field, a single byte left over included, ends the file.
  for (std::size_t at = kMagicSize; file.size() - at >= kLengthFieldSize;) {
    const std::size_t length = read_length_field(&file[at]);
    at += kLengthFieldSize;
    if (!is_readable_length(length)) {
      return {RestoreStatus::kBadLength, restored};
    }
    if (file.size() - at < length) {
      return {RestoreStatus::kCutShort, restored};
    }
    const auto block_data = file.subspan(at, length);
    at += length;
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
        return {RestoreStatus::kOutputTooSmall, restored};
      }
      if (decoded) {
        std::copy_n(block.begin(), *decoded, room.begin());
      }
    }
    if (!decoded) {
      return {RestoreStatus::kBadBlockData, restored};
    }
    restored += *decoded;
  }
  return {RestoreStatus::kOk, restored};
}

std::size_t restored_size_bound(std::span<const std::uint8_t> file) noexcept {
  if (!starts_with_magic(file)) {
    return 0;
  }
  std::size_t bound = 0;
  for (std::size_t at = kMagicSize; file.size() - at >= kLengthFieldSize;) {
    const std::size_t length = read_length_field(&file[at]);
    at += kLengthFieldSize;
    if (!is_readable_length(length) || file.size() - at < length) {
      break;
    }
    bound = add_saturated(bound, file[at] == kKindStored ? length - 1 : kMaxBlockSize);
    at += length;
  }
  return bound;
}

}  // namespace tarvix
