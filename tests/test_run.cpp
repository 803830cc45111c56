// End-to-end runs of the program on small synthetic layered sequences: the option table and the
// usage screen, every way bad input ends a run, the result files and console lines of a run of
// known motion, and the input rules (crop window, saturated samples, initial fields, bounds of
// the alternation) seen through the results.
#include <gtest/gtest.h>

#include <random>

#include "io_field.h"
#include "run_helpers.h"

using namespace testrun;
namespace fs = std::filesystem;

namespace {

const char* const kBannerTop = "******************* ERROR ********************";
const char* const kBannerEnd = "**********************************************";

// Mean endpoint error of a written nc x nl field against a uniform wind, `margin` pixels excluded.
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

TEST(CommandLine, UsageScreenListsEveryOptionWithTheValueInEffectAndTheRunGoesOn) {
    const std::string dir = scratch_dir("usage");
    const Result r = run_in(dir, program_path(), "-alpha 12.5 -h -nbTimeSample 1 -threads 3");
    EXPECT_EQ(r.status, 1);  // the run went on to the check of -nbTimeSample
    EXPECT_EQ(r.out, std::string(kBannerTop) + "\nError : two image sets are at least required\n" +
                         kBannerEnd + "\n");
    const auto lines = lines_of(r.err);
    const char* const options[][3] = {
        {"-inImage", "./inImage_3D.txt", " text file with input image paths"},
        {"-inDensity", "./inDensity.txt",
         " text file with input average (in time and space) layer densities"},
        {"-nbTimeSample", "1", " number of time samples in the image sequences"},
        {"-nbLayers", "1", " number of layers"},
        {"-crop", "0", " image cropping (yes=1/no=0)"},
        {"-ofy", "0", "offset line number for cropping"},
        {"-ofx", "0", "offset column number for cropping"},
        {"-dy", "1024", "line number in cropped image"},
        {"-dx", "1024", "column number in cropped image"},
        {"-coarseResol", "0",
         "coarsest scale for multiresolution (no 2 stage scheme initialization)"},
        {"-coarseGrid", "5", "coarsest grid of multigrid optimization"},
        {"-alpha", "12.5", "global div-curl regularization coefficient"},
        {"-lambda", "150", "regularization coeficient within the div-curl functionnal"},
        {"-beta", "5000", "coefficient regularization vertical winds "},
        {"-sigmaData", "9", "coefficient Phi-functions for robust data term"},
        {"-SigmaReg", "1000", "coefficient Phi-functions for robust div-curl regularization term"},
        {"-SigmaRegW", "1000", "coefficient Phi-functions for robust regularization vertical wind"},
        {"-init", "0",
         " init. with (cropped) 2D motion estimates (name syntax 'inputImageFileNames.xaf') in "
         "'xaf' format (yes=1/no=0)  "},
        {"-fineGrid", "0", "finest grid of multigrid optimization (blocks of 2^N pixels)"},
        {"-warp", "bilinear", "interpolation of the image registration (bilinear|bspline)"},
        {"-postSmooth", "0", "std. dev. (pixels) of a Gaussian smoothing the output winds"},
        {"-postSmoothW", "0",
         "std. dev. (pixels) of a Gaussian smoothing the output vertical winds"},
        {"-divSmooth", "0",
         "std. dev. (pixels) of a Gaussian smoothing the divergence in the mass-conservation "
         "term (0 = none)"},
        {"-border", "zero",
         "image border: padded frame of zeros, or edge samples and no data term outside the "
         "image (zero|replicate)"},
        {"-mask", "0",
         "read a mask 'NAME_mask.pgm' per image 'NAME.pgm': masked samples take no data term "
         "(yes=1/no=0)"},
        {"-preset", "none", "recommended settings for a kind of data (smooth|turbulent|radar)"},
        {"-refine", "0", "warps of the pixel-level refinement after the finest grid (0 = none)"},
        {"-refineAlpha", "-1", "div-curl weight of the refinement (negative: the value of -alpha)"},
        {"-fast", "0",
         "fast mode: block sums in double, auxiliary fits in float, repetitions end once the "
         "winds move by less than 0.001 px on average (0.005 px with blocks of 4 px or less, "
         "0.0005 px with -divSmooth) (yes=1/no=0)"},
        {"-threads", "3", "number of threads (0 = all cores)"},
        {"-outDir", "", "folder of the results and temporary files (created)"},
        {"-record", "", "run record, JSON (default DIR/run.json with -outDir)"},
        {"-summary", "0", "fit summary per step and layer on stderr (yes=1/no=0)"}};
    ASSERT_EQ(lines.size(), 3 + std::size(options)) << r.err;
    EXPECT_EQ(lines[1].rfind(" \x1b[4;31;59moptic_flow_3DMultilayers\x1b[0;0;0m : 3D layered "
                             "atmospheric motion estimation (",
                             0),
              0u);
    for (std::size_t k = 0; k < std::size(options); ++k) {
        char line[512];
        std::snprintf(line, sizeof line,
                      "    \x1b[1m%-8s\x1b[0;0;0m = %-12s : \x1b[0;35;59m%s\x1b[0;0;0m",
                      options[k][0], options[k][1], options[k][2]);
        EXPECT_EQ(lines[3 + k], line);
    }
}

// Bytes a complete result file of this name holds, judged from its own content: a motion-field
// file its header's lines x columns, a text file a last line end.
bool complete(const std::string& name, const std::string& bytes) {
    if (name.find(".xaf") == std::string::npos) return !bytes.empty() && bytes.back() == '\n';
    const auto b = [&](int k) { return static_cast<unsigned char>(bytes[k]); };
    return bytes.size() >= 4 && bytes.size() == 4 + 4u * (b(0) * 256 + b(1)) * (b(2) * 256 + b(3));
}

// Every failure ends the run with status 1 and a message naming the file or option; no result
// file is left incomplete and a result that could not be replaced keeps its previous bytes.
TEST(BadInput, EveryFailureNamesItsCauseEndsWithStatusOneAndLeavesNothingHalfWritten) {
    std::string no_such;  // 12 paths of a file that does not exist
    for (int k = 0; k < 12; ++k) no_such += "./no such.pgm\n";
    const struct {
        std::string args;         // after -nbTimeSample 3; "sh ...": a script
        std::string file, bytes;  // written over the good inputs; bytes "/": a folder instead
        std::string message;
    } cases[] = {
        {"-alpha abc", "", "", "Error : invalid value 'abc' for option -alpha"},
        {"-coarseGrid", "", "", "Error : invalid value '-coarseGrid' for option -coarseGrid"},
        {"-dx 70000", "", "", "invalid value '70000' for option -dx"},
        {"-threads x", "", "", "invalid value 'x' for option -threads"},
        {"-warp cubic", "", "", "invalid value 'cubic' for option -warp"},
        {"-coarseResol 4", "", "", "Error : option -coarseResol must be between 0 and 3 (got 4)"},
        {"-coarseGrid -1", "", "", "-coarseGrid must not be negative"},
        {"-nbLayers 0", "", "", "-nbLayers must be at least 1"},
        {"-SigmaRegW -3", "", "", "-SigmaRegW must be greater than 0"},
        {"-crop 1 -ofy -1", "", "", "-ofy must not be negative"},
        {"-fineGrid 6", "", "", "-fineGrid 6 is above -coarseGrid 5; the largest value is 5"},
        {"-postSmooth -1", "", "", "-postSmooth must not be negative"},
        {"-divSmooth -2", "", "", "-divSmooth must be between 0 and 1000 (got -2)"},
        {"-preset calm", "", "", "unknown preset 'calm' for option -preset"},
        {"-refine 101", "", "", "invalid value '101' for option -refine"},
        // No div-curl term: singular block systems give NaN winds, which no file may hold.
        {"-lambda 0", "", "", "the winds of layer 0 at time step 1 are not finite numbers"},
        {"-inImage none.txt", "", "", "Error : cannot open the image list 'none.txt'"},
        {"", "inImage_3D.txt", "./L0_t0.pgm\r\n./L0_t1.pgm\n",
         "'./inImage_3D.txt' holds 2 paths; 12 are needed"},
        {"", "inDensity.txt", "1.0\nnan\n",
         "density nan of layer 1 in './inDensity.txt' is not a finite positive number"},
        {"", "L1_t1.pgm", "P5\n16 12\n1023\n" + std::string(384, '\0'),
         "image ./L1_t1.pgm is 16 x 12; every image of the run must be 16 x 16"},
        {"", "L0_t0.pgm", std::string("P5\n2 1\n1023\n\x03\xFF\0\x07", 16),
         "'./L0_t0.pgm': sample 65283 above 1023"},
        {"", "inImage_3D.txt", no_such, "Unknown file name: ./no such.pgm\n"},
        {"-crop 1 -dx 8 -dy 8 -ofx 9", "", "", "crop window of 8 x 8 at column 9, line 0"},
        {"-outDir L0_t0.pgm/x", "", "", "cannot create the output folder 'L0_t0.pgm/x'"},
        {"-outDir out", "inImage_3D.txt",
         "./L0_t0.pgm\n./L0_t1.pgm\n./L0_t1.pgm\n./L0_t2.pgm\n./x/L0_t0.pgm\n" + no_such,
         "the t images './L0_t0.pgm' and './x/L0_t0.pgm' have the same file name"},
        {"-init 1", "L0_t0.pgm.xaf", std::string("\0\x08\0\x08", 4) + std::string(256, '\1'),
         "initial motion-field file ./L0_t0.pgm.xaf is 8 x 8; the working size is 32 x 32"},
        // A folder in the way of a temporary file: the ones before it are written, not those after.
        {"", "temp2D_Lay23.xaf", "/", "'./temp2D_Lay23.xaf'"},
        {"", "tempUp_Lay1.matlab", "/", "'./tempUp_Lay1.matlab'"},
        // 2048 bytes per file: the 1028-byte motion-field files fit, the field tables do not.
        {"sh -c \"trap '' XFSZ; ulimit -f 4; exec '" + program_path() +
             "' -nbTimeSample 2 -nbLayers 1 -coarseGrid 2\"",
         "L0_t0.pgm_3D.motion", "previous\n",
         "cannot write the field table './L0_t0.pgm_3D.motion': File too large"},
        // 4096 bytes: the three layers' field tables fail side by side, one names its file.
        {"sh -c \"trap '' XFSZ; ulimit -f 8; exec '" + program_path() +
             "' -nbTimeSample 2 -nbLayers 3 -coarseGrid 2 -threads 3\"",
         "L0_t0.pgm_3D.motion", "previous\n", "cannot write the field table './L"},
    };
    int k = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args + " / " + c.message);
        const std::string dir = scratch_dir("bad" + std::to_string(k++));
        write_translation_sequence(dir, 16, 16, 3, 3, 0.5, 0.25);
        if (c.bytes == "/")
            fs::create_directory(dir + "/" + c.file);
        else if (!c.file.empty())
            write_file(dir + "/" + c.file, c.bytes);
        const auto before = outputs_of(dir);
        const Result r = c.args.rfind("sh ", 0) == 0
                             ? run_in(dir, "/bin/sh", c.args.substr(3))
                             : run_in(dir, program_path(), "-nbTimeSample 3 " + c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE((r.out + r.err).find(c.message), std::string::npos) << r.out << r.err;
        const auto after = outputs_of(dir);
        for (const auto& [name, bytes] : after)
            EXPECT_TRUE(before.count(name) ? bytes == before.at(name) : complete(name, bytes))
                << name;
        for (const auto& e : fs::directory_iterator(dir))
            EXPECT_NE(e.path().extension(), ".part") << e.path();
        if (c.bytes == "/") {  // written in the fixed order
            const bool lay23 = c.file == "temp2D_Lay23.xaf";
            EXPECT_EQ(after.count("temp2D_Lay12.xaf"), 1u);
            EXPECT_EQ(after.count(lay23 ? "tempUp_Lay1.matlab" : "temp2D_Lay23.xaf"),
                      lay23 ? 1u : 0u);
            EXPECT_EQ(after.count("tempUp_Lay2.matlab"), 0u);
        }
    }
}

