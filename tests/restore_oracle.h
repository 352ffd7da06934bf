// What the tool must make of a source, as the container gives it in memory:
// the fault sweeps and the restore fuzz target hold the file coder to it.
#ifndef TARVIX_TESTS_RESTORE_ORACLE_H
#define TARVIX_TESTS_RESTORE_ORACLE_H

#include <cstdint>
#include <span>
#include <vector>

#include <tarvix/container.h>
#include "result_code.h"

namespace tarvix {

struct ToolOutcome {
  RestoreStatus status;  // of restoring the source
  ResultCode result;     // what code_file returns
  std::vector<std::uint8_t> target;
};

// A source with the file magic is restored: result 0 for kOk, else 7, and the
// target holds the whole blocks before the fault. Any other source is
// compressed.
inline ToolOutcome expected_tool_outcome(std::span<const std::uint8_t> source) {
  std::vector<std::uint8_t> target(restored_size_bound(source));
  const RestoreResult restored = restore(source, target);
  if (restored.status == RestoreStatus::kNotCompressed) {
    target.resize(compress_bound(source.size()));
    target.resize(compress(source, target));
    return {restored.status, ResultCode::kSuccess, target};
  }
  target.resize(restored.restored);
  return {restored.status,
          restored.status == RestoreStatus::kOk ? ResultCode::kSuccess : ResultCode::kSourceDamaged,
          target};
}

}  // namespace tarvix

#endif  // TARVIX_TESTS_RESTORE_ORACLE_H
