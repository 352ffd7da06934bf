// Fuzz target: the restore of any compressed file, by the container in memory
// and by the tool's file coder.
//
// The input is the part of a compressed file after the file magic. The
// container restores the file into heap areas of exactly the size each check
// gives, so AddressSanitizer stops any write past them:
//   - with restored_size_bound() bytes, the outcome is kOk or a fault in a
//     record, never kNotCompressed or kOutputTooSmall;
//   - with exactly the bytes restored, the outcome and the bytes are the same;
//   - with one byte less, it is kOutputTooSmall, after fewer whole blocks;
//   - the walk over the records to the end, restoring nothing, meets the same
//     outcome after the same bytes;
//   - code_file, run in-process on a file in /dev/shm, gives result 0 for kOk
//     and 7 for a fault, and its target holds exactly the bytes restored.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include <tarvix/container.h>
#include "fuzz_check.h"
#include "restore_oracle.h"
#include "tool_run.h"

using tarvix::RestoreResult;
using tarvix::RestoreStatus;

namespace {

struct Restored {
  RestoreResult result;
  std::unique_ptr<std::uint8_t[]> out;
};

Restored restore_into(std::span<const std::uint8_t> file, std::size_t room) {
  Restored restored{{}, std::make_unique<std::uint8_t[]>(room)};
  restored.result = tarvix::restore(file, std::span(restored.out.get(), room));
  FUZZ_CHECK(restored.result.restored <= room);
  return restored;
}

}  // namespace

// NOLINTNEXTLINE(readability-identifier-naming): the name libFuzzer calls.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The progress line would flood the fuzzer's output.
  FUZZ_CHECK(std::freopen("/dev/null", "w", stdout) != nullptr);
  return 0;
}

// NOLINTNEXTLINE(readability-identifier-naming): the name libFuzzer calls.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> file(tarvix::kFileMagic.begin(), tarvix::kFileMagic.end());
  file.insert(file.end(), data, data + size);

  const Restored bound = restore_into(file, tarvix::restored_size_bound(file));
  const RestoreStatus status = bound.result.status;
  const std::size_t restored = bound.result.restored;
  FUZZ_CHECK(status != RestoreStatus::kNotCompressed && status != RestoreStatus::kOutputTooSmall);

  const Restored exact = restore_into(file, restored);
  FUZZ_CHECK(exact.result.status == status && exact.result.restored == restored);
  FUZZ_CHECK(restored == 0 || std::memcmp(exact.out.get(), bound.out.get(), restored) == 0);
  if (restored > 0) {
    const Restored less = restore_into(file, restored - 1);
    FUZZ_CHECK(less.result.status == RestoreStatus::kOutputTooSmall);
    FUZZ_CHECK(less.result.restored < restored);
    FUZZ_CHECK(less.result.restored == 0 ||
               std::memcmp(less.out.get(), bound.out.get(), less.result.restored) == 0);
  }

  tarvix::Record last{};
  FUZZ_CHECK(tarvix::locate(file, UINT64_MAX, last) == status);
  FUZZ_CHECK(tarvix::restored_end(last) == restored);

  static tarvix::test::ToolRunner runner;
  const tarvix::test::ToolRun run = runner.run(file);
  const tarvix::ToolOutcome expected = tarvix::expected_tool_outcome(file);
  FUZZ_CHECK(run.result == expected.result);
  FUZZ_CHECK(run.target == expected.target);
  FUZZ_CHECK(
      expected.target.size() == restored &&
      (restored == 0 || std::memcmp(expected.target.data(), bound.out.get(), restored) == 0));
  return 0;
}
