// The fuzz targets' one assertion: on failure it names the broken condition
// and aborts, which libFuzzer reports as a crash and saves the input for.
// Unlike assert() it stays on in optimised builds.
#ifndef ARTNET_FUZZ_CHECK_H_
#define ARTNET_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                             \
  do {                                                                                    \
    if (!(condition)) {                                                                   \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                       \
    }                                                                                     \
  } while (false)

#endif  // ARTNET_FUZZ_CHECK_H_
