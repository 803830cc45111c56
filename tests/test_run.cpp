// End-to-end runs of the program on small synthetic layered sequences: console lines, output
// files, departures on bad input, accuracy on a pure translation and reproducibility.
#include <gtest/gtest.h>

#include <filesystem>

#include "io_field.h"
#include "run_helpers.h"

using namespace testrun;
namespace fs = std::filesystem;

namespace {

const char* const kBannerTop = "******************* ERROR ********************";
const char* const kBannerEnd = "**********************************************";

std::string usage_line(const std::string& flag, const std::string& value, const std::string& help) {
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "    \x1b[1m%-8s\x1b[0;0;0m = %-12s : \x1b[0;35;59m%s\x1b[0;0;0m", flag.c_str(),
                  value.c_str(), help.c_str());
    return buf;
}

// Mean endpoint error of a written field against a uniform wind, `margin` pixels excluded.
double mean_endpoint_error(const std::string& xaf, int nc, int nl, double du, double dv,
                           int margin) {
    std::vector<float> u(nc * nl), v(nc * nl);
    short err = 0;
    read_field(xaf.c_str(), u.data(), v.data(), nc, nl, &err);
    EXPECT_EQ(err, 0) << xaf;
    double sum = 0;
    int n = 0;
    for (int i = margin; i < nl - margin; ++i)
        for (int j = margin; j < nc - margin; ++j, ++n)
            sum += std::hypot(u[i * nc + j] - du, v[i * nc + j] - dv);
    return sum / n;
}

}  // namespace

TEST(CommandLine, UsageScreenListsEveryOptionInOrderAndTooFewSamplesEndTheRun) {
    const std::string dir = scratch_dir("usage");
    const Result r = run_in(dir, program_path(), "-alpha 12.5 -h -nbTimeSample 1");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, std::string(kBannerTop) + "\nError : two image sets are at least required\n" +
                         kBannerEnd + "\n");
    const auto lines = lines_of(r.err);
    ASSERT_GE(lines.size(), 21u);
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(lines[1].rfind(" \x1b[4;31;59moptic_flow_3DMultilayers\x1b[0;0;0m : 3D layered "
                             "atmospheric motion estimation (",
                             0),
              0u);
    EXPECT_EQ(lines[2], "");
    const std::vector<std::string> expected = {
        usage_line("-inImage", "./inImage_3D.txt", " text file with input image paths"),
        usage_line("-inDensity", "./inDensity.txt",
                   " text file with input average (in time and space) layer densities"),
        usage_line("-nbTimeSample", "1", " number of time samples in the image sequences"),
        usage_line("-nbLayers", "1", " number of layers"),
        usage_line("-crop", "0", " image cropping (yes=1/no=0)"),
        usage_line("-ofy", "0", "offset line number for cropping"),
        usage_line("-ofx", "0", "offset column number for cropping"),
        usage_line("-dy", "1024", "line number in cropped image"),
        usage_line("-dx", "1024", "column number in cropped image"),
        usage_line("-coarseResol", "0",
                   "coarsest scale for multiresolution (no 2 stage scheme initialization)"),
        usage_line("-coarseGrid", "5", "coarsest grid of multigrid optimization"),
        usage_line("-alpha", "12.5", "global div-curl regularization coefficient"),
        usage_line("-lambda", "150", "regularization coeficient within the div-curl functionnal"),
        usage_line("-beta", "5000", "coefficient regularization vertical winds "),
        usage_line("-sigmaData", "9", "coefficient Phi-functions for robust data term"),
        usage_line("-SigmaReg", "1000",
                   "coefficient Phi-functions for robust div-curl regularization term"),
        usage_line("-SigmaRegW", "1000",
                   "coefficient Phi-functions for robust regularization vertical wind"),
        usage_line("-init", "0",
                   " init. with (cropped) 2D motion estimates (name syntax "
                   "'inputImageFileNames.xaf') in 'xaf' format (yes=1/no=0)  "),
    };
    for (std::size_t k = 0; k < expected.size(); ++k) EXPECT_EQ(lines[3 + k], expected[k]) << k;
}

