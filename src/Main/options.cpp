#include "options.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

#include "fail.h"

namespace {

const char* const kBold = "\x1b[1m";
const char* const kReset = "\x1b[0;0;0m";
const char* const kMagenta = "\x1b[0;35;59m";
const char* const kUnderlinedRed = "\x1b[4;31;59m";

// Every flag of the program, in the order of the usage screen; each takes one value ("-h" alone
// takes none). An argument that starts with '-' and is neither one of these, the value of one of
// them nor a number is named on standard error before the run.
// clang-format off
const char* const kOptionFlags[] = {
    "-inImage",
    "-inDensity",
    "-nbTimeSample",
    "-nbLayers",
    "-crop",
    "-ofy",
    "-ofx",
    "-dy",
    "-dx",
    "-coarseResol",
    "-coarseGrid",
    "-alpha",
    "-lambda",
    "-beta",
    "-sigmaData",
    "-SigmaReg",
    "-SigmaRegW",
    "-init",
    "-fineGrid",
    "-warp",
    "-postSmooth",
    "-postSmoothW",
    "-divSmooth",
    "-border",
    "-mask",
    "-preset",
    "-refine",
    "-refineAlpha",
    "-fast",
    "-threads",
    "-outDir",
    "-record",
    "-summary",
};
// clang-format on

bool is_option_flag(const char* text) {
    for (const char* flag : kOptionFlags)
        if (std::strcmp(text, flag) == 0) return true;
    return false;
}

// A whole argument that reads as a decimal number ("-3", "-0.5e2"): the value of an option.
bool is_number(const char* text) {
    char* end = nullptr;
    std::strtod(text, &end);
    return end != text && *end == '\0';
}

class OptionReader {
  public:
    OptionReader(int argc, char** argv) : argc_(argc), argv_(argv) {
        for (int k = 1; k < argc; ++k)
            if (std::strcmp(argv[k], "-h") == 0) help_ = true;
        if (help_) {
            const char* base = std::strrchr(argv[0], '/');
            base = base ? base + 1 : argv[0];
            std::fprintf(stderr, "\n %s%s%s", kUnderlinedRed, base, kReset);
            std::fprintf(stderr, " : %s", "3D layered atmospheric motion estimation");
            std::fprintf(stderr, " (%s, %s)\n\n", __DATE__, __TIME__);
        }
    }

    // The value text of the first occurrence of flag: the next argument, or the flag's own
    // text when it is the last argument; null when the flag does not occur.
    const char* lookup(const char* flag, bool* last) const {
        if (!is_option_flag(flag))
            fail("option %s is read but missing from the option table", flag);
        *last = false;
        for (int k = 1; k < argc_; ++k) {
            if (std::strcmp(argv_[k], flag) != 0) continue;
            if (k + 1 < argc_) return argv_[k + 1];
            *last = true;
            return argv_[k];
        }
        return nullptr;
    }

    std::string text(const char* flag, const char* def, const char* help) const {
        bool last;
        const char* val = lookup(flag, &last);
        std::string out = val ? val : def;
        usage_line(flag, out.c_str(), help);
        return out;
    }

    long integer(const char* flag, long def, const char* help, long lo, long hi) const {
        bool last;
        const char* val = lookup(flag, &last);
        long out = def;
        if (val) {
            char* end = nullptr;
            errno = 0;
            out = std::strtol(val, &end, 10);
            if (last || end == val || !trailing_blank(end) || errno == ERANGE || out < lo ||
                out > hi)
                invalid(val, flag);
        }
        char buf[32];
        std::snprintf(buf, sizeof buf, "%ld", out);
        usage_line(flag, buf, help);
        return out;
    }

    float real(const char* flag, float def, const char* help) const {
        bool last;
        const char* val = lookup(flag, &last);
        float out = def;
        if (val) {
            char* end = nullptr;
            const double d = std::strtod(val, &end);
            if (last || end == val || !trailing_blank(end) || !std::isfinite(d) ||
                std::fabs(d) > 3.0e38)
                invalid(val, flag);
            out = static_cast<float>(d);
        }
        char buf[64];
        std::snprintf(buf, sizeof buf, "%g", static_cast<double>(out));
        usage_line(flag, buf, help);
        return out;
    }

