#pragma once
// The one way a fuzz target reports a broken invariant: name the check and the
// source line on stderr, then abort, so libFuzzer keeps the input as a crash.

#include <cstdio>
#include <cstdlib>

namespace vantorel::fuzz {

[[noreturn]] inline void failCheck(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", condition, file, line);
    std::abort();
}

}  // namespace vantorel::fuzz

#define FUZZ_CHECK(condition) \
    ((condition) ? static_cast<void>(0) : ::vantorel::fuzz::failCheck(#condition, __FILE__, __LINE__))
