// Div-curl observations, the robust sweeps and link weights of the auxiliary fields.
#include <gtest/gtest.h>

#include <algorithm>

#include <cmath>
#include <random>
#include <vector>

#include "band_cases.h"
#include "bib_LP_ansi.h"
#include "operations_images.h"
#include "skewed_bands.h"

namespace {

using Field = std::vector<float>;

Field make_field(int nc, int nl, float (*f)(int i, int j)) {
    Field x(nc * nl);
    for (int k = 0; k < nc * nl; ++k) x[k] = f(k / nc, k % nc);
    return x;
}

bool on_frame(int k, int nc, int nl) {
    const int i = k / nc, j = k % nc;
    return i == 0 || j == 0 || i == nl - 1 || j == nc - 1;
}

}  // namespace

TEST(DivCurlObservations, UndividedDifferencesOfTheSummedWindWithAZeroFrame) {
    const short nc = 6, nl = 5;
    using Gen = float (*)(int, int);
    const Gen zero = [](int, int) { return 0.0f; };
    const Gen col = [](int, int j) { return float(j); };
    const Gen half_col = [](int, int j) { return 0.5f * j; };
    const Gen line = [](int i, int) { return float(i); };
    const struct {
        Gen U, V, u, v;
        float div, curl;
    } cases[] = {{half_col, zero, half_col, zero, 2, 0},  // U + u
                 {zero, zero, zero, line, 2, 0},
                 {zero, col, zero, zero, 0, 2},
                 {zero, zero, line, zero, 0, -2}};
    for (const auto& c : cases) {
        Field U = make_field(nc, nl, c.U), V = make_field(nc, nl, c.V);
        Field u = make_field(nc, nl, c.u), v = make_field(nc, nl, c.v);
        Field div(nc * nl, 7.0f), curl(nc * nl, 7.0f);
        Calcul_Estim_Div_Curl(div.data(), curl.data(), U.data(), V.data(), u.data(), v.data(), nc,
                              nl);
        for (int k = 0; k < nc * nl; ++k)
            EXPECT_TRUE(div[k] == (on_frame(k, nc, nl) ? 0.0f : c.div) &&
                        curl[k] == (on_frame(k, nc, nl) ? 0.0f : c.curl))
                << &c - cases << " @" << k;
    }
    // Two columns or two lines: all frame.
    for (const auto& [c, l] : {std::pair<short, short>{2, 5}, {5, 2}}) {
        Field W = make_field(c, l, [](int i, int j) { return float(i * j + j); });
        Field div(c * l, 7.0f), curl(c * l, 7.0f);
        Calcul_Estim_Div_Curl(div.data(), curl.data(), W.data(), W.data(), W.data(), W.data(), c,
                              l);
        EXPECT_TRUE(std::all_of(div.begin(), div.end(), [](float x) { return x == 0.0f; }) &&
                    std::all_of(curl.begin(), curl.end(), [](float x) { return x == 0.0f; }));
    }
}

TEST(RobustFit, PixelUpdateIsTheWeightedMeanOfObservationAndLinkedNeighbours) {
    const short nc = 3, nl = 3;
    Field est = {0, 4, 0, 8, 5, -2, 0, 2, 0}, obs(9, 1.0f);
    std::vector<Line_Process> lp(9, {1.0f, 1.0f});
    lp[4] = {0.5f, 0.5f};  // centre: links down and right
    lp[1].Disc_h = 0.25f;  // link above the centre
    // (1 + 2 (0.5 * 2 + 0.25 * 4 + 8 + 0.5 * -2)) / (1 + 2 * 2.25)
    EXPECT_FLOAT_EQ(EstimVal_Rob(&obs[4], &est[4], 1, 1, nc, nl, 1.0f, 2.0f, &lp[4]), 19 / 5.5f);
    // No data weight and no smoothing: the zero denominator keeps the current value.
    EXPECT_EQ(EstimVal_Rob(&obs[4], &est[4], 1, 1, nc, nl, 0.0f, 0.0f, &lp[4]), 5.0f);
}

TEST(RobustFit, SweepsCountOnlyChangesAboveOneTenThousandth) {
    const short nc = 5, nl = 4;
    const int n = nc * nl;
    std::vector<Line_Process> lp(n, {1.0f, 1.0f});
    Field est(n, 0.0f);
    // Without smoothing the forward sweep copies the observation, the backward one changes
    // nothing; moves of exactly 0.0001 are not counted.
    const Field obs =
        make_field(nc, nl, [](int i, int j) { return 0.25f * i - 0.5f * j + 0.125f; });
    EXPECT_EQ(RegulEstim_Rob(const_cast<float*>(obs.data()), est.data(), nc, nl, 0.0f, 1.0f, 1.0f,
                             lp.data()),
              n);
    EXPECT_EQ(est, obs);
    Field small(n, 0.0001f);
    est.assign(n, 0.0f);
    EXPECT_EQ(RegulEstim_Rob(small.data(), est.data(), nc, nl, 0.0f, 1.0f, 1.0f, lp.data()), 0);
}

