// Numbers as the text files write them: printf's "%g" of a float's value (the default stream
// form of a double: 6 significant digits, trailing zeros and a bare point dropped) and its "%f"
// (6 decimals), a row of a text file at a time.
#ifndef NUMBER_TEXT_H
#define NUMBER_TEXT_H

// Writes "%g" of double(value) at first and returns the end (at most 13 characters). Values
// whose 6-digit rounding lies in [1e-4, 1e6), the fixed form, are rounded exactly in integers:
// value = m 2^e (m < 2^24) times 10^k, k = 5 - X, with X its decimal exponent, gives the 6 digits
// as the integer part of m 10^k / 2^-e, ties to even (as printf rounds); the others go through
// std::to_chars. The same characters as printf either way. The fixed form is stored in whole
// words, which may reach a few bytes past the end but never 13 bytes past first; with less room
// than that it goes through std::to_chars too.
char* format_g(char* first, char* last, float value);

// Writes "%f" of double(value) at first and returns the end ([first, last) must hold 48
// characters). Values below 2^24 in magnitude are rounded exactly in integers (m 2^-s times 10^6,
// ties to even); larger ones, infinities and NaN go through std::to_chars. The same characters
// as printf either way, "-0.000000" for negative values that round to zero included.
char* format_f(char* first, char* last, float value);

#endif
