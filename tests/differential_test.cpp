// The fast block encoder and decoder against the plain reference: the same
// block data, the same decoded bytes, the same refusals of malformed input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include <tarvix/block_decoder.h>
#include <tarvix/block_encoder.h>
#include "block_encoder_internal.h"
#include "reference_codec.h"
#include "test_data.h"

namespace tarvix {
namespace {

using Bytes = std::vector<std::uint8_t>;
using reference::reference_decode_block;
using reference::reference_encode_block;

// Bytes past the output area that the code under test must leave alone. The
// fast paths copy whole words; this catches a word that spills over the end.
constexpr std::size_t kGuardSize = 64;
constexpr std::uint8_t kGuardByte = 0xA5;

// An output area of `size` bytes followed by guard bytes.
class GuardedOutput {
 public:
  explicit GuardedOutput(std::size_t size) : size_(size), storage_(size + kGuardSize, 0x5A) {
    std::fill(storage_.begin() + static_cast<std::ptrdiff_t>(size), storage_.end(), kGuardByte);
  }
  std::span<std::uint8_t> area() { return {storage_.data(), size_}; }
  bool guard_intact() const {
    return std::all_of(storage_.begin() + static_cast<std::ptrdiff_t>(size_), storage_.end(),
                       [](std::uint8_t b) { return b == kGuardByte; });
  }
  Bytes first(std::size_t n) const {
    return {storage_.begin(), storage_.begin() + static_cast<std::ptrdiff_t>(n)};
  }

