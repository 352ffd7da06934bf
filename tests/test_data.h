// Helpers the tests share: hex byte strings, generated blocks and the corpus.
#ifndef TARVIX_TESTS_TEST_DATA_H
#define TARVIX_TESTS_TEST_DATA_H

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tarvix::test {

using Bytes = std::vector<std::uint8_t>;

// "40 10 00 61" -> {0x40, 0x10, 0x00, 0x61}. Blanks are ignored.
Bytes from_hex(std::string_view hex);

// The bytes of an ASCII text.
Bytes from_text(std::string_view text);

// `count` copies of `value`.
Bytes repeated(std::size_t count, std::uint8_t value);

// Concatenation.
Bytes operator+(Bytes a, const Bytes& b);

// Generated data of a given shape, the same for the same seed.
enum class Shape { kRandom, kText, kSmallAlphabet, kLongRuns, kMixed };
Bytes generate(Shape shape, std::size_t size, std::uint32_t seed);

// The files of the public corpus beside the project, or none when it is absent.
std::vector<std::filesystem::path> corpus_files();
Bytes read_file(const std::filesystem::path& path);

// Every corpus file cut into blocks of the largest block size, as compress
// mode cuts it; none when the corpus is absent.
struct CorpusBlock {
  std::string file;  // the file's name, for messages
  Bytes bytes;
};
std::vector<CorpusBlock> corpus_blocks();

}  // namespace tarvix::test

#endif  // TARVIX_TESTS_TEST_DATA_H