// Three layers moved by the same translation over two time steps, one coarser resolution: the
// console lines, every result file with its name and real size (30 x 26, not a multiple of the
// blocks), the temporary files, and the wind recovered to less than a third of its length.
TEST(EndToEnd, TranslationIsRecoveredAndEveryFileIsWrittenAtTheRealSize) {
    const int nc = 30, nl = 26;
    const double du = 1.2, dv = -0.6;
    const std::string d = scratch_dir("e2e");
    write_translation_sequence(d, nc, nl, 3, 3, du, dv);
    const Result r = run_in(d, program_path(), "-nbTimeSample 3 -coarseResol 1 -coarseGrid 2");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::string stars = "*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*- ";
    for (const std::string& text : std::vector<std::string>{
             "\n\n\n*-*-*-*-*-* Reading density values*-*-*-*-*-*-*-*-*-*- \nsurface layer: 0 with "
             "density: 1.22523\nsurface layer: 1 with density: 1\nsurface layer: 2 with density: "
             "0.8\nsurface layer: 3 with density: 0.6\n\n\n\n" +
                 stars + "\n" + stars + "\nProcessing time 1\n" + stars +
                 "\n\nInput files for layer  0 \nImage t : "
                 "./L0_t0.pgm\nImage t+dt : ./L0_t1.pgm\nInput files for layer  1 \n",
             "Image t+dt : ./L2_t2.pgm\n\n\n",
             "\nwriting estimated fields ...\n" + stars + "\nProcessing time 2\n",
             "horizontale : ", ",\tvertical : ", "\nconvergence "})
        EXPECT_NE(r.out.find(text), std::string::npos) << text;
    EXPECT_EQ(lines_of(r.out).back().rfind("Processing time duration (sec): ", 0), 0u);
    for (const char* line :
         {"Initial grid: 4 X 4 blocks of size 4 X 4", "Initial grid: 8 X 8 blocks of size 4 X 4",
          "**** Resolution 1 grid level 2  **** ", "**** Resolution 0 grid level 0  **** "})
        EXPECT_TRUE(contains_line(r.err, line)) << line;
    for (int step = 0; step < 2; ++step)
        for (int l = 0; l < 3; ++l) {
            const std::string P =
                d + "/L" + std::to_string(l) + "_t" + std::to_string(step) + ".pgm";
            EXPECT_EQ(slurp(P + "_3D.xaf").substr(0, 4), std::string("\0\x1a\0\x1e", 4));
            EXPECT_EQ(fs::file_size(P + "_3D.xaf"), 4u + 4u * nc * nl);
            const auto table = lines_of(slurp(P + "_3D.motion"));
            EXPECT_EQ(table.size(), 2u + nc * nl);
            EXPECT_EQ(table[0], "30 26");
            EXPECT_EQ(fs::exists(P + "_3D.motionUp"), l >= 1);
            if (l >= 1) {
                EXPECT_EQ(fs::file_size(P + "_3D.motionUp"), 4u * nc * nl);
                EXPECT_EQ(lines_of(slurp(P + "_3D.motionUpMatlab")).size(), std::size_t(nl));
            }
            EXPECT_LT(mean_endpoint_error(P + "_3D.xaf", nc, nl, du, dv, 6), 0.4) << P;  // of 1.34
        }
    for (const char* t : {"temp2D_Lay01.xaf", "temp2D_Lay12.xaf", "temp2D_Lay23.xaf",
                          "tempUp_Lay1.matlab", "tempUp_Lay2.matlab"})
        EXPECT_TRUE(fs::exists(d + "/" + t)) << t;
}

