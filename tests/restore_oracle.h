// A plain reading of a compressed file, record by record: the restore that
// its records call for. The fault sweeps and the restore fuzz target hold the
// file coder to it.
#ifndef TARVIX_TESTS_RESTORE_ORACLE_H
#define TARVIX_TESTS_RESTORE_ORACLE_H

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include <tarvix/block_decoder.h>
#include <tarvix/block_format.h>
#include "result_code.h"

namespace tarvix {

struct ExpectedRestore {
  ResultCode result;
  std::vector<std::uint8_t> restored;
};

// `records` is what follows the file magic. The result is 0 when every
// record decodes and no whole length field is left over, else 7; the
// restored bytes are the blocks of the records before the first bad one.
inline ExpectedRestore expected_restore(std::span<const std::uint8_t> records) {
  ExpectedRestore expected{ResultCode::kSuccess, {}};
  std::vector<std::uint8_t> block(kMaxBlockSize);
  std::size_t at = 0;
  while (records.size() - at >= 2) {
    const std::size_t length = records[at] | (std::size_t{records[at + 1]} << 8);
    at += 2;
    const bool readable =
        length != 0 && length <= kMaxBlockDataSize && records.size() - at >= length;
    const std::optional<std::uint16_t> decoded =
        readable ? decode_block(records.subspan(at, length), block) : std::nullopt;
    if (!decoded) {
      expected.result = ResultCode::kSourceDamaged;
      break;
    }
    expected.restored.insert(expected.restored.end(), block.begin(), block.begin() + *decoded);
    at += length;
  }
  return expected;
}

}  // namespace tarvix

#endif  // TARVIX_TESTS_RESTORE_ORACLE_H
