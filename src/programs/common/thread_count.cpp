// The thread count of a run: TARVIX_THREADS, or the cores the process may use.
#include "thread_count.h"

#include <tarvix/cores.h>
#include <tarvix/workers.h>

#include <cstdlib>

namespace tarvix {

unsigned automatic_thread_count() noexcept { return tarvix_automatic_threads(); }

unsigned thread_count() noexcept {
  const char* const setting = std::getenv("TARVIX_THREADS");
  if (setting == nullptr || *setting < '0' || *setting > '9') {
    return automatic_thread_count();
  }
  char* end = nullptr;
  const unsigned long value = std::strtoul(setting, &end, 10);
  if (*end != '\0' || value == 0 || value > Workers::kMaxThreads) {
    return automatic_thread_count();
  }
  return static_cast<unsigned>(value);
}

}  // namespace tarvix
