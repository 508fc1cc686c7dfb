// A property the targets hold every input to: a broken one aborts, which libFuzzer reports as a crash
// with the input saved, and which fails a replay test.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                                                     \
    do {                                                                                                     \
        if (!(cond)) {                                                                                       \
            std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #cond);               \
            std::abort();                                                                                    \
        }                                                                                                    \
    } while (0)
