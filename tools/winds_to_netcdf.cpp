// The results of a run gathered into one CF-1.8 NetCDF-4 file for xarray and the other tools of
// the trade. From the run's image list and counts it finds, for every time step i and layer l
// with t image P, the horizontal wind "P_3D.xaf" and, for l >= 1, the vertical wind of the
// layer's lower interface "P_3D.motionUp", and writes them as u, v (time, layer, y, x) and
// w (time, interface, y, x), with the run's counts, densities and options as attributes. Every
// file is looked for before anything is written: the missing ones are named and no output is
// left.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fail.h"
#include "image_list.h"
#include "output_paths.h"
#include "result_files.h"
#include "run_checks.h"
#include "sample_files.h"
#include "tool_options.h"
#include "winds_netcdf.h"

namespace {

struct Options {
    std::string dir = ".", image_list = "./inImage_3D.txt", densities = "./inDensity.txt";
    std::string out, settings;
    std::string out_dir;  // the run's -outDir, relative to dir unless absolute; empty: none
    int nb_seq = 3, nb_layers = -1;  // -1: as many layers as time samples, as the estimator
    double pixel_size = 0, time_step = 0;
    bool north_up = false;
    RegularAxis x, y, time;
    int deflate = 4;
};

void usage(const char* prog) {
    std::printf(
        "usage: %s -o FILE.nc [-dir DIR] [-inImage FILE] [-inDensity FILE] [-nbTimeSample S]\n"
        "          [-nbLayers L] [-pixel_size METRES -time_step SECONDS] [-north_up]\n"
        "          [-x X0,DX] [-y Y0,DY] [-xy_units U] [-t T0,DT] [-time_units U]\n"
        "          [-settings \"OPTIONS\"] [-deflate N] [-outDir OUT]\n"
        "Writes the winds of a run into one CF-1.8 NetCDF-4 file: u, v (time, layer, y, x) from\n"
        "P_3D.xaf and w (time, interface, y, x) from P_3D.motionUp, P the t image of each layer\n"
        "and step in the image list. u runs along the image columns (to the right), v along the\n"
        "lines (downwards); interface k lies between layers k - 1 and k, and interfaces 0 (the\n"
        "ground) and L (the top) hold 0.\n"
        "  -o FILE.nc         output file (required; relative to the current folder, not to\n"
        "                     -dir), written whole or not at all\n"
        "  -dir DIR           run folder: relative paths start there (default .)\n"
        "  -inImage FILE      image list of the run (default ./inImage_3D.txt)\n"
        "  -inDensity FILE    density file of the run (default ./inDensity.txt)\n"
        "  -nbTimeSample S    time samples per sequence (default 3)\n"
        "  -nbLayers L        layers (default: the number of time samples, as the estimator)\n"
        "  -pixel_size M      metres per pixel; with -time_step, u and v in m s-1\n"
        "  -time_step S       seconds between two images; with -pixel_size\n"
        "  -north_up          columns run east and lines south: u is the eastward wind and v\n"
        "                     the northward wind (the wind along the lines, negated)\n"
        "  -x X0,DX           coordinate x = X0 + j DX of column j (units -xy_units)\n"
        "  -y Y0,DY           coordinate y = Y0 + i DY of line i (units -xy_units)\n"
        "  -xy_units U        units of x and y (default m)\n"
        "  -t T0,DT           coordinate time = T0 + i DT of step i (units -time_units)\n"
        "  -time_units U      units of time, e.g. \"minutes since 2024-06-01 12:00\" (default s)\n"
        "  -settings TEXT     the run's options, stored verbatim as estimator_options\n"
        "  -deflate N         compression level 0 (none) to 9 (default 4)\n"
        "  -outDir OUT        the results of a run made with -outDir OUT (relative to -dir\n"
        "                     unless absolute; default: beside the t images)\n",
        prog);
}

// "START,STEP" as a given regular axis.
RegularAxis parse_axis(const char* flag, const char* text, const std::string& units) {
    const char* comma = std::strchr(text, ',');
    if (!comma) fail("option %s: '%s' is not START,STEP", flag, text);
    RegularAxis a;
    a.given = true;
    a.start = option_number(flag, std::string(text, comma).c_str());
    a.step = option_number(flag, comma + 1);
    a.units = units;
    return a;
}

Options parse_options(int argc, char** argv) {
    Options o;
    std::string xy_units = "m", time_units = "s";
    const char *x = nullptr, *y = nullptr, *t = nullptr;
    for (int a = 1; a < argc; ++a) {
        const std::string flag = argv[a];
        if (flag == "-north_up") {
            o.north_up = true;
            continue;
        }
        const char* value = option_value(argc, argv, &a, usage);
        if (flag == "-o")
            o.out = value;
        else if (flag == "-dir")
            o.dir = value;
        else if (flag == "-inImage")
            o.image_list = value;
        else if (flag == "-inDensity")
            o.densities = value;
        else if (flag == "-nbTimeSample")
            o.nb_seq = int(option_integer("-nbTimeSample", value, 2, 32767));
        else if (flag == "-nbLayers")
            o.nb_layers = int(option_integer("-nbLayers", value, 1, 32767));
        else if (flag == "-pixel_size")
            o.pixel_size = option_number("-pixel_size", value, true);
        else if (flag == "-time_step")
            o.time_step = option_number("-time_step", value, true);
        else if (flag == "-x")
            x = value;
        else if (flag == "-y")
            y = value;
        else if (flag == "-t")
            t = value;
        else if (flag == "-xy_units")
            xy_units = value;
        else if (flag == "-time_units")
            time_units = value;
        else if (flag == "-settings")
            o.settings = value;
        else if (flag == "-outDir")
            o.out_dir = value;
        else if (flag == "-deflate")
            o.deflate = int(option_integer("-deflate", value, 0, 9));
        else
            fail("unknown option %s (see -h)", flag.c_str());
    }
    if (o.out.empty()) fail("the output file is missing: give -o FILE.nc (see -h)");
    if ((o.pixel_size > 0) != (o.time_step > 0))
        fail("-pixel_size and -time_step go together (metres per pixel, seconds per step)");
    if (o.nb_layers < 0) o.nb_layers = o.nb_seq;
    if (x) o.x = parse_axis("-x", x, xy_units);
    if (y) o.y = parse_axis("-y", y, xy_units);
    if (t) o.time = parse_axis("-t", t, time_units);
    return o;
}

// The command line as a shell would take it back: arguments with blanks or quotes in single
// quotes.
std::string command_line(int argc, char** argv) {
    std::string line = "winds_to_netcdf";
    for (int a = 1; a < argc; ++a) {
        const std::string arg = argv[a];
        line += ' ';
        if (!arg.empty() && arg.find_first_of(" \t\n'\"\\$`*?;&|<>()") == std::string::npos) {
            line += arg;
            continue;
        }
        line += '\'';
        for (char c : arg) line += c == '\'' ? std::string("'\\''") : std::string(1, c);
        line += '\'';
    }
    return line;
}

bool exists(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f) std::fclose(f);
    return f != nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse_options(argc, argv);
    const int steps = o.nb_seq - 1, L = o.nb_layers;
    const std::string list_path = run_path(o.dir, o.image_list);
    const ImageList list = read_image_list(list_path, o.nb_seq, L);
    if (!list.problem.empty()) fail("%s", list.problem.c_str());
    auto result = [&](int l, int i, const char* suffix) {
        return run_path(o.dir, result_base(t_image(list.paths, steps, l, i), o.out_dir)) + suffix;
    };

