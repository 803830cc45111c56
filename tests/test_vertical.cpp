// Mass-conservation coefficients of an interface and the robust relaxation of the interface's
// vertical wind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "band_cases.h"
#include "filter_masks.h"
#include "layer_terms.h"
#include "lissage_3D.h"
#include "operations_images.h"
#include "physical_constants.h"
#include "skewed_bands.h"

namespace {

using Field = std::vector<float>;
using Coefficients = decltype(&cte_edp2ndMembreFiltreGaussUp);

// Correlation at (r, c) with an s x s mask, samples clamped into the image, float running sum.
float correlate_at(const Field& x, int nc, int nl, const float* mask, int s, int r, int c) {
    auto clamp = [](int k, int n) { return k < 0 ? 0 : (k > n - 1 ? n - 1 : k); };
    float acc = 0.0f;
    for (int k = -s / 2; k <= s / 2; ++k)
        for (int l = -s / 2; l <= s / 2; ++l)
            acc = x[clamp(r + k, nl) * nc + clamp(c + l, nc)] * mask[(k + s / 2) * s + l + s / 2] +
                  acc;
    return acc;
}

// One interface: wind, data weights (1) and both layers' coefficients (0).
struct Interface {
    Interface(int n, float w0) : w(n, w0), D0(n, 1.0f), D1(n, 1.0f) {
        for (Field* f : {&a01, &b01, &a12, &b12}) f->assign(n, 0.0f);
    }
    int pass_on_copy(float lambdaW, short nc, short nl) const {  // uniform link weights
        Interface c = *this;
        std::vector<Line_Process> ones(nc * nl, {1.0f, 1.0f});
        return RegulWVert_RobUpDown(c.w.data(), c.D0.data(), c.D1.data(), c.a01.data(),
                                    c.b01.data(), c.a12.data(), c.b12.data(), nc, nl, lambdaW,
                                    ones.data());
    }
    Field w, D0, D1, a01, b01, a12, b12;
};

}  // namespace

// Zero total motion: the flux factor is -1 and a = fx u + fy v + 0.166 T2 * (Itdt - It) plus the
// known wind's flux (Up: - g rho_known w, Down: + g rho_known w); b = +-g rho_unknown.
TEST(MassConservation, WithoutDivergenceTheEquationIsResidualPlusFluxDifference) {
    const short nc = 5, nl = 4;
    const int n = nc * nl;
    std::vector<short> It(n), Itdt(n);
    Field zero(n, 0.0f), fx(n), fy(n), u(n), v(n), residual(n);
    const Field rho_unknown(n, 1.25f), rho_known(n, 0.75f);
    for (int k = 0; k < n; ++k) {
        const int i = k / nc, j = k % nc;
        It[k] = short(10 * i + 3 * j);
        Itdt[k] = short(12 * i + 2 * j + (i * j) % 3);
        fx[k] = 0.5f * j - 1, fy[k] = 0.25f * i + 0.5f, u[k] = 0.125f * (i - j), v[k] = 0.0625f * j;
        // the zero-motion registration clears line 0 and column 0
        residual[k] = (i == 0 || j == 0 ? 0.0f : Itdt[k]) - It[k];
    }
    const struct {
        Coefficients op;
        float sign;  // -1 Up, +1 Down
    } cases[] = {{cte_edp2ndMembreFiltreGaussUp, -1}, {cte_edp2ndMembreFiltreGaussDown, 1}};
    for (const auto& c : cases) {
        Field a(n), b(n), w(n, 0.5f);
        c.op(a.data(), b.data(), const_cast<float*>(rho_unknown.data()),
             const_cast<float*>(rho_known.data()), w.data(), It.data(), Itdt.data(), zero.data(),
             zero.data(), u.data(), v.data(), kFluxScale, nc, nl, fx.data(), fy.data(), filtre_T2);
        for (int k = 0; k < n; ++k) {
            const float ft = 0.166f * correlate_at(residual, nc, nl, filtre_T2, 3, k / nc, k % nc);
            const float want =
                fx[k] * u[k] + fy[k] * v[k] + ft + c.sign * 0.75f * kFluxScale * 0.5f;
            EXPECT_NEAR(a[k], want, 1e-4f * (1 + std::fabs(want))) << c.sign << " @" << k;
            EXPECT_FLOAT_EQ(b[k], -c.sign * 1.25f * kFluxScale) << c.sign << " @" << k;
        }
    }
}

