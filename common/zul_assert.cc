#include "common/zul_assert.h"

#include <cstdio>
#include <cstdlib>

void zul_assert_fail(const char *file, unsigned line, const char *expr)
{
    printf("%s:%u: failed assertion `%s'\n", file, line, expr);
    fflush(stdout);
    abort();
}
