#include "fail.h"

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

// Hands the message to the handler, if one is set, then ends the run.
[[noreturn]] void end_run(const char* message) {
    if (g_handler) g_handler(message);
    std::fflush(stdout);
    std::exit(1);
}

}  // namespace

FailHandler set_fail_handler(FailHandler handler) {
    const FailHandler previous = g_handler;
    g_handler = handler;
    return previous;
}

void fail(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const std::string message = format(fmt, ap);
    va_end(ap);
    if (!g_handler) {
        std::fflush(stdout);
        std::fprintf(stderr, "Error: %s\n", message.c_str());
    }
    end_run(message.c_str());
}

void error_report(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const std::string message = format(fmt, ap);
    va_end(ap);
    if (!g_handler) {
        std::printf("******************* ERROR ********************\n");
        std::printf("%s", message.c_str());
        std::printf("\n**********************************************\n");
    }
    end_run(message.c_str());
}

void stop_run() {
    end_run("");
}
