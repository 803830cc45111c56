// B-spline registration and Gaussian smoothing: accuracy on a sub-pixel shift against the
// bilinear warp (an interpolating spline only), the shared zero rule, and smoothing invariants.
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <random>
#include <vector>

#include "bib_ansi.h"
#include "bspline.h"
#include "gaussian.h"

namespace {

double smooth_image(double x, double y) {
    return 400 + 120 * std::sin(2 * M_PI * x / 17.0) * std::cos(2 * M_PI * y / 13.0) +
           60 * std::cos(2 * M_PI * (x - 2 * y) / 29.0);
}

std::vector<float> sample(int nc, int nl, double dx, double dy) {
    std::vector<float> im(nc * nl);
    for (int i = 0; i < nl; ++i)
        for (int j = 0; j < nc; ++j) im[i * nc + j] = float(smooth_image(j + dx, i + dy));
    return im;
}

}  // namespace

TEST(BSpline, SubPixelShiftIsFarMoreAccurateThanBilinear) {
    const int nc = 48, nl = 40;
    const double du = 0.37, dv = -0.61;
    auto im = sample(nc, nl, 0, 0);
    const auto truth = sample(nc, nl, du, dv);
    std::vector<float> u(nc * nl, float(du)), v(nc * nl, float(dv));
    std::vector<float> bil(nc * nl), spl(nc * nl);
    Recal_fl(u.data(), v.data(), bil.data(), im.data(), nc, nl);
    Recal_bspline(u.data(), v.data(), spl.data(), im.data(), nc, nl);
    double err_bil = 0, err_spl = 0;
    for (int i = 4; i < nl - 4; ++i)
        for (int j = 4, k = i * nc + 4; j < nc - 4; ++j, ++k) {
            err_bil = std::max(err_bil, std::fabs(double(bil[k]) - truth[k]));
            err_spl = std::max(err_spl, std::fabs(double(spl[k]) - truth[k]));
        }
    EXPECT_LT(err_spl, err_bil / 10) << "bilinear " << err_bil << ", spline " << err_spl;
}

TEST(BSpline, GivesZeroExactlyWhereTheBilinearWarpDoes) {
    const int nc = 23, nl = 17;
    std::vector<float> im(nc * nl, 100.0f);  // strictly positive: a 0 output means "outside"
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> d(-4.0f, 4.0f);
    std::vector<float> u(nc * nl), v(nc * nl), bil(nc * nl), spl(nc * nl);
    for (int k = 0; k < nc * nl; ++k) u[k] = d(rng), v[k] = d(rng);
    u[5] = 0.0f, v[5] = 0.0f;  // zero displacements and integer ones step backwards
    u[40] = 2.0f, v[40] = -1.0f;
    Recal_fl(u.data(), v.data(), bil.data(), im.data(), nc, nl);
    Recal_bspline(u.data(), v.data(), spl.data(), im.data(), nc, nl);
    int zeros = 0;
    for (int k = 0; k < nc * nl; ++k) {
        EXPECT_EQ(bil[k] == 0.0f, spl[k] == 0.0f) << "pixel " << k;
        zeros += bil[k] == 0.0f;
    }
    EXPECT_GT(zeros, 0);
}

TEST(GaussianSmoothing, KeepsUniformFieldsAndMass) {
    const int nc = 21, nl = 15;
    std::vector<float> uniform(nc * nl, -2.345678f), out(nc * nl), impulse(nc * nl, 0.0f);
    Gaussian_smooth_f(out.data(), uniform.data(), 1.7f, nc, nl);
    EXPECT_EQ(out, uniform);
    impulse[7 * nc + 10] = 1.0f;
    Gaussian_smooth_f(out.data(), impulse.data(), 1.0f, nc, nl);
    EXPECT_NEAR(std::accumulate(out.begin(), out.end(), 0.0), 1.0, 1e-6);
}
