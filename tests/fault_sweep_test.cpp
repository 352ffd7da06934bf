// Fault sweeps: every cut, every bit flip near the start and every changed
// length field of a compressed file, restored by the container in memory.
// Each outcome must be a correct restore or a fault that the container names,
// never a crash, a sanitizer report, or a success that hides damage the
// container can see. The tool is held to the same outcomes: code_file runs
// in-process on the first damaged file of each distinct outcome, and on every
// 50th. The outcome counts are printed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <tarvix/container.h>
#include "restore_oracle.h"
#include "result_code.h"
#include "test_data.h"
#include "tool_run.h"

namespace tarvix {
namespace {

using test::Bytes;
using test::operator+;
using test::repeated;

// The pieces of the sources: text (coded blocks of matches), runs of one
// byte (run items, some longer than one run item holds) and noise (stored
// blocks).
Bytes text(std::size_t size, std::uint64_t seed) {
  return test::generate(test::Shape::kText, size, seed);
}
Bytes noise(std::size_t size, std::uint64_t seed) {
  return test::generate(test::Shape::kRandom, size, seed);
}

// Holds code_file to the outcomes that the container gives: on the first source of each distinct
// outcome, on every kEvery-th, and on every source given with `always`.
class ToolCheck {
 public:
  static constexpr std::size_t kEvery = 50;

  void expect(std::span<const std::uint8_t> source, const ToolOutcome& expected,
              const std::string& where, bool always = false) {
    const bool new_outcome = seen_.emplace(expected.status, expected.target.size()).second;
    if (!always && !new_outcome && ++calls_ % kEvery != 0) {
      return;
    }
    ++runs_;
    const test::ToolRun run = runner_.run(source);
    ASSERT_EQ(run.result, expected.result) << where;
    ASSERT_EQ(run.target, expected.target) << where;
  }
  std::size_t runs() const { return runs_; }

 private:
  test::ToolRunner runner_;
  std::set<std::pair<RestoreStatus, std::size_t>> seen_;
  std::size_t calls_ = 0;
  std::size_t runs_ = 0;
};

// A compressed file, and where its records and blocks end.
struct Compressed {
  Bytes source;
  Bytes file;
  std::vector<std::size_t> record_starts;  // offset of each length field
  std::vector<std::size_t> block_ends;     // restored bytes after each record