// One-layer runs compared with each other: a crop window gives the results of the same window
// cut beforehand; t samples above 1021 are all saturated alike (1022 as 1023), 1021 is not; the
// initial fields replace a coarser resolution (and a single layer makes no vertical pass); a
// level's first pass is never its last.
TEST(EndToEnd, CropWindowSaturationAndInitialFieldsSeenThroughTheResults) {
    const int n = 16;
    auto folder = [&](const std::string& name) {
        const std::string d = scratch_dir(name);
        write_translation_sequence(d, n, n, 1, 2, 0.5, 0.25);
        return d;
    };
    auto run = [&](const std::string& d, const std::string& args) {
        const Result r =
            run_in(d, program_path(), "-nbTimeSample 2 -nbLayers 1 -coarseGrid 2 " + args);
        EXPECT_EQ(r.status, 0) << d << r.out << r.err;
        return std::make_pair(r, outputs_of(d));
    };
    // The crop window at column 5, line 3 of 24 x 20 images holds the 16 x 16 texture.
    const std::string crop = folder("crop");
    for (int t = 0; t < 2; ++t) {
        std::vector<int> s(24 * 20);
        for (int k = 0; k < 24 * 20; ++k)
            s[k] = std::lround(texture(k % 24 - 5 - t * 0.5, k / 24 - 3 - t * 0.25, 0));
        write_pgm10(crop + "/L0_t" + std::to_string(t) + ".pgm", 24, 20, s);
    }
    EXPECT_EQ(run(crop, "-crop 1 -ofx 5 -ofy 3 -dx 16 -dy 16").second,
              run(folder("cut"), "").second);

    std::map<std::string, std::string> saturated[3];
    for (int value : {1021, 1022, 1023}) {
        const std::string d = folder("s" + std::to_string(value));
        std::vector<int> s(n * n);
        for (int k = 0; k < n * n; ++k)
            s[k] = k >= 40 && k < 80 ? value : std::lround(texture(k % n, k / n, 0));
        write_pgm10(d + "/L0_t0.pgm", n, n, s);
        saturated[value - 1021] = run(d, "").second;
    }
    EXPECT_EQ(saturated[1], saturated[2]);
    EXPECT_NE(saturated[1], saturated[0]);

    const std::string d = folder("init");
    std::vector<float> u(n * n, 0.5f), v(n * n, 0.25f);
    short e = 0;
    write_field((d + "/L0_t0.pgm.xaf").c_str(), u.data(), v.data(), n, n, &e);
    const Result init = run(d, "-init 1 -coarseResol 2").first;
    EXPECT_NE(init.err.find("\nNo multiresolution scheme with initialisation 3D\n"),
              std::string::npos);
    EXPECT_TRUE(contains_line(init.out, "./L0_t0.pgm.xaf"));
    EXPECT_EQ(init.err.find("Resolution 2"), std::string::npos);
    EXPECT_NE(init.out.find(",\tvertical : 1\n"), std::string::npos);

    // A flat image has no active block: the first pass of the coarsest level ends at its first
    // repetition, but the first pass of a level is never the converged one.
    const std::string f = folder("flat");
    for (const char* t : {"/L0_t0.pgm", "/L0_t1.pgm"})
        write_pgm10(f + t, n, n, std::vector<int>(n * n, 500));
    const Result flat = run(f, "").first;
    EXPECT_EQ(flat.out.find("horizontale : 1,\tvertical : 1\nhorizontale : 1,\tvertical : 1\n"
                            "convergence accomplish within 2 iterations \n"),
              flat.out.find("horizontale : "));
    EXPECT_EQ(flat.out.find("within 1 iterations"), std::string::npos);
}

// Noise of no motion never settles: every level runs its 100 alternation passes, and vertical
// passes stop at their 500 sweeps.
TEST(EndToEnd, PassesThatNeverSettleStopAtTheirBounds) {
    const std::string d = scratch_dir("noise");
    std::mt19937 g(3);
    for (const char* name : {"N0_t0.pgm", "N0_t1.pgm", "N1_t0.pgm", "N1_t1.pgm"}) {
        std::vector<int> s(64);
        for (int& x : s) x = static_cast<int>(g() % 1001);
        write_pgm10(d + "/" + name, 8, 8, s);
    }
    write_file(d + "/inImage_3D.txt", "./N0_t0.pgm\n./N0_t1.pgm\n./N1_t0.pgm\n./N1_t1.pgm\n");
    write_file(d + "/inDensity.txt", "1\n0.8\n");
    const Result r = run_in(d, program_path(), "-nbTimeSample 2 -coarseGrid 1 -sigmaData 1000");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(contains_line(r.out, "convergence not reached within 100 iterations  "));
    EXPECT_NE(r.out.find(",\tvertical : 500\n"), std::string::npos);
    EXPECT_EQ(r.out.find(",\tvertical : 501\n"), std::string::npos);
}