  private:
    static bool trailing_blank(const char* s) {
        while (*s == ' ' || *s == '\t' || *s == '\n' || *s == '\r') ++s;
        return *s == '\0';
    }
    [[noreturn]] static void invalid(const char* val, const char* flag) {
        fail(FailStyle::Banner, "Error : invalid value '%s' for option %s", val, flag);
    }
    void usage_line(const char* flag, const char* value, const char* help) const {
        if (!help_) return;
        std::fprintf(stderr, "    %s%-8s%s = %-12s : %s%s%s\n", kBold, flag, kReset, value,
                     kMagenta, help, kReset);
    }

    int argc_;
    char** argv_;
    bool help_ = false;
};

}  // namespace

namespace {

// The recommended settings per kind of data (-preset NAME), as options. TODO(pyramid depth):
// a fixed -coarseResol each until the number of resolutions is chosen from the images.
struct Preset {
    const char* name;
    const char* options;
};
const Preset kPresets[] = {
    {"smooth",
     "-alpha 3000 -lambda 30 -beta 20000 -fineGrid 1 -warp bspline -coarseResol 1 -refine 1 "
     "-divSmooth 12"},
    {"turbulent",
     "-alpha 600 -lambda 10 -beta 20000 -coarseGrid 3 -fineGrid 1 -warp bspline -divSmooth 32"},
    {"radar",
     "-alpha 3000 -lambda 30 -beta 20000 -fineGrid 1 -warp bspline -coarseResol 2 -refine 1 "
     "-divSmooth 12"},
};

}  // namespace

// The command line with the options of "-preset NAME" appended: the lookup takes the first
// occurrence of a flag, so an option given explicitly, before or after the preset, wins.
std::vector<std::string> expand_preset(int argc, char** argv) {
    std::vector<std::string> args(argv, argv + argc);
    for (int k = 1; k < argc; ++k) {
        if (std::strcmp(argv[k], "-preset") != 0) continue;
        if (k + 1 >= argc)
            fail(FailStyle::Banner, "Error : invalid value '%s' for option -preset", argv[k]);
        const Preset* found = nullptr;
        for (const Preset& p : kPresets)
            if (std::strcmp(p.name, argv[k + 1]) == 0) found = &p;
        if (!found)
            fail(FailStyle::Banner,
                 "Error : unknown preset '%s' for option -preset (smooth, turbulent or radar)",
                 argv[k + 1]);
        std::istringstream words(found->options);
        for (std::string w; words >> w;) args.push_back(w);
        break;
    }
    return args;
}

