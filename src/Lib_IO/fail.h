// One way to end the run on a fatal error: a single line on standard error that names the file
// or the option at fault, then exit status 1.
#ifndef FAIL_H
#define FAIL_H

[[noreturn]] void fail(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

#endif
