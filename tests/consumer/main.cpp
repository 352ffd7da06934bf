// A program that uses tarvix the way others would, through the public headers
// only: block round trips with the codec, and, given files that the tarvix
// tool made, the container in memory against them. Exits with 0 when all agree.
//   tarvix_consumer [SOURCE COMPRESSED DAMAGED DAMAGED_TARGET DAMAGED_STATUS]
// COMPRESSED is what the tool made of SOURCE; DAMAGED_TARGET and
// DAMAGED_STATUS what it made of DAMAGED, a damaged compressed file.
#include <tarvix/block_decoder.h>
#include <tarvix/block_encoder.h>
#include <tarvix/container.h>
#include <tarvix/version.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <span>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

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

bool codec_checks() {
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
  return good;
}

std::optional<Bytes> read_file(const char* name) {
  std::ifstream in(name, std::ios::binary);
  if (!in) {
    std::printf("cannot read %s\n", name);
    return std::nullopt;
  }
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What the tool exits with after restoring: 0 for a whole file, 7 for a fault.
int tool_status(tarvix::RestoreStatus status) {
  return status == tarvix::RestoreStatus::kOk ? 0 : 7;
}

Bytes compress(const Bytes& source) {
  Bytes file(tarvix::compress_bound(source.size()));
  file.resize(tarvix::compress(source, file));
  return file;
}

tarvix::RestoreStatus restore(const Bytes& file, Bytes& out) {
  out.resize(tarvix::restored_size_bound(file));
  const tarvix::RestoreResult result = tarvix::restore(file, out);
  out.resize(result.restored);
  return result.status;
}

bool container_checks(char** names) {
  const auto source = read_file(names[0]);
  const auto compressed = read_file(names[1]);
  const auto damaged = read_file(names[2]);
  const auto damaged_target = read_file(names[3]);
  const int damaged_status = std::atoi(names[4]);
  if (!source || !compressed || !damaged || !damaged_target) {
    return false;
  }
  bool good = true;
  const Bytes file = compress(*source);
  std::printf("compress: %zu bytes to %zu, %s\n", source->size(), file.size(),
              file == *compressed ? "the tool's bytes" : "NOT THE TOOL'S BYTES");
  good = file == *compressed && good;

  Bytes restored;
  const tarvix::RestoreStatus status = restore(*compressed, restored);
  const bool whole = status == tarvix::RestoreStatus::kOk && restored == *source;
  std::printf("restore: %zu bytes, %s\n", restored.size(), whole ? "the source" : "NOT THE SOURCE");
  good = whole && good;

  const tarvix::RestoreStatus damaged_outcome = restore(*damaged, restored);
  const bool as_tool =
      tool_status(damaged_outcome) == damaged_status && restored == *damaged_target;
  std::printf("restore damaged: status %d, %zu bytes, %s\n", tool_status(damaged_outcome),
              restored.size(), as_tool ? "as the tool" : "NOT AS THE TOOL");
  return as_tool && good;
}

}  // namespace

int main(int argc, char** argv) {
  std::printf("tarvix %s\n", TARVIX_VERSION_STRING);
  bool good = codec_checks();
  if (argc == 6) {
    good = container_checks(argv + 1) && good;
  } else if (argc != 1) {
    std::printf("usage: tarvix_consumer [SOURCE COMPRESSED DAMAGED DAMAGED_TARGET STATUS]\n");
    good = false;
  }
  std::printf("%s\n", good ? "consumer: all good" : "consumer: FAILED");
  return good ? 0 : 1;
}
