// Fault sweeps: every cut, every bit flip near the start and every changed
// length field of a compressed file goes through code_file, in-process. Each
// outcome must be a correct restore or result 7, never a crash, a sanitizer
// report, or a success that hides damage the container can see. The outcome
// counts are printed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <tarvix/block_decoder.h>
#include <tarvix/block_format.h>
#include "file_coder.h"
#include "restore_oracle.h"
#include "result_code.h"

namespace tarvix {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kMagicSize = 4;

// Deterministic test data: text made of a small vocabulary (matches), runs of
// equal bytes (run items, some longer than one run item holds), and noise
// (stored blocks).
class SourceBuilder {
 public:
  SourceBuilder& text(std::size_t size) {
    static constexpr const char* kWords[] = {
        "block", "record", "the",   "of",   "length", "field", "restore", "target", "a",
        "run",   "match",  "items", "byte", "coded",  "form",  "stored",  "kind",   "and",
        "every", "cut",    "file",  "to",   "is",     "data",  "word",    "magic",  "in"};
    const std::size_t end = bytes_.size() + size;
    while (bytes_.size() < end) {
      const std::string word = kWords[next() % std::size(kWords)];
      for (const char c : word + (next() % 9 == 0 ? ".\n" : " ")) {
        if (bytes_.size() < end) {
          bytes_.push_back(static_cast<std::uint8_t>(c));
        }
      }
    }
    return *this;
  }
  SourceBuilder& run(std::uint8_t value, std::size_t size) {
    bytes_.insert(bytes_.end(), size, value);
    return *this;
  }
  SourceBuilder& noise(std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
      bytes_.push_back(static_cast<std::uint8_t>(next()));
    }
    return *this;
  }
  Bytes bytes() const { return bytes_; }

 private:
  std::uint32_t next() {  // xorshift32
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_;
  }
  std::uint32_t state_ = 2463534242u;
  Bytes bytes_;
};

// The names of the two scratch files, on a memory file system where there is one.
struct Scratch {
  Scratch() {
    const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
    const std::string base = std::string(dir ? dir : "/tmp") + "/tarvix-sweep-" +
                             std::to_string(static_cast<long>(getpid()));
    source = base + ".src";
    target = base + ".out";
  }
  ~Scratch() {
    (void)std::remove(source.c_str());
    (void)std::remove(target.c_str());
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  Scratch(Scratch&&) = delete;
  Scratch& operator=(Scratch&&) = delete;
  std::string source;
  std::string target;
};

// Sends standard output (the progress lines of thousands of runs) to
// /dev/null while it lives.
class QuietStdout {
 public:
  QuietStdout() : saved_((std::fflush(stdout), dup(STDOUT_FILENO))) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
  }
  ~QuietStdout() {
    (void)std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }
  QuietStdout(const QuietStdout&) = delete;
  QuietStdout& operator=(const QuietStdout&) = delete;
  QuietStdout(QuietStdout&&) = delete;
  QuietStdout& operator=(QuietStdout&&) = delete;

 private:
  int saved_;
};

void write_file(const std::string& name, std::span<const std::uint8_t> bytes) {
  std::FILE* file = std::fopen(name.c_str(), "wb");
  ASSERT_NE(file, nullptr) << name;
  ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
  ASSERT_EQ(std::fclose(file), 0);
}

Bytes read_file(const std::string& name) {
  struct stat status {};
  if (stat(name.c_str(), &status) != 0) {
    return {};
  }
  Bytes bytes(static_cast<std::size_t>(status.st_size));
  std::FILE* file = std::fopen(name.c_str(), "rb");
  if (file == nullptr) {
    return {};
  }
  bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file));
  (void)std::fclose(file);
  return bytes;
}

// A compressed file made by the tool, and where its records and blocks end.
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

Compressed compress(const Scratch& scratch, Bytes source) {
  Compressed compressed{std::move(source), {}, {}, {}};
  write_file(scratch.source, compressed.source);
  {
    const QuietStdout quiet;
    EXPECT_EQ(code_file(scratch.source.c_str(), scratch.target.c_str()), ResultCode::kSuccess);
  }
  compressed.file = read_file(scratch.target);
  const Bytes& file = compressed.file;
  for (std::size_t at = kMagicSize; at + 2 <= file.size();) {
    compressed.record_starts.push_back(at);
    const std::size_t block_end =
        std::min(compressed.records() * kMaxBlockSize, compressed.source.size());
    compressed.block_ends.push_back(block_end);
    at += 2 + (file[at] | (std::size_t{file[at + 1]} << 8));
  }
  EXPECT_EQ(compressed.records(), (compressed.source.size() + kMaxBlockSize - 1) / kMaxBlockSize);
  return compressed;
}

struct Outcome {
  ResultCode result;
  Bytes target;
};

Outcome restore(const Scratch& scratch) {
  ResultCode result = ResultCode::kSuccess;
  {
    const QuietStdout quiet;
    result = code_file(scratch.source.c_str(), scratch.target.c_str());
  }
  return {result, read_file(scratch.target)};
}

bool starts_with(const Bytes& bytes, const Bytes& prefix, std::size_t size) {
  return bytes.size() >= size && prefix.size() >= size &&
         (size == 0 || std::memcmp(bytes.data(), prefix.data(), size) == 0);
}

