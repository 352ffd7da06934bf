// A program that embeds the installed codec: codes and decodes blocks through
// the public headers only, and exits with 0 when every block comes back.
#include <tarvix/block_decoder.h>
#include <tarvix/block_encoder.h>
#include <tarvix/block_format.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <vector>

namespace {

bool round_trip(const char* what, std::span<const std::uint8_t> block) {
  std::vector<std::uint8_t> coded(tarvix::encoder_output_size(block.size()));
  const std::uint16_t coded_length = tarvix::encode_block(block, coded);
  std::array<std::uint8_t, tarvix::kMaxBlockSize> decoded{};
  const std::optional<std::uint16_t> decoded_length =
      tarvix::decode_block(std::span(coded.data(), coded_length), decoded);
  const bool same = decoded_length && *decoded_length == block.size() &&
                    std::equal(block.begin(), block.end(), decoded.begin());
  std::printf("%s: %zu bytes, %u coded, %s\n", what, block.size(), unsigned{coded_length},
              same ? "restored" : "NOT RESTORED");
  return same;
}

}  // namespace

int main() {
  bool good = true;

  // The worked example: "abcabcabc" codes to kind 0x40, control word 0x1000,
  // three literals, then a match 3 bytes back of 6 bytes (00 33).
  constexpr std::array<std::uint8_t, 9> kAbc{'a', 'b', 'c', 'a', 'b', 'c', 'a', 'b', 'c'};
  constexpr std::array<std::uint8_t, 8> kAbcCoded{0x40, 0x10, 0x00, 'a', 'b', 'c', 0x00, 0x33};
  std::array<std::uint8_t, tarvix::encoder_output_size(kAbc.size())> coded{};
  const std::uint16_t coded_length = tarvix::encode_block(kAbc, coded);
  if (coded_length != kAbcCoded.size() ||
      !std::equal(kAbcCoded.begin(), kAbcCoded.end(), coded.begin())) {
    std::printf("abcabcabc: unexpected block data\n");
    good = false;
  }
  good = round_trip("abcabcabc", kAbc) && good;

  // A full block of text-like bytes, and one that cannot be compressed.
  std::vector<std::uint8_t> text(tarvix::kMaxBlockSize);
  std::vector<std::uint8_t> noise(tarvix::kMaxBlockSize);
  std::uint32_t state = 12345;
  for (std::size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<std::uint8_t>("the quick brown fox "[i % 20]);
    state = state * 1103515245U + 12345U;
    noise[i] = static_cast<std::uint8_t>(state >> 24);
  }
  good = round_trip("text", text) && good;
  good = round_trip("noise", noise) && good;

  // Malformed block data is reported, never decoded: the first item is a copy
  // (control word 0x8000), a match 1 byte back (00 10) in an empty block.
  constexpr std::array<std::uint8_t, 5> kBadMatch{0x40, 0x80, 0x00, 0x00, 0x10};
  std::array<std::uint8_t, tarvix::kMaxBlockSize> output{};
  if (tarvix::decode_block(kBadMatch, output)) {
    std::printf("a match before the start of the block was accepted\n");
    good = false;
  }

  std::printf("%s\n", good ? "consumer: all good" : "consumer: FAILED");
  return good ? 0 : 1;
}
