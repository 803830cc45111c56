// Option values of the companion tools: one way to read a number from the command line and to
// refuse, naming the option, a value that is not one.
#ifndef TOOL_OPTIONS_H
#define TOOL_OPTIONS_H

// The whole text as a base-10 integer within lo .. hi; otherwise the run ends (exit 1) with
// "option FLAG: 'TEXT' is not an integer from LO to HI".
long option_integer(const char* flag, const char* text, long lo, long hi);

// The whole text as a finite decimal number (strictly positive when `positive`); otherwise the
// run ends (exit 1) with "option FLAG: 'TEXT' is not a (positive) number".
double option_number(const char* flag, const char* text, bool positive = false);

#endif
