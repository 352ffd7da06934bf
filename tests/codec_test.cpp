// Unit tests of the block codec: the format's worked examples, its edge cases
// and malformed block data.
#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include <tarvix/block_decoder.h>
#include <tarvix/block_encoder.h>
#include "block_encoder_internal.h"
#include "coded_items.h"
#include "guarded_buffer.h"
#include "test_data.h"

namespace tarvix {
namespace {

using test::Bytes;
using test::coded;
using test::from_hex;
using test::from_text;
using test::GuardedBuffer;
using test::operator+;
using test::repeated;

// Encodes into a guarded output area of exactly the size the encoder may use.
Bytes encode(const Bytes& block) {
  GuardedBuffer output(encoder_output_size(block.size()));
  const std::uint16_t length = encode_block(block, output.span());
  EXPECT_TRUE(output.intact());
  return output.first(length);
}

// Decodes guarded block data into a guarded output area of exactly the
// largest block; the walk gives the same length, or refuses it too.
std::optional<Bytes> decode(const Bytes& block_data) {
  const GuardedBuffer input(block_data);
  GuardedBuffer output(kMaxBlockSize);
  const auto length = decode_block(input.span(), output.span());
  EXPECT_TRUE(output.intact());
  EXPECT_EQ(block_restored_size(input.span()), length);
  if (!length) {
    return std::nullopt;
  }
  return output.first(*length);
}

Bytes alphabet() { return from_text("abcdefghijklmnopqrstuvwxyz"); }

Bytes bytes_from_to(std::uint8_t first, std::uint8_t last) {
  Bytes bytes;
  for (unsigned b = first; b <= last; ++b) {
    bytes.push_back(static_cast<std::uint8_t>(b));
  }
  return bytes;
}

struct CodingCase {
  std::string name;
  Bytes block;
  Bytes block_data;

