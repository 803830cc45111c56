// The two ways to end the run on a fatal error, both with exit status 1:
// fail() writes one line on standard error naming the file or option at fault;
// error_report() writes the system's three-line report on standard output (a banner of stars
// around ERROR, the message, a closing line of stars).
#ifndef FAIL_H
#define FAIL_H

[[noreturn]] void fail(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void error_report(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Ends the run with status 1 after a message the caller has already written.
[[noreturn]] void stop_run();

// A handler takes over from the exit: fail() and error_report() then hand it their message
// instead of writing it, and stop_run() hands it an empty message. It must not return (a
// harness throws and catches its own exception); if it does, the run ends with status 1.
// Null restores the exit. Returns the previous handler.
using FailHandler = void (*)(const char* message);
FailHandler set_fail_handler(FailHandler handler);

#endif