  std::size_t records() const { return record_starts.size(); }
  std::size_t record_end(std::size_t k) const {
    return k + 1 < records() ? record_starts[k + 1] : file.size();
  }
  std::size_t blocks_before(std::size_t k) const { return k == 0 ? 0 : block_ends[k - 1]; }
};

// Compresses `source` in memory, where the tool must write the same file.
// Each record is the file of its block alone without the magic.
Compressed compress_source(ToolCheck& tool, Bytes source) {
  Compressed compressed{std::move(source), {}, {}, {}};
  const ToolOutcome outcome = expected_tool_outcome(compressed.source);
  EXPECT_EQ(outcome.status, RestoreStatus::kNotCompressed);
  tool.expect(compressed.source, outcome, "compress", true);
  compressed.file = outcome.target;
  std::size_t at = kMagicSize;
  for (std::size_t start = 0; start < compressed.source.size(); start += kMaxBlockSize) {
    const std::size_t end = std::min(start + kMaxBlockSize, compressed.source.size());
    const auto block = std::span(compressed.source).subspan(start, end - start);
    compressed.record_starts.push_back(at);
    compressed.block_ends.push_back(end);
    at += expected_tool_outcome(block).target.size() - kMagicSize;
  }
  EXPECT_EQ(at, compressed.file.size());
  return compressed;
}

bool starts_with(const Bytes& bytes, const Bytes& prefix, std::size_t size) {
  return bytes.size() >= size && prefix.size() >= size &&
         (size == 0 || std::memcmp(bytes.data(), prefix.data(), size) == 0);
}

void print_counts(const char* sweep, std::size_t tried, const ToolCheck& tool,
                  const std::map<std::string, int>& counts) {
  std::printf("%s: %zu tried, %zu runs of the tool;", sweep, tried, tool.runs());
  for (const auto& [outcome, count] : counts) {
    std::printf(" %s: %d;", outcome.c_str(), count);
  }
  std::printf("\n");
}

// TARVIX_SWEEP_STRIDE=N makes the cut and bit flip sweeps try every Nth case
// only (and every cut next to a record boundary), for runs under valgrind.
std::size_t sweep_stride() {
  const char* const stride = std::getenv("TARVIX_SWEEP_STRIDE");
  const unsigned long value = stride == nullptr ? 1 : std::strtoul(stride, nullptr, 10);
  return value == 0 ? 1 : value;
}

std::string name_of(RestoreStatus status) {
  switch (status) {
    case RestoreStatus::kOk:
      return "ok";
    case RestoreStatus::kNotCompressed:
      return "not compressed";
    case RestoreStatus::kCutShort:
      return "cut short";
    case RestoreStatus::kBadLength:
      return "bad length";
    case RestoreStatus::kBadBlockData:
      return "bad block data";
    case RestoreStatus::kOutputTooSmall:
    case RestoreStatus::kMisuse:
    case RestoreStatus::kReadFailed:
      break;
  }
  return "output too small";
}

// A source of about 56 KiB that compresses to more than 40 KiB, with coded
// and stored blocks, run items and a last block shorter than the rest. Mostly
// noise, so that the sweep's cost (cuts times bytes restored) stays small.
Bytes cut_sweep_source() {
  return text(9000, 1) + repeated(5000, 'a') + noise(17000, 2) + text(6000, 3) + repeated(3000, 0) +
         noise(16000, 4) + text(1003, 5);
}

TEST(FaultSweep, EveryCutRestoresTheWholeBlocksBeforeIt) {
  ToolCheck tool;
  const Compressed compressed = compress_source(tool, cut_sweep_source());
  const Bytes& file = compressed.file;
  ASSERT_GE(file.size(), std::size_t{40} * 1024);

  // A cut before the end of the magic is no longer a compressed file and is
  // left out.
  std::map<std::string, int> counts;
  std::size_t tried = 0;
  const std::size_t stride = sweep_stride();
  std::size_t whole_records = compressed.records();
  for (std::size_t cut = file.size(); cut >= kMagicSize; --cut) {
    while (whole_records > 0 && compressed.record_end(whole_records - 1) > cut) {
      --whole_records;
    }
    const std::size_t boundary =
        whole_records == 0 ? kMagicSize : compressed.record_end(whole_records - 1);
    const bool on_boundary = cut == boundary || cut == boundary + 1;
    const std::size_t restored = compressed.blocks_before(whole_records);
    if (cut % stride != 0 && cut > boundary + 2) {
      continue;
    }

    const auto cut_file = std::span(file).first(cut);
    const ToolOutcome outcome = expected_tool_outcome(cut_file);
    ++tried;
    ++counts[name_of(outcome.status)];
    const std::string where = "cut " + std::to_string(cut);
    ASSERT_EQ(outcome.status, on_boundary ? RestoreStatus::kOk : RestoreStatus::kCutShort) << where;
    ASSERT_EQ(outcome.target.size(), restored) << where;
    ASSERT_TRUE(starts_with(outcome.target, compressed.source, restored)) << where;
    ASSERT_NO_FATAL_FAILURE(tool.expect(cut_file, outcome, where));
  }
  print_counts("cut sweep", tried, tool, counts);
  EXPECT_EQ(counts["ok"], int(2 * compressed.records() + 1));
}

TEST(FaultSweep, EveryBitFlipNearTheStartIsRestoredOrRefused) {
  // The first 2 KiB hold a small first record, a tiny record of runs, and
  // part of a third, so flips land in length fields, control words and items.
  ToolCheck tool;
  const Compressed compressed =
      compress_source(tool, repeated(7000, 'x') + text(1192, 1) + repeated(8192, 0) +
                                text(8192, 2) + noise(3000, 3));
  ASSERT_GE(compressed.records(), 4u);
  ASSERT_LT(compressed.record_starts[2], std::size_t{2048});
  const Bytes& file = compressed.file;

  std::map<std::string, int> counts;
  std::size_t tried = 0;
  for (std::size_t at = 0; at < std::min<std::size_t>(2048, file.size()); ++at) {
    for (int bit = 0; bit < 8; ++bit) {
      if ((at * 8 + bit) % sweep_stride() != 0) {
        continue;
      }
      Bytes damaged = file;
      damaged[at] ^= static_cast<std::uint8_t>(1 << bit);
      const ToolOutcome outcome = expected_tool_outcome(damaged);
      ++tried;
      const std::string where = "byte " + std::to_string(at) + " bit " + std::to_string(bit);
      ASSERT_NO_FATAL_FAILURE(tool.expect(damaged, outcome, where));
      if (at < kMagicSize) {
        // Without the magic the file is compressed, not restored.
        ++counts["compressed (magic broken)"];
        ASSERT_EQ(outcome.status, RestoreStatus::kNotCompressed) << where;
        ASSERT_TRUE(starts_with(outcome.target, file, kMagicSize)) << where;
        continue;
      }
      ++counts[name_of(outcome.status)];
      ASSERT_TRUE(outcome.status != RestoreStatus::kNotCompressed &&
                  outcome.status != RestoreStatus::kOutputTooSmall)
          << where;

      // The records before the damaged one restore exactly.
      std::size_t k = compressed.records() - 1;
      while (compressed.record_starts[k] > at) {
        --k;
      }
      ASSERT_TRUE(starts_with(outcome.target, compressed.source, compressed.blocks_before(k)))
          << where;
      // A success is plausible: no block larger than a block can be.
      ASSERT_LE(outcome.target.size(), kMaxBlockSize * (file.size() - kMagicSize) / 3) << where;
      const bool in_block_data = at >= compressed.record_starts[k] + 2;
      if (in_block_data && outcome.status == RestoreStatus::kOk) {
        // Damage inside one record's data leaves the records after it intact.
        const std::size_t tail = compressed.source.size() - compressed.block_ends[k];
        ASSERT_GE(outcome.target.size(), compressed.blocks_before(k) + tail) << where;
        ASSERT_LE(outcome.target.size(), compressed.blocks_before(k) + kMaxBlockSize + tail)
            << where;
        ASSERT_TRUE(std::equal(compressed.source.end() - static_cast<std::ptrdiff_t>(tail),
                               compressed.source.end(),
                               outcome.target.end() - static_cast<std::ptrdiff_t>(tail)))
            << where;
      }
      if (in_block_data && outcome.status != RestoreStatus::kOk) {
        // Nothing of a bad block is written.
        ASSERT_EQ(outcome.target.size(), compressed.blocks_before(k)) << where;
      }
    }
  }
  print_counts("bit flip sweep", tried, tool, counts);
}

TEST(FaultSweep, EveryChangedLengthFieldIsRefusedAfterTheBlocksBeforeIt) {
  ToolCheck tool;
  const Compressed compressed = compress_source(tool, cut_sweep_source());
  const Bytes& file = compressed.file;

  std::map<std::string, int> counts;
  std::size_t tried = 0;
  for (std::size_t k = 0; k < compressed.records(); ++k) {
    const std::size_t field = compressed.record_starts[k];
    // Each byte of the field flipped whole, then the values that can never be
    // well formed: 0, one past the largest block data, and the largest field.
    std::vector<std::pair<std::uint8_t, std::uint8_t>> changes = {
        {static_cast<std::uint8_t>(~file[field]), file[field + 1]},
        {file[field], static_cast<std::uint8_t>(~file[field + 1])},
        {0x00, 0x00},
        {0x02, 0x20},
        {0xFF, 0xFF}};
    for (const auto& [low, high] : changes) {
      Bytes damaged = file;
      damaged[field] = low;
      damaged[field + 1] = high;
      const ToolOutcome outcome = expected_tool_outcome(damaged);
      ++tried;
      const bool partly = outcome.target.size() > compressed.blocks_before(k);
      ++counts[name_of(outcome.status) + (partly ? " after a shorter record decoded" : "")];
      const std::string where =
          "record " + std::to_string(k) + " field " + std::to_string(low | (high << 8));
      ASSERT_NO_FATAL_FAILURE(tool.expect(damaged, outcome, where, true));
      // A shorter field may cut out a prefix of the record that decodes on its
      // own; the bytes after it are then read as a record and refused.
      ASSERT_TRUE(starts_with(outcome.target, compressed.source, compressed.blocks_before(k)))
          << where;
    }
  }
  print_counts("length field sweep", tried, tool, counts);
}

}  // namespace
}  // namespace tarvix
