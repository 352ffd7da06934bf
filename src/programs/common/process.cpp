// The edges of the process: signals and the standard descriptors.
#include "process.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#endif

namespace tarvix {

void prepare_process() noexcept {
#ifndef _WIN32
  // The result code tells what failed: a failed write to the target is
  // Error[5], and a failed write to standard output changes nothing.
  (void)std::signal(SIGPIPE, SIG_IGN);
  (void)std::signal(SIGXFSZ, SIG_IGN);

  // A closed standard descriptor would be the lowest free one, so the source
  // or the target would take it, and the messages printed to standard output
  // would go into that file. Those below `fd` are open by the time it is
  // looked at, so /dev/null opens as `fd` itself. Without /dev/null the
  // descriptor stays closed; the run goes on as it can.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      (void)open("/dev/null", O_RDWR);
    }
  }
#endif
}

}  // namespace tarvix
