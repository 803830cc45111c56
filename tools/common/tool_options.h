// Option values of the companion tools: one way to walk FLAG VALUE pairs, to read a number from
// the command line and to refuse, naming the option, a value that is not one.
#ifndef TOOL_OPTIONS_H
#define TOOL_OPTIONS_H

// The whole text as a base-10 integer within lo .. hi; otherwise the run ends (exit 1) with
// "option FLAG: 'TEXT' is not an integer from LO to HI".
long option_integer(const char* flag, const char* text, long lo, long hi);

// The whole text as a finite decimal number (strictly positive when `positive`); otherwise the
// run ends (exit 1) with "option FLAG: 'TEXT' is not a (positive) number".
double option_number(const char* flag, const char* text, bool positive = false);

// The value that follows the flag argv[*a] on a FLAG VALUE command line; *a moves onto it. -h and
// --help print the usage and end the run with status 0; a flag without a value ends it (exit 1)
// with "option FLAG needs a value (see -h)".
const char* option_value(int argc, char** argv, int* a, void (*usage)(const char* prog));

#endif