    // Every result file first: the missing ones named together, then the sizes.
    std::vector<std::string> missing;
    for (int i = 0; i < steps; ++i)
        for (int l = 0; l < L; ++l) {
            if (!exists(result(l, i, "_3D.xaf"))) missing.push_back(result(l, i, "_3D.xaf"));
            if (l >= 1 && !exists(result(l, i, "_3D.motionUp")))
                missing.push_back(result(l, i, "_3D.motionUp"));
        }
    if (!missing.empty()) {
        std::string names;
        for (std::size_t k = 0; k < missing.size() && k < 8; ++k)
            names += (k ? ", " : "") + missing[k];
        if (missing.size() > 8) names += ", ... (" + std::to_string(missing.size() - 8) + " more)";
        fail("%zu result file%s of the run %s missing: %s; nothing written to %s", missing.size(),
             missing.size() == 1 ? "" : "s", missing.size() == 1 ? "is" : "are", names.c_str(),
             o.out.c_str());
    }
    WindsDescription d;
    motion_field_size(result(0, 0, "_3D.xaf"), &d.nb_col, &d.nb_lig);
    for (int i = 0; i < steps; ++i)
        for (int l = 0; l < L; ++l) {
            int nc = 0, nl = 0;
            motion_field_size(result(l, i, "_3D.xaf"), &nc, &nl);
            if (nc != d.nb_col || nl != d.nb_lig)
                fail("%s holds a %d x %d field; %s holds %d x %d: one run has one size",
                     result(l, i, "_3D.xaf").c_str(), nc, nl, result(0, 0, "_3D.xaf").c_str(),
                     d.nb_col, d.nb_lig);
        }

