// How many threads a run codes blocks on.
#ifndef TARVIX_PROGRAMS_COMMON_THREAD_COUNT_H
#define TARVIX_PROGRAMS_COMMON_THREAD_COUNT_H

namespace tarvix {

// thread_count() returns the number of threads for a run of tarvix: the
// value of the environment variable TARVIX_THREADS when it is a whole number
// from 1 to Workers::kMaxThreads (1 is the one-thread path), else
// tarvix_automatic_threads() (<tarvix/cores.h>): the cores the process may
// run on, at most TARVIX_MAX_AUTOMATIC_THREADS. A value of 0, an empty value
// and any other value (not a number, negative, too large, trailing
// characters) all choose the automatic count.
unsigned thread_count() noexcept;

// automatic_thread_count() is tarvix_automatic_threads(): the count that tvx
// codes on when -T asks for none.
unsigned automatic_thread_count() noexcept;

}  // namespace tarvix

#endif  // TARVIX_PROGRAMS_COMMON_THREAD_COUNT_H
