#pragma once
// What every fuzz target shares: a check that also holds in release builds, and a
// quiet console (the parsers log every odd byte; libFuzzer reports on stderr).
#include <cstdio>
#include <cstdlib>
#include <iostream>

#define FUZZ_CHECK(condition)                                                    \
    do {                                                                         \
        if (!(condition)) {                                                      \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, \
                         #condition);                                            \
            std::abort();                                                        \
        }                                                                        \
    } while (0)

inline void quiet_console() {
    std::cout.setstate(std::ios::failbit);
    std::cerr.setstate(std::ios::failbit);
}