TEST(CommandLine, BadValuesEndTheRunNamingTheOption) {
    const std::string dir = scratch_dir("badopts");
    const struct {
        const char* args;
        const char* message;
    } cases[] = {
        {"-alpha abc", "Error : invalid value 'abc' for option -alpha"},
        {"-nbTimeSample 3x", "Error : invalid value '3x' for option -nbTimeSample"},
        {"-coarseGrid", "Error : invalid value '-coarseGrid' for option -coarseGrid"},
        {"-dx 70000", "Error : invalid value '70000' for option -dx"},
        {"-coarseResol 4", "-coarseResol must be between 0 and 3"},
        {"-coarseGrid -1", "-coarseGrid must not be negative"},
        {"-nbLayers 0", "-nbLayers must be at least 1"},
        {"-SigmaReg 0", "-SigmaReg must be greater than 0"},
        {"-SigmaRegW -3", "-SigmaRegW must be greater than 0"},
        {"-crop 1 -dx 0", "-dx must be at least 1"},
        {"-crop 1 -ofy -1", "-ofy must not be negative"},
    };
    for (const auto& c : cases) {
        const Result r = run_in(dir, program_path(), c.args);
        EXPECT_EQ(r.status, 1) << c.args;
        EXPECT_NE(r.out.find(c.message), std::string::npos) << c.args << "\n" << r.out;
        EXPECT_EQ(r.out.rfind(kBannerTop, 0), 0u) << c.args;
    }
}

TEST(InputFiles, MissingShortOrInvalidListsAndDensitiesAreReported) {
    const std::string dir = scratch_dir("inputs");
    Result r = run_in(dir, program_path(), "-inImage none.txt");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("none.txt"), std::string::npos) << r.out;

    write_translation_sequence(dir, 16, 16, 3, 3, 0, 0);
    std::ofstream(dir + "/short.txt") << "./L0_t0.pgm\r\n./L0_t1.pgm\r\n./L0_t1.pgm\r\n";
    r = run_in(dir, program_path(), "-inImage short.txt");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("'short.txt' holds 3 paths; 12 are needed"), std::string::npos) << r.out;

    // Every kind of bad density is checked on the reader itself; here, that the run uses it.
    std::ofstream(dir + "/dens.txt") << "1.0\nnan\n0.5\n";
    r = run_in(dir, program_path(), "-inDensity dens.txt");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("in 'dens.txt' is not a finite positive number"), std::string::npos)
        << r.out;
}

TEST(InputFiles, ImagesOfAnotherSizeAreReported) {
    const std::string dir = scratch_dir("sizes");
    write_translation_sequence(dir, 16, 16, 2, 2, 0, 0);
    write_pgm10(dir + "/L1_t1.pgm", 16, 12, std::vector<int>(16 * 12, 100));
    const Result r = run_in(dir, program_path(), "-nbTimeSample 2 -coarseGrid 2");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("L1_t1.pgm is 16 x 12"), std::string::npos) << r.err;
}

