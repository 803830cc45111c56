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

    std::vector<double> tmp(n);
    for (int i = 0; i < nl; ++i)
        for (int j = 0; j < nc; ++j) {
            double s = 0.0;
            for (int k = -r; k <= r; ++k)
                s += w[k + r] * in[static_cast<long>(i) * nc + std::clamp(j + k, 0, nc - 1)];
            tmp[static_cast<long>(i) * nc + j] = s;
        }
    for (int i = 0; i < nl; ++i)
        for (int j = 0; j < nc; ++j) {
            double s = 0.0;
            for (int k = -r; k <= r; ++k)
                s += w[k + r] * tmp[static_cast<long>(std::clamp(i + k, 0, nl - 1)) * nc + j];
            out[static_cast<long>(i) * nc + j] = static_cast<float>(s);
        }
}