// Every slot of rows -1 .. steps and lanes -1 .. 16 of every band holds the pixel nearest to
// (first line + lane, row - lane), on sizes around the band height and the 4-lane groups of the
// transposition; from_bands gives the field back.
TEST(BandLayout, EverySlotHoldsTheNearestPixelAndTheFieldComesBack) {
    const int sizes[][2] = {{1, 1},   {3, 2},   {5, 16},  {6, 17}, {19, 33},
                            {37, 35}, {40, 48}, {23, 50}, {64, 49}};
    for (const auto& size : sizes) {
        const int nc = size[0], nl = size[1];
        const bands::BandGrid g(nc, nl);
        Field x(nc * nl), X(g.bordered_size(), -1.0f), back(nc * nl, 0.0f);
        for (int k = 0; k < nc * nl; ++k) x[k] = static_cast<float>(k);
        bands::to_bands(g, x.data(), X.data());
        int wrong = 0;
        for (int q = 0; q < g.bands; ++q)
            for (int b = -1; b <= bands::kLanes; ++b)
                for (int r = -1; r <= g.steps(); ++r) {
                    const int i = std::clamp(q * bands::kLanes + b, 0, nl - 1);
                    const int j = std::clamp(r - b, 0, nc - 1);
                    wrong += X[g.bordered(q) + r * bands::kStride + b] != x[i * nc + j];
                }
        bands::from_bands(g, X.data(), back.data());
        EXPECT_EQ(wrong, 0) << nc << " x " << nl;
        EXPECT_EQ(back, x) << nc << " x " << nl;
    }
}

// One pass of RegulEstim_Rob on the band cases (target as observation, lambda = coef_regul = 1),
// with AVX2 and with SSE2; then, without data weight (lambda = 0), unlinked pixels have a zero
// denominator and keep their values, in every lane position, while a pixel linked downwards to
// the last line takes its neighbour's value: forward A = x_B, B = A; backward the same.
TEST(FitSweeps, BandCasesGiveTheHandWorkedValuesOnEveryPath) {
    for (bool sse2 : {false, true}) {
        limit_sweeps_to_sse2(sse2);
        for (const auto& s : bandcase::kSizes) {
            const int nc = s[0], nl = s[1], n = nc * nl;
            for (bool linked : {true, false}) {
                if (linked && (nc < 4 || nl < 4)) continue;
                bandcase::Pass p = linked ? bandcase::linked(nc, nl) : bandcase::unlinked(nc, nl);
                Field x = p.start;
                EXPECT_EQ(RegulEstim_Rob(p.target.data(), x.data(), nc, nl, 1.0f, 1.0f, 0.0f,
                                         p.links.data()),
                          p.changed)
                    << nc << "x" << nl << " sse2 " << sse2;
                for (int k = 0; k < n; ++k)
                    EXPECT_FLOAT_EQ(x[k], p.expected[k]) << nc << "x" << nl << " @" << k;
            }
            if (nl < 2) continue;
            bandcase::Pass p(nc, nl);
            Field x(n);
            for (int k = 0; k < n; ++k) x[k] = 0.25f * k;
            Field expected = x;
            const int A = p.at(nl - 2, 0), B = p.at(nl - 1, 0);
            p.links[A].Disc_h = 1.0f;
            expected[A] = x[B];
            EXPECT_EQ(
                RegulEstim_Rob(p.target.data(), x.data(), nc, nl, 1.0f, 0.0f, 0.0f, p.links.data()),
                1)
                << nc << "x" << nl << " sse2 " << sse2;
            EXPECT_EQ(x, expected) << nc << "x" << nl << " sse2 " << sse2;
        }
    }
    limit_sweeps_to_sse2(false);
}

// The fits stop once a pass changes fewer than 3 % of the pixels, 3 n / 100 as a float: on
// 32 x 32 pixels that is 30.72, so a pass with 30 changes ends the divergence fit and one with
// 31 does not; on 10 x 10 it is 3, so 2 changes end it and exactly 3 do not. Without a wind the
// observation is 0; isolated unit values of Estim drop to about 0 in the first sweep (counted)
// while their neighbours move by about coef_regul (not counted).
TEST(AuxiliaryFields, AFitStopsWhenFewerThanThreePercentAsAFloatChanged) {
    const struct {
        short side, ones;
        bool one_pass;
    } cases[] = {{32, 30, true}, {32, 31, false}, {10, 2, true}, {10, 3, false}};
    const float coef_regul = 1e-5f, sigma = 1.0f;
    for (const auto& c : cases) {
        const short nc = c.side, nl = c.side;
        const int n = nc * nl;
        Field zero(n, 0.0f), rot(n, 0.0f), start(n, 0.0f);
        for (int q = 0; q < c.ones; ++q)
            start[(3 * (q / 6) + 1) * nc + 5 * (q % 6) % (nc - 2) + 1] = 1;
        Field one_pass = start;
        std::vector<Line_Process> lp(n, {1.0f, 1.0f});
        ASSERT_EQ(RegulEstim_Rob(zero.data(), one_pass.data(), nc, nl, coef_regul, 1.0f, sigma,
                                 lp.data()),
                  c.ones);
        Field est = start;
        Estim_Regulees_Rob(est.data(), rot.data(), zero.data(), zero.data(), zero.data(),
                           zero.data(), nc, nl, coef_regul, 0.0f, sigma);
        if (c.one_pass)
            EXPECT_EQ(est, one_pass) << c.ones << " of " << n << ": one pass";
        else
            EXPECT_NE(est, one_pass) << c.ones << " of " << n << ": a second pass";
    }
}