RunParameters parse_options(int argc, char** argv) {
    std::vector<std::string> expanded = expand_preset(argc, argv);
    std::vector<char*> args;
    for (std::string& a : expanded) args.push_back(a.data());
    const OptionReader opt(static_cast<int>(args.size()), args.data());
    RunParameters p;
    p.ifn1 = opt.text("-inImage", "./inImage_3D.txt", " text file with input image paths");
    p.ifn2 = opt.text("-inDensity", "./inDensity.txt",
                      " text file with input average (in time and space) layer densities");
    p.nb_seq = static_cast<short>(opt.integer(
        "-nbTimeSample", 3, " number of time samples in the image sequences", SHRT_MIN, SHRT_MAX));
    // The number of layers defaults to the number of time samples in effect.
    p.nb_layers = static_cast<short>(
        opt.integer("-nbLayers", p.nb_seq, " number of layers", SHRT_MIN, SHRT_MAX));
    p.crop = static_cast<short>(
        opt.integer("-crop", 0, " image cropping (yes=1/no=0)", SHRT_MIN, SHRT_MAX));
    p.ofy = static_cast<short>(
        opt.integer("-ofy", 0, "offset line number for cropping", SHRT_MIN, SHRT_MAX));
    p.ofx = static_cast<short>(
        opt.integer("-ofx", 0, "offset column number for cropping", SHRT_MIN, SHRT_MAX));
    p.nb_lig_reel = static_cast<short>(
        opt.integer("-dy", 1024, "line number in cropped image", SHRT_MIN, SHRT_MAX));
    p.nb_col_reel = static_cast<short>(
        opt.integer("-dx", 1024, "column number in cropped image", SHRT_MIN, SHRT_MAX));
    bool last_resol = false;
    const char* resol = opt.lookup("-coarseResol", &last_resol);
    p.coarse_resol_given = resol != nullptr;
    p.coarse_resol_auto = resol && !last_resol && std::strcmp(resol, "auto") == 0;
    if (p.coarse_resol_auto)
        opt.text("-coarseResol", "auto",
                 "coarsest scale for multiresolution (no 2 stage scheme initialization)");
    else
        p.Coarse_resol = static_cast<short>(
            opt.integer("-coarseResol", 0,
                        "coarsest scale for multiresolution (no 2 stage scheme initialization)",
                        SHRT_MIN, SHRT_MAX));
    p.Coarse_scale = static_cast<short>(opt.integer(
        "-coarseGrid", 5, "coarsest grid of multigrid optimization", SHRT_MIN, SHRT_MAX));
    p.lambda = opt.real("-alpha", 700, "global div-curl regularization coefficient");
    p.coef_regul =
        opt.real("-lambda", 150, "regularization coeficient within the div-curl functionnal");
    p.betaW = opt.real("-beta", 5000, "coefficient regularization vertical winds ");
    p.sigma1 = opt.real("-sigmaData", 9, "coefficient Phi-functions for robust data term");
    p.sigma_inter = opt.real("-SigmaReg", 1000,
                             "coefficient Phi-functions for robust div-curl regularization term");
    p.sigma_W = opt.real("-SigmaRegW", 1000,
                         "coefficient Phi-functions for robust regularization vertical wind");
    p.Init3D = static_cast<int>(opt.integer(
        "-init", 0,
        " init. with (cropped) 2D motion estimates (name syntax 'inputImageFileNames.xaf') in "
        "'xaf' format (yes=1/no=0)  ",
        INT_MIN, INT_MAX));

    p.fineGrid = static_cast<short>(opt.integer(
        "-fineGrid", 0, "finest grid of multigrid optimization (blocks of 2^N pixels)", 0, 14));
    const std::string warp =
        opt.text("-warp", "bilinear", "interpolation of the image registration (bilinear|bspline)");
    if (warp != "bilinear" && warp != "bspline")
        fail(FailStyle::Banner, "Error : invalid value '%s' for option -warp", warp.c_str());
    p.warp_bspline = warp == "bspline";
    p.postSmooth =
        opt.real("-postSmooth", 0, "std. dev. (pixels) of a Gaussian smoothing the output winds");
    p.postSmoothW = opt.real(
        "-postSmoothW", 0, "std. dev. (pixels) of a Gaussian smoothing the output vertical winds");
    p.divSmooth = opt.real("-divSmooth", 0,
                           "std. dev. (pixels) of a Gaussian smoothing the divergence in the "
                           "mass-conservation term (0 = none)");
    if (p.postSmooth < 0.0f)
        fail(FailStyle::Banner, "Error : option -postSmooth must not be negative (got %g)",
             static_cast<double>(p.postSmooth));
    if (p.postSmoothW < 0.0f)
        fail(FailStyle::Banner, "Error : option -postSmoothW must not be negative (got %g)",
             static_cast<double>(p.postSmoothW));
    if (!(p.divSmooth >= 0.0f && p.divSmooth <= 1000.0f))
        fail(FailStyle::Banner, "Error : option -divSmooth must be between 0 and 1000 (got %g)",
             static_cast<double>(p.divSmooth));
    const std::string border =
        opt.text("-border", "zero",
                 "image border: padded frame of zeros, or edge samples and no data term "
                 "outside the image (zero|replicate)");
    if (border != "zero" && border != "replicate")
        fail(FailStyle::Banner, "Error : invalid value '%s' for option -border", border.c_str());
    p.border_replicate = border == "replicate";
    p.masks = opt.integer("-mask", 0,
                          "read a mask 'NAME_mask.pgm' per image 'NAME.pgm': masked samples take "
                          "no data term (yes=1/no=0)",
                          0, 1) == 1;
    opt.text("-preset", "none", "recommended settings for a kind of data (smooth|turbulent|radar)");
    p.refine = static_cast<int>(opt.integer(
        "-refine", 0, "warps of the pixel-level refinement after the finest grid (0 = none)", 0,
        100));
    p.refineAlpha = opt.real("-refineAlpha", -1,
                             "div-curl weight of the refinement (negative: the value of -alpha)");
    p.fast = opt.integer("-fast", 0,
                         "fast mode: block sums in double, auxiliary fits in float, repetitions "
                         "end once the winds move by less than 0.001 px on average (0.005 px "
                         "with blocks of 4 px or less, 0.0005 px with -divSmooth) "
                         "(yes=1/no=0)",
                         0, 1) == 1;
    // Worker threads; the results do not depend on them.
    p.threads =
        static_cast<int>(opt.integer("-threads", 0, "number of threads (0 = all cores)", 0, 1024));
    // Where the files go and what the run reports about itself; no result depends on them.
    p.outDir = opt.text("-outDir", "", "folder of the results and temporary files (created)");
    p.record = opt.text("-record", "", "run record, JSON (default DIR/run.json with -outDir)");
    p.summary = opt.integer("-summary", 0, "fit summary per step and layer on stderr (yes=1/no=0)",
                            0, 1) == 1;
    return p;
}

