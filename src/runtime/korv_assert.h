// KORV_ASSERT(condition, what) states an invariant the code relies on and
// that the compiler cannot check. In the sanitizer builds (KORV_CHECKED,
// set by CMake with KORV_SANITIZE or KORV_TSAN) a condition found false
// stops the run at once with the words "internal check failed", where the
// invariant is stated, `what` and the condition, so that the tests and the
// fault sweep catch it where it breaks and not later. In other builds the
// condition is compiled but never evaluated: it may cost what it likes and
// must have no effect.
#pragma once

#if defined(KORV_CHECKED)
#include <cstdio>
#include <cstdlib>

inline constexpr bool korv_assert_on = true;

[[noreturn]] inline void korv_assert_failed(const char* condition, const char* what,
                                            const char* file, int line)
{
    std::fprintf(stderr, "korvante: internal check failed at %s:%d: %s (%s)\n", file, line, what,
                 condition);
    std::fflush(stderr);
    std::abort();
}

#define KORV_ASSERT(condition, what)                                                               \
    ((condition) ? static_cast<void>(0) : korv_assert_failed(#condition, what, __FILE__, __LINE__))
#else
inline constexpr bool korv_assert_on = false;
#define KORV_ASSERT(condition, what) static_cast<void>(sizeof(!(condition)))
#endif
