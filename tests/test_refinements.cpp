// The opt-in refinements end to end: the finest grid level, the B-spline registration and the
// Gaussian post-smoothing, and their option checks. With none of them given the outputs keep
// their bytes (the regression test).
#include <gtest/gtest.h>

#include <cmath>

#include "io_field.h"
#include "run_helpers.h"

using namespace testrun;

namespace {

struct Field {
    std::vector<float> u, v;
};

Field read_xaf(const std::string& path, int nc, int nl) {
    Field f{std::vector<float>(nc * nl), std::vector<float>(nc * nl)};
    short err = 0;
    read_field(path.c_str(), f.u.data(), f.v.data(), nc, nl, &err);
    EXPECT_EQ(err, 0) << path;
    return f;
}

// Sum of |differences| between neighbours: smaller for a smoother field.
double total_variation(const std::vector<float>& x, int nc, int nl) {
    double tv = 0;
    for (int i = 0; i + 1 < nl; ++i)
        for (int j = 0; j + 1 < nc; ++j)
            tv += std::fabs(x[i * nc + j + 1] - x[i * nc + j]) +
                  std::fabs(x[(i + 1) * nc + j] - x[i * nc + j]);
    return tv;
}

const char* const kBase = "-nbTimeSample 2 -nbLayers 2 -coarseGrid 3";

}  // namespace

TEST(Refinements, FineGridStopsAtItsLevelAndEachBlockKeepsItsAffineModel) {
    const std::string dir = scratch_dir("finegrid");
    const int n = 32;
    write_translation_sequence(dir, n, n, 2, 2, 0.6, -0.3);
    const Result r = run_in(dir, program_path(), std::string(kBase) + " -fineGrid 2");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(contains_line(r.err, "**** Resolution 0 grid level 2  **** "));
    EXPECT_EQ(r.err.find("grid level 1 "), std::string::npos);
    EXPECT_EQ(r.err.find("grid level 0 "), std::string::npos);
    // Every level adds an affine (or constant) increment per block, and the blocks of a level
    // nest in those of the level before: the total is affine over each final 4 x 4 block, so
    // its differences along a line repeat within the block (up to the file's 0.005 steps).
    for (int l = 0; l < 2; ++l) {
        const Field f = read_xaf(dir + "/L" + std::to_string(l) + "_t0.pgm_3D.xaf", n, n);
        for (const auto* x : {&f.u, &f.v})
            for (int bi = 0; bi < n; bi += 4)
                for (int bj = 0; bj < n; bj += 4)
                    for (int i = bi; i < bi + 4; ++i)
                        for (int j = bj + 1; j < bj + 3; ++j)
                            EXPECT_NEAR((*x)[i * n + j + 1] - (*x)[i * n + j],
                                        (*x)[i * n + j] - (*x)[i * n + j - 1], 0.011)
                                << "layer " << l << " at " << i << "," << j;
    }
}

TEST(Refinements, BSplineRegistrationRunsAndRecoversTheTranslation) {
    const std::string dir = scratch_dir("bspline");
    const int n = 32;
    write_translation_sequence(dir, n, n, 2, 2, 0.6, -0.3);
    const Result bil = run_in(dir, program_path(), kBase);
    ASSERT_EQ(bil.status, 0) << bil.err;
    const Field a = read_xaf(dir + "/L0_t0.pgm_3D.xaf", n, n);
    const Result spl = run_in(dir, program_path(), std::string(kBase) + " -warp bspline");
    ASSERT_EQ(spl.status, 0) << spl.err;
    const Field b = read_xaf(dir + "/L0_t0.pgm_3D.xaf", n, n);
    EXPECT_NE(a.u, b.u);  // the registration changed
    double err = 0;
    int count = 0;
    for (int i = 6; i < n - 6; ++i)
        for (int j = 6; j < n - 6; ++j, ++count)
            err += std::hypot(b.u[i * n + j] - 0.6, b.v[i * n + j] + 0.3);
    EXPECT_LT(err / count, 0.25);
}

TEST(Refinements, PostSmoothingSmoothsTheWrittenFieldsOnly) {
    const std::string dir = scratch_dir("postsmooth");
    const int n = 32;
    write_translation_sequence(dir, n, n, 2, 2, 0.6, -0.3);
    ASSERT_EQ(run_in(dir, program_path(), kBase).status, 0);
    const Field a = read_xaf(dir + "/L1_t0.pgm_3D.xaf", n, n);
    const std::string w_plain = slurp(dir + "/L1_t0.pgm_3D.motionUp");
    const std::string temp_plain = slurp(dir + "/temp2D_Lay01.xaf");
    const Result r =
        run_in(dir, program_path(), std::string(kBase) + " -postSmooth 1.5 -postSmoothW 2");
    ASSERT_EQ(r.status, 0) << r.err;
    const Field b = read_xaf(dir + "/L1_t0.pgm_3D.xaf", n, n);
    EXPECT_LT(total_variation(b.u, n, n), total_variation(a.u, n, n));
    EXPECT_LT(total_variation(b.v, n, n), total_variation(a.v, n, n));
    EXPECT_NE(slurp(dir + "/L1_t0.pgm_3D.motionUp"), w_plain);
    EXPECT_EQ(slurp(dir + "/temp2D_Lay01.xaf"), temp_plain);  // the estimation itself is unchanged
}

TEST(Refinements, BadValuesNameTheOption) {
    const std::string dir = scratch_dir("refine_bad");
    const struct {
        const char* args;
        const char* message;
    } cases[] = {
        {"-warp cubic", "invalid value 'cubic' for option -warp"},
        {"-fineGrid 6", "-fineGrid 6 is above -coarseGrid 5; the largest value is 5"},
        {"-fineGrid -1", "invalid value '-1' for option -fineGrid"},
        {"-postSmooth -1", "-postSmooth must not be negative"},
        {"-postSmoothW x", "invalid value 'x' for option -postSmoothW"},
    };
    for (const auto& c : cases) {
        const Result r = run_in(dir, program_path(), c.args);
        EXPECT_EQ(r.status, 1) << c.args;
        EXPECT_NE(r.out.find(c.message), std::string::npos) << c.args << "\n" << r.out;
    }
}
