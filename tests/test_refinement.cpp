// The pixel-level refinement (its residual, its sweeps against its energy, a run with -refine)
// and the presets' expansion into options.
#include <cstdint>

#include "options.h"
#include "pixel_refinement.h"
#include "run_helpers.h"

using namespace testrun;

namespace {

// The terms of an nc x nl refinement, every image owned here.
struct Terms {
    Terms(int nc, int nl, float mu) : n(std::size_t(nc) * nl) {
        for (auto* image : {&r0, &ax, &ay, &b, &w, &U, &V, &xi, &zeta}) image->assign(n, 0.0f);
        t = {r0.data(), ax.data(), ay.data(),   b.data(), w.data(),  U.data(),
             V.data(),  xi.data(), zeta.data(), mu,       short(nc), short(nl)};
    }
    std::size_t n;
    std::vector<float> r0, ax, ay, b, w, U, V, xi, zeta;
    RefinementTerms t;
};

float uniform(uint32_t* s, float lo, float hi) {  // a small LCG, the same values everywhere
    *s = *s * 1664525u + 1013904223u;
    return lo + (hi - lo) * float(*s >> 8) / float(1u << 24);
}

}  // namespace

TEST(PixelRefinement, ResidualAddsTheGradientTermAndTheDivergenceOnInteriorPixelsOnly) {
    Terms k(3, 3, 1.0f);
    const std::vector<float> du = {1, 2, 3, 4, 5, 6, 7, 8, 9}, dv = {9, 7, 5, 3, 1, 0, 2, 4, 8};
    for (std::size_t p = 0; p < 9; ++p) {
        k.r0[p] = 10.0f * p;
        k.ax[p] = 1.0f;
        k.ay[p] = -2.0f;
        k.b[p] = 4.0f;
    }
    std::vector<float> r(9);
    refinement_residual(r.data(), du.data(), dv.data(), k.t);
    // Pixel (1, 1): 40 + 5 - 2 * 1 + 4 / 2 * ((6 - 4) + (4 - 7)) = 41; the frame has no divergence.
    EXPECT_FLOAT_EQ(r[4], 41.0f);
    EXPECT_FLOAT_EQ(r[0], 0.0f + 1.0f - 18.0f);
    EXPECT_FLOAT_EQ(r[5], 50.0f + 6.0f - 0.0f);
}

// A constant increment leaves no divergence and no link difference, so (0.3, -0.2) solving every
// pixel's data equation exactly is the minimum, whatever the weights and the mass coefficient b.
TEST(PixelRefinement, ConstantShiftIsRecoveredWhateverTheWeightsAndTheMassCoefficient) {
    const int nc = 24, nl = 20;
    Terms k(nc, nl, 50.0f);
    uint32_t seed = 7;
    for (int i = 0; i < nl; ++i)
        for (int j = 0; j < nc; ++j) {
            const std::size_t p = std::size_t(i) * nc + j;
            k.ax[p] = 20.0f * std::cos(0.7f * j + 0.3f * i);
            k.ay[p] = 15.0f * std::sin(0.5f * i - 0.6f * j);
            k.b[p] = uniform(&seed, 20.0f, 60.0f);
            k.w[p] = uniform(&seed, 0.2f, 1.0f);
            k.r0[p] = -(k.ax[p] * 0.3f - k.ay[p] * 0.2f);
        }
    std::vector<float> du(k.n, 0.0f), dv(k.n, 0.0f);
    refine_increment(du.data(), dv.data(), k.t, 500, 1.8f);
    for (std::size_t p = 0; p < k.n; ++p) {
        ASSERT_NEAR(du[p], 0.3f, 2e-3) << p;
        ASSERT_NEAR(dv[p], -0.2f, 2e-3) << p;
    }
}

