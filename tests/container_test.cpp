// Tests of the compressed-file container: the exact files compress writes,
// every restore outcome on small hand-built files, and round trips.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include <tarvix/container.h>
#include "streams.h"
#include "test_data.h"

namespace tarvix {
namespace {

using test::Bytes;
using test::Chunking;
using test::compress_in_pieces;
using test::from_hex;
using test::from_text;
using test::restore_in_pieces;
using test::Restored;
using test::Streamed;
using test::operator+;
using test::repeated;

const Bytes kMagic = from_hex("D8 C7 B6 A5");

Bytes first(const Bytes& bytes, std::size_t size) {
  return {bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size)};
}

// compress() into an area of exactly the bound, so a write past it shows
// under the sanitizers.
Bytes compress_whole(const Bytes& source) {
  Bytes file(compress_bound(source.size()));
  file.resize(compress(source, file));
  return file;
}

// restore() into an area of `room` bytes, by default exactly the bound.
Restored restore_whole(const Bytes& file, std::optional<std::size_t> room = std::nullopt) {
  Bytes out(room.value_or(restored_size_bound(file)));
  const RestoreResult result = restore(file, out);
  out.resize(result.restored);
  return {result.status, out};
}

// Splits of the input and the output areas that every stream is tried with.
const Chunking kChunkings[] = {
    {"one byte at a time", {1}, {1}},
    {"odd sizes", {1, 7, kMaxBlockSize - 1, 3, kMaxBlockSize + 2, 2}, {3, 8191, 17, 8200}},
    {"whole blocks", {kMaxBlockSize}, {kCompressorStraightRoom}},
    {"all at once", {SIZE_MAX}, {std::size_t{1} << 20}},
    {"all at once into tiny areas", {SIZE_MAX}, {2, 5}},
};

struct CompressCase {
  std::string name;
  Bytes source;
  Bytes file;

  friend void PrintTo(const CompressCase& c, std::ostream* os) { *os << c.name; }
};

class CompressTest : public ::testing::TestWithParam<CompressCase> {};

TEST_P(CompressTest, WritesTheToolsBytesAndRestoresThem) {
  const CompressCase& c = GetParam();
  EXPECT_EQ(compress_whole(c.source), c.file);
  EXPECT_EQ(restore_whole(c.file), (Restored{RestoreStatus::kOk, c.source}));
}

INSTANTIATE_TEST_SUITE_P(
    Files, CompressTest,
    ::testing::Values(CompressCase{"Empty", {}, kMagic},
                      CompressCase{"OneByte", from_text("A"), kMagic + from_hex("02 00 80 41")},
                      CompressCase{"AbcThrice", from_text("abcabcabc"),
                                   kMagic + from_hex("08 00 40 10 00 61 62 63 00 33")},
                      // A full block, then the next byte in a block of its own.
                      CompressCase{"FullBlockAndOneByte", repeated(8193, 'a'),
                                   kMagic +
                                       from_hex("0D 00 40 C0 00 00 0F EF 61 00 0F EF 61 61 61") +
                                       from_hex("02 00 80 61")}),
    [](const auto& param_info) { return param_info.param.name; });

TEST(Compress, WritesNothingIntoLessThanTheBound) {
  for (const std::size_t size : {std::size_t{0}, std::size_t{1}, kMaxBlockSize + 1}) {
    const Bytes source = test::generate(test::Shape::kRandom, size, 1);
    Bytes file(compress_bound(size) - 1, 0xEE);
    EXPECT_EQ(compress(source, file), 0U) << size;
    EXPECT_EQ(file, Bytes(file.size(), 0xEE)) << size;
  }
  EXPECT_EQ(compress_bound(2 * kMaxBlockSize + 1), 4 + 3 * 3 + 2 * kMaxBlockSize + 1);
  EXPECT_EQ(compress_bound(SIZE_MAX - 1), SIZE_MAX);
}

// A small file of three records: "A" stored, "abcabcabc" coded, "BC" stored.
const Bytes kRecordA = from_hex("02 00 80 41");
const Bytes kRecordAbc = from_hex("08 00 40 10 00 61 62 63 00 33");
const Bytes kRecordBc = from_hex("03 00 80 42 43");

struct RestoreCase {
  std::string name;
  Bytes file;
  RestoreStatus status;
  std::string restored;
  std::size_t bound;    // restored_size_bound
  std::size_t records;  // Restorer::records_read
  std::optional<std::size_t> room = std::nullopt;