 private:
  std::size_t size_;
  Bytes storage_;
};

// Encodes with both encoders and expects the same block data; returns it.
Bytes expect_same_encoding(std::span<const std::uint8_t> block) {
  GuardedOutput fast(encoder_output_size(block.size()));
  GuardedOutput plain(encoder_output_size(block.size()));
  const std::uint16_t fast_length = encode_block(block, fast.area());
  const std::uint16_t plain_length = reference_encode_block(block, plain.area());
  EXPECT_EQ(fast_length, plain_length) << "block of " << block.size() << " bytes";
  EXPECT_TRUE(fast.guard_intact()) << "block of " << block.size() << " bytes";
  const Bytes expected = plain.first(plain_length);
  if (fast_length == plain_length) {
    EXPECT_EQ(fast.first(fast_length), expected) << "block of " << block.size() << " bytes";
  }
  return expected;
}

// Decodes with both decoders into output areas of `output_size` bytes and
// expects the same result: both refuse, or both give the same bytes. The
// block data is copied into an area of its exact size, so that a read past
// its end is caught by the address sanitizer where it runs.
void expect_same_decoding(std::span<const std::uint8_t> block_data, std::size_t output_size) {
  const Bytes exact(block_data.begin(), block_data.end());
  GuardedOutput fast(output_size);
  GuardedOutput plain(output_size);
  const auto fast_result = decode_block(exact, fast.area());
  const auto plain_result = reference_decode_block(exact, plain.area());
  ASSERT_EQ(fast_result.has_value(), plain_result.has_value())
      << block_data.size() << " bytes of block data, output area " << output_size;
  EXPECT_TRUE(fast.guard_intact()) << block_data.size() << " bytes of block data";
  if (fast_result && plain_result) {
    ASSERT_EQ(*fast_result, *plain_result) << block_data.size() << " bytes of block data";
    EXPECT_EQ(fast.first(*fast_result), plain.first(*plain_result));
  }
}

// Every check for one block: the encoding, the proof that it must be stored
// only where it is, then decoding it into areas of the full size, the exact
// size and one byte short of it.
void check_block(std::span<const std::uint8_t> block) {
  const Bytes data = expect_same_encoding(block);
  if (must_be_stored(block)) {
    EXPECT_EQ(data.size(), block.size() + 1) << "proved stored, but coded";
  }
  expect_same_decoding(data, kMaxBlockSize);
  expect_same_decoding(data, block.size());
  if (!block.empty()) {
    expect_same_decoding(data, block.size() - 1);
  }
  GuardedOutput restored(block.size());
  const auto length = decode_block(data, restored.area());
  ASSERT_TRUE(length.has_value());
  EXPECT_EQ(restored.first(*length), Bytes(block.begin(), block.end()));
}

// Generated data. Each shape fills a full block from a seed.
using Shape = Bytes (*)(std::mt19937&);

Bytes random_bytes(std::mt19937& rng) {
  Bytes b(kMaxBlockSize);
  for (auto& x : b) x = static_cast<std::uint8_t>(rng());
  return b;
}

Bytes small_alphabet(std::mt19937& rng) {
  const unsigned symbols = 2 + rng() % 4;
  Bytes b(kMaxBlockSize);
  for (auto& x : b) x = static_cast<std::uint8_t>('a' + rng() % symbols);
  return b;
}

Bytes text_like(std::mt19937& rng) {
  static const char* const kWords[] = {"the ", "cat ", "sat ", "on ",  "mat ", "and ",
                                       "a ",   "hat ", "of ",  "to ",  "in ",  "that ",
                                       "is ",  "was ", "he ",  "for ", "it ",  "with\n"};
  Bytes b;
  while (b.size() < kMaxBlockSize) {
    const std::string w = kWords[rng() % std::size(kWords)];
    b.insert(b.end(), w.begin(), w.end());
    if (rng() % 7 == 0) b.push_back(static_cast<std::uint8_t>(rng()));
  }
  b.resize(kMaxBlockSize);
  return b;
}

// Runs of lengths around the thresholds, of few distinct bytes so that
// neighbouring runs sometimes share their byte.
Bytes runs(std::mt19937& rng) {
  static const std::size_t kLengths[] = {1,  2,  3,  4,    14,   15,   16,   17,   18,   19,
                                         31, 32, 33, 4094, 4095, 4096, 4097, 4110, 4111, 4112};
  Bytes b;
  while (b.size() < kMaxBlockSize) {
    const std::size_t n = rng() % 3 == 0 ? rng() % 64 + 1 : kLengths[rng() % std::size(kLengths)];
    b.insert(b.end(), n, static_cast<std::uint8_t>(rng() % 3));
  }
  b.resize(kMaxBlockSize);
  return b;
}

// Random bytes where stretches recur at distances at and around the limit.
Bytes far_repeats(std::mt19937& rng) {
  static const std::size_t kDistances[] = {1, 2, 3, 7, 8, 9, 17, 18, 19, 4094, 4095, 4096, 4097};
  Bytes b = random_bytes(rng);
  for (int i = 0; i < 200; ++i) {
    const std::size_t d = kDistances[rng() % std::size(kDistances)];
    const std::size_t n = 3 + rng() % 30;
    const std::size_t at = d + rng() % (kMaxBlockSize - d);
    for (std::size_t k = 0; k < n && at + k < b.size(); ++k) b[at + k] = b[at + k - d];
  }
  return b;
}

// Short periods make overlapping matches of every small distance.
Bytes periodic(std::mt19937& rng) {
  Bytes b(kMaxBlockSize);
  std::size_t period = 1 + rng() % 20;
  for (std::size_t i = 0; i < b.size(); ++i) {
    if (rng() % 500 == 0) period = 1 + rng() % 20;
    b[i] = i < period || rng() % 97 == 0 ? static_cast<std::uint8_t>(rng()) : b[i - period];
  }
  return b;
}

struct NamedShape {
  const char* name;
  Shape make;
};
const NamedShape kShapes[] = {{"random", random_bytes},     {"small_alphabet", small_alphabet},
                              {"text_like", text_like},     {"runs", runs},
                              {"far_repeats", far_repeats}, {"periodic", periodic}};

// Block sizes: every size up to 40, the sizes around the word widths and the
// limits, and a spread of others.
std::vector<std::size_t> block_sizes(std::mt19937& rng) {
  std::vector<std::size_t> sizes;
  for (std::size_t n = 0; n <= 40; ++n) sizes.push_back(n);
  for (std::size_t n : {63, 64, 65, 145, 146, 4095, 4096, 4097, 4110, 4111, 8175, 8176, 8177, 8183,
                        8184, 8185, 8190, 8191, 8192}) {
    sizes.push_back(n);
  }
  for (int i = 0; i < 24; ++i) sizes.push_back(rng() % (kMaxBlockSize + 1));
  return sizes;
}

class GeneratedData : public testing::TestWithParam<NamedShape> {};

TEST_P(GeneratedData, FastCodecAgreesWithReference) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 4; ++round) {
    const Bytes data = GetParam().make(rng);
    for (const std::size_t n : block_sizes(rng)) {
      SCOPED_TRACE(testing::Message() << GetParam().name << ", round " << round << ", " << n);
      // Both the start and the end of the full block, so that blocks end on
      // every kind of content.
      check_block(std::span(data).first(n));
      check_block(std::span(data).last(n));
      if (testing::Test::HasFailure()) return;
    }
  }
}

