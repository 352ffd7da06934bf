// tvx: compresses files, or restores them, as the everyday compressors do:
// several files, pipes, tar and scripts.
#include <tarvix/tarvix.h>
#include <tarvix/version.h>

#include <cstdio>
#include <span>

#include "files.h"
#include "options.h"
#include "tvx.h"

int main(int argc, char* argv[]) {
  tarvix::tvx::prepare_streams();
  tarvix::tvx::Options options;
  const std::span<char*> arguments(argv + (argc > 0 ? 1 : 0), argc > 0 ? argc - 1 : 0);
  if (const char* const mistake = tarvix::tvx::parse_options(argv[0], arguments, options)) {
    (void)std::fprintf(stderr, "tvx: %s\nTry 'tvx --help' for more.\n", mistake);
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
  return tarvix::tvx::run(options);
}
