// Benchmarks of encode_block and decode_block over the corpus in 8 KiB
// blocks, with liblz4's block functions on the same blocks beside them, of
// the encoder's proof that a block must be stored, and of the walk that sizes
// a block without restoring it.
//
// Run: codec_bench [--corpus=DIR] [Google Benchmark flags]. Without a corpus
// it measures generated text so that the program still runs anywhere.
// Generated mixed data, and random bytes, which every block stores, are
// measured either way.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <tarvix/block_decoder.h>
#include <tarvix/block_encoder.h>
#include "block_encoder_internal.h"
#include "test_data.h"

#ifdef TARVIX_HAVE_LZ4
#include <lz4.h>
#endif

namespace {

using tarvix::test::Bytes;

struct Input {
  std::string name;
  Bytes contents;
};

// The blocks of one input, each coded once ahead of the decoding benchmarks.
struct CodedBlocks {
  std::vector<Bytes> blocks;
  std::size_t coded_bytes = 0;
};

std::vector<std::span<const std::uint8_t>> split(const Bytes& contents) {
  std::vector<std::span<const std::uint8_t>> blocks;
  for (std::size_t at = 0; at < contents.size(); at += tarvix::kMaxBlockSize) {
    blocks.emplace_back(contents.data() + at,
                        std::min(tarvix::kMaxBlockSize, contents.size() - at));
  }
  return blocks;
}

void report(benchmark::State& state, const Input& input, std::size_t coded_bytes) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.contents.size()));
  state.counters["ratio"] =
      static_cast<double>(coded_bytes) / static_cast<double>(input.contents.size());
}

void tarvix_encode(benchmark::State& state, const Input* input) {
  const auto blocks = split(input->contents);
  std::vector<std::uint8_t> output(tarvix::encoder_output_size(tarvix::kMaxBlockSize));
  std::size_t coded = 0;
  for (auto _ : state) {
    coded = 0;
    for (const auto block : blocks) {
      coded += tarvix::encode_block(block, output);
      benchmark::DoNotOptimize(output.data());
    }
    benchmark::ClobberMemory();
  }
  report(state, *input, coded);
}

// The encoder's proof that a block cannot shrink, alone: on random bytes it
// takes most of encode_block's time.
void tarvix_proof(benchmark::State& state, const Input* input) {
  const auto blocks = split(input->contents);
  std::size_t proved = 0;
  for (auto _ : state) {
    proved = 0;
    for (const auto block : blocks) {
      proved += tarvix::must_be_stored(block) ? block.size() : 0;
    }
    benchmark::DoNotOptimize(proved);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input->contents.size()));
  state.counters["proved"] =
      static_cast<double>(proved) / static_cast<double>(input->contents.size());
}

CodedBlocks code_blocks(const Input& input) {
  CodedBlocks coded;
  std::vector<std::uint8_t> output(tarvix::encoder_output_size(tarvix::kMaxBlockSize));
  for (const auto block : split(input.contents)) {
    const std::uint16_t n = tarvix::encode_block(block, output);
    coded.blocks.emplace_back(output.begin(), output.begin() + n);
    coded.coded_bytes += n;
  }
  return coded;
}

void tarvix_decode(benchmark::State& state, const Input* input) {
  const CodedBlocks coded = code_blocks(*input);
  std::vector<std::uint8_t> output(tarvix::encoder_output_size(tarvix::kMaxBlockSize));
  for (auto _ : state) {
    for (const auto& data : coded.blocks) {
      const auto n = tarvix::decode_block(data, output);
      benchmark::DoNotOptimize(n);
    }
    benchmark::ClobberMemory();
  }
  report(state, *input, coded.coded_bytes);
}

// The walk that sizes a block without restoring it, over the same blocks as
// tarvix_decode: the bytes per second are restored bytes, so the two compare
// directly.
void tarvix_restored_size(benchmark::State& state, const Input* input) {
  const CodedBlocks coded = code_blocks(*input);
  for (auto _ : state) {
    std::size_t restored = 0;
    for (const auto& data : coded.blocks) {
      restored += tarvix::block_restored_size(data).value_or(0);
    }
    benchmark::DoNotOptimize(restored);
  }
  report(state, *input, coded.coded_bytes);
}

#ifdef TARVIX_HAVE_LZ4
constexpr int kLz4Bound = LZ4_COMPRESSBOUND(tarvix::kMaxBlockSize);

