// Round trips through the block codec over generated data and the corpus.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <span>

#include <tarvix/block_decoder.h>
#include <tarvix/block_encoder.h>
#include "test_data.h"

namespace tarvix {
namespace {

using test::Bytes;
using test::Shape;

constexpr std::size_t kGuardSize = 16;
constexpr std::uint8_t kGuardByte = 0xEE;

// Codes one block and checks the block data's form, then decodes it back.
// Guard bytes past each output area catch a write beyond it even without the
// sanitizers.
void expect_round_trip(std::span<const std::uint8_t> block) {
  const std::size_t coded_area = encoder_output_size(block.size());
  Bytes coded(coded_area + kGuardSize, kGuardByte);
  const std::size_t coded_length = encode_block(block, std::span(coded).first(coded_area));
  ASSERT_EQ(std::count(coded.begin() + coded_area, coded.end(), kGuardByte), kGuardSize);
  ASSERT_GE(coded_length, 1U);
  if (coded[0] == kKindStored) {
    ASSERT_EQ(coded_length, block.size() + 1);
  } else {
    ASSERT_EQ(coded[0], kKindCoded);
    ASSERT_LE(coded_length, block.size());
  }
  Bytes decoded(kMaxBlockSize + kGuardSize, kGuardByte);
  const auto decoded_length =
      decode_block(std::span(coded.data(), coded_length), std::span(decoded).first(kMaxBlockSize));
  ASSERT_EQ(decoded_length, block.size());
  ASSERT_EQ(std::count(decoded.begin() + kMaxBlockSize, decoded.end(), kGuardByte), kGuardSize);
  ASSERT_TRUE(std::equal(block.begin(), block.end(), decoded.begin()));
}

TEST(RoundTrip, GeneratedBlocksOfEveryShape) {
  std::mt19937 random(2026);
  std::vector<std::size_t> sizes = {0, 1, 2, 3, 5, 6, 15, 16, 17, 4095, 4096, 4111, 8191, 8192};
  for (int i = 0; i < 40; ++i) {
    sizes.push_back(std::uniform_int_distribution<std::size_t>(0, kMaxBlockSize)(random));
  }
  for (const Shape shape :
       {Shape::kRandom, Shape::kText, Shape::kSmallAlphabet, Shape::kLongRuns, Shape::kMixed}) {
    for (const std::size_t size : sizes) {
      SCOPED_TRACE(::testing::Message() << "shape " << static_cast<int>(shape) << " size " << size);
      expect_round_trip(test::generate(shape, size, static_cast<std::uint32_t>(size)));
    }
  }
}

TEST(RoundTrip, CorpusInBlocks) {
  const auto blocks = test::corpus_blocks();
  if (blocks.empty()) {
    GTEST_SKIP() << "the corpus is not beside the project";
  }
  for (const auto& block : blocks) {
    SCOPED_TRACE(block.file);
    expect_round_trip(block.bytes);
  }
}

}  // namespace
}  // namespace tarvix