std::string shape_name(const testing::TestParamInfo<NamedShape>& shape) { return shape.param.name; }
INSTANTIATE_TEST_SUITE_P(Shapes, GeneratedData, testing::ValuesIn(kShapes), shape_name);

// The hash table keeps a candidate from two blocks ago only if the reset is
// skipped; coding unrelated blocks one after another catches that.
TEST(GeneratedData, BlocksCodedInTurnDoNotShareState) {
  std::mt19937 rng(7);
  for (int i = 0; i < 30; ++i) {
    const Bytes data = kShapes[rng() % std::size(kShapes)].make(rng);
    check_block(std::span(data).first(rng() % (kMaxBlockSize + 1)));
  }
}

// A block whose only recurring 3 bytes are `copies` copies of the 3 bytes
// 5 bytes back, spread over the block, each found by the match finder: the
// parse is literals and `copies` matches of length 3, the case in which the
// coded form is exactly least_coded_length(size, copies). The other bytes
// are random, picked so that no other 3 bytes recur and that no position
// between a copy and its source takes the source's slot.
Bytes with_copies(std::size_t size, std::size_t copies) {
  std::mt19937 rng(static_cast<std::uint32_t>(size * 1000 + copies));
  Bytes b(size);
  std::vector<bool> seen(std::size_t{1} << 24);
  const auto three = [&b](std::size_t at) { return (b[at] << 16) | (b[at + 1] << 8) | b[at + 2]; };
  const auto slot = [&b](std::size_t at) { return hash_slot(b[at], b[at + 1], b[at + 2]); };
  std::size_t next = 0;
  for (std::size_t i = 0; i < size;) {
    const std::size_t p = next < copies ? 5 + next * (size - 8) / copies : SIZE_MAX;
    if (i == p) {
      for (; i < p + 3; ++i) b[i] = b[i - 5];
      ++next;
    } else if (i + 2 == p) {
      // The two bytes before a copy close the four 3-byte sequences that
      // start between it and its source: all new, none in the source's slot.
      for (bool fits = false; !fits;) {
        b[i] = static_cast<std::uint8_t>(rng());
        b[i + 1] = static_cast<std::uint8_t>(rng());
        b[p] = b[p - 5];
        b[p + 1] = b[p - 4];
        fits = true;
        for (std::size_t at = p - 4; at < p; ++at) {
          fits = fits && !seen[three(at)] && slot(at) != slot(p - 5);
          for (std::size_t other = p - 4; other < at; ++other)
            fits = fits && three(other) != three(at);
        }
      }
      for (std::size_t at = p - 4; at < p; ++at) seen[three(at)] = true;
      i += 2;
    } else {
      do {
        b[i] = static_cast<std::uint8_t>(rng());
      } while (i >= 2 && seen[three(i - 2)]);
      if (i >= 2) seen[three(i - 2)] = true;
      ++i;
    }
  }
  return b;
}

// Blocks just below and above the largest number of matches that still
// forces the stored form: 820 matches of length 3 in 8192 bytes leave the
// coded form one byte too long, 821 make it as long as the block. The proof
// counts possible repeats through hashes, and only in the small block do no
// two hashes collide, so only there does it hold up to its threshold; in
// the others the full parse decides.
TEST(StoredBlockProof, HoldsOnlyBelowTheThreshold) {
  struct Case {
    std::size_t size;
    std::size_t copies;
    std::size_t block_data_size;
    bool proved;
  };
  const Case kCases[] = {{8192, 820, 8193, false}, {8192, 821, 8192, false},
                         {8192, 900, 8093, false}, {8000, 800, 8001, false},
                         {8000, 801, 8000, false}, {300, 30, 301, true},
                         {300, 31, 300, false}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message() << c.size << " bytes, " << c.copies << " copies");
    const Bytes block = with_copies(c.size, c.copies);
    EXPECT_EQ(expect_same_encoding(block).size(), c.block_data_size);
    // The bound decides exactly, and the coded form meets it.
    const std::size_t least = least_coded_length(c.size, c.copies);
    const bool stored = c.block_data_size > c.size;
    EXPECT_EQ(least > c.size, stored);
    if (!stored) {
      EXPECT_EQ(least, c.block_data_size);
    }
    EXPECT_EQ(must_be_stored(block), c.proved);
  }
}

