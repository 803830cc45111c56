#include "number_text.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

constexpr std::uint64_t kPow10[10] = {1,      10,      100,      1000,      10000,
                                      100000, 1000000, 10000000, 100000000, 1000000000};

// "00" .. "99".
constexpr char kPairs[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// round(n 2^-s), ties to even.
std::uint64_t rounded_shift(std::uint64_t n, int s) {
    if (s == 0) return n;
    if (s >= 64) return 0;  // the callers' n < 2^63: below one half
    const std::uint64_t q = n >> s, r = n & ((std::uint64_t{1} << s) - 1),
                        half = std::uint64_t{1} << (s - 1);
    return q + (r > half || (r == half && (q & 1)) ? 1 : 0);
}

// The six decimal digits of v < 10^6, leading zeros included, two at a time.
void six_digits(char* out, std::uint32_t v) {
    const std::uint32_t rest = v % 10000;
    std::memcpy(out, kPairs + 2 * (v / 10000), 2);
    std::memcpy(out + 2, kPairs + 2 * (rest / 100), 2);
    std::memcpy(out + 4, kPairs + 2 * (rest % 100), 2);
}

}  // namespace

char* format_g(char* first, char* last, float value) {
    const double a = std::fabs(static_cast<double>(value));
    // The fixed form's range, its rounding included: below 1e-4 (as a double) or from 999999.5 on
    // (which rounds to 1e+06) the exponent form may apply; NaN fails both tests.
    if (!(a >= 1e-4 && a < 999999.5))
        return std::to_chars(first, last, static_cast<double>(value), std::chars_format::general, 6)
            .ptr;
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    // A normal float (a >= 1e-4): m 2^-s with 2^23 <= m < 2^24 and 4 <= s <= 37.
    const std::uint64_t m = (bits & 0x7fffffu) | 0x800000u;
    const int s = 150 - static_cast<int>((bits >> 23) & 0xffu);
    // Decimal exponent X in [-4, 5]: the 6 digits q = round(a 10^(5 - X)) lie in [1e5, 1e6).
    // With 2^p <= a < 2^(p+1), floor(log10 a) is floor(p log10 2) or one more (1233 / 4096 is
    // log10 2 to 4 digits, enough for |p| < 128); the loop settles it.
    const int p2 = 23 - s;
    int X = (p2 * 1233) >> 12;  // an arithmetic shift: the floor for negative p2 too
    X = X < -4 ? -4 : X > 5 ? 5 : X;
    std::uint64_t q = 0;
    for (;;) {
        const std::uint64_t n = m * kPow10[5 - X];  // < 2^24 2^30
        q = n >> s;
        if (q < 100000 && X > -4) {
            --X;
            continue;
        }
        if (q >= 1000000 && X < 5) {
            ++X;
            continue;
        }
        q = rounded_shift(n, s);
        break;
    }
    if (q == 1000000) {  // rounded up to the next power of ten
        q = 100000;
        ++X;
    }
    char digits[6];
    six_digits(digits, static_cast<std::uint32_t>(q));
    int used = 6;  // the digits that remain once trailing zeros are dropped
    while (used > 1 && digits[used - 1] == '0') --used;
    char* p = first;
    if (value < 0) *p++ = '-';
    if (X >= 0) {
        for (int d = 0; d <= X; ++d) *p++ = digits[d];
        if (used > X + 1) {
            *p++ = '.';
            for (int d = X + 1; d < used; ++d) *p++ = digits[d];
        }
    } else {
        *p++ = '0';
        *p++ = '.';
        for (int z = 0; z < -X - 1; ++z) *p++ = '0';
        for (int d = 0; d < used; ++d) *p++ = digits[d];
    }
    return p;
}

char* format_f(char* first, char* last, float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const int E = static_cast<int>((bits >> 23) & 0xffu);
    if (E >= 151)  // |value| >= 2^24, infinities, NaN
        return std::to_chars(first, last, static_cast<double>(value), std::chars_format::fixed, 6)
            .ptr;
    // value = m 2^-s, s >= 0 (a subnormal: no leading bit, s = 149); m 10^6 < 2^44.
    const std::uint64_t m = E ? (bits & 0x7fffffu) | 0x800000u : bits & 0x7fffffu;
    const int s = E ? 150 - E : 149;
    const std::uint64_t q = rounded_shift(m * 1000000, s);
    char* p = first;
    if (bits >> 31) *p++ = '-';
    p = std::to_chars(p, last, q / 1000000).ptr;
    *p++ = '.';
    six_digits(p, static_cast<std::uint32_t>(q % 1000000));
    return p + 6;
}
