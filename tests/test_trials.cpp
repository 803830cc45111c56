// Trials of settings on the same images: each run's results, temporary files and run record in
// an output folder of its own; the fit summary and its warnings; unknown options named but
// ignored; a run stopped by a signal leaving no partial file.
#include <gtest/gtest.h>
#include <signal.h>

#include <random>

#include "bib_ansi.h"
#include "fit_summary.h"
#include "run_helpers.h"
#include "safe_output.h"

using namespace testrun;
namespace fs = std::filesystem;

namespace {

// Runs python3 on `code` (reading the record r = json.load of `record`) and returns its output;
// the record parsing as JSON is part of the check.
std::string from_record(const std::string& dir, const std::string& record,
                        const std::string& code) {
    write_file(dir + "/query.py", "import json\nr = json.load(open('" + record + "'))\n" + code);
    const Result r = run_in(dir, "python3", "query.py");
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

// One layer, two samples, nc x nc: a smooth texture moved by (dx, dy) pixels.
void write_smooth_pair(const std::string& dir, int nc, double dx, double dy) {
    for (int t = 0; t < 2; ++t) {
        std::vector<int> s(nc * nc);
        for (int k = 0; k < nc * nc; ++k) {
            const double x = k % nc - t * dx, y = k / nc - t * dy;
            s[k] = int(std::lround(500 + 40 * std::sin(2 * M_PI * x / 37) +
                                   40 * std::sin(2 * M_PI * y / 29) +
                                   20 * std::sin(2 * M_PI * (x + y) / 23)));
        }
        write_pgm10(dir + "/L0_t" + std::to_string(t) + ".pgm", nc, nc, s);
    }
    write_file(dir + "/inImage_3D.txt", "./L0_t0.pgm\n./L0_t1.pgm\n");
    write_file(dir + "/inDensity.txt", "1\n");
}

}  // namespace

// Two trials with -outDir keep both result sets (the files a run without -outDir writes beside
// the images, byte for byte, under the same names) and a record each, which holds the settings,
// the sizes and a summary per step and layer. An unknown option is named once and changes
// nothing.
TEST(Trials, EachOutputFolderKeepsItsResultsAndARecordOfHowTheyWereMade) {
    const std::string plain = scratch_dir("trial_plain"), d = scratch_dir("trials");
    for (const std::string& dir : {plain, d})
        write_translation_sequence(dir, 24, 20, 2, 3, 0.5, 0.25);
    const std::string common = "-nbTimeSample 3 -nbLayers 2 -coarseGrid 2 ";
    ASSERT_EQ(run_in(plain, program_path(), common + "-alpha 300").status, 0);
    write_file(d + "/-dens.txt", "1\n0.8\n");  // a value that starts with '-'
    const Result a = run_in(d, program_path(),
                            common +
                                "-alpha 300 -coarseResolution 1 -outDir runs/a -x -2 -x "
                                "-inDensity -dens.txt");
    ASSERT_EQ(a.status, 0) << a.err;
    EXPECT_EQ(run_in(d, program_path(), common + "-outDir runs/b -summary 1").status, 0);

    const std::string unknown =
        "ignored unknown option -coarseResolution\n"
        "ignored unknown option -x\nInitial grid";
    EXPECT_EQ(a.err.rfind(unknown, 0), 0u) << a.err;
    const auto beside = outputs_of(plain), in_a = outputs_of(d + "/runs/a");
    EXPECT_EQ(in_a, beside);  // 2 steps x (2 + 4) result files and 3 temporary files
    EXPECT_EQ(in_a.size(), 15u);
    EXPECT_EQ(outputs_of(d), (std::map<std::string, std::string>{}));
    EXPECT_NE(outputs_of(d + "/runs/b")["L1_t1.pgm_3D.xaf"], in_a.at("L1_t1.pgm_3D.xaf"));

    const std::string query =
        "s = r['settings']\n"
        "print(r['status'], s['alpha'], s['coarseResol'], s['border'], s['fast'], s['outDir'], "
        "r['real_size'], r['working_size'], r['crop_offset'], r['densities'])\n"
        "for step in r['steps']:\n"
        "  for l in step['layers']:\n"
        "    f = l['fit']\n"
        "    print(step['step'], l['layer'], l['t_image'], l['results'], f['valid_pixels'] > 0, "
        "0 <= f['ratio'] < 0.8, 0.3 < f['mean_speed'] < 0.8, l['warnings'])\n";
    EXPECT_EQ(from_record(d, "runs/a/run.json", query),
              "complete 300 0 zero 0 runs/a [24, 20] [24, 20] [0, 0] [1, 0.8]\n"
              "1 0 ./L0_t0.pgm runs/a/L0_t0.pgm True True True []\n"
              "1 1 ./L1_t0.pgm runs/a/L1_t0.pgm True True True []\n"
              "2 0 ./L0_t1.pgm runs/a/L0_t1.pgm True True True []\n"
              "2 1 ./L1_t1.pgm runs/a/L1_t1.pgm True True True []\n");
    // The tools find the results of an output folder as the program names them.
    const std::string to_netcdf = std::string(OF3D_BIN_DIR) + "/winds_to_netcdf";
    EXPECT_EQ(
        run_in(d, to_netcdf, "-outDir runs/b -o b.nc -inDensity -dens.txt -nbLayers 2").status, 0);
}

// A smooth texture moved 6 px per step: one resolution cannot follow it and says so; three
// coarser levels follow it and raise no warning.
TEST(Trials, FitSummaryWarnsWhenThePyramidCannotReachTheMotion) {
    const std::string d = scratch_dir("reach");
    write_smooth_pair(d, 64, 4.8, 3.6);
    const std::string common = "-nbTimeSample 2 -nbLayers 1 -coarseGrid 3 -summary 1 ";
    const Result shallow = run_in(d, program_path(), common + "-coarseResol 0");
    const Result deep = run_in(d, program_path(), common + "-coarseResol 3");
    ASSERT_EQ(shallow.status + deep.status, 0) << shallow.err << deep.err;
    EXPECT_NE(shallow.err.find("\nfit step 1 layer 0: "), std::string::npos) << shallow.err;
    EXPECT_NE(shallow.err.find("\nwarning: step 1 layer 0: the motion explains little"),
              std::string::npos)
        << shallow.err;
    EXPECT_EQ(deep.err.find("warning"), std::string::npos) << deep.err;
}

// It a ramp of 10 grey levels per column, Itdt the ramp moved half a pixel to the right, the wind
// (0.5, 0) in an 8 x 6 working frame around a 6 x 5 image: registered on the wind Itdt is It again
// (residual 0) where the bilinear footprint (columns j, j + 1, lines i, i - 1) lies in the image,
// lines 1 .. 4 and columns 0 .. 4, less the one pixel whose data term did not count; without
// motion every pixel is 5 levels off. The motion explains little past a ratio of 0.8.
TEST(Trials, FitSummaryComparesTheResidualOfTheWarpWithTheResidualWithoutMotion) {
    const short nc = 8, nl = 6, nc_reel = 6, nl_reel = 5;
    std::vector<float> U(nc * nl, 0.5f), V(nc * nl, 0.0f), weight(nc * nl, 1.0f);
    std::vector<short> It(nc * nl, 0), Itdt(nc * nl, 0);
    for (int i = 0; i < nl_reel; ++i)
        for (int j = 0; j < nc_reel; ++j) {
            It[i * nc + j] = short(10 * j + 100);
            Itdt[i * nc + j] = short(10 * j + 95);
        }
    for (const int k : {9, 10, 17, 25, 36}) weight[k] = 0.05f;  // 5 of the 20 inner pixels
    weight[0] = weight[7] = 0.0f;                               // the frame's ring: not counted
    std::vector<unsigned char> data_valid(nc * nl, 1);
    data_valid[10] = 0;
    const FitSummary s = fit_summary(U.data(), V.data(), It.data(), Itdt.data(), weight.data(), nc,
                                     nl, nc_reel, nl_reel, Recal_fl, data_valid.data());
    EXPECT_EQ(s.valid_pixels, 19);
    EXPECT_NEAR(s.residual_rms, 0.0, 1e-5);
    EXPECT_NEAR(s.motionless_rms, 5.0, 1e-9);
    EXPECT_NEAR(s.ratio(), 0.0, 1e-6);
    EXPECT_NEAR(s.mean_speed, 0.5, 1e-9);
    EXPECT_NEAR(s.low_weight_share, 0.25, 1e-9);
    FitSummary edge = s;  // a clear change (5 > 2 grey levels): ratio 0.78 passes, 0.82 warns
    EXPECT_TRUE((edge.residual_rms = 3.9, fit_warnings(edge, 3).empty()));
    EXPECT_EQ((edge.residual_rms = 4.1, fit_warnings(edge, 3).size()), 1u);
}

// The signal handler removes the temporary of a file being written and ends the process by the
// signal; a run stopped with SIGTERM leaves whole temporary files and no partial one.
TEST(Trials, StoppedBySigtermLeavesNoPartialFile) {
    const std::string dir = scratch_dir("signal");
    const pid_t child = fork();
    if (child == 0) {
        remove_temporaries_on_signals();
        SafeOutput out;
        std::fputs("half", out.open((dir + "/result.txt").c_str(), "w"));
        kill(getpid(), SIGTERM);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_TRUE(fs::is_empty(dir));

    std::mt19937 noise(3);  // images of noise: the passes never settle
    std::vector<int> s(48 * 48);
    for (const std::string name : {"N0_t0", "N0_t1", "N1_t0", "N1_t1", "N2_t0", "N2_t1"}) {
        for (int& x : s) x = int(noise() % 1001);
        write_pgm10(dir + "/" + name + ".pgm", 48, 48, s);
    }
    write_file(dir + "/inImage_3D.txt",
               "./N0_t0.pgm\n./N0_t1.pgm\n./N1_t0.pgm\n./N1_t1.pgm\n./N2_t0.pgm\n./N2_t1.pgm\n");
    write_file(dir + "/inDensity.txt", "1\n0.8\n0.6\n");
    // Stopped once it writes the temporary files of its last layer; wait gives 128 + SIGTERM.
    const Result r = run_in(dir, "sh",
                            "-c '\"$0\" -nbTimeSample 2 -nbLayers 3 -coarseGrid 1 -sigmaData 1000 "
                            "-outDir out >/dev/null 2>&1 & until [ -e out/tempUp_Lay2.matlab ]; do "
                            "sleep 0.01; done; kill -TERM $!; wait $!; echo $?' " +
                                program_path());
    EXPECT_EQ(r.out, "143\n") << r.err;
    for (const auto& e : fs::directory_iterator(dir + "/out"))
        EXPECT_NE(e.path().extension(), ".part") << e.path();
    EXPECT_EQ(from_record(dir, "out/run.json", "print(r['status'])\n"), "running\n");
}