// With every term present (robust weights, a base wind, divergence and vorticity targets) each
// sweep lowers the energy, and after many sweeps no pixel can lower it by moving alone.
TEST(PixelRefinement, SweepsNeverRaiseTheEnergyAndEndAtItsMinimum) {
    const int nc = 16, nl = 12;
    for (float omega : {1.0f, 1.8f}) {
        Terms k(nc, nl, 30.0f);
        uint32_t seed = 11;
        for (std::size_t p = 0; p < k.n; ++p) {
            k.r0[p] = uniform(&seed, -20.0f, 20.0f);
            k.ax[p] = uniform(&seed, -15.0f, 15.0f);
            k.ay[p] = uniform(&seed, -15.0f, 15.0f);
            k.b[p] = uniform(&seed, 10.0f, 60.0f);
            k.w[p] = uniform(&seed, 0.0f, 1.0f);
            k.U[p] = uniform(&seed, -2.0f, 2.0f);
            k.V[p] = uniform(&seed, -2.0f, 2.0f);
            k.xi[p] = uniform(&seed, -2.0f, 2.0f);
            k.zeta[p] = uniform(&seed, -2.0f, 2.0f);
        }
        std::vector<float> du(k.n, 0.0f), dv(k.n, 0.0f);
        double e = refinement_energy(du.data(), dv.data(), k.t);
        for (int s = 0; s < 40; ++s) {
            refine_increment(du.data(), dv.data(), k.t, 1, omega);
            const double next = refinement_energy(du.data(), dv.data(), k.t);
            ASSERT_LE(next, e * (1 + 1e-9)) << "omega " << omega << " sweep " << s;
            e = next;
        }
        refine_increment(du.data(), dv.data(), k.t, 2000, omega);
        e = refinement_energy(du.data(), dv.data(), k.t);
        for (std::size_t p : {std::size_t(0), std::size_t(nc + 1), k.n / 2, k.n - 2})
            for (float* x : {&du[p], &dv[p]})
                for (float h : {-1e-2f, 1e-2f}) {
                    *x += h;
                    EXPECT_GE(refinement_energy(du.data(), dv.data(), k.t), e) << p << " " << h;
                    *x -= h;
                }
    }
}

TEST(Refinement, OffLeavesTheBytesAndOnGivesTheSameBytesForEveryThreadCount) {
    std::map<std::string, std::string> out[4];
    const char* const args[] = {"", "-refineAlpha 5 -refine 0", "-refine 2 -threads 1",
                                "-refine 2 -threads 3"};
    for (int k = 0; k < 4; ++k) {
        const std::string dir = scratch_dir("refine" + std::to_string(k));
        write_shear_sequence(dir, 32, 32, 3, 2);
        const Result r =
            run_in(dir, program_path(),
                   std::string("-nbTimeSample 2 -nbLayers 3 -coarseGrid 3 ") + args[k]);
        ASSERT_EQ(r.status, 0) << r.err;
        out[k] = outputs_of(dir, false);
    }
    EXPECT_EQ(out[0], out[1]);
    EXPECT_EQ(out[2], out[3]);
    EXPECT_NE(out[0], out[2]);
}

TEST(Preset, ExpandsToItsOptionsAndAnExplicitOptionWinsWhereverItStands) {
    const auto parse = [](std::vector<std::string> words) {
        words.insert(words.begin(), "optic_flow_3DMultilayers");
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(w.data());
        return parse_options(int(argv.size()), argv.data());
    };
    const RunParameters smooth = parse({"-preset", "smooth"});
    EXPECT_EQ(smooth.lambda, 2000.0f);
    EXPECT_EQ(smooth.betaW, 20000.0f);
    EXPECT_EQ(smooth.fineGrid, 1);
    EXPECT_TRUE(smooth.warp_bspline);
    EXPECT_EQ(smooth.Coarse_resol, 1);
    EXPECT_EQ(smooth.refine, 1);
    const RunParameters turbulent = parse({"-alpha", "5", "-preset", "turbulent"});
    EXPECT_EQ(turbulent.lambda, 5.0f);
    EXPECT_EQ(turbulent.Coarse_resol, 0);
    EXPECT_EQ(turbulent.refine, 0);
    const RunParameters radar = parse({"-preset", "radar", "-coarseResol", "0", "-refine", "0"});
    EXPECT_EQ(radar.Coarse_resol, 0);
    EXPECT_EQ(radar.refine, 0);
    EXPECT_EQ(radar.lambda, 2000.0f);
    const RunParameters none = parse({"-nbTimeSample", "4"});
    EXPECT_EQ(none.lambda, 700.0f);
    EXPECT_EQ(none.refine, 0);
    EXPECT_FALSE(none.warp_bspline);
}
