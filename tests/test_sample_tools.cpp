// The sample generator and the wind checker: the written images follow the model's data equation
// with the written true winds, and compare_winds reports hand-worked errors and names the file at
// fault.
#include <gtest/gtest.h>

#include "io_field.h"
#include "physical_constants.h"
#include "run_helpers.h"

using namespace testrun;

namespace {

const std::string kBin = OF3D_BIN_DIR;

std::string numbered(const char* stem, int a, const char* mid, int b, const char* ext) {
    return stem + std::to_string(a) + mid + std::to_string(b) + ext;
}

}  // namespace

// Itdt(x + W) exp(div W) = It(x) + F(x), F = 88.29 (rho_below w_low - rho_layer w_up), checked
// with the written truth: div by central differences, Itdt sampled bilinearly. Dropping the flux
// or the divergence must leave a clearly larger residual where that ingredient is large (|F| > 2
// grey levels, |div| > 0.02 per step). The list and densities are the estimator's: per layer,
// per step, the t image then the t + dt image.
TEST(LayeredSample, ImagesFollowTheMassConservationModel) {
    const int nc = 48, nl = 40, n = nc * nl, layers = 3, margin = 5;  // margin > largest |W|
    const std::string s = scratch_dir("model") + "/";
    const std::string args = "-o . -seed 7 -size 48x40 -layers 3 -samples 3";
    ASSERT_EQ(run_in(s, kBin + "/make_layered_sample", args).status, 0);
    const std::vector<std::string> list = lines_of(slurp(s + "inImage_3D.txt"));
    ASSERT_EQ(list.size(), 12u);
    EXPECT_EQ(list[3] + " " + list[4] + " " + list[11],
              "./layer0_t2.pgm ./layer1_t0.pgm ./layer2_t2.pgm");
    EXPECT_EQ(slurp(s + "inDensity.txt"), "1.000000\n0.800000\n0.600000\n");
    const float rho[layers + 1] = {kSurfaceDensity, 1.0f, 0.8f, 0.6f};
    std::vector<std::vector<float>> w(layers + 1, std::vector<float>(n, 0.0f));
    double dropped[2] = {}, kept[2] = {}, used[2] = {}, full = 0, count = 0;
    for (int t = 0; t < 2; ++t) {
        for (int k = 1; k < layers; ++k) {
            w[k] = read_floats(s + numbered("truth_wvert", k, "_step", t, ".raw"));
            ASSERT_EQ(w[k].size(), std::size_t(n));
        }
        for (int l = 0; l < layers; ++l) {
            const std::vector<short> It = pgm_samples(s + numbered("layer", l, "_t", t, ".pgm"));
            const std::vector<short> Itdt =
                pgm_samples(s + numbered("layer", l, "_t", t + 1, ".pgm"));
            std::vector<float> U(n), V(n);
            short err = 0;
            read_field((s + numbered("truth_layer", l, "_step", t, ".xaf")).c_str(), U.data(),
                       V.data(), nc, nl, &err);
            ASSERT_EQ(err, 0);
            for (int y = margin; y < nl - margin; ++y)
                for (int x = margin; x < nc - margin; ++x) {
                    const int p = y * nc + x;
                    const double div = 0.5 * (U[p + 1] - U[p - 1] + V[p + nc] - V[p - nc]);
                    const double F = kMassFluxScale * (rho[l] * w[l][p] - rho[l + 1] * w[l + 1][p]);
                    const double X = x + U[p], Y = y + V[p];
                    const int x0 = int(std::floor(X)), y0 = int(std::floor(Y)), q = y0 * nc + x0;
                    const double a = X - x0, b = Y - y0;
                    const double warped = (1 - b) * ((1 - a) * Itdt[q] + a * Itdt[q + 1]) +
                                          b * ((1 - a) * Itdt[q + nc] + a * Itdt[q + nc + 1]);
                    const double r = std::fabs(warped * std::exp(div) - It[p] - F);
                    if (std::fabs(F) > 2.0)
                        dropped[0] += std::fabs(warped * std::exp(div) - It[p]), kept[0] += r,
                            used[0]++;
                    if (std::fabs(div) > 0.02)
                        dropped[1] += std::fabs(warped - It[p] - F), kept[1] += r, used[1]++;
                    full += r;
                    count += 1;
                }
        }
    }
    EXPECT_LT(full / count, 1.5);  // rounding and bilinear sampling leave about one grey level
    EXPECT_GT(dropped[0], 2.0 * kept[0]) << "without the flux";
    EXPECT_GT(dropped[1], 5.0 * kept[1]) << "without the divergence";
    EXPECT_TRUE(used[0] > 50 && used[1] > 50) << "an ingredient too weak to test";
}

