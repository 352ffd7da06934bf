// Helpers the tests share.
#include "test_data.h"

#include <tarvix/block_format.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>

namespace tarvix::test {

Bytes from_hex(std::string_view hex) {
  Bytes bytes;
  std::string digits;
  for (const char c : hex) {
    if (c != ' ') {
      digits.push_back(c);
    }
  }
  if (digits.size() % 2 != 0) {
    throw std::invalid_argument("odd number of hex digits");
  }
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

Bytes from_text(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes repeated(std::size_t count, std::uint8_t value) { return Bytes(count, value); }

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes generate(Shape shape, std::size_t size, std::uint32_t seed) {
  std::mt19937 random(seed);
  const auto below = [&random](std::uint32_t n) {
    return std::uniform_int_distribution<std::uint32_t>(0, n - 1)(random);
  };
  static constexpr std::string_view kWords[] = {"the ",  "block ", "of ", "a ",  "compressed ",
                                                "file ", "and ",   "to ", "is ", "\n"};
  Bytes bytes;
  bytes.reserve(size);
  while (bytes.size() < size) {
    Shape piece = shape;
    if (shape == Shape::kMixed) {
      piece = static_cast<Shape>(below(4));
    }
    switch (piece) {
      case Shape::kRandom:
        bytes.push_back(static_cast<std::uint8_t>(below(256)));
        break;
      case Shape::kText: {
        const std::string_view word = kWords[below(std::size(kWords))];
        bytes.insert(bytes.end(), word.begin(), word.end());
        break;
      }
      case Shape::kSmallAlphabet:
        bytes.push_back(static_cast<std::uint8_t>('a' + below(3)));
        break;
      case Shape::kLongRuns:
      case Shape::kMixed:
        bytes.insert(bytes.end(), 1 + below(5000), static_cast<std::uint8_t>(below(4)));
        break;
    }
  }
  bytes.resize(size);
  return bytes;
}

std::vector<std::filesystem::path> corpus_files() {
  std::vector<std::filesystem::path> files;
  const std::filesystem::path folder = TARVIX_CORPUS_DIR;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    if (entry.is_regular_file()) {
      files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

Bytes read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<CorpusBlock> corpus_blocks() {
  std::vector<CorpusBlock> blocks;
  for (const auto& file : corpus_files()) {
    const Bytes bytes = read_file(file);
    for (std::size_t start = 0; start < bytes.size(); start += kMaxBlockSize) {
      const auto first = bytes.begin() + static_cast<std::ptrdiff_t>(start);
      const std::size_t size = std::min(kMaxBlockSize, bytes.size() - start);
      blocks.push_back(
          {file.filename().string(), Bytes(first, first + static_cast<std::ptrdiff_t>(size))});
    }
  }
  return blocks;
}

}  // namespace tarvix::test
