// Accuracy of an estimator run on a sample written by make_layered_sample. For every layer and
// time step it compares the estimated horizontal wind "<t image>_3D.xaf" with the truth, and for
// every interior interface the estimated vertical wind "<t image of the layer above>_3D.motionUp"
// with the truth, over the image without a margin, beside the same figures for a zero estimate.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "fail.h"
#include "image_list.h"
#include "output_paths.h"
#include "tool_options.h"
#include "io_field.h"
#include "sample_files.h"

namespace {

const double kRadToDeg = 57.295779513082320876;

struct Options {
    std::string dir = ".";
    std::string image_list = "./inImage_3D.txt";
    std::string out_dir;  // the run's -outDir, relative to dir unless absolute; empty: none
    int nb_seq = 3, nb_layers = 3, margin = 8;
};

void usage(const char* prog) {
    std::printf(
        "usage: %s [-dir DIR] [-inImage FILE] [-nbTimeSample S] [-nbLayers L] [-margin M]\n"
        "          [-outDir OUT]\n"
        "Prints, per layer and time step, the mean endpoint error (px/step) and the mean angular\n"
        "error (degrees, 3-D angle of (u, v, 1)) of the estimated horizontal wind and, per\n"
        "interface, the RMS error and the correlation of the estimated vertical wind, each beside\n"
        "the figure of a zero estimate. Pixels closer than M to the border are left out.\n"
        "  -dir DIR          sample folder (default .)\n"
        "  -inImage FILE     image list, relative to DIR unless absolute (default "
        "./inImage_3D.txt)\n"
        "  -nbTimeSample S   time samples per sequence (default 3)\n"
        "  -nbLayers L       layers (default 3)\n"
        "  -margin M         border width left out, pixels (default 8)\n"
        "  -outDir OUT       the results of a run made with -outDir OUT (relative to DIR unless\n"
        "                    absolute; default: beside the t images)\n",
        prog);
}

int parse_int(const char* flag, const char* text) {
    return int(option_integer(flag, text, -1000000, 1000000));
}

Options parse_options(int argc, char** argv) {
    Options o;
    for (int a = 1; a < argc; ++a) {
        const std::string flag = argv[a];
        const char* value = option_value(argc, argv, &a, usage);
        if (flag == "-dir")
            o.dir = value;
        else if (flag == "-inImage")
            o.image_list = value;
        else if (flag == "-nbTimeSample")
            o.nb_seq = parse_int("-nbTimeSample", value);
        else if (flag == "-nbLayers")
            o.nb_layers = parse_int("-nbLayers", value);
        else if (flag == "-margin")
            o.margin = parse_int("-margin", value);
        else if (flag == "-outDir")
            o.out_dir = value;
        else
            fail("unknown option %s (see -h)", flag.c_str());
    }
    if (o.nb_seq < 2) fail("-nbTimeSample %d: at least 2 time samples are needed", o.nb_seq);
    if (o.nb_layers < 1) fail("-nbLayers %d: at least 1 layer is needed", o.nb_layers);
    if (o.margin < 0) fail("-margin %d is negative", o.margin);
    return o;
}

std::string in_dir(const Options& o, const std::string& path) {
    return std::filesystem::path(path).is_absolute() ? path : o.dir + "/" + path;
}

// The path the result files of t image P start with, as the program names them.
std::string result_of(const Options& o, const std::string& P) {
    return in_dir(o, result_base(P, o.out_dir));
}

// An xaf field of the expected size (header and length checked), or a clear failure.
void read_xaf(const std::string& path, int nc, int nl, std::vector<float>& u,
              std::vector<float>& v) {
    std::error_code ec;
    const auto bytes = std::filesystem::file_size(path, ec);
    if (ec) fail("cannot open %s", path.c_str());
    short fc = 0, fl = 0, err = 0;
    read_entete_field(path.c_str(), &fc, &fl, &err);
    if (err != 0 || fc != nc || fl != nl)
        fail("%s holds a %d x %d field, expected %d x %d", path.c_str(), fc, fl, nc, nl);
    const std::size_t n = std::size_t(nc) * nl;
    if (bytes != 4 + 4 * n)
        fail("%s holds %ju bytes, expected %zu for a %d x %d field", path.c_str(), uintmax_t(bytes),
             4 + 4 * n, nc, nl);
    u.assign(n, 0.0f);
    v.assign(n, 0.0f);
    read_field(path.c_str(), u.data(), v.data(), short(nc), short(nl), &err);
    if (err != 0) fail("cannot read %s", path.c_str());
}

struct HorizontalErrors {
    double endpoint = 0, angle = 0;  // means, px/step and degrees
};

// Angle between (u, v, 1) and (ut, vt, 1), Barron's measure, in degrees.
double angular_error(double u, double v, double ut, double vt) {
    const double c =
        (u * ut + v * vt + 1.0) / std::sqrt((u * u + v * v + 1.0) * (ut * ut + vt * vt + 1.0));
    return std::acos(std::fmax(-1.0, std::fmin(1.0, c))) * kRadToDeg;
}

HorizontalErrors horizontal_errors(const std::vector<float>& u, const std::vector<float>& v,
                                   const std::vector<float>& ut, const std::vector<float>& vt,
                                   int nc, int nl, int margin) {
    HorizontalErrors e;
    long count = 0;
    for (int i = margin; i < nl - margin; ++i)
        for (int j = margin; j < nc - margin; ++j) {
            const std::size_t k = std::size_t(i) * nc + j;
            e.endpoint += std::hypot(double(u[k]) - ut[k], double(v[k]) - vt[k]);
            e.angle += angular_error(u[k], v[k], ut[k], vt[k]);
            ++count;
        }
    e.endpoint /= count;
    e.angle /= count;
    return e;
}

struct VerticalErrors {
    double rms = 0;
    double correlation = NAN;  // Pearson; undefined when either field is constant
};

VerticalErrors vertical_errors(const std::vector<float>& w, const std::vector<float>& wt, int nc,
                               int nl, int margin) {
    // Two passes: the means, then the centred sums (no cancellation for near-constant fields).
    double mw = 0, mt = 0;
    long count = 0;
    for (int i = margin; i < nl - margin; ++i)
        for (int j = margin; j < nc - margin; ++j) {
            const std::size_t k = std::size_t(i) * nc + j;
            mw += w[k];
            mt += wt[k];
            ++count;
        }
    mw /= count;
    mt /= count;
    double cww = 0, ctt = 0, cwt = 0, se = 0;
    for (int i = margin; i < nl - margin; ++i)
        for (int j = margin; j < nc - margin; ++j) {
            const std::size_t k = std::size_t(i) * nc + j;
            const double a = w[k] - mw, b = wt[k] - mt, d = double(w[k]) - wt[k];
            cww += a * a;
            ctt += b * b;
            cwt += a * b;
            se += d * d;
        }
    VerticalErrors e;
    e.rms = std::sqrt(se / count);
    if (cww > 0 && ctt > 0) e.correlation = cwt / std::sqrt(cww * ctt);
    return e;
}

std::string format_correlation(double c) {
    if (std::isnan(c)) return "    n/a";
    char text[32];
    std::snprintf(text, sizeof text, "%7.4f", c);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse_options(argc, argv);
    const int steps = o.nb_seq - 1, L = o.nb_layers;
    const ImageList list = read_image_list(in_dir(o, o.image_list), o.nb_seq, L);
    if (!list.problem.empty()) fail("%s", list.problem.c_str());
    const std::vector<std::string>& names = list.paths;

    // The size comes from the first truth file; every other file must match it.
    const std::string first_truth = in_dir(o, truth_wind_name(0, 0));
    std::error_code ec;
    if (!std::filesystem::exists(first_truth, ec)) fail("cannot open %s", first_truth.c_str());
    short nc = 0, nl = 0, err = 0;
    read_entete_field(first_truth.c_str(), &nc, &nl, &err);
    if (err != 0 || nc <= 0 || nl <= 0) fail("cannot read the header of %s", first_truth.c_str());
    if (nc <= 2 * o.margin || nl <= 2 * o.margin)
        fail("margin %d leaves no interior in a %d x %d field", o.margin, nc, nl);
    const std::size_t n = std::size_t(nc) * nl;

    std::printf("Sample %s: %d layers, %d time steps, %d x %d, interior %d x %d (margin %d)\n",
                o.dir.c_str(), L, steps, nc, nl, nc - 2 * o.margin, nl - 2 * o.margin, o.margin);
    std::printf(
        "Horizontal wind: mean endpoint error EPE (px/step), mean angular error AE (deg)\n");
    std::vector<float> u, v, ut, vt;
    const std::vector<float> zero(n, 0.0f);
    HorizontalErrors sum, sum_zero;
    for (int l = 0; l < L; ++l)
        for (int i = 0; i < steps; ++i) {
            read_xaf(in_dir(o, truth_wind_name(l, i)), nc, nl, ut, vt);
            read_xaf(result_of(o, names[std::size_t(2) * steps * l + 2 * i]) + "_3D.xaf", nc, nl, u,
                     v);
            const HorizontalErrors e = horizontal_errors(u, v, ut, vt, nc, nl, o.margin);
            const HorizontalErrors z = horizontal_errors(zero, zero, ut, vt, nc, nl, o.margin);
            std::printf(
                "layer %d step %d: EPE %8.4f  AE %8.3f | zero motion: EPE %8.4f  AE %8.3f\n", l, i,
                e.endpoint, e.angle, z.endpoint, z.angle);
            sum.endpoint += e.endpoint;
            sum.angle += e.angle;
            sum_zero.endpoint += z.endpoint;
            sum_zero.angle += z.angle;
        }
    const double count = double(L) * steps;
    std::printf("all layers:   EPE %8.4f  AE %8.3f | zero motion: EPE %8.4f  AE %8.3f\n",
                sum.endpoint / count, sum.angle / count, sum_zero.endpoint / count,
                sum_zero.angle / count);

    if (L > 1) {
        std::printf("Vertical wind at the interfaces: RMS error, correlation with the truth\n");
        std::vector<float> w(n), wt(n);
        for (int k = 1; k < L; ++k)
            for (int i = 0; i < steps; ++i) {
                read_raw_float(in_dir(o, truth_vertical_name(k, i)), wt.data(), n);
                read_raw_float(
                    result_of(o, names[std::size_t(2) * steps * k + 2 * i]) + "_3D.motionUp",
                    w.data(), n);
                const VerticalErrors e = vertical_errors(w, wt, nc, nl, o.margin);
                const VerticalErrors z = vertical_errors(zero, wt, nc, nl, o.margin);
                std::printf("interface %d step %d: RMS %10.6f  corr %s | zero: RMS %10.6f\n", k, i,
                            e.rms, format_correlation(e.correlation).c_str(), z.rms);
            }
    }
    return 0;
}