  friend void PrintTo(const CodingCase& c, std::ostream* os) { *os << c.name; }
};

// Blocks and the exact block data the encoder writes for them; each must also
// decode back.
std::vector<CodingCase> coding_cases() {
  const Bytes abc = from_text("abc");
  Bytes abc8;
  for (int i = 0; i < 8; ++i) abc8 = abc8 + abc;
  Bytes sixteen_runs;
  Bytes sixteen_run_items = from_hex("40 FF FF");
  for (std::uint8_t v = 0; v < 16; ++v) {
    sixteen_runs = sixteen_runs + repeated(16, v);
    sixteen_run_items = sixteen_run_items + from_hex("00 00 00") + Bytes{v};
  }
  const Bytes xyz = from_text("xyz");
  return {
      {"Empty", {}, from_hex("80")},
      {"TwoBytesStored", from_text("ab"), from_hex("80 61 62")},
      {"FiveEqualBytesStored", repeated(5, 'a'), from_hex("80 61 61 61 61 61")},
      {"SixEqualBytesCodedAsLongAsTheBlock", repeated(6, 'a'), from_hex("40 40 00 61 00 12")},
      {"SelfOverlappingMatch", from_text("abcabcabc"), from_hex("40 10 00 61 62 63 00 33")},
      {"SlotTakesTheLatestPosition", abc8, from_hex("40 18 00 61 62 63 00 3F 01 20")},
      {"AlphabetTwiceFillsAControlWord", alphabet() + alphabet(),
       from_hex("40 00 00") + bytes_from_to(0x61, 0x70) + from_hex("00 30") +
           bytes_from_to(0x71, 0x7A) + from_hex("01 AF 01 A5")},
      {"FifteenEqualBytesAreNoRun", repeated(15, 'a'), from_hex("40 40 00 61 00 1B")},
      {"ShortestRun", repeated(16, 'a'), from_hex("40 80 00 00 00 00 61")},
      {"Run20", repeated(20, 'a'), from_hex("40 80 00 00 00 04 61")},
      {"LongestRun", repeated(4095, 'a'), from_hex("40 80 00 00 0F EF 61")},
      {"LongestRunThenLiteral", repeated(4096, 'a'), from_hex("40 80 00 00 0F EF 61 61")},
      {"RunLiteralMatch", repeated(4110, 'a'), from_hex("40 A0 00 00 0F EF 61 61 00 1B")},
      {"TwoRuns", repeated(4111, 'a'), from_hex("40 C0 00 00 0F EF 61 00 00 00 61")},
      {"FullBlockOfOneByte", repeated(8192, 'a'),
       from_hex("40 C0 00 00 0F EF 61 00 0F EF 61 61 61")},
      {"CatSatOnTheMat", from_text("the cat sat on the mat; the cat sat on the hat"),
       from_hex("40 00 44 74 68 65 20 63 61 74 20 73 00 40 6F 6E 20 00 F1 6D 61 30 00 74 3B 00 "
                "92 01 8C 68 61 74")},
      // Runs never enter the hash table, so "xyz" is still in its slot 4095 bytes later.
      {"MatchAtDistance4095", xyz + repeated(4092, 'q') + xyz,
       from_hex("40 18 00 78 79 7A 00 0F EC 71 FF F0")},
      // At 4096 the candidate is refused, but the slot takes the later position.
      {"NoMatchAtDistance4096", xyz + repeated(4093, 'q') + xyz + repeated(20, 'w') + xyz,
       from_hex("40 11 80 78 79 7A 00 0F ED 71 78 79 7A 00 00 04 77 01 70")},
      // Sixteen items fill the last control word exactly: no empty word follows;
      // a seventeenth opens a word of its own.
      {"SixteenItemsFillTheLastControlWord", sixteen_runs, sixteen_run_items},
      {"SeventeenthItemOpensAControlWord", sixteen_runs + repeated(16, 0x10),
       sixteen_run_items + from_hex("80 00 00 00 00 10")},
  };
}

class CodingTest : public ::testing::TestWithParam<CodingCase> {};

TEST_P(CodingTest, EncodesToTheExactBlockData) {
  EXPECT_EQ(encode(GetParam().block), GetParam().block_data);
}

TEST_P(CodingTest, DecodesBackToTheBlock) {
  EXPECT_EQ(decode(GetParam().block_data), GetParam().block);
}

INSTANTIATE_TEST_SUITE_P(WorkedExamples, CodingTest, ::testing::ValuesIn(coding_cases()),
                         [](const auto& param_info) { return param_info.param.name; });

TEST(HashSlot, MatchesTheCheckValue) { EXPECT_EQ(hash_slot(0x61, 0x62, 0x63), 0xABDU); }

TEST(FindMatch, RecordsThePositionWhateverItFinds) {
  const Bytes block = from_text("abcXabc");
  HashTable table;
  table.fill(kEmptySlot);
  EXPECT_FALSE(find_match(block, 0, table));
  const auto match = find_match(block, 4, table);
  ASSERT_TRUE(match);
  EXPECT_EQ(match->candidate, 0);
  EXPECT_EQ(match->length, 3);  // cut at the block's end
  EXPECT_EQ(table[hash_slot('a', 'b', 'c')], 4);
}

TEST(EncodeBlock, UsesItsWholeWorkingAreaBeforeGivingUp) {
  // 128 distinct bytes fill 8 control words; at the top of the run item the
  // output index equals the block length, so a control word and the run item
  // are written up to index length + 5 before the stored form wins.
  const Bytes block = bytes_from_to(0x00, 0x7F) + repeated(17, 0xFF);
  Bytes output(encoder_output_size(block.size()), 0xEE);
  ASSERT_EQ(encode_block(block, output), block.size() + 1);
  EXPECT_EQ(output[block.size() + 5], 0xFF);  // the run's byte value
  EXPECT_EQ(Bytes(output.begin(), output.begin() + 146), Bytes{kKindStored} + block);
}

TEST(EncodeBlock, RefusesMisuseWithZeroWritingNothing) {
  // A block too long, and output areas one byte short of what each block needs.
  const struct {
    std::size_t block;
    std::size_t output;
  } kMisuse[] = {{kMaxBlockSize + 1, encoder_output_size(kMaxBlockSize + 1)},
                 {kMaxBlockSize, encoder_output_size(kMaxBlockSize) - 1},
                 {100, encoder_output_size(100) - 1},
                 {0, encoder_output_size(0) - 1}};
  for (const auto& misuse : kMisuse) {
    const Bytes block = test::generate(test::Shape::kText, misuse.block, 3);
    Bytes output(misuse.output, 0xEE);
    EXPECT_EQ(encode_block(block, output), 0) << misuse.block << " into " << misuse.output;
    EXPECT_EQ(output, Bytes(misuse.output, 0xEE));
  }
}

TEST(EncodeBlock, SmallBlocksAreStoredUnlessSixEqualBytes) {
  for (std::size_t size = 0; size <= 6; ++size) {
    for (const Bytes& block : {repeated(size, 'z'), test::generate(test::Shape::kText, size, 7)}) {
      const Bytes data = encode(block);
      const bool coded = size == 6 && block == repeated(6, 'z');
      EXPECT_EQ(data.size(), coded ? 6 : size + 1) << "size " << size;
      EXPECT_EQ(data.at(0), coded ? kKindCoded : kKindStored) << "size " << size;
    }
  }
}

struct DecodeCase {
  std::string name;
  Bytes block_data;
  std::optional<Bytes> block;  // std::nullopt: malformed

