#include "bspline.h"

#include <cmath>
#include <vector>

namespace {

const double kPole = std::sqrt(3.0) - 2.0;

// In-place cubic B-spline prefilter of n samples spaced by `stride` (Unser's causal and
// anti-causal recursions with gain 6; mirror boundary).
void prefilter_line(double* c, int n, int stride) {
    if (n < 2) return;
    const double z = kPole;
    // Causal initial value: the mirrored sum of z^|k| c[k], truncated where z^k < 1e-12.
    const int horizon = static_cast<int>(std::ceil(std::log(1e-12) / std::log(std::fabs(z))));
    double sum;
    if (horizon < n) {
        double zn = z;
        sum = c[0];
        for (int k = 1; k < horizon; ++k, zn *= z) sum += zn * c[k * stride];
    } else {
        double zn = z;
        const double iz = 1.0 / z;
        double z2n = std::pow(z, n - 1);
        sum = c[0] + z2n * c[(n - 1) * stride];
        z2n *= z2n * iz;
        for (int k = 1; k <= n - 2; ++k) {
            sum += (zn + z2n) * c[k * stride];
            zn *= z;
            z2n *= iz;
        }
        sum /= 1.0 - zn * zn;
    }
    c[0] = 6.0 * sum;
    for (int k = 1; k < n; ++k) c[k * stride] = 6.0 * c[k * stride] + z * c[(k - 1) * stride];
    c[(n - 1) * stride] = z / (z * z - 1.0) * (z * c[(n - 2) * stride] + c[(n - 1) * stride]);
    for (int k = n - 2; k >= 0; --k) c[k * stride] = z * (c[(k + 1) * stride] - c[k * stride]);
}

int mirror(int k, int n) {
    if (n == 1) return 0;
    const int period = 2 * (n - 1);
    k %= period;
    if (k < 0) k += period;
    return k < n ? k : period - k;
}

// Weights of the four samples x0 - 1 .. x0 + 2 at the fraction t = x - x0 in [0, 1).
void cubic_weights(double t, double w[4]) {
    const double s = 1.0 - t;
    w[0] = s * s * s / 6.0;
    w[1] = 2.0 / 3.0 - t * t + 0.5 * t * t * t;
    w[2] = 2.0 / 3.0 - s * s + 0.5 * s * s * s;
    w[3] = t * t * t / 6.0;
}

// The bilinear warp's rule: after clamping the base point, its neighbour in the step direction
// of each axis (a zero displacement steps backwards) must lie inside the image.
bool footprint_inside(int i, int j, float U, float V, int nb_col, int nb_lig) {
    if (std::isnan(U) || std::isnan(V)) return false;
    const double c0 = std::fmin(std::fmax(j + double(std::trunc(U)), 0.0), nb_col - 1.0);
    const double r0 = std::fmin(std::fmax(i + double(std::trunc(V)), 0.0), nb_lig - 1.0);
    const double c1 = c0 + (U > 0 ? 1 : -1), r1 = r0 + (V > 0 ? 1 : -1);
    return c1 >= 0 && c1 <= nb_col - 1 && r1 >= 0 && r1 <= nb_lig - 1;
}

}  // namespace

void bspline_prefilter(float* coef, const float* im, short nb_col, short nb_lig) {
    const int nc = nb_col, nl = nb_lig;
    std::vector<double> c(im, im + static_cast<long>(nc) * nl);
    for (int i = 0; i < nl; ++i) prefilter_line(c.data() + static_cast<long>(i) * nc, nc, 1);
    for (int j = 0; j < nc; ++j) prefilter_line(c.data() + j, nl, nc);
    for (std::size_t k = 0; k < c.size(); ++k) coef[k] = static_cast<float>(c[k]);
}

double bspline_sample(const float* coef, short nb_col, short nb_lig, double x, double y) {
    const double fx = std::floor(x), fy = std::floor(y);
    double wx[4], wy[4];
    cubic_weights(x - fx, wx);
    cubic_weights(y - fy, wy);
    const int x0 = static_cast<int>(fx) - 1, y0 = static_cast<int>(fy) - 1;
    double sum = 0.0;
    for (int a = 0; a < 4; ++a) {
        const float* row = coef + static_cast<long>(mirror(y0 + a, nb_lig)) * nb_col;
        double line = 0.0;
        for (int b = 0; b < 4; ++b) line += wx[b] * row[mirror(x0 + b, nb_col)];
        sum += wy[a] * line;
    }
    return sum;
}

void Recal_bspline(float* u, float* v, float* Im_fl_out, float* Im_fl_in, short nb_col,
                   short nb_lig) {
    std::vector<float> coef(static_cast<std::size_t>(nb_col) * nb_lig);
    bspline_prefilter(coef.data(), Im_fl_in, nb_col, nb_lig);
    for (int i = 0; i < nb_lig; ++i)
        for (int j = 0; j < nb_col; ++j) {
            const long k = static_cast<long>(i) * nb_col + j;
            Im_fl_out[k] =
                footprint_inside(i, j, u[k], v[k], nb_col, nb_lig)
                    ? static_cast<float>(bspline_sample(coef.data(), nb_col, nb_lig,
                                                        j + double(u[k]), i + double(v[k])))
                    : 0.0f;
        }
}
