// A check for the fuzz targets that stays on in every build type.
#ifndef TARVIX_FUZZ_FUZZ_CHECK_H
#define TARVIX_FUZZ_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void fuzz_check_failed(const char* file, int line, const char* condition) {
  (void)std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
  std::abort();
}

// FUZZ_CHECK(condition) ends the process with a message when the condition
// is false, so libFuzzer records the input as a crash.
#define FUZZ_CHECK(condition)                            \
  do {                                                   \
    if (!(condition)) {                                  \
      fuzz_check_failed(__FILE__, __LINE__, #condition); \
    }                                                    \
  } while (false)

#endif  // TARVIX_FUZZ_FUZZ_CHECK_H
