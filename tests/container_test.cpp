// Tests of the compressed-file container: the exact files compress writes,
// every restore outcome on small hand-built files, round trips, and the walk
// over the records held to what restoring finds.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <span>
#include <string>
#include <tuple>
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

// ---- The walk over the records ----------------------------------------------

// What a Restorer gives for `file`, read whole, and its count of stored blocks.
struct Whole {
  Streamed streamed;
  std::uint64_t stored;
};
// Records alone restore as the restorer reads them after the magic.
Whole restore_as(const Bytes& file, unsigned flags) {
  if ((flags & kLocateRecords) != 0 &&
      !std::equal(kMagic.begin(), kMagic.end(), file.begin(),
                  file.begin() + std::min<std::size_t>(file.size(), 4))) {
    return restore_as(kMagic + file, flags & ~kLocateRecords);
  }
  Restorer restorer;
  restorer.set_concatenated((flags & kLocateConcatenated) != 0);
  const auto all = [] { return SIZE_MAX; };
  const auto room = [] { return std::size_t{1} << 20; };
  Streamed streamed = test::stream(restorer, file, all, room);
  return {std::move(streamed), restorer.stored_blocks()};
}

Bytes slice(const Bytes& bytes, std::uint64_t from, std::uint64_t to = UINT64_MAX) {
  const auto begin = static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(from, bytes.size()));
  const auto end = static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(to, bytes.size()));
  return {bytes.begin() + begin, bytes.begin() + end};
}

// A record's fields, to compare and print.
auto fields(const Record& r) {
  return std::tuple(r.file_offset, r.index, r.restored_offset, r.stored_blocks, r.data_size,
                    r.restored_size);
}

// locate_read() over `file` with a buffer of `room` bytes, reading at most
// 1000 bytes a call, checking that the walk reads in file order, each byte
// once. On a pool, a buffer of two records or more is read a half at a time
// while the other half's records are sized.
RestoreStatus locate_by_reads(const Bytes& file, std::uint64_t offset, Record& record,
                              unsigned flags, Workers* workers = nullptr,
                              std::size_t room = kMaxRecordSize + 3000) {
  std::uint64_t next = record.file_offset;
  auto read = [&](std::uint64_t at, std::span<std::uint8_t> area) -> std::int64_t {
    EXPECT_EQ(at, next);
    const Bytes piece = slice(file, at, at + std::min<std::size_t>(area.size(), 1000));
    std::copy(piece.begin(), piece.end(), area.begin());
    next += piece.size();
    return static_cast<std::int64_t>(piece.size());
  };
  Bytes buffer(room);
  return locate_read(read, buffer, offset, record, flags, workers);
}

// Walks `file` to `offset` in every way (the file's bytes, reads, on a pool,
// from a record an earlier walk gave) to the same record and status, and
// holds them to a Restorer's: the record's file offset, index, restored
// offset and stored blocks are those of the records before it, its block is
// the one that holds `offset`, and restoring from it gives the rest of the
// restored bytes with the same outcome. Returns the walk's status.
RestoreStatus expect_walk_agrees(const Bytes& file, unsigned flags, std::uint64_t offset) {
  Record record{};
  const RestoreStatus status = locate(file, offset, record, flags);
  Workers pool(3);
  Record pooled{};
  EXPECT_EQ(locate(file, offset, pooled, flags, &pool), status);
  Record read{};
  EXPECT_EQ(locate_by_reads(file, offset, read, flags, &pool), status);
  Record read_by_halves{};
  EXPECT_EQ(locate_by_reads(file, offset, read_by_halves, flags, &pool, 2 * kMaxRecordSize + 3000),
            status);
  Record halfway{};
  (void)locate(file, offset / 2, halfway, flags);
  EXPECT_EQ(locate(file, offset, halfway, flags), status);
  for (const Record& other : {pooled, read, read_by_halves, halfway}) {
    EXPECT_EQ(fields(other), fields(record));
  }

  const Whole whole = restore_as(file, flags);
  const Bytes& restored = whole.streamed.restored.bytes;
  if (record.data_size != 0) {
    // Up to the end of the record, and from its start on.
    const Whole before =
        restore_as(slice(file, 0, record.file_offset + kLengthFieldSize + record.data_size), flags);
    EXPECT_EQ(before.streamed.restored.bytes, slice(restored, 0, restored_end(record)));
    EXPECT_EQ(before.streamed.records, record.index + 1);
    EXPECT_EQ(before.stored, record.stored_blocks);
    const Whole after = restore_as(kMagic + slice(file, record.file_offset), flags);
    EXPECT_EQ(after.streamed.restored,
              (Restored{whole.streamed.restored.status, slice(restored, record.restored_offset)}));
  }
  if (status == RestoreStatus::kOk && offset < restored.size()) {
    EXPECT_LE(record.restored_offset, offset);
    EXPECT_LT(offset, restored_end(record));
  } else {
    // The file's end or its fault lies at or before the offset, after the record.
    EXPECT_EQ(status, whole.streamed.restored.status);
    EXPECT_EQ(restored_end(record), restored.size());
    EXPECT_LE(restored.size(), offset);
  }
  return status;
}

struct LocateCase {
  std::string name;
  Bytes file;
  unsigned flags;
  std::uint64_t offset;
  RestoreStatus status;

  friend void PrintTo(const LocateCase& c, std::ostream* os) { *os << c.name; }
};