  friend void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }
};

std::vector<DecodeCase> decode_cases() {
  constexpr std::string_view kSixteen = "abcdefghijklmnop";  // literals that fill a control word
  const std::string kMany(100, 'z');  // literals enough for the fast loop to take the block
  return {
      // Inputs with a defined outcome.
      {"StoredEmpty", from_hex("80"), Bytes{}},
      {"StoredHello", from_hex("80 68 65 6C 6C 6F"), from_text("hello")},
      {"StoredFullBlock", Bytes{kKindStored} + repeated(8192, 0x5A), repeated(8192, 0x5A)},
      // Up to 3 bytes of coded block data hold no item.
      {"CodedOneByte", from_hex("40"), Bytes{}},
      {"CodedTwoBytes", from_hex("40 12"), Bytes{}},
      {"CodedControlWordOnly", coded(), Bytes{}},
      {"KindByte00IsCoded", coded(0x00).literal("abc").match(3, 6), from_text("abcabcabc")},
      {"KindByte41IsCoded", coded(0x41).literal("abc").match(3, 6), from_text("abcabcabc")},
      {"KindByteFFIsCoded", coded(0xFF).literal("abc").match(3, 6), from_text("abcabcabc")},
      {"Distance1RepeatsOneByte", coded().literal('a').match(1, 18), repeated(19, 'a')},
      {"RunBetweenLiterals", coded().literal(0x5A).run(58, 'a').literal('!'),
       Bytes{0x5A} + repeated(58, 'a') + from_text("!")},
      {"LongestRunRead", coded().run(kMaxReadRunLength, 'x'), repeated(4111, 'x')},
      // The match item 00 13: its first byte is 00 as a run item's is.
      {"Byte1Of13IsAMatchNotARun", coded().literal('z').match(1, 6), repeated(7, 'z')},
      {"SecondControlWord", coded().literal(kSixteen).literal('q'), bytes_from_to(0x61, 0x71)},
      {"RunsEndingExactlyAtTheLargestBlock", coded().run(4111, 'a').run(4081, 'b'),
       repeated(4111, 'a') + repeated(4081, 'b')},
      // Enough items for the decoder's fast loop, which leaves a run item too
      // long for its room (the second here) to the careful loop, mid-group.
      {"LongRunAmongManyItems", coded().literal('a').run(4111, 'b').run(3900, 'c').literal(kMany),
       from_text("a") + repeated(4111, 'b') + repeated(3900, 'c') + from_text(kMany)},

      // Malformed block data.
      {"Empty", {}, std::nullopt},
      {"LongerThanTheLargestBlockData", Bytes{kKindStored} + repeated(8193, 0), std::nullopt},
      {"CopyItemCutAfterOneByte", coded().match(1, 3).cut(1), std::nullopt},
      {"RunItemCutAfterThreeBytes", coded().run(16, 'a').cut(1), std::nullopt},
      {"ControlWordCutAfterOneByte", coded().literal(kSixteen).next_group().cut(1), std::nullopt},
      {"ControlWordWithoutItem", coded().literal(kSixteen).next_group(), std::nullopt},
      {"MatchBeforeTheFirstByte", coded().match(1, 6), std::nullopt},
      {"MatchReachesBeforeTheBlock", coded().literal('a').match(2, 3), std::nullopt},
      {"RunsPastTheLargestBlock", coded().run(4111, 'a').run(4082, 'b'), std::nullopt},
      {"LiteralPastTheLargestBlock", coded().run(4111, 'a').run(4081, 'b').literal('c'),
       std::nullopt},
      {"MatchPastTheLargestBlock", coded().run(4111, 'a').run(4081, 'b').match(1, 4), std::nullopt},
      {"MatchReachesBeforeTheBlockAmongManyItems", coded().literal('a').match(2, 3).literal(kMany),
       std::nullopt},
      {"RunsPastTheLargestBlockAmongManyItems",
       coded().run(4111, 'a').run(4082, 'b').literal(kMany), std::nullopt},
      // Matches take the decoder's fast loop past the room it keeps for a
      // group; the run after them, in the same group, is not taken there.
      {"RunPastTheLargestBlockLateInAGroup",
       coded().run(4111, 'a').run(3750, 'b').match(1, 3, 7).run(4111, 'c').literal(kMany),
       std::nullopt},
  };
}

class DecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, GivesTheBlockOrMalformed) {
  EXPECT_EQ(decode(GetParam().block_data), GetParam().block);
}

INSTANTIATE_TEST_SUITE_P(BlockData, DecodeTest, ::testing::ValuesIn(decode_cases()),
                         [](const auto& param_info) { return param_info.param.name; });

TEST(DecodeBlock, RespectsASmallerOutputArea) {
  GuardedBuffer output(5);
  EXPECT_EQ(decode_block(from_hex("80 68 65 6C 6C 6F"), output.span()), 5);
  EXPECT_EQ(decode_block(from_hex("80 68 65 6C 6C 6F 21"), output.span()), std::nullopt);
  EXPECT_EQ(decode_block(Bytes(coded().run(16, 'a')), output.span()), std::nullopt);
  EXPECT_EQ(decode_block(Bytes(coded().literal('a').match(1, 4)), output.span()), 5);
  EXPECT_EQ(decode_block(Bytes(coded().literal('a').match(1, 5)), output.span()), std::nullopt);
  EXPECT_TRUE(output.intact());
}

}  // namespace
}  // namespace tarvix
