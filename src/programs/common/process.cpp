// The edges of a program's process: the standard descriptors and the signals.
#include "process.h"

#include "platform.h"

#ifndef _WIN32
#include <cerrno>
#include <csignal>
#endif

namespace tarvix {

#ifdef _WIN32

void prepare_process(LostReader) noexcept {}

#else

void prepare_process(LostReader lost_reader) noexcept {
  // A closed standard descriptor would be the lowest free one, so the source
  // or the target would take it, and what is printed to that stream would go
  // into the file. Those below `fd` are open by the time it is looked at, so
  // /dev/null opens as `fd` itself. Without /dev/null the descriptor stays
  // closed; the run goes on as it can.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      (void)open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
    }
  }
  (void)std::signal(SIGXFSZ, SIG_IGN);
  if (lost_reader == LostReader::kFails) {
    (void)std::signal(SIGPIPE, SIG_IGN);
  }
}

#endif

}  // namespace tarvix
