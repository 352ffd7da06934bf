// tvx: compresses files, or restores them, as the everyday compressors do:
// several files, pipes, tar and scripts.
#include <tarvix/tarvix.h>
#include <tarvix/version.h>

#include <array>
#include <cstdio>
#include <span>

#include "options.h"
#include "platform.h"
#include "process.h"
#include "signals.h"
#include "tvx.h"

namespace {

// Readies the process: its standard descriptors; a reader that quits ends
// tvx by SIGPIPE, as it ends the other compressors; the handlers that remove
// a pending target; and standard input and output in binary mode, unbuffered
// for the pipeline.
void prepare_streams() noexcept {
  tarvix::prepare_process(tarvix::LostReader::kEnds);
  tarvix::platform::read_and_write_bytes(stdin);
  tarvix::platform::read_and_write_bytes(stdout);
  tarvix::tvx::handle_signals();
  (void)std::setvbuf(stdin, nullptr, _IONBF, 0);
  (void)std::setvbuf(stdout, nullptr, _IONBF, 0);
}

}  // namespace

int main(int argc, char* argv[]) {
  prepare_streams();
  tarvix::tvx::Options options;
  std::array<char, 256> mistake{};
  const std::span<char*> arguments(argv + (argc > 0 ? 1 : 0), argc > 0 ? argc - 1 : 0);
  if (const char* const text = tarvix::tvx::parse_options(argv[0], arguments, options, mistake)) {
    (void)std::fprintf(stderr, "tvx: %s\nTry 'tvx --help' for more.\n", text);
    return 1;
  }
  if (options.help) {
    return std::fputs(tarvix::tvx::help_text(), stdout) < 0 ? 1 : 0;
  }
  if (options.version) {
    return std::printf("tvx %s (libtarvix %s)\n", TARVIX_VERSION_STRING, tarvix_version_string()) <
                   0
               ? 1
               : 0;
  }
  // The run's areas: static, neither heap nor stack, for the program may run
  // with a small stack.
  static tarvix::tvx::Areas areas;
  return tarvix::tvx::run(options, areas);
}
