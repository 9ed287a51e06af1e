#pragma once
// What every fuzz target shares: a check that also holds in release builds, and a
// quiet console (the parsers log every odd byte; libFuzzer reports on stderr).
#include <QCoreApplication>
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

// The application the receivers' signals and the serial port need, made once.
inline void fuzz_application() {
    static int argc = 1;
    static char* argv[] = {const_cast<char*>("fuzz"), nullptr};
    static QCoreApplication app(argc, argv);
}
