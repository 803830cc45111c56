// Numbers from the tools' command lines, refused with a message naming the option.
#include "tool_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "fail.h"

long option_integer(const char* flag, const char* text, long lo, long hi) {
    char* end = nullptr;
    errno = 0;
    const long x = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || x < lo || x > hi)
        fail("option %s: '%s' is not an integer from %ld to %ld", flag, text, lo, hi);
    return x;
}

double option_number(const char* flag, const char* text, bool positive) {
    char* end = nullptr;
    errno = 0;
    const double x = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !std::isfinite(x) || (positive && x <= 0))
        fail("option %s: '%s' is not a %snumber", flag, text, positive ? "positive " : "");
    return x;
}

const char* option_value(int argc, char** argv, int* a, void (*usage)(const char* prog)) {
    const char* flag = argv[*a];
    if (std::strcmp(flag, "-h") == 0 || std::strcmp(flag, "--help") == 0) {
        usage(argv[0]);
        std::exit(0);
    }
    if (*a + 1 >= argc) fail("option %s needs a value (see -h)", flag);
    return argv[++*a];
}
