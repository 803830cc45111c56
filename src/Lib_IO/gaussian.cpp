#include "gaussian.h"

#include <algorithm>
#include <cmath>
#include <vector>

void Gaussian_smooth_f(float* out, const float* in, float sigma, short nb_col, short nb_lig) {
    const int nc = nb_col, nl = nb_lig;
    const std::size_t n = static_cast<std::size_t>(nc) * nl;
    if (!(sigma > 0.0f)) {
        std::copy(in, in + n, out);
        return;
    }
    const int r = static_cast<int>(std::ceil(3.0 * sigma));
    std::vector<double> w(2 * r + 1);
    double total = 0.0;
    for (int k = -r; k <= r; ++k)
        total += w[k + r] = std::exp(-0.5 * k * k / (double(sigma) * sigma));
    for (double& x : w) x /= total;

    // The same sums in the same order everywhere; only the samples whose window leaves the
    // image take the clamped indices, so the inner loops run without tests.
    std::vector<double> tmp(n);
    for (int i = 0; i < nl; ++i) {
        const float* line = in + static_cast<long>(i) * nc;
        double* dst = tmp.data() + static_cast<long>(i) * nc;
        for (int j = 0; j < nc; ++j) {
            double s = 0.0;
            if (j - r >= 0 && j + r <= nc - 1) {
                const float* x = line + (j - r);
                for (int k = 0; k <= 2 * r; ++k) s += w[k] * x[k];
            } else {
                for (int k = -r; k <= r; ++k) s += w[k + r] * line[std::clamp(j + k, 0, nc - 1)];
            }
            dst[j] = s;
        }
    }
    std::vector<double> acc(nc);
    for (int i = 0; i < nl; ++i) {
        std::fill(acc.begin(), acc.end(), 0.0);
        for (int k = -r; k <= r; ++k) {
            const double wk = w[k + r];
            const double* src = tmp.data() + static_cast<long>(std::clamp(i + k, 0, nl - 1)) * nc;
            for (int j = 0; j < nc; ++j) acc[j] += wk * src[j];
        }
        float* dst = out + static_cast<long>(i) * nc;
        for (int j = 0; j < nc; ++j) dst[j] = static_cast<float>(acc[j]);
    }
}
