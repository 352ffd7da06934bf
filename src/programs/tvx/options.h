// tvx's command line: GNU-style options and the files they apply to.
#ifndef TARVIX_PROGRAMS_TVX_OPTIONS_H
#define TARVIX_PROGRAMS_TVX_OPTIONS_H

#include <cstdint>
#include <optional>
#include <span>

namespace tarvix::tvx {

enum class Mode {
  kCompress,  // FILE into FILE.tvx
  kRestore,   // FILE.tvx into FILE
  kTest,      // restore into nothing
  kList,      // sizes and records of each compressed file
  kJoin,      // one compressed file from parts of one
};

enum class Progress { kAuto, kAlways, kNever };

// A stretch of the restored bytes: from `offset`, `length` bytes or to the end.
struct Range {
  std::uint64_t offset = 0;
  std::optional<std::uint64_t> length;
};

struct Options {
  Mode mode = Mode::kCompress;
  bool to_stdout = false;        // -c, -o -, or tvxcat
  bool to_stdout_asked = false;  // -c or -o -, given
  const char* output = nullptr;  // -o FILE
  bool remove_source = false;    // --rm
  bool force = false;            // -f
  bool recursive = false;        // -r
  unsigned threads = 0;          // -T; 0 is every core the process may use
  std::optional<Range> range;    // --range, restoring
  int verbosity = 1;             // 0 with -q, 2 with -v
  Progress progress = Progress::kAuto;
  bool help = false;       // -h
  bool version = false;    // -V
  std::span<char*> files;  // in order; "-" is standard input
};

// parse_options() reads the arguments after the program's name. The name
// chooses the defaults: "untvx" restores, "tvxcat" restores to standard
// output, as -d and -dc do. Short options may be grouped (-dc), their values
// attached or next (-T4, -T 4, -oFILE, -o FILE); long ones take theirs after
// "=" or next; "--" ends the options, and "-" is a file. The files are
// gathered at the front of `arguments`, which it reorders. On a mistake it
// returns the message (without the program's name), written into `message`,
// else nullptr.
const char* parse_options(const char* program_name, std::span<char*> arguments, Options& options,
                          std::span<char> message);

// The text of --help.
const char* help_text();

}  // namespace tarvix::tvx

#endif  // TARVIX_PROGRAMS_TVX_OPTIONS_H
