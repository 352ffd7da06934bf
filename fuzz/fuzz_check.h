// A check for the fuzz targets that stays on in every build type.
#ifndef TARVIX_FUZZ_FUZZ_CHECK_H
#define TARVIX_FUZZ_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

// FUZZ_CHECK(condition) ends the process with a message when the condition
// is false, so libFuzzer records the input as a crash.
#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)

#endif  // TARVIX_FUZZ_FUZZ_CHECK_H
