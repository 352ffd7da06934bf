// Tests of the programs' pipeline: where a signal handler may end a target
// that a WriteWatch follows, and that the pipeline writes nothing after it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

#include "pipeline.h"

namespace tarvix {
namespace {

enum class Write { kWhole, kCutShort, kUnderWay };

struct WatchCase {
  const char* name;
  std::vector<Write> writes;
  bool claimed;
};

// Only the end of a whole write, with none under way, is a record boundary.
TEST(WriteWatch, AHandlerClaimsOnlyTheEndOfAWholeWrite) {
  const WatchCase cases[] = {
      {"nothing written", {}, false},
      {"after a whole write", {Write::kWhole, Write::kWhole}, true},
      {"during a write", {Write::kWhole, Write::kUnderWay}, false},
      {"after a write cut short", {Write::kWhole, Write::kCutShort}, false},
      {"after whole writes that follow a cut", {Write::kCutShort, Write::kWhole}, false},
  };
  for (const WatchCase& c : cases) {
    WriteWatch watch;
    for (const Write write : c.writes) {
      ASSERT_TRUE(watch.begin_write()) << c.name;
      if (write != Write::kUnderWay) {
        watch.end_write(write == Write::kWhole);
      }
    }
    EXPECT_EQ(watch.claim_boundary(), c.claimed) << c.name;
    EXPECT_FALSE(watch.claim_boundary()) << c.name << ", claimed again";
  }
}

// Once a handler has written its mark after the last whole write, the
// pipeline's next write must not follow it.
TEST(WriteWatch, APipelineWritesNothingOnceItsTargetIsClaimed) {
  std::FILE* const source = std::tmpfile();
  std::FILE* const target = std::tmpfile();
  ASSERT_NE(source, nullptr);
  ASSERT_NE(target, nullptr);
  ASSERT_GE(std::fputs("bytes to copy", source), 0);
  std::rewind(source);
  WriteWatch watch;
  ASSERT_TRUE(watch.begin_write());
  watch.end_write(true);
  ASSERT_TRUE(watch.claim_boundary());
  Workers io(1);
  static PipelineAreas areas;
  Pipeline pipeline(areas, source, target, nullptr, io, &watch);
  auto copy = [](std::span<const std::uint8_t>& input, std::span<std::uint8_t>& output) {
    const std::size_t size = std::min(input.size(), output.size());
    std::copy_n(input.begin(), size, output.begin());
    input = input.subspan(size);
    output = output.subspan(size);
    return true;
  };
  EXPECT_FALSE(pipeline.pump(copy));
  EXPECT_EQ(std::ftell(target), 0);
  EXPECT_EQ(pipeline.bytes_written(), 0U);
  (void)std::fclose(source);
  (void)std::fclose(target);
}

}  // namespace
}  // namespace tarvix
