// The fast block encoder and decoder against the plain reference: the same
// block data, the same decoded bytes, the same refusals of malformed input;
// and the container's streaming coders on worker threads against the
// one-thread path: the same files, the same outcomes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <tarvix/block_decoder.h>
#include <tarvix/block_encoder.h>
#include <tarvix/container.h>
#include <tarvix/workers.h>
#include "block_encoder_internal.h"
#include "coded_items.h"
#include "container_internal.h"
#include "guarded_buffer.h"
#include "reference_codec.h"
#include "streams.h"
#include "test_data.h"

namespace tarvix {
namespace {

using reference::reference_decode_block;
using reference::reference_encode_block;
using test::Bytes;
using test::GuardedBuffer;
using test::Random;
using test::Shape;
using test::operator+;

// Every input and output area is a guarded buffer: the fast paths read and
// write whole words, and a word that spills over the end of one stops the
// test.

// Encodes with both encoders and expects the same block data; returns it.
Bytes expect_same_encoding(std::span<const std::uint8_t> block) {
  const GuardedBuffer source(block);
  GuardedBuffer fast(encoder_output_size(block.size()));
  GuardedBuffer plain(encoder_output_size(block.size()));
  const std::uint16_t fast_length = encode_block(source.span(), fast.span());
  const std::uint16_t plain_length = reference_encode_block(source.span(), plain.span());
  EXPECT_EQ(fast_length, plain_length) << "block of " << block.size() << " bytes";
  EXPECT_TRUE(fast.intact()) << "block of " << block.size() << " bytes";
  const Bytes expected = plain.first(plain_length);
  if (fast_length == plain_length) {
    EXPECT_EQ(fast.first(fast_length), expected) << "block of " << block.size() << " bytes";
  }
  return expected;
}

// Decodes with both decoders into output areas of `output_size` bytes and
// expects the same result: both refuse, or both give the same bytes, which
// it returns. With room for the largest block, the walk agrees on the length.
std::optional<Bytes> expect_same_decoding(std::span<const std::uint8_t> block_data,
                                          std::size_t output_size) {
  const GuardedBuffer exact(block_data);
  GuardedBuffer fast(output_size);
  GuardedBuffer plain(output_size);
  const auto fast_result = decode_block(exact.span(), fast.span());
  const auto plain_result = reference_decode_block(exact.span(), plain.span());
  EXPECT_EQ(fast_result.has_value(), plain_result.has_value())
      << block_data.size() << " bytes of block data, output area " << output_size;
  EXPECT_TRUE(fast.intact()) << block_data.size() << " bytes of block data";
  if (output_size >= kMaxBlockSize) {
    EXPECT_EQ(block_restored_size(exact.span()), fast_result)
        << block_data.size() << " bytes of block data";
  }
  if (!fast_result || !plain_result) {
    return std::nullopt;
  }
  EXPECT_EQ(*fast_result, *plain_result) << block_data.size() << " bytes of block data";
  EXPECT_EQ(fast.first(*fast_result), plain.first(*plain_result));
  return fast.first(*fast_result);
}

// Every way of counting the proof's repeats gives the same count, and none
// counts fewer than the positions whose 3 bytes start at an earlier one.
void expect_sound_proof(std::span<const std::uint8_t> block) {
  std::vector<std::uint32_t> threes;
  for (std::size_t p = 0; p + 2 < block.size(); ++p) {
    threes.push_back((block[p] << 16) | (block[p + 1] << 8) | block[p + 2]);
  }
  std::sort(threes.begin(), threes.end());
  const auto distinct =
      static_cast<std::size_t>(std::unique(threes.begin(), threes.end()) - threes.begin());
  const std::size_t portable = repeats_at_most(block, ProofPath::kPortable);
  EXPECT_GE(portable, threes.size() - distinct);
  for (const ProofPath path : kProofPaths) {
    EXPECT_EQ(repeats_at_most(block, path), portable) << "path " << static_cast<int>(path);
  }
}

// Every check for one block: the encoding and its form, the proof that it
// must be stored only where it is, then decoding it into areas of the full
// size, the exact size (both give the block back) and one byte short of it.
void check_block(std::span<const std::uint8_t> block) {
  const Bytes data = expect_same_encoding(block);
  ASSERT_FALSE(data.empty());
  if (data[0] == kKindStored) {
    EXPECT_EQ(data.size(), block.size() + 1);
  } else {
    EXPECT_EQ(data[0], kKindCoded);
    EXPECT_LE(data.size(), block.size()) << "coded, but longer than the block";
  }
  expect_sound_proof(block);
  if (must_be_stored(block)) {
    EXPECT_EQ(data.size(), block.size() + 1) << "proved stored, but coded";
  }
  const Bytes original(block.begin(), block.end());
  EXPECT_EQ(expect_same_decoding(data, kMaxBlockSize), original);
  EXPECT_EQ(expect_same_decoding(data, block.size()), original);
  if (!block.empty()) {
    expect_same_decoding(data, block.size() - 1);
  }
}

// Block sizes: every size up to 40, the sizes around the word widths and the
// limits, and a spread of others.
std::vector<std::size_t> block_sizes(Random& random) {
  std::vector<std::size_t> sizes;
  for (std::size_t n = 0; n <= 40; ++n) sizes.push_back(n);
  for (std::size_t n : {63, 64, 65, 145, 146, 4095, 4096, 4097, 4110, 4111, 8175, 8176, 8177, 8183,
                        8184, 8185, 8190, 8191, 8192}) {
    sizes.push_back(n);
  }
  for (int i = 0; i < 24; ++i) sizes.push_back(random.below(kMaxBlockSize + 1));
  return sizes;
}

class GeneratedData : public testing::TestWithParam<Shape> {};

TEST_P(GeneratedData, FastCodecAgreesWithReference) {
  Random random(12345);
  for (std::uint64_t round = 0; round < 4; ++round) {
    const Bytes data = test::generate(GetParam(), kMaxBlockSize, round);
    for (const std::size_t n : block_sizes(random)) {
      SCOPED_TRACE(testing::Message() << "round " << round << ", " << n);
      // Both the start and the end of the full block, so that blocks end on
      // every kind of content.
      check_block(std::span(data).first(n));
      check_block(std::span(data).last(n));
      if (testing::Test::HasFailure()) return;
    }
  }
}

std::string shape_name(const testing::TestParamInfo<Shape>& shape) {
  return std::string(test::name_of(shape.param));
}
INSTANTIATE_TEST_SUITE_P(Shapes, GeneratedData, testing::ValuesIn(test::kShapes), shape_name);

// The hash table keeps a candidate from two blocks ago only if the reset is
// skipped; coding unrelated blocks one after another catches that.
TEST(GeneratedData, BlocksCodedInTurnDoNotShareState) {
  Random random(7);
  for (std::uint64_t i = 0; i < 30; ++i) {
    const Shape shape = test::kShapes[random.below(std::size(test::kShapes))];
    const Bytes data = test::generate(shape, random.below(kMaxBlockSize + 1), i);
    check_block(data);
  }
}

// A block whose only recurring 3 bytes are `copies` copies of the 3 bytes
// 5 bytes back, spread over the block, each found by the match finder: the
// parse is literals and `copies` matches of length 3, the case in which the
// coded form is exactly least_coded_length(size, copies). The other bytes
// are random, picked so that no other 3 bytes recur and that no position
// between a copy and its source takes the source's slot.
Bytes with_copies(std::size_t size, std::size_t copies, std::uint64_t seed) {
  Random random(seed);
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
        b[i] = random.byte();
        b[i + 1] = random.byte();
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
        b[i] = random.byte();
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
// counts possible repeats through hashes, so it holds up to its threshold
// only where no two of them collide: in a small block, for about half of the
// random bytes around the copies, and so one of the first 20 such blocks is
// proved. In the others the full parse decides.
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
    Bytes block = with_copies(c.size, c.copies, 0);
    for (std::uint64_t seed = 1; c.proved && !must_be_stored(block) && seed < 20; ++seed) {
      block = with_copies(c.size, c.copies, seed);
    }
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
  for (std::uint64_t i = 0; i < 8; ++i) {
    const Bytes block = test::generate(Shape::kRandom, kMaxBlockSize, i);
    EXPECT_TRUE(must_be_stored(block));
    check_block(block);
  }
}

// Damaged block data: the decoders must refuse the same inputs and agree on
// the rest, whatever the output area.
TEST(DamagedBlockData, DecodersAgreeOnTruncatedAndMutatedData) {
  Random random(99);
  for (std::uint64_t round = 0; round < 60; ++round) {
    const Shape shape = test::kShapes[round % std::size(test::kShapes)];
    const Bytes source = test::generate(shape, kMaxBlockSize, round);
    const std::size_t n = round < 20 ? random.below(200) : random.below(kMaxBlockSize + 1);
    const Bytes data = expect_same_encoding(std::span(source).first(n));
    SCOPED_TRACE(testing::Message() << "round " << round << ", block of " << n);

    // Every cut of short data, a spread of cuts of long data.
    for (std::size_t cut = 0; cut < data.size();
         cut += data.size() < 300 ? 1 : 1 + random.below(97)) {
      expect_same_decoding(std::span(data).first(cut), kMaxBlockSize);
    }
    // Changed bytes, the kind byte included; coded data whose kind byte
    // becomes 0x80 is then read as stored.
    for (int k = 0; k < 40; ++k) {
      Bytes mutated = data;
      const std::size_t changes = 1 + random.below(4);
      for (std::size_t c = 0; c < changes; ++c) {
        mutated[random.below(mutated.size())] = random.byte();
      }
      expect_same_decoding(mutated, kMaxBlockSize);
      expect_same_decoding(mutated, random.below(n + 20));
    }
    if (testing::Test::HasFailure()) return;
  }
}

// Random item streams reach what no encoder writes: long runs, matches before
// the block start, control words with no item after them, oversize output.
TEST(DamagedBlockData, DecodersAgreeOnRandomItemStreams) {
  Random random(2024);
  for (int round = 0; round < 3000; ++round) {
    Bytes data{random.below(4) == 0 ? random.byte() : kKindCoded};
    const std::size_t size =
        random.below(2) == 0 ? random.below(64) : random.below(kMaxBlockDataSize + 4);
    while (data.size() < size) {
      // Mostly small distances and run items, so that items succeed often.
      const std::size_t pick = random.below(4);
      if (pick == 0) {
        data.push_back(0x00);
        data.push_back(static_cast<std::uint8_t>(random.below(16)));
      } else if (pick == 1) {
        data.push_back(static_cast<std::uint8_t>(random.below(2)));
      } else {
        data.push_back(random.byte());
      }
    }
    const std::size_t output_size =
        random.below(3) == 0 ? random.below(kMaxBlockSize + 64) : kMaxBlockSize;
    SCOPED_TRACE(testing::Message() << "round " << round);
    expect_same_decoding(data, output_size);
    if (testing::Test::HasFailure()) return;
  }
}

// Valid item streams that end near the largest block: long runs carry the
// output close to the end, then literals, matches of any distance and runs
// fill it, so that the decoder's fast loop meets its bounds with every kind
// of item, mid-group as well as at a control word. Each stream is decoded
// into the full area, one byte short of its block, and an area of any size.
TEST(ItemStreams, DecodersAgreeNearTheEnds) {
  Random random(77);
  for (int round = 0; round < 2000; ++round) {
    const std::size_t size = kMaxBlockSize - random.below(400);
    test::Coded items = test::coded();
    for (std::size_t written = 0; written < size;) {
      const std::size_t left = size - written;
      const std::size_t pick = random.below(8);
      if (left >= kMinRunLength && (pick < 2 || (left > 1000 && pick < 4))) {
        const std::size_t count = 16 + random.below(std::min<std::size_t>(left, 4111) - 15);
        items.run(static_cast<unsigned>(count), random.byte());
        written += count;
      } else if (written > 0 && left >= kMinMatchLength && pick < 6) {
        const std::size_t length = 3 + random.below(std::min<std::size_t>(left, 18) - 2);
        const std::size_t distance = 1 + random.below(std::min<std::size_t>(written, 4095));
        items.match(static_cast<unsigned>(distance), static_cast<unsigned>(length));
        written += length;
      } else {
        items.literal(random.byte());
        written += 1;
      }
    }
    const Bytes data = items;
    SCOPED_TRACE(testing::Message() << "round " << round << ", block of " << size);
    const auto decoded = expect_same_decoding(data, kMaxBlockSize);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->size(), size);
    expect_same_decoding(data, size - 1);
    expect_same_decoding(data, random.below(kMaxBlockSize + 64));
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

// ---- Thread counts -----------------------------------------------------------

// Pieces and output areas that give a coder several whole blocks or records
// in one call, which it codes on the pool's threads, and an uneven mix of
// those with areas too small for one block.
const test::Chunking kThreadChunkings[] = {
    {"all at once", {SIZE_MAX}, {std::size_t{1} << 20}},
    {"uneven",
     {5 * kMaxBlockSize + 17, 3, 2 * kMaxBlockSize + 1},
     {3 * kCompressorStraightRoom + 5, 100, std::size_t{1} << 16}}};

struct Damaged {
  std::string what;
  Bytes file;
};

// The file whole, then cut, with a byte changed, and with a length field of
// 0 and one above the largest block data, each at a place drawn from `seed`.
std::vector<Damaged> damaged_copies(const Bytes& file, std::uint64_t seed) {
  Random random(seed);
  std::vector<std::size_t> fields;
  for (std::size_t at = kMagicSize; at + kLengthFieldSize <= file.size();
       at += kLengthFieldSize + (file[at] | (file[at + 1] << 8))) {
    fields.push_back(at);
  }
  std::vector<Damaged> copies = {{"whole", file}};
  for (int k = 0; k < 2; ++k) {
    const std::size_t at = kMagicSize + random.below(file.size() - kMagicSize);
    copies.push_back({"cut at " + std::to_string(at), Bytes(file.begin(), file.begin() + at)});
    Bytes changed = file;
    changed[at] ^= static_cast<std::uint8_t>(1 + random.below(255));
    copies.push_back({"byte " + std::to_string(at) + " changed", changed});
  }
  for (const unsigned length : {0U, unsigned{kMaxBlockDataSize + 1}}) {
    const std::size_t at = fields[random.below(fields.size())];
    Bytes changed = file;
    changed[at] = static_cast<std::uint8_t>(length & 0xFF);
    changed[at + 1] = static_cast<std::uint8_t>(length >> 8);
    copies.push_back({"length " + std::to_string(length) + " at " + std::to_string(at), changed});
  }
  return copies;
}

// The Restorer on pools of 2 and 7 threads gives every damaged copy of
// `file` the outcome, the bytes and the records read that it gives without.
void expect_same_restores_with_threads(const Bytes& file, std::uint64_t seed) {
  Workers two(2);
  Workers seven(7);
  for (const Damaged& copy : damaged_copies(file, seed)) {
    for (const test::Chunking& chunking : kThreadChunkings) {
      const test::Streamed one = test::restore_in_pieces(copy.file, chunking);
      for (Workers* const pool : {&two, &seven}) {
        EXPECT_EQ(test::restore_in_pieces(copy.file, chunking, pool), one)
            << copy.what << ", " << chunking.name << ", " << pool->threads() << " threads";
      }
    }
  }
}

// The Compressor on pools of 2 and 7 threads writes the file that it writes
// without a pool, and compress() writes; the Restorer restores it and its
// damaged copies as it does without.
void expect_same_with_threads(const Bytes& source, std::uint64_t seed) {
  Workers two(2);
  Workers seven(7);
  Bytes file(compress_bound(source.size()));
  file.resize(compress(source, file));
  for (const test::Chunking& chunking : kThreadChunkings) {
    SCOPED_TRACE(chunking.name);
    EXPECT_EQ(test::compress_in_pieces(source, chunking), file) << "no pool";
    for (Workers* const pool : {&two, &seven}) {
      EXPECT_EQ(test::compress_in_pieces(source, chunking, pool), file)
          << pool->threads() << " threads";
    }
  }
  expect_same_restores_with_threads(file, seed);
}

TEST(Threads, GeneratedDataGivesTheSameFilesAndOutcomes) {
  for (const Shape shape : {Shape::kMixed, Shape::kRandom, Shape::kText}) {
    SCOPED_TRACE(test::name_of(shape));
    expect_same_with_threads(test::generate(shape, 20 * kMaxBlockSize + 1234, 3), 3);
  }
}

// Records that no compressor writes, many to a batch of input: one restores
// to nothing, one to the most its length allows.
const Bytes kMagicBytes(kFileMagic.begin(), kFileMagic.end());
const Bytes kEmptyRecord = test::from_hex("01 00 40");  // coded, no item
const Bytes kLongestRunRecord =
    test::from_hex("07 00 40 80 00 00 0F FF 61");                  // one run item: 4111 'a'
const Bytes kOneByteRecord = test::from_hex("02 00 80 41");        // stored "A"
const Bytes kRefusedRecord = test::from_hex("04 00 40 80 00 00");  // a run item cut off

Bytes copies(std::size_t count, const Bytes& bytes) {
  Bytes all;
  for (std::size_t i = 0; i < count; ++i) {
    all.insert(all.end(), bytes.begin(), bytes.end());
  }
  return all;
}

TEST(Threads, SmallRecordsGiveTheSameOutcomes) {
  Bytes block(compress_bound(3000));
  block.resize(compress(test::generate(Shape::kText, 3000, 5), block));
  const Bytes text_record(block.begin() + kMagicSize, block.end());
  const Bytes files[] = {
      kMagicBytes + copies(100000, kEmptyRecord) + text_record,
      kMagicBytes + copies(50, kEmptyRecord + kLongestRunRecord + kOneByteRecord),
      kMagicBytes + copies(5000, kEmptyRecord) + kRefusedRecord + copies(10, kEmptyRecord),
  };
  for (std::size_t i = 0; i < std::size(files); ++i) {
    SCOPED_TRACE("file " + std::to_string(i));
    expect_same_restores_with_threads(files[i], i);
  }
}

// 300 KB of records that restore to nothing go to the pool in one batch, as
// 300 KB of full blocks would, not in one batch per few records.
TEST(Threads, RecordsGoToThePoolByTheirBytes) {
  Workers two(2);
  const Bytes file = kMagicBytes + copies(100000, kEmptyRecord);
  const auto restorer = std::make_unique<detail::RestorerState>(two.c_pool());
  Bytes out(std::size_t{1} << 20);
  std::span<const std::uint8_t> input(file);
  std::span<std::uint8_t> output(out);
  EXPECT_EQ(restorer->restore(input, output), RestoreStatus::kOk);
  EXPECT_TRUE(input.empty());
  EXPECT_EQ(output.size(), out.size());
  EXPECT_EQ(restorer->records_read(), 100000U);
  EXPECT_EQ(restorer->pool_batches(), 1U);
}

TEST(Threads, CorpusGivesTheSameFilesAndOutcomes) {
  const auto files = test::corpus_files();
  if (files.empty()) {
    GTEST_SKIP() << "the corpus is not beside the project";
  }
  for (std::size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(files[i].filename().string());
    expect_same_with_threads(test::read_file(files[i]), i);
  }
}

}  // namespace
}  // namespace tarvix
