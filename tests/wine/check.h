// The Wine test programs' one assertion: report the failed condition with
// its place and go on, so one run shows every failure. Finish() prints the
// verdict and gives the exit code. Their waits: Scaled() and WaitFor().
#pragma once

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace wine_test {

// A wait or time-out, scaled for the machine as the harness scales its own.
inline DWORD Scaled(DWORD milliseconds) {
    char factor[32];
    const DWORD n = GetEnvironmentVariableA("CLEARWICK_WAIT_FACTOR", factor, sizeof factor);
    const double f = n > 0 && n < sizeof factor ? std::atof(factor) : 0;
    return f > 0 ? static_cast<DWORD>(milliseconds * f) : milliseconds;
}

// Asks done() every 50 ms until it answers true; false after milliseconds,
// scaled.
template <class Done>
bool WaitFor(Done done, DWORD milliseconds) {
    const DWORD limit = Scaled(milliseconds);
    for (DWORD waited = 0;; waited += 50) {
        if (done()) return true;
        if (waited >= limit) return false;
        Sleep(50);
    }
}

// A Unix path (/...) on Wine's Z: drive; a Windows path stays as it is.
inline std::string WindowsPath(std::string path) {
    if (!path.empty() && path[0] == '/') path = "Z:" + path;
    for (char& c : path) c = c == '/' ? '\\' : c;
    return path;
}

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
