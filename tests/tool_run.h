// Runs the tool's file coder in-process on a source held in memory.
#ifndef TARVIX_TESTS_TOOL_RUN_H
#define TARVIX_TESTS_TOOL_RUN_H

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "result_code.h"

namespace tarvix::test {

struct ToolRun {
  ResultCode result;
  std::vector<std::uint8_t> target;
};

// A ToolRunner owns two scratch files, on a memory file system where there is
// one, and removes them when it goes.
class ToolRunner {
 public:
  ToolRunner();
  ~ToolRunner();
  ToolRunner(const ToolRunner&) = delete;
  ToolRunner& operator=(const ToolRunner&) = delete;
  ToolRunner(ToolRunner&&) = delete;
  ToolRunner& operator=(ToolRunner&&) = delete;

  // Writes `source` to the source file and runs code_file on the two files,
  // with standard output (the progress line) sent to /dev/null; returns the
  // result and what the target holds. The result is kNameMissing if the
  // source file cannot be written.
  ToolRun run(std::span<const std::uint8_t> source);

 private:
  std::string source_;
  std::string target_;
};

}  // namespace tarvix::test

#endif  // TARVIX_TESTS_TOOL_RUN_H
