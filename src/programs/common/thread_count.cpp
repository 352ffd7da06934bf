// The thread count of a run: TARVIX_THREADS, or the cores the process may use.
#include "thread_count.h"

#include <tarvix/workers.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <bit>
#elif defined(__linux__)
#include <sched.h>
#else
#include <unistd.h>
#endif

namespace tarvix {

unsigned usable_cores() noexcept {
#ifdef _WIN32
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) != 0 && process != 0) {
    return static_cast<unsigned>(std::popcount(static_cast<std::uintptr_t>(process)));
  }
  return 1;
#elif defined(__linux__)
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    return static_cast<unsigned>(std::max(1, CPU_COUNT(&set)));
  }
  return 1;
#else
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<unsigned>(online) : 1;
#endif
}

unsigned choose_thread_count(const char* setting, unsigned cores) noexcept {
  const unsigned automatic = std::clamp(cores, 1U, kMaxAutomaticThreads);
  if (setting == nullptr || *setting < '0' || *setting > '9') {
    return automatic;
  }
  char* end = nullptr;
  const unsigned long value = std::strtoul(setting, &end, 10);
  if (*end != '\0' || value == 0 || value > Workers::kMaxThreads) {
    return automatic;
  }
  return static_cast<unsigned>(value);
}

unsigned thread_count() noexcept {
  return choose_thread_count(std::getenv("TARVIX_THREADS"), usable_cores());
}

}  // namespace tarvix
