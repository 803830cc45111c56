#include "fail.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

void fail(const char* fmt, ...) {
    std::fflush(stdout);
    va_list ap;
    va_start(ap, fmt);
    std::fputs("Error: ", stderr);
    std::vfprintf(stderr, fmt, ap);
    std::fputc('\n', stderr);
    va_end(ap);
    std::exit(1);
}