void lz4_compress(benchmark::State& state, const Input* input) {
  const auto blocks = split(input->contents);
  std::vector<char> output(kLz4Bound);
  std::size_t coded = 0;
  for (auto _ : state) {
    coded = 0;
    for (const auto block : blocks) {
      coded += static_cast<std::size_t>(
          LZ4_compress_default(reinterpret_cast<const char*>(block.data()), output.data(),
                               static_cast<int>(block.size()), kLz4Bound));
      benchmark::DoNotOptimize(output.data());
    }
    benchmark::ClobberMemory();
  }
  report(state, *input, coded);
}

void lz4_decompress(benchmark::State& state, const Input* input) {
  std::vector<std::vector<char>> coded_blocks;
  std::size_t coded = 0;
  std::vector<char> output(kLz4Bound);
  for (const auto block : split(input->contents)) {
    const int n = LZ4_compress_default(reinterpret_cast<const char*>(block.data()), output.data(),
                                       static_cast<int>(block.size()), kLz4Bound);
    coded_blocks.emplace_back(output.begin(), output.begin() + n);
    coded += static_cast<std::size_t>(n);
  }
  for (auto _ : state) {
    for (const auto& data : coded_blocks) {
      const int n = LZ4_decompress_safe(data.data(), output.data(), static_cast<int>(data.size()),
                                        static_cast<int>(tarvix::kMaxBlockSize));
      benchmark::DoNotOptimize(n);
    }
    benchmark::ClobberMemory();
  }
  report(state, *input, coded);
}
#endif

// The corpus files in name order, and "all": the files one after another.
std::vector<Input> load_corpus(const std::filesystem::path& dir) {
  std::vector<Input> inputs;
  Input all{"all", {}};
  for (const auto& path : tarvix::test::corpus_files(dir)) {
    Input input{path.filename().string(), tarvix::test::read_file(path)};
    all.contents.insert(all.contents.end(), input.contents.begin(), input.contents.end());
    inputs.push_back(std::move(input));
  }
  inputs.insert(inputs.begin(), std::move(all));
  return inputs;
}

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path corpus = tarvix::test::corpus_dir();
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    constexpr std::string_view kFlag = "--corpus=";
    if (std::string_view(argv[i]).starts_with(kFlag)) {
      corpus = argv[i] + kFlag.size();
    } else {
      args.push_back(argv[i]);
    }
  }
  int arg_count = static_cast<int>(args.size());
  benchmark::Initialize(&arg_count, args.data());

  // The inputs live until the end of main, so the benchmarks may point at them.
  std::vector<Input> inputs;
  if (std::filesystem::is_directory(corpus)) {
    inputs = load_corpus(corpus);
  } else {
    std::printf("codec_bench: no corpus at %s; measuring generated text instead\n",
                corpus.string().c_str());
    inputs.push_back({"generated", tarvix::test::generate(tarvix::test::Shape::kText, 1 << 20, 1)});
  }
  // The generated mixed data of the tool's benchmarks, with a corpus or without.
  inputs.push_back({"mixed", tarvix::test::generate(tarvix::test::Shape::kMixed, 4 << 20, 3)});
  // Bytes that do not compress: every block is stored.
  inputs.push_back({"random", tarvix::test::generate(tarvix::test::Shape::kRandom, 1 << 20, 2)});
#ifndef TARVIX_HAVE_LZ4
  std::printf("codec_bench: built without liblz4; the lz4 comparison is skipped\n");
#endif
  for (const Input& input : inputs) {
    benchmark::RegisterBenchmark(("tarvix_encode/" + input.name).c_str(), tarvix_encode, &input);
#ifdef TARVIX_HAVE_LZ4
    benchmark::RegisterBenchmark(("lz4_compress/" + input.name).c_str(), lz4_compress, &input);
#endif
    benchmark::RegisterBenchmark(("tarvix_proof/" + input.name).c_str(), tarvix_proof, &input);
    benchmark::RegisterBenchmark(("tarvix_decode/" + input.name).c_str(), tarvix_decode, &input);
    benchmark::RegisterBenchmark(("tarvix_restored_size/" + input.name).c_str(),
                                 tarvix_restored_size, &input);
#ifdef TARVIX_HAVE_LZ4
    benchmark::RegisterBenchmark(("lz4_decompress/" + input.name).c_str(), lz4_decompress, &input);
#endif
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
