// How many threads a run codes blocks on.
#ifndef TARVIX_PROGRAMS_COMMON_THREAD_COUNT_H
#define TARVIX_PROGRAMS_COMMON_THREAD_COUNT_H

namespace tarvix {

// The most threads the tool picks by itself, however many cores there are:
// past this the run waits on reading and writing, not on coding.
inline constexpr unsigned kMaxAutomaticThreads = 16;

// thread_count() returns the number of threads for a run: the value of the
// environment variable TARVIX_THREADS when it is a whole number from 1 to
// Workers::kMaxThreads (1 is the one-thread path), else the number of cores
// the process may run on (its CPU affinity), at most kMaxAutomaticThreads.
// A value of 0, an empty value and any other value (not a number, negative,
// too large, trailing characters) all choose the automatic count.
unsigned thread_count() noexcept;

// The same choice from a setting (nullptr when unset) and a core count.
unsigned choose_thread_count(const char* setting, unsigned cores) noexcept;

// usable_cores() returns the number of cores this process may run on (its
// CPU affinity); 1 when it cannot be told.
unsigned usable_cores() noexcept;

}  // namespace tarvix

#endif  // TARVIX_PROGRAMS_COMMON_THREAD_COUNT_H