// Three layers moved by the same translation: exact console lines, every output file with its
// name and size, the wind recovered to a fraction of a pixel, byte-identical on a second run.
TEST(EndToEnd, ThreeLayerTranslationIsRecoveredAndEveryFileIsWritten) {
    const int nc = 32, nl = 32;
    const double du = 0.8, dv = -0.4;
    std::string dirs[2] = {scratch_dir("e2e_a"), scratch_dir("e2e_b")};
    Result r[2];
    for (int k = 0; k < 2; ++k) {
        write_translation_sequence(dirs[k], nc, nl, 3, 2, du, dv);
        r[k] = run_in(dirs[k], program_path(), "-nbTimeSample 2 -nbLayers 3 -coarseGrid 2");
        ASSERT_EQ(r[k].status, 0) << r[k].out << r[k].err;
    }
    const std::string& out = r[0].out;
    for (const char* line :
         {"surface layer: 0 with density: 1.22523", "surface layer: 1 with density: 1",
          "surface layer: 2 with density: 0.8", "surface layer: 3 with density: 0.6",
          "Processing time 1", "Input files for layer  0 ", "Image t : ./L0_t0.pgm",
          "Image t+dt : ./L0_t1.pgm", "Input files for layer  2 ", "writing estimated fields ..."})
        EXPECT_TRUE(contains_line(out, line)) << line;
    EXPECT_NE(out.find("\n\n\n*-*-*-*-*-* Reading density values*-*-*-*-*-*-*-*-*-*- \n"),
              std::string::npos);
    EXPECT_NE(out.find("horizontale : "), std::string::npos);
    EXPECT_NE(out.find(",\tvertical : "), std::string::npos);
    EXPECT_NE(out.find("convergence "), std::string::npos);
    const auto out_lines = lines_of(out);
    ASSERT_FALSE(out_lines.empty());
    EXPECT_EQ(out_lines.back().rfind("Processing time duration (sec): ", 0), 0u);
    EXPECT_TRUE(contains_line(r[0].err, "Initial grid: 8 X 8 blocks of size 4 X 4"));
    EXPECT_TRUE(contains_line(r[0].err, "**** Resolution 0 grid level 2  **** "));
    EXPECT_TRUE(contains_line(r[0].err, "**** Resolution 0 grid level 0  **** "));

    const std::string& d = dirs[0];
    for (int l = 0; l < 3; ++l) {
        const std::string P = d + "/L" + std::to_string(l) + "_t0.pgm";
        EXPECT_EQ(fs::file_size(P + "_3D.xaf"), 4u + 4u * nc * nl);
        EXPECT_EQ(lines_of(slurp(P + "_3D.motion")).size(), 2u + nc * nl);
        EXPECT_EQ(fs::exists(P + "_3D.motionUp"), l >= 1);
        EXPECT_EQ(fs::exists(P + "_3D.motionUpMatlab"), l >= 1);
        if (l >= 1) {
            EXPECT_EQ(fs::file_size(P + "_3D.motionUp"), 4u * nc * nl);
            EXPECT_EQ(lines_of(slurp(P + "_3D.motionUpMatlab")).size(), static_cast<size_t>(nl));
        }
        EXPECT_LT(mean_endpoint_error(P + "_3D.xaf", nc, nl, du, dv, 6), 0.25) << "layer " << l;
    }
    for (const char* t : {"temp2D_Lay01.xaf", "temp2D_Lay12.xaf", "temp2D_Lay23.xaf",
                          "tempUp_Lay1.matlab", "tempUp_Lay2.matlab"})
        EXPECT_TRUE(fs::exists(d + "/" + t)) << t;

    for (const auto& e : fs::directory_iterator(d)) {
        const std::string name = e.path().filename().string();
        if (name[0] == '.') continue;
        EXPECT_EQ(slurp(e.path().string()), slurp(dirs[1] + "/" + name)) << name;
    }
}