// |div| = 0.01 in both per-pixel kernels, four pixels at a time and in the tail: the values
// 0.01f, the floats just below and just above, and their negatives, rotated through every lane
// of the two groups of four and the three tail pixels. With exdiv = 2, no increment and a flux
// F = 1 (g = rho_lo = w_lo = 1, rho_hi = 0), fx_div = 1, fy_div = 0.5:
//  - data term (first order where |div| <= 0.01): fx = 2 fx_div, fy = 2 fy_div, ft = ft_data - F,
//    else fx += A fx_div, fy += A fy_div, ft += -(F / div)(exdiv - 1), A = (1 / div - 2) / div;
//  - interface equations with the increment u = 0.5, v = 0 and Itdt = 1, fx = fy = 0: flux
//    factor aux = -1 where |div| < 0.01, else ((u fx_div) ((exdiv - 1) / div - exdiv)
//    + (1 - exdiv)) / div = (0.5 (1 / div - 2) - 1) / div; residual exdiv (Itdt fx_div + fx) u
//    + ft_mass = 1 + 0.5; Up a = 1.5 + aux, b = -aux; Down a = 1.5 - aux, b = aux.
TEST(LayerTerms, DivergenceOfOneHundredthIsTheBranchPointInEveryLane) {
    const float e = 0.01f, below = std::nextafter(e, 0.0f), above = std::nextafter(e, 1.0f);
    const float divs[6] = {e, -e, below, -below, above, -above};
    const int n = 11;
    for (int shift = 0; shift < 6; ++shift) {
        Field div(n), two(n, 2.0f), one(n, 1.0f), zero(n, 0.0f), half(n, 0.5f), fxd(n, 1.0f),
            fyd(n, 0.5f);
        for (int k = 0; k < n; ++k) div[k] = divs[(k + shift) % 6];
        Field fx(n), fy(n), ft(n);
        const MassTermsView level{div.data(),  two.data(),  fxd.data(),  fyd.data(),  one.data(),
                                  zero.data(), zero.data(), zero.data(), zero.data(), zero.data()};
        data_term_update(fx.data(), fy.data(), ft.data(), level, one.data(), zero.data(),
                         one.data(), one.data(), 1.0f, 0, n);
        const MassTermsView m{div.data(),  two.data(),  fxd.data(),  fyd.data(),  one.data(),
                              half.data(), half.data(), zero.data(), zero.data(), zero.data()};
        Field a_up(n), b_up(n), a_down(n), b_down(n);
        interface_coefficients_up(a_up.data(), b_up.data(), m, one.data(), one.data(), one.data(),
                                  1.0f, 0, n);
        interface_coefficients_down(a_down.data(), b_down.data(), m, one.data(), one.data(),
                                    one.data(), 1.0f, 0, n);
        for (int k = 0; k < n; ++k) {
            const double d = div[k];
            const bool first_order = std::fabs(d) <= 0.01;
            const double A = first_order ? 0 : (1 / d - 2) / d, tol_A = 1e-6 * std::fabs(A);
            EXPECT_NEAR(fx[k], 2 + A, tol_A) << d << " @" << k;
            EXPECT_NEAR(fy[k], 1 + 0.5 * A, tol_A) << d << " @" << k;
            EXPECT_NEAR(ft[k], first_order ? -1.0 : -1 / d, first_order ? 0 : 1e-4)
                << d << " @" << k;
            const bool limit = std::fabs(div[k]) < 0.01f;
            const double aux = limit ? -1.0 : (0.5 * (1 / d - 2) - 1) / d;
            const double tol = limit ? 0 : 1e-6 * std::fabs(aux);
            EXPECT_NEAR(a_up[k], 1.5 + aux, tol) << d << " @" << k;
            EXPECT_NEAR(b_up[k], -aux, tol) << d << " @" << k;
            EXPECT_NEAR(a_down[k], 1.5 - aux, tol) << d << " @" << k;
            EXPECT_NEAR(b_down[k], aux, tol) << d << " @" << k;
        }
    }
}

