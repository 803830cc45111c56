// Mass-conservation coefficients of an interface, border clearing and the robust relaxation of
// the interface's vertical wind.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "lissage_3D.h"
#include "operations_images.h"

namespace {

using Field = std::vector<float>;
using Coefficients = decltype(&cte_edp2ndMembreFiltreGaussUp);

float kT2[9] = {0, 1, 0, 1, 2, 1, 0, 1, 0};
// clang-format off
const float kGX2[25] = {135, -188, 0, 188, -135,   -15, -263, 0, 263, 15,   -65, -288, 0, 288, 65,
                        -15, -263, 0, 263, 15,     135, -188, 0, 188, -135};
const float kGY2[25] = {135, -15, -65, -15, 135,   -188, -263, -288, -263, -188,   0, 0, 0, 0, 0,
                        188, 263, 288, 263, 188,   -135, 15, 65, 15, -135};
// clang-format on

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

bool on_frame(int k, int nc, int nl) {
    return k < nc || k >= (nl - 1) * nc || k % nc == 0 || k % nc == nc - 1;
}

// One interface: wind, data weights (1) and both layers' coefficients (0).
struct Interface {
    Interface(int n, float w0) : w(n, w0), D0(n, 1.0f), D1(n, 1.0f) {
        for (Field* f : {&a01, &b01, &a12, &b12}) f->assign(n, 0.0f);
    }
    short relax(float lambdaW, float sigmaW, short nc, short nl) {
        return Estim_Wvert_RobUpDown(w.data(), D0.data(), D1.data(), a01.data(), b01.data(),
                                     a12.data(), b12.data(), lambdaW, sigmaW, nc, nl);
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

TEST(BorderClearing, ZeroesTheOuterFrameOnly) {
    for (short nc : {1, 2, 5})
        for (short nl : {1, 4}) {
            Field x(nc * nl, 1.0f);
            BordMisAZero(x.data(), nc, nl);
            for (int k = 0; k < nc * nl; ++k)
                EXPECT_EQ(x[k], on_frame(k, nc, nl) ? 0.0f : 1.0f) << nc << "x" << nl << " @" << k;
        }
}

// Zero motion: the flux factor is -1 and a = fx u + fy v + 0.166 T2 * (Itdt - It) plus the
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
        bool increments;
        float w_known;
    } cases[] = {{cte_edp2ndMembreFiltreGaussUp, -1, false, 0.5f},
                 {cte_edp2ndMembreFiltreGaussDown, 1, false, 0.5f},
                 {cte_edp2ndMembreFiltreGaussUp, -1, true, 0.0f},
                 {cte_edp2ndMembreFiltreGaussDown, 1, true, 0.0f}};
    for (const auto& c : cases) {
        Field a(n), b(n), w(n, c.w_known);
        Field& uu = c.increments ? u : zero;
        Field& vv = c.increments ? v : zero;
        c.op(a.data(), b.data(), const_cast<float*>(rho_unknown.data()),
             const_cast<float*>(rho_known.data()), w.data(), It.data(), Itdt.data(), zero.data(),
             zero.data(), uu.data(), vv.data(), 88.29f, nc, nl, fx.data(), fy.data(), kT2);
        for (int k = 0; k < n; ++k) {
            const float ft = 0.166f * correlate_at(residual, nc, nl, kT2, 3, k / nc, k % nc);
            const float want =
                fx[k] * uu[k] + fy[k] * vv[k] + ft + c.sign * 0.75f * 88.29f * c.w_known;
            EXPECT_NEAR(a[k], want, 1e-4f * (1 + std::fabs(want))) << &c - cases << " @" << k;
            EXPECT_FLOAT_EQ(b[k], -c.sign * 1.25f * 88.29f) << &c - cases << " @" << k;
        }
    }
}

// U is zero but for one sample x next to (4, 4), chosen so that the divergence there is exactly
// 0.01f (and -0.01f at (4, 6)); (3, 4) sees x through a smaller tap and stays below 0.01.
TEST(MassConservation, ExactFluxFactorFromADivergenceOfOneHundredthOn) {
    const short nc = 9, nl = 9;
    const int n = nc * nl;
    const float norm = 0.0005952381f;
    float x = 0.0f, below = 0.01f / (288 * norm), above = below;  // div = (288 x) norm
    for (int step = 0; step < 100 && x == 0.0f; ++step) {
        for (float cand : {below, above})
            if ((288.0f * cand) * norm == 0.01f) x = cand;
        below = std::nextafter(below, 0.0f), above = std::nextafter(above, 1.0f);
    }
    Field U(n, 0.0f), zero(n, 0.0f), div(n), ones(n, 1.0f), a(n), b(n);
    U[4 * nc + 5] = x;
    Div_Vie(div.data(), U.data(), zero.data(), nc, nl);
    ASSERT_EQ(div[4 * nc + 4], 0.01f);
    ASSERT_EQ(div[4 * nc + 6], -0.01f);
    ASSERT_LT(std::fabs(div[3 * nc + 4]), 0.01f);

    const float uu = 20.0f, vv = -10.0f;
    auto exact = [&](int r, int c) {
        const float d = div[r * nc + c], e = float(std::exp(double(d)));
        const float dx = correlate_at(div, nc, nl, kGX2, 5, r, c) * norm;
        const float dy = correlate_at(div, nc, nl, kGY2, 5, r, c) * norm;
        return ((uu * dx + vv * dy) * ((e - 1) / d - e) + (1 - e)) / d;
    };
    std::vector<short> img(n, 0);
    Field u(n, uu), v(n, vv);
    const struct {
        Coefficients op;
        float b_sign;  // with g = rho = 1, b = -aux (Up) or aux (Down)
    } cases[] = {{cte_edp2ndMembreFiltreGaussUp, -1}, {cte_edp2ndMembreFiltreGaussDown, 1}};
    for (const auto& c : cases) {
        c.op(a.data(), b.data(), ones.data(), ones.data(), zero.data(), img.data(), img.data(),
             U.data(), zero.data(), u.data(), v.data(), 1.0f, nc, nl, zero.data(), zero.data(),
             kT2);
        for (int k : {4 * nc + 4, 4 * nc + 6}) {
            const float aux = exact(k / nc, k % nc);
            ASSERT_GT(std::fabs(aux + 1.0f), 1e-3f);  // distinguishable from the limit -1
            EXPECT_NEAR(b[k], c.b_sign * aux, 1e-5f) << c.b_sign << " @" << k;
        }
        EXPECT_EQ(b[3 * nc + 4], -c.b_sign);
    }
}

TEST(VerticalUpdate, MinimisesBothLayerEquationsAndTheLinkedNeighbours) {
    const short nc = 3, nl = 3;
    Field w = {1, 4, 0, 8, 5, -2, 0, 3, 0}, zero(9, 0.0f), D(9, 0.7f), a(9, 3.0f);
    std::vector<Line_Process> lp(9, {1.0f, 1.0f});
    lp[4] = {0.5f, 0.5f}, lp[1].Disc_h = 0.25f, lp[0].Disc_v = 0.125f;
    // Uncoupled (b = 0): the weighted mean of the linked neighbours, lambdaW = 3 cancels.
    const struct {
        short i, j;
        float expected;
    } cases[] = {
        {1, 1, (0.5f * 3 + 0.25f * 4 + 1 * 8 + 0.5f * -2) / 2.25f},
        {0, 0, (1 * 8 + 0.125f * 4) / 1.125f},    // nothing above or to the left
        {2, 2, (0 + 1 * -2 + 1 * 3 + 0) / 4.0f},  // itself below and to the right
    };
    for (const auto& c : cases) {
        const int k = c.i * nc + c.j;
        EXPECT_FLOAT_EQ(EstimValWVert_RobUpDown(&w[k], &a[k], &zero[k], &a[k], &zero[k], &D[k],
                                                &D[k], c.i, c.j, nc, nl, 3.0f, &lp[k]),
                        c.expected);
    }
    // 1 x 1: only its own links, both pointing at w = 4. lambdaW = 2, weights 0.5 and 0.25:
    // (2 * 0.75 * 4 - 1 * 2 * 0.5 - (-3) * 1 * 1) / (2 * 0.75 + 2^2 * 0.5 + 1^2 * 1) = 8 / 4.5
    float w1 = 4, a01 = 1, b01 = 2, a12 = -3, b12 = 1, D0 = 0.5f, D1 = 1;
    Line_Process own = {0.5f, 0.25f};
    EXPECT_FLOAT_EQ(
        EstimValWVert_RobUpDown(&w1, &a01, &b01, &a12, &b12, &D0, &D1, 0, 0, 1, 1, 2.0f, &own),
        8 / 4.5f);
}

// lambdaW = 0 with the border data weights cleared: every border update has a zero
// denominator and keeps its value; the interior solves both equations, (1 + 3) / (1 + 1).
TEST(VerticalUpdate, ZeroDenominatorKeepsTheCurrentValue) {
    const short nc = 5, nl = 4;
    Interface f(nc * nl, 0.5f);
    f.a01.assign(nc * nl, -1.0f), f.b01.assign(nc * nl, 1.0f);
    f.a12.assign(nc * nl, 3.0f), f.b12.assign(nc * nl, -1.0f);
    BordMisAZero(f.D0.data(), nc, nl);
    BordMisAZero(f.D1.data(), nc, nl);
    EXPECT_EQ(f.relax(0.0f, 1.0f, nc, nl), 0);
    for (int k = 0; k < nc * nl; ++k) EXPECT_EQ(f.w[k], on_frame(k, nc, nl) ? 0.5f : 2.0f) << k;
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

// 10 x 10 pixels, threshold 3. Pixels pinned at 0 by a strong equation (b01 = 1000) isolate a
// pixel L on the last line, which moves in both sweeps of every pass (its link down is itself),
// and an interior pixel I, which moves once. L alone: 2 changes, converged after one pass, L at
// (0 + 1) / 5 then (0.2 + 1) / 5 = 0.24. L and I: exactly 3 changes, not converged, so a second
// pass takes L to 0.248 and 0.2496 (2 changes, converged).
TEST(VerticalRelaxation, ExactlyThreePercentChangedIsNotConverged) {
    const short nc = 10, nl = 10;
    const int L = 9 * nc + 3, I = 4 * nc + 4;
    for (bool with_I : {false, true}) {
        Interface f(nc * nl, 0.0f);
        f.D1.assign(nc * nl, 0.0f), f.b01.assign(nc * nl, 1000.0f);
        f.a01[L] = -1.0f, f.b01[L] = 1.0f;
        if (with_I) f.a01[I] = -1.0f, f.b01[I] = 1.0f;
        ASSERT_EQ(f.pass_on_copy(1.0f, nc, nl), with_I ? 3 : 2);
        EXPECT_EQ(f.relax(1.0f, 1e4f, nc, nl), 0);
        EXPECT_NEAR(f.w[L], with_I ? 0.2496f : 0.24f, 1e-4f) << with_I;
    }
    // Every pixel pulled weakly towards 1 against its neighbours: both passes move most pixels.
    Interface slow(nc * nl, 0.0f);
    slow.a01.assign(nc * nl, -0.1f), slow.b01.assign(nc * nl, 0.1f), slow.D1.assign(nc * nl, 0);
    EXPECT_EQ(slow.relax(1.0f, 0.5f, nc, nl), 1);
}

// Two layers whose equations a + b w = 0 hold for a smooth wind w* up to noise of 0.001:
// repeated calls settle on w*.
TEST(VerticalRelaxation, RecoversASmoothWindFromTwoLayers) {
    const short nc = 16, nl = 12;
    const int n = nc * nl;
    Interface f(n, 0.0f);
    Field target(n);
    unsigned seed = 12345;
    auto noise = [&seed]() {
        seed = seed * 1103515245u + 12345u;
        return (int((seed >> 16) % 2001) - 1000) * 1e-6f;
    };
    for (int k = 0; k < n; ++k) {
        const int i = k / nc, j = k % nc;
        target[k] = 0.5f * std::sin(0.3f * j) * std::cos(0.2f * i) + 0.1f;
        f.b01[k] = 2.0f + 0.1f * std::cos(0.5f * j), f.b12[k] = -1.5f + 0.05f * i;
        f.a01[k] = -f.b01[k] * target[k] + noise(), f.a12[k] = -f.b12[k] * target[k] + noise();
        f.D0[k] = 0.9f, f.D1[k] = 0.6f;
    }
    short conv = 1;
    for (int call = 0; call < 100 && conv != 0; ++call) conv = f.relax(0.05f, 0.5f, nc, nl);
    EXPECT_EQ(conv, 0);
    for (int k = 0; k < n; ++k) EXPECT_NEAR(f.w[k], target[k], 0.005f) << k;
}
