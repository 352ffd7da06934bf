/* The cores a process may run on, and the thread count that the programs
 * and the Python module choose from them when none is asked for. Inline:
 * nothing here is called in the library, so it adds no symbol to it. On
 * Windows it includes <windows.h>; on Linux it tells the process's CPU
 * affinity where <sched.h> gives CPU_COUNT (_GNU_SOURCE, which C++ compilers
 * define), and otherwise counts the cores online. */
#ifndef TARVIX_CORES_H
#define TARVIX_CORES_H

/* The C interface is C, whose headers, typedefs, (void) and names the C++
 * checks would have it give up:
 * NOLINTBEGIN(modernize-deprecated-headers,modernize-use-using,modernize-redundant-void-arg,readability-identifier-naming)
 */
#include <tarvix/workers.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sched.h>
#include <unistd.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* tarvix_usable_cores() returns the number of cores the calling process may
 * run on: its CPU affinity where the system tells it, else the cores online;
 * at least 1. */
static inline unsigned tarvix_usable_cores(void) {
#if defined(_WIN32)
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) != 0 && process != 0) {
    unsigned cores = 0;
    for (; process != 0; process &= process - 1) {
      ++cores;
    }
    return cores;
  }
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 0 ? (unsigned)info.dwNumberOfProcessors : 1u;
#else
#if defined(CPU_COUNT)
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) {
    return (unsigned)CPU_COUNT(&set);
  }
#endif
  {
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? (unsigned)online : 1u;
  }
#endif
}

/* tarvix_automatic_threads() returns the thread count that the programs and
 * the Python module code on when none is asked for: tarvix_usable_cores(),
 * at most TARVIX_MAX_AUTOMATIC_THREADS. */
static inline unsigned tarvix_automatic_threads(void) {
  const unsigned cores = tarvix_usable_cores();
  return cores < TARVIX_MAX_AUTOMATIC_THREADS ? cores : TARVIX_MAX_AUTOMATIC_THREADS;
}

#ifdef __cplusplus
} /* extern "C" */
#endif

/* NOLINTEND(modernize-deprecated-headers,modernize-use-using,modernize-redundant-void-arg,readability-identifier-naming)
 */
#endif /* TARVIX_CORES_H */
