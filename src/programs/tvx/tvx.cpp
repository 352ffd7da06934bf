// tvx's run over its files: each file's source opened and checked, coded into
// its target on the programs' pipeline, and finished; and what it reports.
#include "tvx.h"

#include <tarvix/container.h>
#include <tarvix/workers.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>

#include "folders.h"
#include "join.h"
#include "pending_target.h"
#include "pipeline.h"
#include "platform.h"
#include "progress.h"
#include "range.h"
#include "signals.h"
#include "source.h"
#include "thread_count.h"
#include "walk.h"

namespace tarvix::tvx {

namespace {

constexpr std::string_view kSuffix = ".tvx";

bool has_suffix(std::string_view name) {
  return name.size() > kSuffix.size() && name.ends_with(kSuffix);
}

void report(const char* name, const char* reason) {
  (void)std::fprintf(stderr, "tvx: %s: %s\n", name, reason);
}

// A failure the system told: its errno, or EIO when it told none. A file
// that exists is kept, and the message says how to replace it.
void report_error(const char* name, int error) {
  (void)std::fprintf(stderr, "tvx: %s: %s%s\n", name, std::strerror(error != 0 ? error : EIO),
                     error == EEXIST ? " (use -f to overwrite)" : "");
}

// Where the bytes of one file go.
struct Target {
  enum class Kind { kNothing, kStandardOutput, kFile };
  Kind kind = Kind::kNothing;
  const char* name = nullptr;                            // of a file
  std::array<char, PendingTarget::kMaxName + 1> made{};  // a name made from the source's

  const char* shown() const { return kind == Kind::kFile ? name : "stdout"; }
};

// What one file gave: bytes read and written, records and stored blocks.
struct Counts {
  std::uint64_t read = 0;
  std::uint64_t written = 0;
  std::uint64_t records = 0;
  std::uint64_t stored = 0;
};

// One file's way through a run, from its name on.
struct FileRun {
  explicit FileRun(const char* file)
      : name(file),
        from_stdin(std::strcmp(file, "-") == 0),
        source_name(from_stdin ? "stdin" : file) {}

  const char* name;
  bool from_stdin;
  const char* source_name;
  Target target;
  Source source;
  Counts counts;
  bool removes_source = false;  // --rm, and the source is a file to remove
};

// The compressed size over the restored one, or "-" for nothing restored.
const char* ratio_of(std::uint64_t compressed, std::uint64_t restored, std::array<char, 16>& text) {
  if (restored == 0) {
    return "-";
  }
  (void)std::snprintf(text.data(), text.size(), "%.3f",
                      static_cast<double>(compressed) / static_cast<double>(restored));
  return text.data();
}

// Prints a line of -l; false, with errno set, when standard output fails.
bool print_list_row(const Counts& counts, const char* name) {
  std::array<char, 16> ratio{};
  return std::printf("%14" PRIu64 " %14" PRIu64 " %6s %9" PRIu64 " %8" PRIu64 "  %s\n", counts.read,
                     counts.written, ratio_of(counts.read, counts.written, ratio), counts.records,
                     counts.stored, name) >= 0;
}

// The source closed, and with --rm removed.
bool finish_source(FileRun& run) {
  close_source(run.source);
  if (run.removes_source && !remove_source(run.name)) {
    report_error(run.name, errno);
    return false;
  }
  return true;
}

class Runner {
 public:
  Runner(const Options& options, Areas& areas);

  // Codes one file, "-" for standard input; false when it failed.
  bool process(const char* name);
  // Joins the files, as parts, into one; false when it failed.
  bool join();
  // Ends the run: the totals of a list of several files. False when the
  // list could not be written.
  bool finish();
  // True once a write found that nothing reads its pipe: the run ends.
  bool reader_gone() const { return reader_gone_; }

 private:
  Mode mode() const { return options_.mode; }
  Workers* pool() { return threads_ > 1 ? &coders_ : nullptr; }

  // The steps of process(): where the bytes go, the source opened and
  // checked, the source coded into its target, the source finished.
  bool choose_target(FileRun& run);
  bool make_target_name(FileRun& run);
  bool open_checked_source(FileRun& run);
  // Compressed data is neither written to a terminal nor read from one, but
  // with -f; true, reported, when the file's run would.
  bool refuses_terminal(const FileRun& run);
  bool code_into_target(FileRun& run);
  bool open_pending_target(FileRun& run, PendingTarget& pending) const;