std::vector<LocateCase> locate_cases() {
  using enum RestoreStatus;
  // Enough records for a walk on a pool to size several batches.
  const Bytes source = test::generate(test::Shape::kMixed, 30 * kMaxBlockSize + 3000, 11);
  const Bytes single = compress_whole(source);
  const Bytes records = slice(single, kMagicSize);
  // A member ending in a short block, then more: read as one concatenation,
  // and as one file whose records run on without the second magic.
  const Bytes first = compress_whole(slice(source, 0, kMaxBlockSize + 100));
  const Bytes two = first + single;
  const Bytes short_inside = first + records;
  const std::size_t end = source.size();
  const std::size_t two_end = kMaxBlockSize + 100 + end;
  const Bytes bad_block = first + from_hex("05 00 40 80 00 00 10") + records;
  // The same fault after 90 full records: on a pool, in a batch of 64 records
  // sized a run at a time, it lies in the batch's second run.
  const Bytes ninety = compress_whole(test::generate(test::Shape::kMixed, 90 * kMaxBlockSize, 5));
  const Bytes bad_late = ninety + from_hex("05 00 40 80 00 00 10") + records;
  return {
      {"AtZero", single, 0, 0, kOk},
      {"AtABlockBoundary", single, 0, 2 * kMaxBlockSize, kOk},
      {"InsideTheLastBlock", single, 0, end - 1, kOk},
      {"AtTheEnd", single, 0, end, kOk},
      {"PastTheEnd", single, 0, end + 5000, kOk},
      {"InTheSecondFile", two, kLocateConcatenated, two_end - 10, kOk},
      {"AfterTheFirstFilesShortBlock", two, kLocateConcatenated, kMaxBlockSize + 100, kOk},
      {"ConcatenatedReadAsOne", two, 0, two_end - 10, kBadLength},
      {"ShortBlockInTheMiddle", short_inside, 0, two_end - 10, kOk},
      {"RecordsAlone", records, kLocateRecords, 3 * kMaxBlockSize + 7, kOk},
      {"RecordsWithoutTheFlag", records, 0, 7, kNotCompressed},
      {"MagicAlone", kMagic, 0, 0, kOk},
      {"Nothing", {}, 0, 0, kNotCompressed},
      {"EmptyBlockInTheMiddle", kMagic + kRecordA + from_hex("01 00 80") + kRecordBc, 0, 1, kOk},
      {"CutBeforeTheOffset", slice(single, 0, single.size() - 3), 0, end - 1, kCutShort},
      {"CutAfterTheOffset", slice(single, 0, single.size() - 3), 0, 10, kOk},
      {"BadBlockBeforeTheOffset", bad_block, 0, two_end - 10, kBadBlockData},
      {"BadBlockAfterTheOffset", bad_block, 0, kMaxBlockSize + 50, kOk},
      {"BadBlockLateInABatch", bad_late, 0, 91 * kMaxBlockSize, kBadBlockData},
      {"LengthZeroBeforeTheOffset", first + from_hex("00 00") + records, 0, 9000, kBadLength},
      {"CutInsideTheSecondMagic", slice(two, 0, first.size() + 3), kLocateConcatenated, 9000,
       kCutShort},
      {"ADamagedSecondMagic", slice(two, 0, first.size() + 2) + from_hex("B6 A4") + records,
       kLocateConcatenated, 9000, kBadLength},
      {"ALoneByteOfTheSecondMagic", slice(two, 0, first.size() + 1), kLocateConcatenated, 9000,
       kCutShort},
      {"ALoneByteAfterOneFile", slice(two, 0, first.size() + 1), 0, 9000, kOk},
  };
}

class LocateTest : public ::testing::TestWithParam<LocateCase> {};

TEST_P(LocateTest, FindsTheRecordThatRestoringFinds) {
  const LocateCase& c = GetParam();
  EXPECT_EQ(expect_walk_agrees(c.file, c.flags, c.offset), c.status);
}

INSTANTIATE_TEST_SUITE_P(Files, LocateTest, ::testing::ValuesIn(locate_cases()),
                         [](const auto& param_info) { return param_info.param.name; });

// A walk never goes back from its start; a reader that fails ends it with
// the last sound record, from which it may go on.
TEST(Locate, RefusesAStartPastTheOffsetAndReportsAFailedRead) {
  const Bytes file = compress_whole(test::generate(test::Shape::kText, 3 * kMaxBlockSize, 5));
  Record record{};
  ASSERT_EQ(locate(file, 2 * kMaxBlockSize, record, 0), RestoreStatus::kOk);
  const Record found = record;
  EXPECT_EQ(locate(file, kMaxBlockSize, record, 0), RestoreStatus::kMisuse);
  EXPECT_EQ(fields(record), fields(found));
  auto failing = [&](std::uint64_t at, std::span<std::uint8_t> area) -> std::int64_t {
    const Bytes piece = slice(file, at, std::min<std::uint64_t>(at + area.size(), 9000));
    std::copy(piece.begin(), piece.end(), area.begin());
    return piece.empty() ? -1 : static_cast<std::int64_t>(piece.size());
  };
  Record cut{};
  EXPECT_EQ(locate(slice(file, 0, 9000), 2 * kMaxBlockSize, cut, 0), RestoreStatus::kCutShort);
  Workers pool(2);
  for (Workers* workers : {static_cast<Workers*>(nullptr), &pool}) {
    Bytes buffer(workers == nullptr ? kMaxRecordSize : 2 * kMaxRecordSize);
    record = {};
    EXPECT_EQ(locate_read(failing, buffer, 2 * kMaxBlockSize, record, 0, workers),
              RestoreStatus::kReadFailed);
    EXPECT_EQ(fields(record), fields(cut));
  }
  EXPECT_EQ(locate(file, 2 * kMaxBlockSize, record, 0), RestoreStatus::kOk);
  EXPECT_EQ(fields(record), fields(found));
}

}  // namespace
}  // namespace tarvix
