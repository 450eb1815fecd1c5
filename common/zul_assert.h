// Fatal internal invariant checks shared by every module of the router software.
#pragma once

[[noreturn]] void zul_assert_fail(const char *file, unsigned line, const char *expr);

// Prints "<file>:<line>: failed assertion `<expr>'" on standard output and aborts.
// Always compiled in: a broken invariant must stop the process, not corrupt state.
#define ZUL_ASSERT(expr)                                                                           \
    ((expr) ? (void)0 : zul_assert_fail(__FILE__, static_cast<unsigned>(__LINE__), #expr))
