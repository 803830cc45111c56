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

void error_report(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::printf("******************* ERROR ********************\n");
    std::vprintf(fmt, ap);
    std::printf("\n**********************************************\n");
    va_end(ap);
    std::fflush(stdout);
    std::exit(1);
}
