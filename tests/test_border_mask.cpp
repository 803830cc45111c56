// The data term's validity end to end: masked samples carry no information (noise inside a masked
// square changes no output byte) and the validity map marks them; with -border replicate the
// pixels warped out of the image drop out and the error near the padded edge falls; the pyramid
// depth that -coarseResol auto chooses, and the warning for a fixed depth. Results do not depend
// on the thread count in these modes either.
#include <gtest/gtest.h>

#include "io_field.h"
#include "run_helpers.h"

using namespace testrun;

namespace {

// Writes "<image>_mask.pgm" (maximum 1) for every image of the list: 0 inside the square of side
// `side` at column x0, line y0.
void write_masks(const std::string& dir, int nc, int nl, int x0, int y0, int side) {
    for (const std::string& name : lines_of(slurp(dir + "/inImage_3D.txt"))) {
        std::string bytes = "P5\n" + std::to_string(nc) + " " + std::to_string(nl) + "\n1\n";
        for (int k = 0; k < nc * nl; ++k) {
            const int x = k % nc, y = k / nc;
            bytes += char(x >= x0 && x < x0 + side && y >= y0 && y < y0 + side ? 0 : 1);
        }
        write_file(dir + "/" + name.substr(0, name.size() - 4) + "_mask.pgm", bytes);
    }
}

// The samples of a validity map (header "P5\nC L\n1\n").
std::vector<int> map_of(const std::string& path, int nc, int nl) {
    const std::string bytes = slurp(path);
    const std::size_t head = bytes.size() - std::size_t(nc) * nl;
    EXPECT_EQ(bytes.substr(0, head),
              "P5\n" + std::to_string(nc) + " " + std::to_string(nl) + "\n1\n");
    return std::vector<int>(bytes.begin() + head, bytes.end());
}

// Mean endpoint error against (dx, dy) over the columns j0 .. j1 - 1 of an nc x nl result.
double column_error(const std::string& xaf, int nc, int nl, int j0, int j1, double dx, double dy) {
    std::vector<float> u(std::size_t(nc) * nl), v(u.size());
    short err = 0;
    read_field(xaf.c_str(), u.data(), v.data(), nc, nl, &err);
    EXPECT_EQ(err, 0) << xaf;
    double sum = 0;
    for (int i = 0; i < nl; ++i)
        for (int j = j0; j < j1; ++j) sum += std::hypot(u[i * nc + j] - dx, v[i * nc + j] - dy);
    return sum / (nl * (j1 - j0));
}

}  // namespace

TEST(Masks, NoiseUnderTheMaskChangesNothingAndTheMapMarksIt) {
    const int nc = 40, nl = 36, x0 = 12, y0 = 10, side = 9;
    const std::string args = "-nbTimeSample 2 -nbLayers 3 -coarseResol 1 -coarseGrid 2 -mask 1 ";
    std::map<std::string, std::string> first;
    for (const bool noise : {false, true})
        for (const char* threads : {"-threads 1", "-threads 3"}) {
            const std::string dir = scratch_dir("mask");
            write_shear_sequence(dir, nc, nl, 3, 2);
            write_masks(dir, nc, nl, x0, y0, side);
            if (noise)  // every image: pseudo-random samples inside the square
                for (const std::string& name : lines_of(slurp(dir + "/inImage_3D.txt"))) {
                    std::vector<short> s = pgm_samples(dir + "/" + name);
                    std::vector<int> w(s.begin(), s.end());
                    for (int y = y0; y < y0 + side; ++y)
                        for (int x = x0; x < x0 + side; ++x)
                            w[y * nc + x] = (x * 7919 + y * 104729) % 1000;
                    write_pgm10(dir + "/" + name, nc, nl, w);
                }
            const Result r = run_in(dir, program_path(), args + threads);
            ASSERT_EQ(r.status, 0) << r.out << r.err;
            const auto out = outputs_of(dir);
            if (first.empty()) {
                first = out;
                const std::vector<int> map = map_of(dir + "/S1_t0.pgm_3D.valid.pgm", nc, nl);
                int inside = 0, outside = 0;
                for (int k = 0; k < nc * nl; ++k) {
                    const int x = k % nc, y = k / nc;
                    (x >= x0 && x < x0 + side && y >= y0 && y < y0 + side ? inside : outside) +=
                        map[k];
                }
                EXPECT_EQ(inside, 0);
                EXPECT_GT(outside, (nc * nl - side * side) / 2);
            } else {
                EXPECT_EQ(out, first) << (noise ? "noise " : "") << threads;
            }
        }
    EXPECT_EQ(first.size(), 3u * 2 + 2u * 2 + 3u + 5u);  // 2 files per layer, 2 per interface,
                                                         // a map per layer, 5 temporary files
}

