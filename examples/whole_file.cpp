// whole_file: the tarvix tool's job on whole files in memory, through the C++
// interface <tarvix/container.h>.
//   whole_file SOURCE TARGET
// restores SOURCE into TARGET if SOURCE opens with the file magic, and
// compresses it otherwise; TARGET gets the tool's exact bytes. Restoring
// streams into memory, so that TARGET takes only the bytes that SOURCE
// restores to, whoever wrote it.
#include <tarvix/container.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <span>
#include <vector>

namespace {

bool read_file(const char* name, std::vector<std::uint8_t>& bytes) {
  std::ifstream in(name, std::ios::binary);
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad() && in.is_open();
}

// Restores `file` into `target` with a Restorer, one area at a time: the
// whole blocks before any fault, as the tool leaves them; returns the
// outcome. (Sizing `target` by restored_size_bound() would trust the file: 3
// bytes of a hostile one may ask for a whole block and restore to nothing.)
tarvix::RestoreStatus restore_file(std::span<const std::uint8_t> file,
                                   std::vector<std::uint8_t>& target) {
  tarvix::Restorer restorer;
  std::vector<std::uint8_t> area(std::size_t{1} << 16);
  // Calls `code` on the whole area and keeps what it wrote there.
  auto into_area = [&](auto code) {
    std::span<std::uint8_t> output(area);
    const auto result = code(output);
    target.insert(target.end(), area.begin(),
                  area.end() - static_cast<std::ptrdiff_t>(output.size()));
    return result;
  };
  tarvix::RestoreStatus status = tarvix::RestoreStatus::kOk;
  while (!file.empty() && status == tarvix::RestoreStatus::kOk) {
    status =
        into_area([&](std::span<std::uint8_t>& output) { return restorer.restore(file, output); });
  }
  tarvix::FinishResult ending{};
  do {
    ending = into_area([&](std::span<std::uint8_t>& output) { return restorer.finish(output); });
  } while (ending.held != 0);
  return ending.status;
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
    status = restore_file(source, target);
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
