// Phase correlation on tiles (see displacement_estimate.h). A radix-2 complex FFT in double.
#include "displacement_estimate.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <vector>

namespace {

using Complex = std::complex<double>;

// In-place FFT of n samples (n a power of two) with stride `stride`; inverse when sign = +1
// (unscaled).
void fft(Complex* x, int n, int stride, int sign) {
    for (int i = 1, j = 0; i < n; ++i) {
        int bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(x[i * stride], x[j * stride]);
    }
    for (int len = 2; len <= n; len <<= 1) {
        const double angle = sign * 2.0 * M_PI / len;
        const Complex wlen(std::cos(angle), std::sin(angle));
        for (int i = 0; i < n; i += len) {
            Complex w(1.0, 0.0);
            for (int k = 0; k < len / 2; ++k) {
                const Complex u = x[(i + k) * stride];
                const Complex v = x[(i + k + len / 2) * stride] * w;
                x[(i + k) * stride] = u + v;
                x[(i + k + len / 2) * stride] = u - v;
                w *= wlen;
            }
        }
    }
}

void fft_2d(std::vector<Complex>& x, int n, int sign) {
    for (int r = 0; r < n; ++r) fft(x.data() + static_cast<long>(r) * n, n, 1, sign);
    for (int c = 0; c < n; ++c) fft(x.data() + c, n, n, sign);
}

// Offset of the parabola's vertex through (-1, l), (0, c), (1, r), within [-0.5, 0.5].
double vertex(double l, double c, double r) {
    const double d = l - 2.0 * c + r;
    if (!(d < 0.0)) return 0.0;
    return std::clamp(0.5 * (l - r) / d, -0.5, 0.5);
}

}  // namespace

double tile_shift(const float* a, const float* b, int n, double* dx, double* dy) {
    const long nn = static_cast<long>(n) * n;
    std::vector<Complex> A(nn), B(nn);
    double ma = 0.0, mb = 0.0;
    for (long k = 0; k < nn; ++k) ma += a[k], mb += b[k];
    ma /= nn;
    mb /= nn;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            const double w = (0.5 - 0.5 * std::cos(2.0 * M_PI * (i + 0.5) / n)) *
                             (0.5 - 0.5 * std::cos(2.0 * M_PI * (j + 0.5) / n));
            const long k = static_cast<long>(i) * n + j;
            A[k] = (a[k] - ma) * w;
            B[k] = (b[k] - mb) * w;
        }
    fft_2d(A, n, -1);
    fft_2d(B, n, -1);
    // conj(A) B / (|conj(A) B| + eps): its inverse transform peaks at the shift of b against a.
    // eps, a hundredth of the largest magnitude, keeps the frequencies that hold next to no
    // energy (the window's own leakage, rounding) from weighing as much as the content's.
    double largest = 0.0;
    for (long k = 0; k < nn; ++k) {
        A[k] = std::conj(A[k]) * B[k];
        largest = std::max(largest, std::abs(A[k]));
    }
    const double eps = 0.01 * largest + 1e-300;
    double weight = 0.0;  // the peak's height for an exact shift
    for (long k = 0; k < nn; ++k) {
        const double m = std::abs(A[k]);
        A[k] /= m + eps;
        weight += m / (m + eps);
    }
    fft_2d(A, n, +1);
    long best = 0;
    for (long k = 1; k < nn; ++k)
        if (A[k].real() > A[best].real()) best = k;
    const int bi = static_cast<int>(best / n), bj = static_cast<int>(best % n);
    auto at = [&](int i, int j) {
        return A[((i + n) % n) * static_cast<long>(n) + (j + n) % n].real();
    };
    const double c = at(bi, bj);
    const double fi = vertex(at(bi - 1, bj), c, at(bi + 1, bj));
    const double fj = vertex(at(bi, bj - 1), c, at(bi, bj + 1));
    *dy = (bi > n / 2 ? bi - n : bi) + fi;
    *dx = (bj > n / 2 ? bj - n : bj) + fj;
    return c / weight;
}

double largest_displacement(const short* a, const short* b, const unsigned char* valid_a,
                            const unsigned char* valid_b, short nb_col, short nb_lig) {
    int n = 64;
    while (n > 16 && (n > nb_col || n > nb_lig)) n /= 2;
    if (n > nb_col || n > nb_lig) return -1.0;
    // Tile origins half a tile apart, the last one flush with the far edge.
    auto origins = [n](int size) {
        std::vector<int> o;
        for (int p = 0; p + n <= size; p += n / 2) o.push_back(p);
        if (o.back() + n < size) o.push_back(size - n);
        return o;
    };
    std::vector<float> ta(static_cast<std::size_t>(n) * n), tb(ta.size());
    double largest = -1.0;
    for (int i0 : origins(nb_lig))
        for (int j0 : origins(nb_col)) {
            bool usable = true;
            for (int i = 0; i < n && usable; ++i)
                for (int j = 0; j < n; ++j) {
                    const long k = static_cast<long>(i0 + i) * nb_col + j0 + j;
                    if ((valid_a && !valid_a[k]) || (valid_b && !valid_b[k])) {
                        usable = false;
                        break;
                    }
                    ta[static_cast<std::size_t>(i) * n + j] = a[k];
                    tb[static_cast<std::size_t>(i) * n + j] = b[k];
                }
            if (!usable) continue;
            double dx, dy;
            if (tile_shift(ta.data(), tb.data(), n, &dx, &dy) >= kPeakMin)
                largest = std::max(largest, std::hypot(dx, dy));
        }
    return largest;
}
