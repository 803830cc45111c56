#include "pixel_refinement.h"

#include <cstddef>
#include <vector>

namespace {

inline bool interior(int i, int j, int nc, int nl) {
    return i >= 1 && j >= 1 && i <= nl - 2 && j <= nc - 2;
}

// A target sample, 0 on the outer frame and outside the image.
inline double target(const float* x, int i, int j, int nc, int nl) {
    return interior(i, j, nc, nl) ? x[static_cast<std::size_t>(i) * nc + j] : 0.0;
}

}  // namespace

void refinement_residual(float* r, const float* du, const float* dv, const RefinementTerms& t) {
    const int nc = t.nc, nl = t.nl;
    for (int i = 0; i < nl; ++i)
        for (int j = 0; j < nc; ++j) {
            const std::size_t p = static_cast<std::size_t>(i) * nc + j;
            double x = static_cast<double>(t.r0[p]) + static_cast<double>(t.ax[p]) * du[p] +
                       static_cast<double>(t.ay[p]) * dv[p];
            if (interior(i, j, nc, nl))
                x += 0.5 * t.b[p] *
                     ((static_cast<double>(du[p + 1]) - du[p - 1]) +
                      (static_cast<double>(dv[p + nc]) - dv[p - nc]));
            r[p] = static_cast<float>(x);
        }
}

// At pixel p the residuals that move with (du_p, dv_p) are its own (coefficients (ax, ay)) and
// those of its interior neighbours through their divergence: (-b/2, 0) at (i, j+1), (b/2, 0) at
// (i, j-1), (0, -b/2) at (i+1, j), (0, b/2) at (i-1, j). Half the gradient of E in (du_p, dv_p):
//   g = sum_q D_q c_q r_q + mu sum_links (W_p - W_q) + (g_u, g_v),
//   g_u = mu/2 (xi(i, j+1) - xi(i, j-1)) - mu/2 (zeta(i+1, j) - zeta(i-1, j)),
//   g_v = mu/2 (xi(i+1, j) - xi(i-1, j)) + mu/2 (zeta(i, j+1) - zeta(i, j-1)),
// and half its Hessian H = sum_q D_q c_q c_q^T + mu n I (n links); the step is -H^-1 g.
void refine_increment(float* du, float* dv, const RefinementTerms& t, int sweeps, float omega) {
    const int nc = t.nc, nl = t.nl;
    const double mu = t.mu, half = 0.5 * t.mu;
    std::vector<float> r(static_cast<std::size_t>(nc) * nl);
    refinement_residual(r.data(), du, dv, t);
    for (int s = 0; s < sweeps; ++s)
        for (int i = 0; i < nl; ++i)
            for (int j = 0; j < nc; ++j) {
                const std::size_t p = static_cast<std::size_t>(i) * nc + j;
                struct Term {
                    std::size_t q;
                    double cu, cv;
                } terms[5];
                int m = 0;
                terms[m++] = {p, t.ax[p], t.ay[p]};
                if (interior(i, j + 1, nc, nl)) terms[m++] = {p + 1, -0.5 * t.b[p + 1], 0.0};
                if (interior(i, j - 1, nc, nl)) terms[m++] = {p - 1, 0.5 * t.b[p - 1], 0.0};
                if (interior(i + 1, j, nc, nl)) terms[m++] = {p + nc, 0.0, -0.5 * t.b[p + nc]};
                if (interior(i - 1, j, nc, nl)) terms[m++] = {p - nc, 0.0, 0.5 * t.b[p - nc]};
                double h11 = 0.0, h12 = 0.0, h22 = 0.0, g1 = 0.0, g2 = 0.0;
                for (int k = 0; k < m; ++k) {
                    const Term& c = terms[k];
                    const double d = t.weight[c.q];
                    h11 += d * c.cu * c.cu;
                    h12 += d * c.cu * c.cv;
                    h22 += d * c.cv * c.cv;
                    g1 += d * c.cu * r[c.q];
                    g2 += d * c.cv * r[c.q];
                }
                int n = 0;
                const auto link = [&](std::size_t q) {
                    g1 += mu * ((static_cast<double>(t.U[p]) + du[p]) - (t.U[q] + du[q]));
                    g2 += mu * ((static_cast<double>(t.V[p]) + dv[p]) - (t.V[q] + dv[q]));
                    ++n;
                };
                if (i > 0) link(p - nc);
                if (i < nl - 1) link(p + nc);
                if (j > 0) link(p - 1);
                if (j < nc - 1) link(p + 1);
                g1 += half * (target(t.xi, i, j + 1, nc, nl) - target(t.xi, i, j - 1, nc, nl)) -
                      half * (target(t.zeta, i + 1, j, nc, nl) - target(t.zeta, i - 1, j, nc, nl));
                g2 += half * (target(t.xi, i + 1, j, nc, nl) - target(t.xi, i - 1, j, nc, nl)) +
                      half * (target(t.zeta, i, j + 1, nc, nl) - target(t.zeta, i, j - 1, nc, nl));
                h11 += mu * n;
                h22 += mu * n;
                const double det = h11 * h22 - h12 * h12;
                if (!(det > 0.0)) continue;
                const double su = -omega * (h22 * g1 - h12 * g2) / det;
                const double sv = -omega * (h11 * g2 - h12 * g1) / det;
                du[p] = static_cast<float>(du[p] + su);
                dv[p] = static_cast<float>(dv[p] + sv);
                for (int k = 0; k < m; ++k) {
                    const Term& c = terms[k];
                    r[c.q] = static_cast<float>(r[c.q] + c.cu * su + c.cv * sv);
                }
            }
}

double refinement_energy(const float* du, const float* dv, const RefinementTerms& t) {
    const int nc = t.nc, nl = t.nl;
    std::vector<float> r(static_cast<std::size_t>(nc) * nl);
    refinement_residual(r.data(), du, dv, t);
    const auto wu = [&](int i, int j) {
        const std::size_t k = static_cast<std::size_t>(i) * nc + j;
        return static_cast<double>(t.U[k]) + du[k];
    };
    const auto wv = [&](int i, int j) {
        const std::size_t k = static_cast<std::size_t>(i) * nc + j;
        return static_cast<double>(t.V[k]) + dv[k];
    };
    double data = 0.0, links = 0.0, targets = 0.0;
    for (int i = 0; i < nl; ++i)
        for (int j = 0; j < nc; ++j) {
            const std::size_t p = static_cast<std::size_t>(i) * nc + j;
            data += static_cast<double>(t.weight[p]) * r[p] * r[p];
            if (i < nl - 1) {
                const double a = wu(i + 1, j) - wu(i, j), b = wv(i + 1, j) - wv(i, j);
                links += a * a + b * b;
            }
            if (j < nc - 1) {
                const double a = wu(i, j + 1) - wu(i, j), b = wv(i, j + 1) - wv(i, j);
                links += a * a + b * b;
            }
            if (!interior(i, j, nc, nl)) continue;
            const double div =
                0.5 * (wu(i, j + 1) - wu(i, j - 1)) + 0.5 * (wv(i + 1, j) - wv(i - 1, j));
            const double curl =
                0.5 * (wv(i, j + 1) - wv(i, j - 1)) - 0.5 * (wu(i + 1, j) - wu(i - 1, j));
            targets += t.xi[p] * div + t.zeta[p] * curl;
        }
    return data + t.mu * links - 2.0 * t.mu * targets;
}