// U = 0.02 x + 0.5 sin(pi x / 2), V = 0: the 4-px pattern's divergence (about 0.7) is the kind of
// small-scale error -divSmooth damps (at sigma 3 the Gaussian, truncated at 3 sigma, passes about
// 1e-3 of it), while the uniform 0.02 stays; exp(div) and the gradient follow the smoothed field.
TEST(LayerTerms, SmoothedDivergenceKeepsAUniformPartAndDampsAFourPixelPattern) {
    const int nc = 48, nl = 40, n = nc * nl, margin = 11;  // 3 sigma + the masks' 2 px
    Field U(n), V(n, 0.0f);
    for (int k = 0; k < n; ++k) U[k] = 0.02f * (k % nc) + 0.5f * std::sin(1.5707963f * (k % nc));
    for (float sigma : {0.0f, 3.0f}) {
        Field div(n), exdiv(n), fxd(n), fyd(n);
        divergence_terms(div.data(), exdiv.data(), fxd.data(), fyd.data(), U.data(), V.data(), nc,
                         nl, sigma);
        float worst = 0.0f, slope = 0.0f;
        for (int i = margin; i < nl - margin; ++i)
            for (int j = margin; j < nc - margin; ++j) {
                const int k = i * nc + j;
                worst = std::max(worst, std::fabs(div[k] - 0.02f));
                slope = std::max({slope, std::fabs(fxd[k]), std::fabs(fyd[k])});
                ASSERT_FLOAT_EQ(exdiv[k], std::exp(div[k])) << sigma << " @" << k;
            }
        if (sigma == 0.0f) {
            EXPECT_GT(worst, 0.5f);
        } else {
            EXPECT_LT(worst, 2e-3f);
            EXPECT_LT(slope, 2e-3f);
        }
    }
}

// 1 x 1: only its own links, both pointing at w = 4. lambdaW = 2, weights 0.5 and 0.25:
// (2 * 0.75 * 4 - 1 * 2 * 0.5 - (-3) * 1 * 1) / (2 * 0.75 + 2^2 * 0.5 + 1^2 * 1) = 8 / 4.5
TEST(VerticalUpdate, MinimisesBothLayerEquationsAndTheLinkedNeighbours) {
    float w1 = 4, a01 = 1, b01 = 2, a12 = -3, b12 = 1, D0 = 0.5f, D1 = 1;
    Line_Process own = {0.5f, 0.25f};
    EXPECT_FLOAT_EQ(
        EstimValWVert_RobUpDown(&w1, &a01, &b01, &a12, &b12, &D0, &D1, 0, 0, 1, 1, 2.0f, &own),
        8 / 4.5f);
}

TEST(VerticalRelaxation, ChangesOfAtLeastOneThousandthAreCounted) {
    // 1 x 1, no smoothing: one update to -a01, then nothing moves.
    const struct {
        float a01;
        int count;
    } cases[] = {{-0.001f, 1}, {0.001f, 1}, {-0.00099f, 0}, {0.0f, 0}};
    for (const auto& c : cases) {
        Interface f(1, 0.0f);
        f.a01[0] = c.a01, f.b01[0] = 1.0f;
        EXPECT_EQ(f.pass_on_copy(0.0f, 1, 1), c.count) << c.a01;
    }
}

namespace {

// One pass of RegulWVert_RobUpDown on a band case: target t as a01 = -t with b01 = D0 = 1,
// nothing from the layer above (D1 = 0), lambdaW = 1.
struct WindPass {
    explicit WindPass(const bandcase::Pass& p) : f(p.nc * p.nl, 0.0f), links(p.links) {
        f.w = p.start;
        for (std::size_t k = 0; k < p.target.size(); ++k) f.a01[k] = -p.target[k];
        f.b01.assign(f.w.size(), 1.0f);
        f.D1.assign(f.w.size(), 0.0f);
    }
    int run(const bandcase::Pass& p) {
        return RegulWVert_RobUpDown(f.w.data(), f.D0.data(), f.D1.data(), f.a01.data(),
                                    f.b01.data(), f.a12.data(), f.b12.data(), p.nc, p.nl, 1.0f,
                                    links.data());
    }
    Interface f;
    std::vector<Line_Process> links;
};

}  // namespace

