// The Wine test programs' one assertion: report the failed condition with
// its place and go on, so one run shows every failure. Finish() prints the
// verdict and gives the exit code.
#pragma once

#include <cstdio>

namespace wine_test {

inline int failures = 0;

inline int Finish() {
    std::printf("%s\n", failures == 0 ? "all checks passed" : "FAILED");
    return failures == 0 ? 0 : 1;
}

}  // namespace wine_test

#define CHECK(cond)                                                               \
    do {                                                                          \
        if (!(cond)) {                                                            \
            std::printf("%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
            ++wine_test::failures;                                                \
        }                                                                         \
    } while (0)
