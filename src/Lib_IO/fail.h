// The two ways to end the run on a fatal error, both with exit status 1:
// fail() writes one line on standard error naming the file or option at fault;
// error_report() writes the system's three-line report on standard output (a banner of stars
// around ERROR, the message, a closing line of stars).
#ifndef FAIL_H
#define FAIL_H

[[noreturn]] void fail(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void error_report(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

#endif