// A single layer, two time steps, a size that is not a multiple of the block size: two files
// per step, real-size outputs, no vertical pass, only the layer-0 temporary file.
TEST(EndToEnd, OneLayerRunWritesRealSizeHorizontalFieldsOnly) {
    const std::string dir = scratch_dir("onelayer");
    write_translation_sequence(dir, 30, 26, 1, 3, 0.5, 0.5);
    const Result r = run_in(dir, program_path(), "-nbTimeSample 3 -nbLayers 1 -coarseGrid 2");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(contains_line(r.out, "Processing time 2"));
    EXPECT_NE(r.out.find(",\tvertical : 1\n"), std::string::npos);
    // Three empty lines before the first star line only; each step opens with its star line.
    const std::string stars = "*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*- ";
    const std::string first = "\n\n\n" + stars + "\n" + stars + "\nProcessing time 1\n" + stars +
                              "\n\nInput files for layer  0 \n";
    EXPECT_NE(r.out.find(first), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("\n\n\n" + stars), r.out.rfind("\n\n\n" + stars));
    EXPECT_NE(r.out.find("writing estimated fields ...\n" + stars + "\nProcessing time 2\n"),
              std::string::npos);
    for (const char* step : {"0", "1"}) {
        const std::string P = dir + "/L0_t" + step + ".pgm";
        const std::string xaf = slurp(P + "_3D.xaf");
        ASSERT_EQ(xaf.size(), 4u + 4u * 30 * 26);
        EXPECT_EQ(xaf.substr(0, 4), std::string("\0\x1a\0\x1e", 4));
        EXPECT_EQ(lines_of(slurp(P + "_3D.motion"))[0], "30 26");
        EXPECT_FALSE(fs::exists(P + "_3D.motionUp"));
    }
    EXPECT_TRUE(fs::exists(dir + "/temp2D_Lay01.xaf"));
    EXPECT_FALSE(fs::exists(dir + "/temp2D_Lay12.xaf"));
    EXPECT_FALSE(fs::exists(dir + "/tempUp_Lay1.matlab"));
}

TEST(EndToEnd, MultiresolutionRunsEveryResolutionCoarseToFine) {
    const std::string dir = scratch_dir("multires");
    write_translation_sequence(dir, 32, 32, 2, 2, 1.5, 1.0);
    Result r = run_in(dir, program_path(), "-nbTimeSample 2 -coarseResol 2 -coarseGrid 1");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    for (const char* line :
         {"Initial grid: 4 X 4 blocks of size 2 X 2", "Initial grid: 8 X 8 blocks of size 2 X 2",
          "Initial grid: 16 X 16 blocks of size 2 X 2", "**** Resolution 2 grid level 1  **** ",
          "**** Resolution 1 grid level 0  **** ", "**** Resolution 0 grid level 0  **** "})
        EXPECT_TRUE(contains_line(r.err, line)) << line;
    // A shift of 1.5 px is too large for the finest level alone; one coarser level recovers it.
    r = run_in(dir, program_path(), "-nbTimeSample 2 -coarseResol 1 -coarseGrid 2");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_LT(mean_endpoint_error(dir + "/L0_t0.pgm_3D.xaf", 32, 32, 1.5, 1.0, 6), 0.35);
}

TEST(EndToEnd, InitReadsTheFieldOfEveryLayerAtFullResolution) {
    const std::string dir = scratch_dir("init");
    const int n = 16;
    write_translation_sequence(dir, n, n, 2, 2, 0.5, 0.0);
    std::vector<float> u(n * n, 0.5f), v(n * n, 0.0f);
    for (int l = 0; l < 2; ++l) {
        short err = 0;
        write_field((dir + "/L" + std::to_string(l) + "_t0.pgm.xaf").c_str(), u.data(), v.data(), n,
                    n, &err);
        ASSERT_EQ(err, 0);
    }
    Result r = run_in(dir, program_path(), "-nbTimeSample 2 -init 1 -coarseResol 2 -coarseGrid 2");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.err.find("\nNo multiresolution scheme with initialisation 3D\n"),
              std::string::npos);
    EXPECT_TRUE(contains_line(r.out, "./L0_t0.pgm.xaf"));
    EXPECT_TRUE(contains_line(r.out, "./L1_t0.pgm.xaf"));
    EXPECT_EQ(r.err.find("Resolution 2"), std::string::npos);

    std::vector<float> small(8 * 8, 0.0f);
    short err = 0;
    write_field((dir + "/L1_t0.pgm.xaf").c_str(), small.data(), small.data(), 8, 8, &err);
    r = run_in(dir, program_path(), "-nbTimeSample 2 -init 2 -coarseGrid 2");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("L1_t0.pgm.xaf is 8 x 8"), std::string::npos) << r.err;
}
