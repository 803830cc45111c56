// The data term's validity end to end: masked samples carry no information (noise inside a masked
// square changes no output byte) and the validity map marks them; with -border replicate the
// pixels warped out of the image drop out; the pyramid depth that -coarseResol auto chooses, and
// the warning for a fixed depth. Results do not depend on the thread count in these modes either.
#include <gtest/gtest.h>

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

}  // namespace

// Pseudo-random samples under the mask of every image (and another thread count) change no byte;
// the map marks the masked square, and the fit summary of the record leaves it out. A missing
// mask ends the run, naming it.
TEST(Masks, NoiseUnderTheMaskChangesNothingAndTheMapMarksIt) {
    const int nc = 40, nl = 36, x0 = 12, y0 = 10, side = 9;
    const std::string common = "-nbTimeSample 2 -nbLayers 3 -coarseResol 1 -coarseGrid 2 ",
                      args = common + "-mask 1 -record r.json ";
    std::map<std::string, std::string> first;
    for (const bool noise : {false, true}) {
        const std::string dir = scratch_dir("mask");
        write_shear_sequence(dir, nc, nl, 3, 2);
        write_masks(dir, nc, nl, x0, y0, side);
        for (const std::string& name : lines_of(slurp(dir + "/inImage_3D.txt"))) {
            const std::vector<short> s = pgm_samples(dir + "/" + name);
            std::vector<int> w(s.begin(), s.end());
            for (int y = y0; y < y0 + side && noise; ++y)
                for (int x = x0; x < x0 + side; ++x) w[y * nc + x] = (x * 7919 + y * 104729) % 1000;
            write_pgm10(dir + "/" + name, nc, nl, w);
        }
        const Result r = run_in(dir, program_path(), args + (noise ? "-threads 3" : "-threads 1"));
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        if (noise) {
            EXPECT_EQ(outputs_of(dir), first);
            std::filesystem::remove(dir + "/S0_t0_mask.pgm");
            const Result missing = run_in(dir, program_path(), args);
            EXPECT_EQ(missing.status, 1);
            EXPECT_NE(missing.err.find("S0_t0_mask.pgm"), std::string::npos) << missing.err;
            break;
        }
        first = outputs_of(dir);
        // The same run without the masks counts the square in its fit summary.
        ASSERT_EQ(run_in(dir, program_path(), common + "-record u.json").status, 0);
        auto valid_pixels = [&](const std::string& name) {
            const std::string record = slurp(dir + "/" + name);
            const std::size_t at = record.find("\"valid_pixels\": ");
            return at == std::string::npos ? -1L : std::stol(record.substr(at + 16));
        };
        EXPECT_LE(valid_pixels("r.json"), valid_pixels("u.json") - side * side);
        const std::vector<int> map = map_of(dir + "/S1_t0.pgm_3D.valid.pgm", nc, nl);
        int inside = 0;
        for (int y = y0; y < y0 + side; ++y)
            for (int x = x0; x < x0 + side; ++x) inside += map[y * nc + x];
        EXPECT_EQ(inside, 0);
        EXPECT_GT(std::count(map.begin(), map.end(), 1), (nc * nl - side * side) / 2);
    }
}

// A 45 x 37 translation by (-1.5, 0.5) px per step, padded to 48 x 40: with -border replicate the
// first column (footprint out of the frame for any leftward wind) and the last line (into the
// padded frame for any downward one) take no data term.
TEST(Border, ReplicateDropsWhatLeavesTheImage) {
    const int nc = 45, nl = 37;
    std::map<std::string, std::string> first;
    for (const char* threads : {"-threads 1", "-threads 3"}) {
        const std::string dir = scratch_dir("border");
        write_translation_sequence(dir, nc, nl, 1, 2, -1.5, 0.5);
        const Result r = run_in(dir, program_path(),
                                std::string("-nbTimeSample 2 -nbLayers 1 -coarseGrid 3 "
                                            "-border replicate ") +
                                    threads);
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        const std::vector<int> map = map_of(dir + "/L0_t0.pgm_3D.valid.pgm", nc, nl);
        for (int i = 0; i < nl; ++i) EXPECT_EQ(map[i * nc], 0) << "line " << i;
        for (int j = 0; j < nc; ++j) EXPECT_EQ(map[(nl - 1) * nc + j], 0) << "column " << j;
        EXPECT_GT(std::count(map.begin(), map.end(), 1), nc * nl / 4);
        if (first.empty()) first = outputs_of(dir);
        EXPECT_EQ(outputs_of(dir), first) << threads;
    }
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
        {"2", "-coarseResol 1", "beyond the reach of -coarseResol 1"},
        {"2", "-coarseResol 2", "\n"},  // within reach: nothing said
    };
    for (const auto& c : cases) {
        const std::string dir = scratch_dir("depth");
        ASSERT_EQ(run_in(dir, bin + "/make_layered_sample",
                         std::string("-o . -size 128 -samples 2 -strength ") + c.strength)
                      .status,
                  0);
        const Result r = run_in(dir, program_path(), c.args + stop);
        if (std::string(c.expected) == "\n")
            EXPECT_EQ(r.err.find("displacement"), std::string::npos) << r.err;
        else
            EXPECT_NE(r.err.find(c.expected), std::string::npos) << c.args << "\n" << r.err;
    }
}