// The second and later passes of a fit link the pixels with sigma^2 / (d^2 + sigma)^2 of the
// previous estimate. A wind with v = 1 at one pixel only observes a divergence of +1 above it
// and -1 below it, and a vorticity of +1 to its left and -1 to its right. With coef_regul = 0.01
// a pixel observing 1 settles near x = 1 / (1 + 4 coef_regul w(x)) (its neighbours stay within
// about 0.01): the divergence fit makes two passes, its second with w of the first pass's
// 1 / (1 + 4 coef_regul); the vorticity fit runs to its fixed point.
TEST(AuxiliaryFields, LaterPassesWeighTheLinksBySigmaSquaredOverTheSquareOfDSquaredPlusSigma) {
    const short nc = 7, nl = 7;
    const int n = nc * nl, q = 3 * nc + 3;
    const double c = 0.01, sigma = 2.0;
    auto w = [&](double d) { return sigma * sigma / ((d * d + sigma) * (d * d + sigma)); };
    const double div_expected = 1 / (1 + 4 * c * w(1 / (1 + 4 * c)));
    double curl_expected = 1;
    for (int it = 0; it < 50; ++it) curl_expected = 1 / (1 + 4 * c * w(curl_expected));
    for (bool sse2 : {false, true})
        for (FitPrecision precision : {FitPrecision::Double, FitPrecision::Single}) {
            limit_sweeps_to_sse2(sse2);
            Field zero(n, 0.0f), v(n, 0.0f), est(n, 0.0f), rot(n, 0.0f);
            v[q] = 1.0f;
            AuxiliaryFitScratch scratch;
            fit_auxiliary_fields(est.data(), rot.data(), zero.data(), zero.data(), zero.data(),
                                 v.data(), nc, nl, float(c), float(sigma), scratch, nullptr,
                                 precision);
            const bool single = precision == FitPrecision::Single;
            EXPECT_NEAR(est[q - nc], div_expected, 5e-4) << sse2 << single;
            EXPECT_NEAR(est[q + nc], -div_expected, 5e-4) << sse2 << single;
            EXPECT_NEAR(rot[q - 1], curl_expected, 5e-4) << sse2 << single;
            EXPECT_NEAR(rot[q + 1], -curl_expected, 5e-4) << sse2 << single;
        }
    limit_sweeps_to_sse2(false);
}

// The fits in float (the fast mode) on a random wind of an odd size (a partial band, lanes
// without a pixel): the same bytes with 4 lanes per vector (SSE2) as with 8 (AVX2), and within
// float rounding of the fits in double, which run the same passes.
TEST(AuxiliaryFields, SinglePrecisionFitsAgreeAcrossVectorWidthsAndWithDouble) {
    const short nc = 37, nl = 29;
    const int n = nc * nl;
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> wind(-1.0f, 1.0f);
    Field U(n), V(n), u(n), v(n);
    for (Field* f : {&U, &V, &u, &v})
        for (float& x : *f) x = wind(rng);
    auto fit = [&](FitPrecision precision, bool sse2, Field& est, Field& rot) {
        limit_sweeps_to_sse2(sse2);
        est.assign(n, 0.0f);
        rot.assign(n, 0.0f);
        AuxiliaryFitScratch scratch;
        fit_auxiliary_fields(est.data(), rot.data(), U.data(), V.data(), u.data(), v.data(), nc, nl,
                             0.5f, 1.0f, scratch, nullptr, precision);
        limit_sweeps_to_sse2(false);
    };
    Field est_avx, rot_avx, est_sse, rot_sse, est_d, rot_d;
    fit(FitPrecision::Single, false, est_avx, rot_avx);
    fit(FitPrecision::Single, true, est_sse, rot_sse);
    fit(FitPrecision::Double, false, est_d, rot_d);
    EXPECT_EQ(est_avx, est_sse);
    EXPECT_EQ(rot_avx, rot_sse);
    double largest = 0;
    for (int k = 0; k < n; ++k)
        largest = std::max({largest, std::fabs(double(est_avx[k]) - est_d[k]),
                            std::fabs(double(rot_avx[k]) - rot_d[k])});
    EXPECT_GT(std::fabs(est_d[n / 2]) + std::fabs(rot_d[n / 2]), 0.01);  // fitted at all
    EXPECT_LT(largest, 1e-4);
    EXPECT_NE(rot_avx, rot_d);  // the float arithmetic did run
}
