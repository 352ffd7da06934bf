// whole_file: the tarvix tool's job on whole files in memory, through the C++
// interface <tarvix/container.h>.
//   whole_file SOURCE TARGET
// restores SOURCE into TARGET if SOURCE opens with the file magic, and
// compresses it otherwise; TARGET gets the tool's exact bytes.
#include <tarvix/container.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

bool read_file(const char* name, std::vector<std::uint8_t>& bytes) {
  std::ifstream in(name, std::ios::binary);
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad() && in.is_open();
}

bool write_file(const char* name, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(name, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  return !out.fail();
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: whole_file SOURCE TARGET\n");
    return 2;
  }
  std::vector<std::uint8_t> source;
  if (!read_file(argv[1], source)) {
    std::fprintf(stderr, "whole_file: cannot read %s\n", argv[1]);
    return 1;
  }

  std::vector<std::uint8_t> target;
  tarvix::RestoreStatus status = tarvix::RestoreStatus::kOk;
  if (source.size() >= tarvix::kMagicSize &&
      std::equal(tarvix::kFileMagic.begin(), tarvix::kFileMagic.end(), source.begin())) {
    // The bound reads only the length fields; a file the tool wrote restores
    // into it with less than a block to spare.
    target.resize(tarvix::restored_size_bound(source));
    const tarvix::RestoreResult result = tarvix::restore(source, target);
    target.resize(result.restored);  // the whole blocks before any fault, as the tool leaves them
    status = result.status;
  } else {
    target.resize(tarvix::compress_bound(source.size()));
    target.resize(tarvix::compress(source, target));
  }

  if (!write_file(argv[2], target)) {
    std::fprintf(stderr, "whole_file: cannot write %s\n", argv[2]);
    return 1;
  }
  if (status != tarvix::RestoreStatus::kOk) {
    std::fprintf(stderr, "whole_file: %s is damaged (status %d); %zu bytes restored\n", argv[1],
                 static_cast<int>(status), target.size());
    return 1;
  }
  return 0;
}
