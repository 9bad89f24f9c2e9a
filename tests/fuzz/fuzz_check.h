// What the fuzzing harnesses do when a property fails: say which and abort, so that libFuzzer
// records the input that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>

inline void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant violated: %s\n", what);
        std::abort();
    }
}
