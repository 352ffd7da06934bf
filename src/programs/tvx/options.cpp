// tvx's command line: GNU-style options and the files they apply to.
#include "options.h"

#include <tarvix/workers.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string_view>

namespace tarvix::tvx {

namespace {

enum class Id {
  kCompress,
  kDecompress,
  kStdout,
  kOutput,
  kKeep,
  kRemove,
  kForce,
  kRecursive,
  kTest,
  kList,
  kRange,
  kJoin,
  kThreads,
  kLevel,
  kQuiet,
  kVerbose,
  kProgress,
  kNoProgress,
  kHelp,
  kVersion,
};

struct Option {
  Id id;
  char short_name;  // '\0' for a long option alone
  std::string_view long_name;
  bool takes_value;
  bool value_optional = false;  // its value comes only after "=", never next
};

constexpr std::array kOptions = {
    Option{Id::kCompress, 'z', "compress", false},
    Option{Id::kDecompress, 'd', "decompress", false},
    Option{Id::kStdout, 'c', "stdout", false},
    Option{Id::kOutput, 'o', "output", true},
    Option{Id::kKeep, 'k', "keep", false},
    Option{Id::kRemove, '\0', "rm", false},
    Option{Id::kForce, 'f', "force", false},
    Option{Id::kRecursive, 'r', "recursive", false},
    Option{Id::kTest, 't', "test", false},
    Option{Id::kList, 'l', "list", false},
    Option{Id::kRange, '\0', "range", true},
    Option{Id::kJoin, '\0', "join", false},
    Option{Id::kThreads, 'T', "threads", true},
    Option{Id::kLevel, '\0', "fast", true, true},
    Option{Id::kLevel, '\0', "best", false},
    Option{Id::kQuiet, 'q', "quiet", false},
    Option{Id::kVerbose, 'v', "verbose", false},
    Option{Id::kProgress, '\0', "progress", false},
    Option{Id::kNoProgress, '\0', "no-progress", false},
    Option{Id::kHelp, 'h', "help", false},
    Option{Id::kVersion, 'V', "version", false},
};

// -1 to -9, the levels of other compressors: one option.
constexpr Option kDigitLevel{Id::kLevel, '1', "", false};

const Option* find_short(char name) {
  if (name >= '1' && name <= '9') {
    return &kDigitLevel;
  }
  const auto* const found = std::find_if(kOptions.begin(), kOptions.end(),
                                         [name](const Option& o) { return o.short_name == name; });
  return found == kOptions.end() || name == '\0' ? nullptr : found;
}

// The long option `name` names in full, or else as the start of one alone
// (--decomp), as GNU programs take them; nullptr for none, and with
// `ambiguous` set when it starts several.
const Option* find_long(std::string_view name, bool& ambiguous) {
  ambiguous = false;
  const Option* started = nullptr;
  for (const Option& option : kOptions) {
    if (option.long_name == name) {
      return &option;
    }
    if (option.long_name.starts_with(name)) {
      ambiguous = started != nullptr;
      started = &option;
    }
  }
  return ambiguous ? nullptr : started;
}

// The name an option was given as, for messages: "T" for "-T", "-threads"
// for "--threads".
struct Shown {
  const char* dashes;
  int length;
  const char* name;
};
Shown shown(const Option& option, bool as_long) {
  if (as_long) {
    return {"--", static_cast<int>(option.long_name.size()), option.long_name.data()};
  }
  return {"-", 1, &option.short_name};
}

bool is_whole_number(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A thread count: a whole number from 0 to the most one pool runs.
bool parse_threads(const char* value, unsigned& threads) {
  const std::string_view text(value);
  if (text.size() > 3 || !is_whole_number(text)) {
    return false;
  }
  unsigned count = 0;
  for (const char c : text) {
    count = count * 10 + static_cast<unsigned>(c - '0');
  }
  threads = count;
  return count <= Workers::kMaxThreads;
}

// A count of bytes: a whole number, times 1024, 1024^2 or 1024^3 after K, M
// or G; false when it is none, or too large for 64 bits.
bool parse_size(std::string_view text, std::uint64_t& size) {
  constexpr std::string_view kUnits = "KMG";
  unsigned shift = 0;
  if (const std::size_t unit = kUnits.find(text.empty() ? ' ' : text.back());
      unit != std::string_view::npos) {
    shift = 10 * static_cast<unsigned>(unit + 1);
    text.remove_suffix(1);
  }
  if (text.empty() ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  std::uint64_t value = 0;
  for (const char c : text) {
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) {
      return false;
    }
    value = value * 10 + digit;
  }
  if (value > (UINT64_MAX >> shift)) {
    return false;
  }
  size = value << shift;
  return true;
}

// OFFSET[:LENGTH], each a count of bytes.
bool parse_range(std::string_view text, Range& range) {
  const std::size_t colon = text.find(':');
  range.length.reset();
  if (colon != std::string_view::npos) {
    std::uint64_t length = 0;
    if (!parse_size(text.substr(colon + 1), length)) {
      return false;
    }
    range.length = length;
  }
  return parse_size(text.substr(0, colon), range.offset);
}

// The program's own name, without its folder (or, on Windows, ".exe").
std::string_view base_name(const char* path) {
  std::string_view name(path == nullptr ? "" : path);
  const std::size_t slash = name.find_last_of("/\\");
  if (slash != std::string_view::npos) {
    name.remove_prefix(slash + 1);
  }
  if (name.ends_with(".exe")) {
    name.remove_suffix(4);
  }
  return name;
}

// One reading of the command line into `options`; a mistake's message is
// written into `message`.
class Parser {
 public:
  Parser(std::span<char*> arguments, Options& options, std::span<char> message) noexcept
      : arguments_(arguments), options_(options), message_(message) {}

  // Reads every argument; returns the first mistake, or nullptr.
  const char* parse() noexcept;

 private:
  // Reads the argument at `next_`, and any value it takes after it.
  const char* take_argument(const char* argument) noexcept;
  const char* take_long(const char* argument) noexcept;
  const char* take_short_group(const char* argument) noexcept;
  // Applies `option`, as it was written, with what is attached to it.
  const char* take(const Option& option, bool as_long, const char* attached) noexcept;
  // Applies `option` with `value` (nullptr for none).
  const char* apply(const Option& option, const char* value) noexcept;
  const char* apply_value(Id id, const char* value) noexcept;
  // The options that cannot go together, once all are read.
  const char* check_combination() noexcept;

  template <typename... Values>
  const char* mistake(const char* format, Values... values) noexcept {
    (void)std::snprintf(message_.data(), message_.size(), format, values...);
    return message_.data();
  }

  std::span<char*> arguments_;
  Options& options_;
  std::span<char> message_;
  std::size_t next_ = 0;   // the argument after the one being read
  std::size_t files_ = 0;  // gathered at the front of `arguments_`
  bool options_ended_ = false;
};

const char* Parser::parse() noexcept {
  while (next_ < arguments_.size()) {
    char* const argument = arguments_[next_++];
    if (options_ended_ || argument[0] != '-' || argument[1] == '\0') {
      arguments_[files_++] = argument;
    } else if (const char* const error = take_argument(argument)) {
      return error;
    }
  }
  options_.files = arguments_.first(files_);
  return check_combination();
}

const char* Parser::take_argument(const char* argument) noexcept {
  if (argument[1] != '-') {
    return take_short_group(argument);
  }
  if (argument[2] == '\0') {
    options_ended_ = true;
    return nullptr;
  }
  return take_long(argument);
}

const char* Parser::take_long(const char* argument) noexcept {
  std::string_view name(argument + 2);
  const char* attached = nullptr;
  if (const std::size_t equals = name.find('='); equals != std::string_view::npos) {
    attached = argument + 2 + equals + 1;
    name.remove_suffix(name.size() - equals);
  }
  bool ambiguous = false;
  const Option* const option = find_long(name, ambiguous);
  const int length = static_cast<int>(name.size());
  return option != nullptr ? take(*option, true, attached)
         : ambiguous       ? mistake("option '--%.*s' is ambiguous", length, name.data())
                           : mistake("unknown option '--%.*s'", length, name.data());
}

const char* Parser::take_short_group(const char* argument) noexcept {
  for (const char* letter = argument + 1; *letter != '\0'; ++letter) {
    const Option* const option = find_short(*letter);
    if (option == nullptr) {
      return mistake("unknown option '-%c'", *letter);
    }
    if (option->takes_value) {
      // The rest of the group is the value.
      return take(*option, false, letter[1] != '\0' ? letter + 1 : nullptr);
    }
    if (const char* const error = take(*option, false, nullptr)) {
      return error;
    }
  }
  return nullptr;
}

const char* Parser::take(const Option& option, bool as_long, const char* attached) noexcept {
  const Shown name = shown(option, as_long);
  if (option.value_optional && attached == nullptr) {
    return apply(option, nullptr);
  }
  if (!option.takes_value) {
    return attached == nullptr
               ? apply(option, nullptr)
               : mistake("option '%s%.*s' takes no value", name.dashes, name.length, name.name);
  }
  // The value: what is attached to the option, or the next argument.
  const char* const value = attached != nullptr         ? attached
                            : next_ < arguments_.size() ? arguments_[next_++]
                                                        : nullptr;
  return value != nullptr
             ? apply(option, value)
             : mistake("option '%s%.*s' needs a value", name.dashes, name.length, name.name);
}

const char* Parser::apply_value(Id id, const char* value) noexcept {
  switch (id) {
    case Id::kOutput:
      // -o - is standard output, as -c is.
      if (std::string_view(value) == "-") {
        options_.to_stdout = true;
        options_.to_stdout_asked = true;
      } else {
        options_.output = value;
      }
      return nullptr;
    case Id::kRange:
      if (Range range; parse_range(value, range)) {
        options_.range = range;
        return nullptr;
      }
      return mistake(
          "the range must be OFFSET[:LENGTH] in bytes (K, M, G: times 1024, "
          "1024^2, 1024^3), not '%s'",
          value);
    case Id::kThreads:
      return parse_threads(value, options_.threads)
                 ? nullptr
                 : mistake("the thread count must be a number from 0 to %u, not '%s'",
                           Workers::kMaxThreads, value);
    default:
      // The format has one coder: a level changes nothing, but a level that
      // is no number is a mistake.
      return value == nullptr || is_whole_number(value)
                 ? nullptr
                 : mistake("option '--fast' takes a whole number, not '%s'", value);
  }
}

// The mode that an option chooses, if it chooses one.
std::optional<Mode> mode_of(Id id) noexcept {
  switch (id) {
    case Id::kCompress:
      return Mode::kCompress;
    case Id::kDecompress:
      return Mode::kRestore;
    case Id::kTest:
      return Mode::kTest;
    case Id::kList:
      return Mode::kList;
    case Id::kJoin:
      return Mode::kJoin;
    default:
      return std::nullopt;
  }
}

// Sets what an option without a value sets; false for any other option.
bool set_flag(Id id, Options& options) noexcept {
  switch (id) {
    case Id::kStdout:
      options.to_stdout = true;
      options.to_stdout_asked = true;
      return true;
    case Id::kKeep:
    case Id::kRemove:
      options.remove_source = id == Id::kRemove;
      return true;
    case Id::kForce:
      options.force = true;
      return true;
    case Id::kRecursive:
      options.recursive = true;
      return true;
    case Id::kQuiet:
      options.verbosity = 0;
      options.progress = Progress::kNever;
      return true;
    case Id::kVerbose:
      options.verbosity = 2;
      return true;
    case Id::kProgress:
    case Id::kNoProgress:
      options.progress = id == Id::kProgress ? Progress::kAlways : Progress::kNever;
      return true;
    case Id::kHelp:
      options.help = true;
      return true;
    case Id::kVersion:
      options.version = true;
      return true;
    default:
      return false;
  }
}

const char* Parser::apply(const Option& option, const char* value) noexcept {
  if (const std::optional<Mode> mode = mode_of(option.id)) {
    options_.mode = *mode;
    return nullptr;
  }
  return set_flag(option.id, options_) ? nullptr : apply_value(option.id, value);
}

const char* Parser::check_combination() noexcept {
  Options& options = options_;
  if (options.output != nullptr && options.to_stdout_asked) {
    return "-o and -c cannot go together";
  }
  // tvxcat's standard output gives way to -o.
  options.to_stdout = options.to_stdout && options.output == nullptr;
  if (options.mode == Mode::kJoin) {
    if (options.output == nullptr && !options.to_stdout) {
      return "--join writes one file: name it with -o, or write to standard output with -c";
    }
    if (options.files.empty()) {
      return "--join needs the parts to join";
    }
  } else if (options.output != nullptr && options.files.size() > 1) {
    return "-o writes one file: name one input";
  }
  if (options.range && options.mode != Mode::kRestore) {
    return "--range restores: give it with -d";
  }
  if (options.output != nullptr && options.recursive) {
    return "-o writes one file: it cannot go with -r";
  }
  return nullptr;
}

}  // namespace

const char* parse_options(const char* program_name, std::span<char*> arguments, Options& options,
                          std::span<char> message) {
  const std::string_view program = base_name(program_name);
  if (program == "untvx" || program == "tvxcat") {
    options.mode = Mode::kRestore;
    options.to_stdout = program == "tvxcat";
  }
  Parser parser(arguments, options, message);
  return parser.parse();
}

// A number macro's digits, as a string literal.
#define TVX_DIGITS(number) #number
#define TVX_NUMBER(number) TVX_DIGITS(number)

const char* help_text() {
  return "Usage: tvx [OPTION]... [FILE]...\n"
         "Compress each FILE into FILE.tvx, or restore it, in the tarvix format.\n"
         "With no FILE, or when FILE is -, read standard input and write standard output.\n"
         "\n"
         "  -z, --compress     compress (the default)\n"
         "  -d, --decompress   restore FILE.tvx into FILE (untvx is tvx -d)\n"
         "  -t, --test         restore into nothing and report the first fault (a record\n"
         "                     cut short, a bad length field, malformed block data);\n"
         "                     with no checksum nor end mark, a file cut between two\n"
         "                     records restores as sound (-d --rm removes it), and\n"
         "                     so do bytes changed within the format's rules\n"
         "  -l, --list         list the compressed and restored sizes, the ratio,\n"
         "                     the records and the stored blocks of each file,\n"
         "                     without restoring it\n"
         "      --range=OFFSET[:LENGTH]\n"
         "                     with -d, restore only LENGTH bytes (to the end without\n"
         "                     it) from restored byte OFFSET on; K, M, G after a\n"
         "                     number: times 1024, 1024^2, 1024^3\n"
         "      --join         write one compressed file (-o or -c) from parts, each\n"
         "                     compressed from a stretch of one source, in order\n"
         "  -c, --stdout       write to standard output and keep the files\n"
         "                     (tvxcat is tvx -dc)\n"
         "  -o, --output=FILE  write to FILE (one input only, but for --join)\n"
         "  -k, --keep         keep each source file (the default)\n"
         "      --rm           remove each source file once its target is on disk\n"
         "  -f, --force        overwrite existing files, write compressed data to a\n"
         "                     terminal, compress names that end in .tvx\n"
         "  -r, --recursive    code the files in each FILE that is a folder, and in its\n"
         "                     folders; restoring, those that end in .tvx\n"
         "  -T, --threads=N    code on N threads (0, the default: every core the\n"
         "                     process may use, at most " TVX_NUMBER(TARVIX_MAX_AUTOMATIC_THREADS) ")\n"
         "  -1 ... -9, --fast[=N], --best\n"
         "                     accepted and ignored: the format has one coder\n"
         "  -q, --quiet        no progress line and no verbose lines\n"
         "  -v, --verbose      a line for each file\n"
         "      --progress     a progress line even when standard error is not a terminal\n"
         "      --no-progress  never a progress line\n"
         "  -h, --help         print this help and exit\n"
         "  -V, --version      print the version and exit\n"
         "\n"
         "Compressed files one after another restore to the concatenation of their\n"
         "sources. Messages go to standard error. The exit status is 0 when every file\n"
         "succeeded, 1 otherwise.\n";
}

}  // namespace tarvix::tvx