void print_counts(const char* sweep, std::size_t tried, const std::map<std::string, int>& counts) {
  std::printf("%s: %zu tried;", sweep, tried);
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

std::string name_of(ResultCode result) { return "result " + std::to_string(int(result)); }

// A source of about 56 KiB that compresses to more than 40 KiB, with coded
// and stored blocks, run items and a last block shorter than the rest. Mostly
// noise, so that the sweep's cost (cuts times bytes restored) stays small.
Bytes cut_sweep_source() {
  return SourceBuilder{}
      .text(9000)
      .run('a', 5000)
      .noise(17000)
      .text(6000)
      .run(0, 3000)
      .noise(16000)
      .text(1003)
      .bytes();
}

TEST(FaultSweep, EveryCutRestoresTheWholeBlocksBeforeIt) {
  const Scratch scratch;
  const Compressed compressed = compress(scratch, cut_sweep_source());
  const Bytes& file = compressed.file;
  ASSERT_GE(file.size(), std::size_t{40} * 1024);
  write_file(scratch.source, file);

  // Cut from the longest to the shortest, so each cut is one truncate. A cut
  // before the end of the magic is no longer a compressed file and is left out.
  std::map<std::string, int> counts;
  std::size_t tried = 0;
  const std::size_t stride = sweep_stride();
  std::size_t whole_records = compressed.records();
  for (std::size_t cut = file.size(); cut >= kMagicSize; --cut) {
    ASSERT_EQ(truncate(scratch.source.c_str(), static_cast<off_t>(cut)), 0);
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

    const Outcome outcome = restore(scratch);
    ++tried;
    ++counts[name_of(outcome.result)];
    ASSERT_EQ(outcome.result, on_boundary ? ResultCode::kSuccess : ResultCode::kSourceDamaged)
        << "cut " << cut;
    ASSERT_EQ(outcome.target.size(), restored) << "cut " << cut;
    ASSERT_TRUE(starts_with(outcome.target, compressed.source, restored)) << "cut " << cut;
  }
  print_counts("cut sweep", tried, counts);
  EXPECT_EQ(counts["result 0"], int(2 * compressed.records() + 1));
}

TEST(FaultSweep, EveryBitFlipNearTheStartIsRestoredOrRefused) {
  // The first 2 KiB hold a small first record, a tiny record of runs, and
  // part of a third, so flips land in length fields, control words and items.
  const Scratch scratch;
  const Compressed compressed = compress(
      scratch,
      SourceBuilder{}.run('x', 7000).text(1192).run(0, 8192).text(8192).noise(3000).bytes());
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
      write_file(scratch.source, damaged);
      const Outcome outcome = restore(scratch);
      ++tried;
      const std::string where = "byte " + std::to_string(at) + " bit " + std::to_string(bit);
      if (at < kMagicSize) {
        // Without the magic the file is compressed, not restored.
        ++counts["compressed (magic broken)"];
        ASSERT_EQ(outcome.result, ResultCode::kSuccess) << where;
        ASSERT_TRUE(starts_with(outcome.target, file, kMagicSize)) << where;
        continue;
      }
      ++counts[name_of(outcome.result)];
      ASSERT_TRUE(outcome.result == ResultCode::kSuccess ||
                  outcome.result == ResultCode::kSourceDamaged)
          << where;
      const ExpectedRestore expected = expected_restore(std::span(damaged).subspan(kMagicSize));
      ASSERT_EQ(outcome.result, expected.result) << where;
      ASSERT_EQ(outcome.target, expected.restored) << where;

      // The records before the damaged one restore exactly.
      std::size_t k = compressed.records() - 1;
      while (compressed.record_starts[k] > at) {
        --k;
      }
      ASSERT_TRUE(starts_with(outcome.target, compressed.source, compressed.blocks_before(k)))
          << where;
      // A success is plausible: no block larger than a block can be.
      ASSERT_LE(outcome.target.size(), kMaxBlockSize * (file.size() - kMagicSize) / 3) << where;
      if (at >= compressed.record_starts[k] + 2 && outcome.result == ResultCode::kSuccess) {
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
      if (outcome.result == ResultCode::kSourceDamaged && at >= compressed.record_starts[k] + 2) {
        // Nothing of a bad block is written.
        ASSERT_EQ(outcome.target.size(), compressed.blocks_before(k)) << where;
      }
    }
  }
  print_counts("bit flip sweep", tried, counts);
}

TEST(FaultSweep, EveryChangedLengthFieldIsRefusedAfterTheBlocksBeforeIt) {
  const Scratch scratch;
  const Compressed compressed = compress(scratch, cut_sweep_source());
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
      write_file(scratch.source, damaged);
      const Outcome outcome = restore(scratch);
      ++tried;
      const bool partly = outcome.target.size() > compressed.blocks_before(k);
      ++counts[name_of(outcome.result) + (partly ? " after a shorter record decoded" : "")];
      const std::string where =
          "record " + std::to_string(k) + " field " + std::to_string(low | (high << 8));
      const ExpectedRestore expected = expected_restore(std::span(damaged).subspan(kMagicSize));
      ASSERT_EQ(outcome.result, expected.result) << where;
      ASSERT_EQ(outcome.target, expected.restored) << where;
      // A shorter field may cut out a prefix of the record that decodes on its
      // own; the bytes after it are then read as a record and refused.
      ASSERT_TRUE(starts_with(outcome.target, compressed.source, compressed.blocks_before(k)))
          << where;
    }
  }
  print_counts("length field sweep", tried, counts);
}

}  // namespace
}  // namespace tarvix