TEST(Masks, AMissingMaskEndsTheRunNamingIt) {
    const std::string dir = scratch_dir("nomask");
    write_shear_sequence(dir, 40, 36, 3, 2);
    const Result r = run_in(dir, program_path(), "-nbTimeSample 2 -coarseGrid 2 -mask 1");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("S0_t0_mask.pgm"), std::string::npos) << r.err;
}

// A 45 x 37 translation by (1.5, 0.5) px per step, padded to 48 x 40: with -border replicate the
// last column and the last line, whose t + dt footprint leaves the image for any positive wind,
// take no data term, and the error next to the padded right edge is below that of the zero
// border.
TEST(Border, ReplicateDropsWhatLeavesTheImageAndHelpsNearThePaddedEdge) {
    const int nc = 45, nl = 37;
    const std::string base = "-nbTimeSample 2 -nbLayers 1 -coarseGrid 3 ";
    double error[2] = {};
    std::map<std::string, std::string> first;
    for (const char* mode :
         {"-border zero", "-border replicate -threads 1", "-border replicate -threads 3"}) {
        const std::string dir = scratch_dir("border");
        write_translation_sequence(dir, nc, nl, 1, 2, 1.5, 0.5);
        const Result r = run_in(dir, program_path(), base + mode);
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        const bool replicate = std::string(mode).find("replicate") != std::string::npos;
        error[replicate] =
            column_error(dir + "/L0_t0.pgm_3D.xaf", nc, nl, nc - 8, nc - 2, 1.5, 0.5);
        if (!replicate) {
            EXPECT_FALSE(std::filesystem::exists(dir + "/L0_t0.pgm_3D.valid.pgm"));
            continue;
        }
        const std::vector<int> map = map_of(dir + "/L0_t0.pgm_3D.valid.pgm", nc, nl);
        for (int i = 0; i < nl; ++i) EXPECT_EQ(map[i * nc + nc - 1], 0) << "line " << i;
        for (int j = 0; j < nc; ++j) EXPECT_EQ(map[(nl - 1) * nc + j], 0) << "column " << j;
        EXPECT_GT(std::count(map.begin(), map.end(), 1), nc * nl / 4);
        if (first.empty())
            first = outputs_of(dir);
        else
            EXPECT_EQ(outputs_of(dir), first) << mode;
    }
    EXPECT_LT(error[1], error[0]);
}

TEST(PyramidDepth, AutoFollowsTheDisplacementAndAFixedDepthWarns) {
    const std::string bin = OF3D_BIN_DIR;
    // The density file is missing: the run ends right after the choice.
    const std::string stop = " -nbTimeSample 2 -inDensity missing.txt";
    const struct {
        const char* strength;  // about 3 px per step at strength 1
        const char* args;
        const char* expected;
    } cases[] = {
        {"2", "-coarseResol auto", ": -coarseResol 2\n"},
        {"0.17", "-coarseResol auto", ": -coarseResol 0\n"},
        {"2", "-coarseResol 0", "beyond the reach of -coarseResol 0"},
    };
    for (const auto& c : cases) {
        const std::string dir = scratch_dir("depth");
        ASSERT_EQ(run_in(dir, bin + "/make_layered_sample",
                         std::string("-o . -size 128 -samples 2 -strength ") + c.strength)
                      .status,
                  0);
        const Result r = run_in(dir, program_path(), c.args + stop);
        EXPECT_NE(r.err.find(c.expected), std::string::npos) << c.args << "\n" << r.err;
    }
}