  friend void PrintTo(const RestoreCase& c, std::ostream* os) { *os << c.name; }
};

std::vector<RestoreCase> restore_cases() {
  using enum RestoreStatus;
  const Bytes three = kMagic + kRecordA + kRecordAbc + kRecordBc;
  const Bytes full_stored = from_hex("01 20 80") + repeated(kMaxBlockSize, 'z');
  return {
      {"NothingAtAll", {}, kNotCompressed, "", 0, 0},
      {"MagicCutShort", from_hex("D8 C7 B6"), kNotCompressed, "", 0, 0},
      {"OtherMagic", from_hex("D8 C7 B6 A4") + kRecordA, kNotCompressed, "", 0, 0},
      {"MagicAlone", kMagic, kOk, "", 0, 0},
      {"ThreeRecords", three, kOk, "AabcabcabcBC", 1 + kMaxBlockSize + 2, 3},
      {"ALoneByteAfterTheLastRecord", three + from_hex("00"), kOk, "AabcabcabcBC",
       1 + kMaxBlockSize + 2, 3},
      {"LargestStoredBlock", kMagic + full_stored, kOk, std::string(kMaxBlockSize, 'z'),
       kMaxBlockSize, 1},
      {"CutInsideALengthField", first(three, three.size() - 5 + 1), kOk, "Aabcabcabc",
       1 + kMaxBlockSize, 2},
      // An empty record has been read in full when its field has.
      {"LengthZero", kMagic + kRecordA + from_hex("00 00") + kRecordBc, kBadLength, "A", 1, 2},
      {"LengthAboveTheLargestBlockData",
       kMagic + kRecordA + from_hex("02 20 80") + repeated(kMaxBlockSize + 1, 'z'), kBadLength, "A",
       1, 1},
      {"LengthFFFF", kMagic + kRecordA + from_hex("FF FF"), kBadLength, "A", 1, 1},
      {"CutInsideBlockData", first(three, three.size() - 1), kCutShort, "Aabcabcabc",
       1 + kMaxBlockSize, 2},
      {"CutAfterALengthField", kMagic + kRecordA + from_hex("03 00"), kCutShort, "A", 1, 1},
      // A match one byte back in an empty block.
      {"MatchBeforeTheBlock", kMagic + kRecordA + from_hex("05 00 40 80 00 00 10") + kRecordBc,
       kBadBlockData, "A", 1 + kMaxBlockSize + 2, 2},
      {"NextBlockDoesNotFit", three, kOutputTooSmall, "A", 1 + kMaxBlockSize + 2, 3, 9},
      {"BadBlockDataBeforeNoRoom", kMagic + kRecordA + from_hex("05 00 40 80 00 00 10"),
       kBadBlockData, "A", 1 + kMaxBlockSize, 2, 1},
  };
}

class RestoreTest : public ::testing::TestWithParam<RestoreCase> {};

TEST_P(RestoreTest, GivesTheOutcomeAndTheBlocksBeforeIt) {
  const RestoreCase& c = GetParam();
  const Restored expected{c.status, from_text(c.restored)};
  EXPECT_EQ(restore_whole(c.file, c.room), expected);
  EXPECT_EQ(restored_size_bound(c.file), c.bound);
  // A stream has the outcome that restore() has with room enough.
  for (const Chunking& chunking : kChunkings) {
    const Streamed streamed = restore_in_pieces(c.file, chunking);
    EXPECT_EQ(streamed.restored, restore_whole(c.file)) << chunking.name;
    EXPECT_EQ(streamed.records, c.records) << chunking.name;
  }
}

INSTANTIATE_TEST_SUITE_P(Files, RestoreTest, ::testing::ValuesIn(restore_cases()),
                         [](const auto& param_info) { return param_info.param.name; });

TEST(ContainerRoundTrip, SizesAroundBlockBoundaries) {
  for (const std::size_t size : {std::size_t{2}, kMaxBlockSize - 1, kMaxBlockSize,
                                 kMaxBlockSize + 1, 3 * kMaxBlockSize + 4000}) {
    for (const test::Shape shape : {test::Shape::kRandom, test::Shape::kMixed}) {
      SCOPED_TRACE(::testing::Message() << "size " << size << " shape " << int(shape));
      const Bytes source = test::generate(shape, size, static_cast<std::uint32_t>(size));
      const Bytes file = compress_whole(source);
      EXPECT_EQ(restore_whole(file), (Restored{RestoreStatus::kOk, source}));
      // Room for the source alone is enough; one byte less keeps the whole
      // blocks before the last.
      EXPECT_EQ(restore_whole(file, size), (Restored{RestoreStatus::kOk, source}));
      const Bytes before_last = first(source, (size - 1) / kMaxBlockSize * kMaxBlockSize);
      EXPECT_EQ(restore_whole(file, size - 1),
                (Restored{RestoreStatus::kOutputTooSmall, before_last}));
    }
  }
}

TEST(Streaming, EveryChunkingGivesTheWholeBufferBytes) {
  for (const std::size_t size : {std::size_t{0}, std::size_t{1}, kMaxBlockSize - 1, kMaxBlockSize,
                                 kMaxBlockSize + 1, 3 * kMaxBlockSize + 4000}) {
    const Bytes source =
        test::generate(test::Shape::kMixed, size, static_cast<std::uint32_t>(size));
    const Bytes file = compress_whole(source);
    for (const Chunking& chunking : kChunkings) {
      SCOPED_TRACE(::testing::Message() << "size " << size << ", " << chunking.name);
      EXPECT_EQ(compress_in_pieces(source, chunking), file);
      const Streamed streamed = restore_in_pieces(file, chunking);
      EXPECT_EQ(streamed.restored, (Restored{RestoreStatus::kOk, source}));
      EXPECT_EQ(streamed.records, (size + kMaxBlockSize - 1) / kMaxBlockSize);
    }
  }
}

}  // namespace
}  // namespace tarvix
