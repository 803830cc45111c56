// The one way a run ends on a fatal error: the message in one of the program's fixed forms, then
// exit status 1. A run never ends with status 0 after a failure.
#ifndef FAIL_H
#define FAIL_H

// How the message is printed.
enum class FailStyle {
    Line,     // "Error: <message>" on standard error, naming the file or option at fault
    Banner,   // on standard output: a line of stars around ERROR, the message, a closing line
    Runtime,  // on standard error: "run_time error..", the message, "...now exiting to system..."
    Plain,    // the message alone on standard output, without a line end
};

[[noreturn]] void fail(FailStyle style, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// fail(FailStyle::Line, ...).
[[noreturn]] void fail(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// A handler takes over from the exit: fail() then hands it the message instead of printing it.
// It must not return (a harness throws and catches its own exception); if it does, the run ends
// with status 1. Null restores the exit. Returns the previous handler.
using FailHandler = void (*)(const char* message);
FailHandler set_fail_handler(FailHandler handler);

#endif
