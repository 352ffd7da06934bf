// The file coder: opens the files, chooses the mode, and moves bytes between
// the files and the library's streaming container on the pipeline.
#include "file_coder.h"

#include <tarvix/container.h>
#include <tarvix/workers.h>

#include <array>
#include <cassert>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>

#include "file_identity.h"
#include "pipeline.h"
#include "target_file.h"
#include "thread_count.h"

namespace tarvix {

namespace {

// Closes a file on every early return. The target's close is checked where it
// matters, in code_file; what closing the source reports cannot change a run.
struct FileCloser {
  void operator()(std::FILE* file) const noexcept { (void)std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// One run's block loop between two open files, in either mode, on the
// programs' pipeline.
//
// Its outcomes are those of the block-by-block order, whatever the batches
// and the threads: in that order each block is written before anything after
// it is read or judged. So a run that meets a failure (a seek or read that
// failed, a damaged record) first writes out every block before it, and if
// that write fails, the failed write is the result; and a failed write ends
// the run at once, with nothing after it written.
class BlockLoop {
 public:
  BlockLoop(PipelineAreas& areas, std::FILE* source, std::FILE* target, const char* source_name,
            const char* target_name, Workers* coders, Workers& io)
      : pipeline_(areas, source, target, coders, io),
        source_(source),
        source_name_(source_name),
        target_name_(target_name),
        coders_(coders) {}

  ResultCode compress();
  ResultCode restore(std::span<const std::uint8_t> magic);

 private:
  void print_progress_once(const char* format) {
    if (progress_pending_) {
      std::printf(format, source_name_, target_name_);
      progress_pending_ = false;
    }
  }
  // The result of a source that reads nothing more: its end, or a failure.
  ResultCode end_of_source() const {
    return pipeline_.read_failed() ? ResultCode::kSourceDamaged : ResultCode::kSuccess;
  }
  // Ends compress mode with `result`, once the last block has been read or
  // a failure met: the last block and every byte still held are written
  // first.
  ResultCode finish_compress(ResultCode result) {
    return pipeline_.finish(*compressor_) ? result : ResultCode::kWriteFailed;
  }

  Pipeline pipeline_;
  std::FILE* source_;
  const char* source_name_;
  const char* target_name_;
  Workers* coders_;
  bool progress_pending_ = true;
  // The loop's coder, made for the mode; it goes with the loop, before the
  // pools it points to.
  std::optional<Compressor> compressor_;
  std::optional<Restorer> restorer_;
};

ResultCode BlockLoop::compress() {
  Compressor& compressor = compressor_.emplace(coders_);
  if (!compressor) {
    // No memory for the coder's state: nothing can be written.
    return ResultCode::kWriteFailed;
  }
  // The bytes read to choose the mode belong to the first block. The magic,
  // which comes first, is written before a failed seek is reported.
  if (std::fseek(source_, 0, SEEK_SET) != 0) {
    return finish_compress(ResultCode::kSeekFailed);
  }
  auto code = [&](std::span<const std::uint8_t>& input, std::span<std::uint8_t>& output) {
    print_progress_once("Compressing %s to %s\n");
    return compressor.compress(input, output) == Status::kOk;
  };
  if (!pipeline_.pump(code)) {
    return ResultCode::kWriteFailed;
  }
  // The source has ended, or reading it failed.
  return finish_compress(end_of_source());
}

ResultCode BlockLoop::restore(std::span<const std::uint8_t> magic) {
  Restorer& restorer = restorer_.emplace(coders_);
  if (!restorer) {
    return ResultCode::kWriteFailed;
  }
  Status status = Status::kOk;
  // The progress line comes once the first record's block data has been
  // read, before that block is written or judged.
  auto code = [&](std::span<const std::uint8_t>& input, std::span<std::uint8_t>& output) {
    status = restorer.restore(input, output);
    if (restorer.records_read() != 0) {
      print_progress_once("Decompressing %s to %s\n");
    }
    return status == Status::kOk;
  };
  std::span<std::uint8_t> no_output;
  code(magic, no_output);
  assert(magic.empty() && status == Status::kOk);
  // The blocks before damage, or before the end of the file, are written
  // before either is judged.
  if (!pipeline_.pump(code)) {
    return ResultCode::kWriteFailed;
  }
  if (status != Status::kOk) {
    return ResultCode::kSourceDamaged;
  }
  // The end of the file, or a failure to read it: a record that it cuts
  // short is damage, and so is a read that failed between two records.
  const std::optional<Status> outcome = pipeline_.finish(restorer);
  if (!outcome) {
    return ResultCode::kWriteFailed;
  }
  return *outcome == Status::kOk ? end_of_source() : ResultCode::kSourceDamaged;
}

// Codes the open source into the open target on thread_count() threads: one
// thread is the reference path, with no coders' pool and the I/O in line on
// the one thread; with more, one I/O thread besides the coders. The pools'
// destructors join their threads on every path out of the run.
ResultCode code_open_files(std::FILE* source, std::FILE* target, const char* source_name,
                           const char* target_name, PipelineAreas& areas) {
  // The pipeline reads and writes in batches of its own.
  (void)std::setvbuf(source, nullptr, _IONBF, 0);
  (void)std::setvbuf(target, nullptr, _IONBF, 0);
  const unsigned threads = thread_count();
  std::optional<Workers> coders;
  if (threads > 1) {
    coders.emplace(threads);
  }
  Workers io(threads > 1 ? 2 : 1);
  BlockLoop loop(areas, source, target, source_name, target_name, coders ? &*coders : nullptr, io);
  std::array<std::uint8_t, kMagicSize> first{};
  if (std::fread(first.data(), kMagicSize, 1, source) == 1 && first == kFileMagic) {
    return loop.restore(first);
  }
  // Anything else is compressed, a source whose first read failed (a
  // directory) included: compress mode writes the magic before its own read
  // fails. The first read's error is cleared, so that compress mode's own
  // reads decide its result.
  std::clearerr(source);
  return loop.compress();
}

}  // namespace

ResultCode code_file(const char* source_name, const char* target_name, PipelineAreas& areas) {
  if (source_name == nullptr || target_name == nullptr) {
    return ResultCode::kNameMissing;
  }
  // One look at each name, before either file is opened.
  const std::optional<FileLook> source_look = look_at(source_name);
  const std::optional<FileLook> target_look = look_at(target_name);
  if (source_look && target_look && source_look->identity == target_look->identity) {
    return ResultCode::kSameNames;
  }
  File source(std::fopen(source_name, "rb"));
  if (!source) {
    return ResultCode::kSourceNotOpened;
  }
  std::FILE* opened_target = nullptr;
  const ResultCode opened = open_target(source_look, target_look, target_name, opened_target);
  if (opened != ResultCode::kSuccess) {
    return opened;
  }
  File target(opened_target);
  ResultCode result = code_open_files(source.get(), target.get(), source_name, target_name, areas);
  // The source closes first. A write that fails only when the target is
  // flushed or closed (a full disk) is still a failed write; the first
  // failure of the run is the one reported.
  source.reset();
  const bool target_flushed = std::fflush(target.get()) == 0;
  const bool target_closed = std::fclose(target.release()) == 0;
  if (result == ResultCode::kSuccess && !(target_flushed && target_closed)) {
    result = ResultCode::kWriteFailed;
  }
  return result;
}

}  // namespace tarvix
