// Fuzz target: the whole restore path of the file coder.
//
// The input is the part of a compressed file after the file magic. It is
// written to a temporary file behind the magic and restored with code_file,
// as the tool would; the outcome is then checked against a plain reading of
// the container that decodes each record on its own:
//   - the result is 0 when every record decodes and no whole length field is
//     left over, else 7; nothing else (3 to 6 would mean the harness broke);
//   - the target holds exactly the blocks of the records before the first bad
//     one, so damage the container shows is never hidden behind a success.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include <tarvix/block_decoder.h>
#include "file_coder.h"
#include "fuzz_check.h"
#include "restore_oracle.h"
#include "result_code.h"

using tarvix::code_file;
using tarvix::ResultCode;

namespace {

std::string source_name;
std::string target_name;

void remove_files() {
  (void)std::remove(source_name.c_str());
  (void)std::remove(target_name.c_str());
}

std::vector<std::uint8_t> read_whole(const std::string& name) {
  std::vector<std::uint8_t> bytes;
  std::FILE* file = std::fopen(name.c_str(), "rb");
  FUZZ_CHECK(file != nullptr);
  std::uint8_t chunk[4096];
  std::size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  (void)std::fclose(file);
  return bytes;
}

}  // namespace

// NOLINTNEXTLINE(readability-identifier-naming): the name libFuzzer calls.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The progress line would flood the fuzzer's output.
  FUZZ_CHECK(std::freopen("/dev/null", "w", stdout) != nullptr);
  const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
  const std::string base = std::string(dir ? dir : "/tmp") + "/tarvix-fuzz-restore-" +
                           std::to_string(static_cast<long>(getpid()));
  source_name = base + ".tvx";
  target_name = base + ".out";
  (void)std::atexit(remove_files);
  return 0;
}

// NOLINTNEXTLINE(readability-identifier-naming): the name libFuzzer calls.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static constexpr std::uint8_t kMagic[] = {0xD8, 0xC7, 0xB6, 0xA5};
  std::FILE* source = std::fopen(source_name.c_str(), "wb");
  FUZZ_CHECK(source != nullptr);
  FUZZ_CHECK(std::fwrite(kMagic, 1, sizeof kMagic, source) == sizeof kMagic);
  FUZZ_CHECK(size == 0 || std::fwrite(data, 1, size, source) == size);
  FUZZ_CHECK(std::fclose(source) == 0);

  const ResultCode result = code_file(source_name.c_str(), target_name.c_str());
  const tarvix::ExpectedRestore expected = tarvix::expected_restore(std::span(data, size));
  FUZZ_CHECK(result == ResultCode::kSuccess || result == ResultCode::kSourceDamaged);
  FUZZ_CHECK(result == expected.result);
  FUZZ_CHECK(read_whole(target_name) == expected.restored);
  return 0;
}