// The pass on the band cases, with AVX2 and with SSE2: links crossing lines 15 / 16 and 31 / 32,
// the last line and column, the first line and column; then unlinked pixels, a seventh of them
// with no data weight (zero denominator: the value stays, in every lane position, in the rows
// where every lane holds a pixel too).
TEST(VerticalSweeps, BandCasesGiveTheHandWorkedValuesOnEveryPath) {
    for (bool sse2 : {false, true}) {
        limit_sweeps_to_sse2(sse2);
        for (const auto& s : bandcase::kSizes) {
            const int nc = s[0], nl = s[1], n = nc * nl;
            if (nc >= 4 && nl >= 4) {
                const bandcase::Pass p = bandcase::linked(nc, nl);
                WindPass w(p);
                EXPECT_EQ(w.run(p), p.changed) << nc << "x" << nl << " sse2 " << sse2;
                for (int k = 0; k < n; ++k)
                    EXPECT_FLOAT_EQ(w.f.w[k], p.expected[k]) << nc << "x" << nl << " @" << k;
            }
            bandcase::Pass p = bandcase::unlinked(nc, nl);
            WindPass w(p);
            for (int k = 3; k < n; k += 7) w.f.D0[k] = 0.0f, p.expected[k] = -7.0f, --p.changed;
            EXPECT_EQ(w.run(p), p.changed) << nc << "x" << nl << " sse2 " << sse2;
            EXPECT_EQ(w.f.w, p.expected) << nc << "x" << nl << " sse2 " << sse2;
        }
    }
    limit_sweeps_to_sse2(false);
}

// 10 x 10 pixels: a call stops after a pass that changes fewer than 3 pixels (3 % of 100).
// Pixels pinned at 0 by a strong equation (b01 = 1000) isolate a pixel L on the last line,
// pulled to 1 (a01 = -1, b01 = 1), which moves in both sweeps of a pass (its link down is
// itself), and an interior pixel I, pulled to 1 as well, which moves once per pass.
// Pass 1, all link weights 1: L = (0 + 1) / 5 = 0.2, then (0.2 + 1) / 5 = 0.24; I = 1 / 5.
// L alone: 2 changes, converged, result 0. L and I: exactly 3, not converged; pass 2 runs with
// the weights sigma^2 / (d^2 + sigma)^2 of the pass-1 values (d = 0.24 for L's three links to
// pinned pixels, its own link down weighing 1; d = 0.2 for I's four), again 3 changes: result 1.
TEST(VerticalRelaxation, ExactlyThreePercentChangedIsNotConvergedAndThenLinksAreRobust) {
    const short nc = 10, nl = 10;
    const int L = 9 * nc + 3, I = 4 * nc + 4;
    const float sigma = 0.5f;
    auto weight = [&](double d) { return sigma * sigma / ((d * d + sigma) * (d * d + sigma)); };
    for (bool sse2 : {false, true}) {
        limit_sweeps_to_sse2(sse2);
        for (bool with_I : {false, true}) {
            Interface f(nc * nl, 0.0f);
            f.D1.assign(nc * nl, 0.0f), f.b01.assign(nc * nl, 1000.0f);
            f.a01[L] = -1.0f, f.b01[L] = 1.0f;
            if (with_I) f.a01[I] = -1.0f, f.b01[I] = 1.0f;
            ASSERT_EQ(f.pass_on_copy(1.0f, nc, nl), with_I ? 3 : 2);
            EXPECT_EQ(Estim_Wvert_RobUpDown(f.w.data(), f.D0.data(), f.D1.data(), f.a01.data(),
                                            f.b01.data(), f.a12.data(), f.b12.data(), 1.0f, sigma,
                                            nc, nl),
                      with_I ? 1 : 0);
            if (!with_I) {
                EXPECT_NEAR(f.w[L], 0.24f, 1e-5f);
                continue;
            }
            const double wL = weight(0.24), den = 1 + 3 * wL + 1;
            const double L1 = (0.24 + 1) / den;
            EXPECT_NEAR(f.w[L], (L1 + 1) / den, 1e-5) << sse2;
            EXPECT_NEAR(f.w[I], 1 / (4 * weight(0.2) + 1), 1e-5) << sse2;
        }
    }
    limit_sweeps_to_sse2(false);
}