    const std::string density_path = run_path(o.dir, o.densities);
    std::FILE* f = std::fopen(density_path.c_str(), "rb");
    if (!f) fail("cannot open the density file %s", density_path.c_str());
    for (int l = 0; l < L; ++l) d.densities.push_back(read_density(f, density_path.c_str(), l, L));
    std::fclose(f);

    d.nb_steps = steps;
    d.nb_layers = L;
    d.pixel_size = o.pixel_size;
    d.time_step = o.time_step;
    d.north_up = o.north_up;
    d.x = o.x;
    d.y = o.y;
    d.time = o.time;
    d.deflate = o.deflate;
    d.text_attributes = {
        {"title", "Layered winds estimated by optic_flow_3DMultilayers"},
        {"source", "optic_flow_3DMultilayers, layered optical flow of greymap image sequences"},
        {"history", command_line(argc, argv)},
        {"comment",
         "u runs along the image columns (x, to the right) and v along the image lines (y, "
         "downwards)" +
             std::string(o.north_up ? "; here the columns run east and the lines south, so v "
                                      "holds the wind along the lines negated (northward)"
                                    : "") +
             ". Time step i is the motion from image i to image i + 1."},
        {"image_list", list_path},
        {"density_file", density_path}};
    if (!o.settings.empty()) d.text_attributes.push_back({"estimator_options", o.settings});
    d.count_attributes = {{"nb_time_samples", o.nb_seq},
                          {"nb_layers", L},
                          {"nb_time_steps", steps},
                          {"image_columns", d.nb_col},
                          {"image_lines", d.nb_lig}};

    WindsNetcdf out(o.out, d);
    const std::size_t n = std::size_t(d.nb_col) * d.nb_lig;
    std::vector<float> w(n);
    for (int i = 0; i < steps; ++i)
        for (int l = 0; l < L; ++l) {
            const MotionField h = read_motion_field(result(l, i, "_3D.xaf"));
            if (h.nb_col != d.nb_col || h.nb_lig != d.nb_lig)
                fail("%s changed while it was read", result(l, i, "_3D.xaf").c_str());
            out.put_horizontal(i, l, h.u.data(), h.v.data());
            if (l == 0) continue;
            read_raw_float(result(l, i, "_3D.motionUp"), w.data(), n);
            out.put_vertical(i, l, w.data());
        }
    out.commit();
    std::printf("%s: %d time steps, %d layers, %d x %d, u and v in %s\n", o.out.c_str(), steps, L,
                d.nb_col, d.nb_lig, o.pixel_size > 0 ? "m s-1" : "pixel / time step");
    return 0;
}
