// The plain block encoder and decoder: a direct transcription of the block
// format's steps, one byte at a time, with no shortcut to get wrong.
#include "reference_codec.h"

#include <array>
#include <cstddef>

namespace tarvix::reference {

namespace {

constexpr std::size_t kMaxBlock = 8192;
constexpr std::uint16_t kEmpty = 0xFFFF;

unsigned slot_of(const std::uint8_t* bytes) {
  const std::uint32_t h =
      (std::uint32_t{bytes[0]} << 8) ^ (std::uint32_t{bytes[1]} << 4) ^ bytes[2];
  return ((h * 40543u) >> 4) & 0xFFFu;
}

void put16(std::uint8_t* out, unsigned value) {
  out[0] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
  out[1] = static_cast<std::uint8_t>(value & 0xFF);
}

unsigned get16(const std::uint8_t* in) { return in[0] * 256u + in[1]; }

}  // namespace

std::uint16_t reference_encode_block(std::span<const std::uint8_t> source,
                                     std::span<std::uint8_t> output) noexcept {
  const std::size_t n = source.size();
  const std::uint8_t* const src = source.data();
  std::uint8_t* const out = output.data();

  std::array<std::uint16_t, 4096> table;
  for (auto& slot : table) {
    slot = kEmpty;
  }
  out[0] = 0x40;
  std::size_t position = 0;
  std::size_t out_index = 3;
  std::size_t control_position = 1;
  unsigned pending = 0;
  unsigned items = 0;

  while (position < n) {
    if (out_index > n) {
      break;
    }
    if (items == 16) {
      put16(out + control_position, pending & 0xFFFF);
      control_position = out_index;
      out_index += 2;
      items = 0;
    }
    std::size_t run = 1;
    while (position + run < n && src[position + run] == src[position] && run < 4095) {
      ++run;
    }
    if (run >= 16) {
      out[out_index] = 0x00;
      put16(out + out_index + 1, static_cast<unsigned>(run - 16));
      out[out_index + 3] = src[position];
      out_index += 4;
      pending = (pending << 1) | 1;
      position += run;
    } else {
      bool found = false;
      std::size_t match_length = 0;
      std::size_t distance = 0;
      if (position + 2 < n) {
        const unsigned slot = slot_of(src + position);
        const std::uint16_t candidate = table[slot];
        table[slot] = static_cast<std::uint16_t>(position);
        if (candidate != kEmpty && position - candidate < 4096) {
          while (position + match_length < n &&
                 src[position + match_length] == src[candidate + match_length]) {
            ++match_length;
            if (match_length == 18) {
              break;
            }
          }
          found = match_length >= 3;
          distance = position - candidate;
        }
      }
      if (found) {
        put16(out + out_index, static_cast<unsigned>(distance * 16 + (match_length - 3)));
        out_index += 2;
        pending = (pending << 1) | 1;
        position += match_length;
      } else {
        out[out_index] = src[position];
        out_index += 1;
        pending = pending << 1;
        position += 1;
      }
    }
    ++items;
  }

  put16(out + control_position, (pending << (16 - items)) & 0xFFFF);
  if (out_index <= n) {
    return static_cast<std::uint16_t>(out_index);
  }
  out[0] = 0x80;
  for (std::size_t i = 0; i < n; ++i) {
    out[1 + i] = src[i];
  }
  return static_cast<std::uint16_t>(n + 1);
}

std::optional<std::uint16_t> reference_decode_block(std::span<const std::uint8_t> block_data,
                                                    std::span<std::uint8_t> output) noexcept {
  const std::size_t size = block_data.size();
  if (size == 0 || size > kMaxBlock + 1) {
    return std::nullopt;
  }
  const std::uint8_t* const in = block_data.data();
  std::uint8_t* const out = output.data();
  const std::size_t limit = output.size() < kMaxBlock ? output.size() : kMaxBlock;

  if (in[0] == 0x80) {
    if (size - 1 > limit) {
      return std::nullopt;
    }
    for (std::size_t i = 1; i < size; ++i) {
      out[i - 1] = in[i];
    }
    return static_cast<std::uint16_t>(size - 1);
  }
  if (size <= 3) {
    return 0;
  }

  unsigned control = get16(in + 1);
  unsigned items_left = 16;
  std::size_t read = 3;
  std::size_t written = 0;
  while (read < size) {
    if (items_left == 0) {
      if (read + 2 > size) {
        return std::nullopt;
      }
      control = get16(in + read);
      read += 2;
      items_left = 16;
    }
    const bool copy = (control & 0x8000) != 0;
    control = (control << 1) & 0xFFFF;
    --items_left;

    if (!copy) {
      if (read + 1 > size || written + 1 > limit) {
        return std::nullopt;
      }
      out[written] = in[read];
      written += 1;
      read += 1;
    } else {
      if (read + 2 > size) {
        return std::nullopt;
      }
      const unsigned distance = in[read] * 16u + (in[read + 1] >> 4);
      if (distance == 0) {
        if (read + 4 > size) {
          return std::nullopt;
        }
        const std::size_t count = get16(in + read + 1) + 16u;
        if (written + count > limit) {
          return std::nullopt;
        }
        for (std::size_t i = 0; i < count; ++i) {
          out[written + i] = in[read + 3];
        }
        written += count;
        read += 4;
      } else {
        const std::size_t length = (in[read + 1] & 0x0Fu) + 3u;
        if (distance > written || written + length > limit) {
          return std::nullopt;
        }
        for (std::size_t i = 0; i < length; ++i) {
          out[written + i] = out[written + i - distance];
        }
        written += length;
        read += 2;
      }
    }
  }
  return static_cast<std::uint16_t>(written);
}

}  // namespace tarvix::reference