std::vector<std::string> unknown_options(int argc, char** argv) {
    std::vector<std::string> unknown;
    for (int k = 1; k < argc; ++k) {
        const char* arg = argv[k];
        if (is_option_flag(arg)) {
            ++k;  // its value
            continue;
        }
        if (arg[0] != '-' || std::strcmp(arg, "-h") == 0 || is_number(arg)) continue;
        if (std::find(unknown.begin(), unknown.end(), arg) == unknown.end()) unknown.push_back(arg);
    }
    return unknown;
}

void check_parameters(const RunParameters& p) {
    if (p.nb_seq <= 1) fail(FailStyle::Banner, "Error : two image sets are at least required");
    if (p.Coarse_resol < 0 || p.Coarse_resol > 3)
        fail(FailStyle::Banner, "Error : option -coarseResol must be between 0 and 3 (got %d)",
             p.Coarse_resol);
    if (p.Coarse_scale < 0)
        fail(FailStyle::Banner, "Error : option -coarseGrid must not be negative (got %d)",
             p.Coarse_scale);
    if (p.Coarse_resol + p.Coarse_scale > 14)
        fail(FailStyle::Banner,
             "Error : option -coarseGrid %d is too large: with -coarseResol %d the largest value "
             "is %d",
             p.Coarse_scale, p.Coarse_resol, 14 - p.Coarse_resol);
    if (p.nb_layers < 1)
        fail(FailStyle::Banner, "Error : option -nbLayers must be at least 1 (got %d)",
             p.nb_layers);
    if (!(p.sigma_inter > 0.0f))
        fail(FailStyle::Banner, "Error : option -SigmaReg must be greater than 0 (got %g)",
             static_cast<double>(p.sigma_inter));
    if (!(p.sigma_W > 0.0f))
        fail(FailStyle::Banner, "Error : option -SigmaRegW must be greater than 0 (got %g)",
             static_cast<double>(p.sigma_W));
    if (p.crop == 1) {
        if (p.nb_col_reel < 1)
            fail(FailStyle::Banner, "Error : option -dx must be at least 1 (got %d)",
                 p.nb_col_reel);
        if (p.nb_lig_reel < 1)
            fail(FailStyle::Banner, "Error : option -dy must be at least 1 (got %d)",
                 p.nb_lig_reel);
        if (p.ofx < 0)
            fail(FailStyle::Banner, "Error : option -ofx must not be negative (got %d)", p.ofx);
        if (p.ofy < 0)
            fail(FailStyle::Banner, "Error : option -ofy must not be negative (got %d)", p.ofy);
    }
    if (p.fineGrid > p.Coarse_scale)
        fail(FailStyle::Banner,
             "Error : option -fineGrid %d is above -coarseGrid %d; the largest value is %d",
             p.fineGrid, p.Coarse_scale, p.Coarse_scale);
}
