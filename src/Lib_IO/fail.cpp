#include "fail.h"

#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

FailHandler g_handler = nullptr;

std::string format(const char* fmt, va_list ap) {
    va_list again;
    va_copy(again, ap);
    const int n = std::vsnprintf(nullptr, 0, fmt, again);
    va_end(again);
    std::string out(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(&out[0], out.size() + 1, fmt, ap);
    return out;
}

void print(FailStyle style, const std::string& message) {
    switch (style) {
        case FailStyle::Line:
            std::fflush(stdout);
            std::fprintf(stderr, "Error: %s\n", message.c_str());
            break;
        case FailStyle::Banner:
            std::printf("******************* ERROR ********************\n");
            std::printf("%s", message.c_str());
            std::printf("\n**********************************************\n");
            break;
        case FailStyle::Runtime:
            std::fflush(stdout);
            std::fprintf(stderr, "run_time error..\n%s\n...now exiting to system...\n",
                         message.c_str());
            break;
        case FailStyle::Plain:
            std::printf("%s", message.c_str());
            break;
    }
}

// Hands the message to the handler, if one is set; otherwise prints it and exits. When several
// threads fail at once, the first one prints and exits; the others wait for the process to end.
[[noreturn]] void end_run(FailStyle style, const std::string& message) {
    if (g_handler) {
        g_handler(message.c_str());
    } else {
        static std::atomic<bool> ending{false};
        if (ending.exchange(true))
            for (;;) pause();
        print(style, message);
    }
    std::fflush(stdout);
    std::exit(1);
}

}  // namespace

FailHandler set_fail_handler(FailHandler handler) {
    const FailHandler previous = g_handler;
    g_handler = handler;
    return previous;
}

void fail(FailStyle style, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const std::string message = format(fmt, ap);
    va_end(ap);
    end_run(style, message);
}

void fail(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const std::string message = format(fmt, ap);
    va_end(ap);
    end_run(FailStyle::Line, message);
}