  // Codes the source into `target` (null: nothing), or lists it; false when
  // it failed, the failure reported.
  bool code(FileRun& run, std::FILE* target);
  // The outcome of coding the source, or std::nullopt when a write failed;
  // `walk_error` is set when a walk to a range could not read.
  std::optional<Status> code_stream(Pipeline& pipeline, FileRun& run, int& walk_error);
  // Reports what went wrong in code(), the first that did: a failed write,
  // then a failed read, which may have cut the file short, then damage.
  bool judge(const Pipeline& pipeline, const FileRun& run, std::FILE* target,
             const std::optional<Status>& outcome, int walk_error);
  // The counts of -l, from a walk over the records.
  bool list_records(FileRun& run);

  void report_done(const FileRun& run);
  void add_to_list(const Counts& counts, const char* name);
  // Prints a line of -l, and keeps the first failure to write it.
  void list(const Counts& counts, const char* name);
  // Whether `error`, from a write, says that nothing reads the pipe written:
  // then SIGPIPE is raised, as a write on this thread would have raised it,
  // and ends the process, or where it is ignored, the run.
  bool is_lost_reader(int error);

  const Options& options_;
  Areas& areas_;
  const unsigned threads_;
  Workers coders_;
  Workers io_;
  Compressor compressor_;
  Restorer restorer_;
  ProgressLine progress_;
  Counts totals_;
  std::size_t listed_ = 0;
  int list_error_ = 0;  // errno of the first line of -l that was not written
  bool reader_gone_ = false;
};

Runner::Runner(const Options& options, Areas& areas)
    : options_(options),
      areas_(areas),
      threads_(options.threads != 0 ? options.threads : automatic_thread_count()),
      coders_(threads_),
      io_(threads_ > 1 ? 2 : 1),
      compressor_(threads_ > 1 ? &coders_ : nullptr),
      restorer_(threads_ > 1 ? &coders_ : nullptr),
      progress_(options.progress) {
  restorer_.set_concatenated(true);
}

bool Runner::process(const char* name) {
  FileRun run(name);
  if (!choose_target(run) || !open_checked_source(run) || !code_into_target(run) ||
      !finish_source(run)) {
    return false;
  }
  report_done(run);
  return true;
}

bool Runner::choose_target(FileRun& run) {
  using Kind = Target::Kind;
  Target& target = run.target;
  if (mode() == Mode::kTest || mode() == Mode::kList) {
    target.kind = Kind::kNothing;
    return true;
  }
  const char* const output = options_.output;
  if (options_.to_stdout || (output == nullptr && run.from_stdin) ||
      (output != nullptr && std::strcmp(output, "-") == 0)) {
    target.kind = Kind::kStandardOutput;
    return true;
  }
  target.kind = Kind::kFile;
  if (output != nullptr) {
    target.name = output;
    return true;
  }
  return make_target_name(run);
}

// FILE.tvx from FILE, compressing; FILE from FILE.tvx, restoring.
bool Runner::make_target_name(FileRun& run) {
  const std::string_view source(run.name);
  const bool suffixed = has_suffix(source);
  if (mode() == Mode::kCompress && suffixed && !options_.force) {
    report(run.name, "already ends in .tvx: not compressed again (use -f to force)");
    return false;
  }
  if (mode() == Mode::kRestore && !suffixed) {
    report(run.name,
           "does not end in .tvx: name the target with -o, or write to standard output with -c");
    return false;
  }
  std::string_view made = source;
  if (mode() == Mode::kRestore) {
    made.remove_suffix(kSuffix.size());
  }
  const std::string_view suffix = mode() == Mode::kCompress ? kSuffix : "";
  Target& target = run.target;
  if (made.size() + suffix.size() >= target.made.size()) {
    report_error(run.name, ENAMETOOLONG);
    return false;
  }
  std::copy(suffix.begin(), suffix.end(), std::copy(made.begin(), made.end(), target.made.begin()));
  target.name = target.made.data();
  return true;
}

bool Runner::refuses_terminal(const FileRun& run) {
  if (options_.force) {
    return false;
  }
  if (mode() == Mode::kCompress && run.target.kind == Target::Kind::kStandardOutput &&
      platform::is_terminal(stdout)) {
    report("stdout", "compressed data is not written to a terminal (use -f to force)");
    return true;
  }
  if (mode() != Mode::kCompress && run.from_stdin && platform::is_terminal(stdin)) {
    report("stdin", "compressed data is not read from a terminal (use -f to force)");
    return true;
  }
  return false;
}

bool Runner::open_checked_source(FileRun& run) {
  if (refuses_terminal(run)) {
    return false;
  }
  if (!open_source(run.name, run.source)) {
    report_error(run.source_name, errno);
    return false;
  }
  // A device or a pipe by name is read only when asked, and never removed.
  if (!is_file_of_data(run.source) && !options_.force) {
    report(run.source_name, "is not a regular file (use -f to force)");
    return false;
  }
  // Standard output that is the source would read back what it writes, and
  // grow until the disk is full.
  if (run.target.kind == Target::Kind::kStandardOutput && is_standard_output(run.source)) {
    report("stdout", "is the source file itself");
    return false;
  }
  return true;
}

bool Runner::code_into_target(FileRun& run) {
  switch (run.target.kind) {
    case Target::Kind::kNothing:
      return code(run, nullptr);
    case Target::Kind::kStandardOutput:
      return code(run, stdout);
    case Target::Kind::kFile:
      break;
  }
  PendingTarget pending;
  if (!open_pending_target(run, pending) || !code(run, pending.stream())) {
    return false;
  }
  // With --rm, the target is on disk before the source goes; a source whose
  // bytes went to a device or a pipe stays, and so does one that is no
  // regular file.
  run.removes_source =
      options_.remove_source && !pending.is_direct() && run.source.is_regular && !run.from_stdin;
  if (!pending.commit(run.source, run.removes_source)) {
    report_error(run.target.name, errno);
    return false;
  }
  return true;
}

bool Runner::open_pending_target(FileRun& run, PendingTarget& pending) const {
  const char* const name = run.target.name;
  const TargetLook look = look_at_target(name);
  // Writing over the source would lose it, with --rm twice over.
  if (look.is(run.source)) {
    report(name, "is the source file itself");
    return false;
  }
  // A device or a pipe that the user named is written, not replaced; any
  // other existing target only with -f.
  const bool direct = options_.output != nullptr && look.is_special;
  if (!direct && !options_.force && look.exists) {
    report_error(name, EEXIST);
    return false;
  }
  if (!pending.create(name, direct, options_.force)) {
    report_error(name, errno);
    return false;
  }
  return true;
}

bool Runner::list_records(FileRun& run) {
  const Walked walked =
      walk_stream(run.source.stream, UINT64_MAX, kLocateConcatenated, pool(), areas_.walk);
  if (walked.status == Status::kReadFailed) {
    report_error(run.source_name, walked.read_error);
    return false;
  }
  if (walked.status != Status::kOk) {
    report(run.source_name, to_string(walked.status).data());
    return false;
  }
  const Record& last = walked.record;
  run.counts = {walked.bytes_read, restored_end(last), last.data_size == 0 ? 0 : last.index + 1,
                last.stored_blocks};
  return true;
}

bool Runner::join() {
  const std::optional<JoinFailure> failure = join_parts(options_, pool(), areas_.walk);
  if (failure && failure->error != 0) {
    report_error(failure->name, failure->error);
  } else if (failure) {
    report(failure->name, failure->reason);
  }
  return !failure;
}

bool Runner::code(FileRun& run, std::FILE* target) {
  if (mode() == Mode::kList) {
    return list_records(run);
  }
  // Compressed data on standard output that a signal cuts is marked as cut,
  // but on a terminal, which shows it.
  WriteWatch* const watch =
      mode() == Mode::kCompress && target == stdout && !platform::is_terminal(stdout)
          ? watch_compressed_stream(stdout)
          : nullptr;
  Pipeline pipeline(areas_.pipeline, run.source.stream, target, pool(), io_, watch);
  progress_.begin(run.source_name, run.source.size);
  int walk_error = 0;  // of a walk to a range's first record
  const std::optional<Status> outcome = code_stream(pipeline, run, walk_error);
  progress_.end(pipeline.bytes_read());
  if (!judge(pipeline, run, target, outcome, walk_error)) {
    return false;
  }
  run.counts = {pipeline.bytes_read(), pipeline.bytes_written(), restorer_.records_read(),
                restorer_.stored_blocks()};
  return true;
}

std::optional<Status> Runner::code_stream(Pipeline& pipeline, FileRun& run, int& walk_error) {
  // Runs the source through `coder`, a Compressor or a Restorer, with its
  // `feed` (compress or restore) and ends its file.
  auto whole = [&](auto& coder, auto feed) -> std::optional<Status> {
    coder.reset();
    auto step = [&](std::span<const std::uint8_t>& input, std::span<std::uint8_t>& output) {
      progress_.update(pipeline.bytes_read());
      return (coder.*feed)(input, output) == Status::kOk;
    };
    if (!pipeline.pump(step)) {
      return std::nullopt;
    }
    return pipeline.finish(coder);
  };
  if (mode() == Mode::kCompress) {
    return whole(compressor_, &Compressor::compress);
  }
  if (!options_.range) {
    return whole(restorer_, &Restorer::restore);
  }
  const RangeTools tools{pipeline, restorer_, progress_, pool(), areas_.walk};
  return restore_range(tools, run.source.stream, run.source.is_regular, *options_.range,
                       walk_error);
}

bool Runner::judge(const Pipeline& pipeline, const FileRun& run, std::FILE* target,
                   const std::optional<Status>& outcome, int walk_error) {
  if (!outcome) {
    // A reader of standard output that quit is no fault to report: the other
    // compressors end quietly too.
    if (!(is_lost_reader(pipeline.write_error()) && target == stdout)) {
      report_error(run.target.shown(), pipeline.write_error());
    }
    return false;
  }
  if (walk_error != 0) {
    report_error(run.source_name, walk_error);
    return false;
  }
  if (pipeline.read_failed()) {
    report_error(run.source_name, pipeline.read_error());
    return false;
  }
  if (*outcome != Status::kOk) {
    report(run.source_name, to_string(*outcome).data());
    return false;
  }
  return true;
}

void Runner::report_done(const FileRun& run) {
  const Counts& counts = run.counts;
  std::array<char, 16> ratio{};
  switch (mode()) {
    case Mode::kList:
      add_to_list(counts, run.source_name);
      break;
    case Mode::kTest:
      if (options_.verbosity > 1) {
        (void)std::fprintf(stderr, "tvx: %s: OK\n", run.source_name);
      }
      break;
    case Mode::kJoin:
      break;
    case Mode::kCompress:
    case Mode::kRestore:
      if (options_.verbosity > 1) {
        const bool compressing = mode() == Mode::kCompress;
        (void)std::fprintf(stderr, "tvx: %s: %" PRIu64 " -> %" PRIu64 " bytes (%s), %s\n",
                           run.source_name, counts.read, counts.written,
                           compressing ? ratio_of(counts.written, counts.read, ratio)
                                       : ratio_of(counts.read, counts.written, ratio),
                           run.target.shown());
      }
      break;
  }
}

// A line of -l, under the heading for the first, and the totals.
void Runner::add_to_list(const Counts& counts, const char* name) {
  if (listed_++ == 0 &&
      std::printf("%14s %14s %6s %9s %8s  %s\n", "compressed", "restored", "ratio", "records",
                  "stored", "name") < 0 &&
      list_error_ == 0) {
    list_error_ = errno != 0 ? errno : EIO;
  }
  list(counts, name);
  totals_.read += counts.read;
  totals_.written += counts.written;
  totals_.records += counts.records;
  totals_.stored += counts.stored;
}

void Runner::list(const Counts& counts, const char* name) {
  if (!print_list_row(counts, name) && list_error_ == 0) {
    list_error_ = errno != 0 ? errno : EIO;
  }
}

bool Runner::is_lost_reader(int error) {
  if (error != EPIPE) {
    return false;
  }
  // The pipeline writes on the I/O thread, which blocks signals: there the
  // signal stays pending, and the write fails with EPIPE.
  raise_broken_pipe();
  reader_gone_ = true;
  return true;
}

bool Runner::finish() {
  if (listed_ > 1) {
    list(totals_, "total");
  }
  if (list_error_ != 0) {
    if (!is_lost_reader(list_error_)) {
      report_error("stdout", list_error_);
    }
    return false;
  }
  return true;
}

// Codes the files found in a folder as if each were named: compressing, those
// that do not end in .tvx, else those that do. Gives up once nothing reads
// standard output.
class FolderRun final : public FolderVisitor {
 public:
  FolderRun(Runner& runner, Mode mode) : runner_(runner), compressing_(mode == Mode::kCompress) {}

