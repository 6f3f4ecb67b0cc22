#ifndef FUZZCHECK_H
#define FUZZCHECK_H

// Properties the fuzz entries check beyond "no crash". A broken one aborts,
// so libFuzzer keeps the input as a crash and the replay test fails on it.

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                \
    do {                                                                                     \
        if (!(condition)) {                                                                  \
            std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                    \
        }                                                                                    \
    } while (false)

#endif // FUZZCHECK_H