// Hand-worked figures on a 4 x 3 folder with two layers and one step, margin 1 (interior: line
// 1, columns 1 and 2), its list saved on Windows (byte-order mark, CR LF); then each damaged
// input ends the run with status 1 naming the file.
TEST(CompareWinds, ReportsHandWorkedErrorsAndNamesTheFileAtFault) {
    const std::string s = scratch_dir("compare") + "/";
    const int nc = 4, nl = 3;
    std::ofstream(s + "list.txt") << "\xEF\xBB\xBF./a0\r\n./a1\r\n./b0\r\n./b1\r\n";
    const char* names[] = {"truth_layer0_step0.xaf", "a0_3D.xaf", "truth_layer1_step0.xaf",
                           "b0_3D.xaf"};
    const float uv[4][2] = {{3, 4}, {0, 0}, {1, 0}, {1, 1}};  // uniform fields
    for (int f = 0; f < 4; ++f) {
        std::vector<float> U(nc * nl, uv[f][0]), V(nc * nl, uv[f][1]);
        short err = 0;
        write_field((s + names[f]).c_str(), U.data(), V.data(), nc, nl, &err);
    }
    std::vector<float> wt(nc * nl), w(nc * nl);
    for (int p = 0; p < nc * nl; ++p) wt[p] = float(p % nc), w[p] = 2.0f * wt[p] + 1.0f;
    write_floats(s + "truth_wvert1_step0.raw", wt);
    write_floats(s + "b0_3D.motionUp", w);
    const std::string args =
        "-dir " + s + " -inImage list.txt -nbTimeSample 2 -nbLayers 2 -margin 1";
    const Result r = run_in(s, kBin + "/compare_winds", args);
    ASSERT_EQ(r.status, 0) << r.err;
    // (0, 0) against (3, 4): |e| = 5, angle acos(1 / sqrt(26)) = 78.690 deg, also zero motion.
    // (1, 1) against (1, 0): |e| = 1, angle acos(2 / sqrt(6)) = 35.264 deg; zero: 1 and 45 deg.
    // w = 2 wt + 1 with wt = 1, 2: errors 2 and 3, RMS sqrt(6.5) = 2.549510; perfectly
    // correlated; zero: RMS sqrt(2.5) = 1.581139.
    for (const char* line :
         {"layer 0 step 0: EPE   5.0000  AE   78.690 | zero motion: EPE   5.0000  AE   78.690",
          "layer 1 step 0: EPE   1.0000  AE   35.264 | zero motion: EPE   1.0000  AE   45.000",
          "interface 1 step 0: RMS   2.549510  corr  1.0000 | zero: RMS   1.581139"})
        EXPECT_TRUE(contains_line(r.out, line)) << line << "\n" << r.out;

    const struct {
        std::string file, content;  // content empty: removed
    } damaged[] = {
        {"b0_3D.xaf", ""}, {"b0_3D.motionUp", std::string(100, '\0')}, {"list.txt", "./a0\n"}};
    for (const auto& d : damaged) {
        const std::string keep = slurp(s + d.file);
        std::ofstream(s + d.file, std::ios::binary) << d.content;
        if (d.content.empty()) std::remove((s + d.file).c_str());
        const Result bad = run_in(s, kBin + "/compare_winds", args);
        EXPECT_EQ(bad.status, 1) << d.file;
        EXPECT_NE(bad.err.find(d.file), std::string::npos) << d.file << ": " << bad.err;
        std::ofstream(s + d.file, std::ios::binary) << keep;
    }
}