  void file(const char* name) override {
    if (has_suffix(name) != compressing_ && !runner_.reader_gone()) {
      succeeded_ = runner_.process(name) && succeeded_;
    }
  }
  void failed(const char* name, int error) override {
    report_error(name, error);
    succeeded_ = false;
  }
  bool succeeded() const { return succeeded_; }

 private:
  Runner& runner_;
  bool compressing_;
  bool succeeded_ = true;
};

// Codes one name of the command line: a folder's files with -r, else the file.
bool process_named(Runner& runner, const Options& options, const char* name) {
  if (options.recursive && std::strcmp(name, "-") != 0 && is_folder(name)) {
    FolderRun folder(runner, options.mode);
    walk_folder(name, folder);
    return folder.succeeded();
  }
  return runner.process(name);
}

}  // namespace

int run(const Options& options, Areas& areas) {
  Runner runner(options, areas);
  if (options.mode == Mode::kJoin) {
    return runner.join() ? 0 : 1;
  }
  bool failed = options.files.empty() && !runner.process("-");
  for (const char* const name : options.files) {
    failed = !process_named(runner, options, name) || failed;
    if (runner.reader_gone()) {
      break;
    }
  }
  // Every file is done: a signal now cuts no stream.
  stop_watching_stream();
  failed = !runner.finish() || failed;
  return failed ? 1 : 0;
}

}  // namespace tarvix::tvx
