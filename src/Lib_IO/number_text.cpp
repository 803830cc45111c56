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

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the digits are stored as integers");

// The six decimal digits of v < 10^6 as the low 6 bytes of an integer, the first digit in the
// lowest byte (the characters' order in memory on a little-endian machine).
std::uint64_t six_digit_bytes(std::uint32_t v) {
    const std::uint32_t rest = v % 10000;
    std::uint16_t pair[3];
    std::memcpy(&pair[0], kPairs + 2 * (v / 10000), 2);
    std::memcpy(&pair[1], kPairs + 2 * (rest / 100), 2);
    std::memcpy(&pair[2], kPairs + 2 * (rest % 100), 2);
    return pair[0] | std::uint64_t{pair[1]} << 16 | std::uint64_t{pair[2]} << 32;
}

}  // namespace

char* format_g(char* first, char* last, float value) {
    const double a = std::fabs(static_cast<double>(value));
    // The fixed form's range, its rounding included: below 1e-4 (as a double) or from 999999.5 on
    // (which rounds to 1e+06) the exponent form may apply; NaN fails both tests.
    if (!(a >= 1e-4 && a < 999999.5) || last - first < 13)
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
    // The estimate is often one decade low, unpredictably: that step is taken without a branch,
    // and the loop settles the rare rest.
    X += X < 5 && ((m * kPow10[5 - X]) >> s) >= 1000000;
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
    // The digits as the low 6 bytes of an integer (little-endian: the first digit in the lowest
    // byte, never '0' as q >= 1e5), built in a register; the trailing zeros are the high bytes
    // equal to '0'.
    const std::uint64_t d = six_digit_bytes(static_cast<std::uint32_t>(q));
    const int zeros = (__builtin_clzll(d ^ 0x303030303030u) - 16) >> 3;
    const int used = 6 - zeros;  // the digits that remain once trailing zeros are dropped
    char* p = first;
    *p = '-';
    p += value < 0;
    if (X >= 0) {
        // X + 1 digits, the point, the rest: 7 bytes stored, the point and the trailing zeros
        // cut by the length.
        const int k = 8 * (X + 1);
        const std::uint64_t low = d & ((std::uint64_t{1} << k) - 1);
        const std::uint64_t r = low | (std::uint64_t{'.'} << k) | ((d >> k) << (k + 8));
        std::memcpy(p, &r, 7);
        return p + (used > X + 1 ? used + 1 : X + 1);
    }
    // "0.", -X - 1 zeros, the digits.
    const int z = -X - 1;
    std::memcpy(p, "0.000", 5);
    std::memcpy(p + 2 + z, &d, 6);
    return p + 2 + z + used;
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
