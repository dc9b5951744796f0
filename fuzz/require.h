#pragma once

#include <cstdio>
#include <cstdlib>

// A property of a parser that must hold for every input. When it does not, the run stops
// as on a crash: libFuzzer keeps the input and reports it.
#define HORALIS_REQUIRE(condition)                                                                 \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: property does not hold: %s\n", __FILE__, __LINE__,        \
                         #condition);                                                              \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)