// The case the proof is for: random bytes, whose coded form would be longer.
TEST(StoredBlockProof, HoldsForRandomBlocks) {
  std::mt19937 rng(5);
  for (int i = 0; i < 8; ++i) {
    const Bytes block = random_bytes(rng);
    EXPECT_TRUE(must_be_stored(block));
    check_block(block);
  }
}

// Damaged block data: the decoders must refuse the same inputs and agree on
// the rest, whatever the output area.
TEST(DamagedBlockData, DecodersAgreeOnTruncatedAndMutatedData) {
  std::mt19937 rng(99);
  for (int round = 0; round < 60; ++round) {
    const Bytes source = kShapes[round % std::size(kShapes)].make(rng);
    const std::size_t n = round < 20 ? rng() % 200 : rng() % (kMaxBlockSize + 1);
    const Bytes data = expect_same_encoding(std::span(source).first(n));
    SCOPED_TRACE(testing::Message() << "round " << round << ", block of " << n);

    // Every cut of short data, a spread of cuts of long data.
    for (std::size_t cut = 0; cut < data.size(); cut += data.size() < 300 ? 1 : 1 + rng() % 97) {
      expect_same_decoding(std::span(data).first(cut), kMaxBlockSize);
    }
    // Changed bytes, the kind byte included; coded data whose kind byte
    // becomes 0x80 is then read as stored.
    for (int k = 0; k < 40; ++k) {
      Bytes mutated = data;
      const int changes = 1 + static_cast<int>(rng() % 4);
      for (int c = 0; c < changes; ++c) {
        mutated[rng() % mutated.size()] = static_cast<std::uint8_t>(rng());
      }
      expect_same_decoding(mutated, kMaxBlockSize);
      expect_same_decoding(mutated, rng() % (n + 20));
    }
    if (testing::Test::HasFailure()) return;
  }
}

// Random item streams reach what no encoder writes: long runs, matches before
// the block start, control words with no item after them, oversize output.
TEST(DamagedBlockData, DecodersAgreeOnRandomItemStreams) {
  std::mt19937 rng(2024);
  for (int round = 0; round < 3000; ++round) {
    Bytes data{static_cast<std::uint8_t>(rng() % 4 == 0 ? rng() : 0x40)};
    const std::size_t size = rng() % 2 == 0 ? rng() % 64 : rng() % (kMaxBlockDataSize + 4);
    while (data.size() < size) {
      // Mostly small distances and run items, so that items succeed often.
      const unsigned pick = rng() % 4;
      if (pick == 0) {
        data.push_back(0x00);
        data.push_back(static_cast<std::uint8_t>(rng() % 16));
      } else if (pick == 1) {
        data.push_back(static_cast<std::uint8_t>(rng() % 2));
      } else {
        data.push_back(static_cast<std::uint8_t>(rng()));
      }
    }
    const std::size_t output_size = rng() % 3 == 0 ? rng() % (kMaxBlockSize + 64) : kMaxBlockSize;
    SCOPED_TRACE(testing::Message() << "round " << round);
    expect_same_decoding(data, output_size);
    if (testing::Test::HasFailure()) return;
  }
}

// Every 8 KiB block of every corpus file.
TEST(Corpus, EveryBlockAgreesWithReference) {
  const auto blocks = test::corpus_blocks();
  if (blocks.empty()) {
    GTEST_SKIP() << "the corpus is not beside the project";
  }
  for (const auto& block : blocks) {
    SCOPED_TRACE(block.file);
    check_block(block.bytes);
    if (::testing::Test::HasFailure()) return;
  }
}

}  // namespace
}  // namespace tarvix
