// Converts grey images into the PGM layout the estimator reads (P5, maximum 1023, two bytes per
// sample, low byte first): PNG, netpbm PGM, raw float32 and NetCDF variables, optionally cut to a
// window, scaled linearly so that a value range LO..HI becomes the grey levels 0..1021. Missing
// samples (NetCDF fill values, NaN, the -nodata values) take the image's lowest valid level, and
// when a conversion has any, every output NAME.pgm gets its mask NAME_mask.pgm (1 = valid). With
// -list it also writes the image list and the density file of a run over the converted images.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fail.h"
#include "tool_options.h"
#include "image_import.h"

namespace {

namespace fs = std::filesystem;

struct Options {
    std::vector<std::string> inputs;
    std::set<std::string> netcdf_inputs;  // given with -nc: opened by NetCDF whatever they hold
    std::string output, outdir = ".", list_dir, time;
    std::vector<std::string> vars;
    bool raw = false, pgm_le = false, flip = false, has_range = false, has_window = false;
    int raw_col = 0, raw_lig = 0, layers = 1;
    int window[4] = {0, 0, 0, 0};  // first column, first line, columns, lines
    double lo = 0, hi = 0;
    std::vector<double> densities, nodata;
};

void usage(const char* prog) {
    std::printf(
        "usage: %s [options] INPUT...\n"
        "Writes each input as a PGM the estimator reads (P5, maximum 1023, two bytes per sample,\n"
        "low byte first), mapping the values LO..HI linearly onto 0..1021 (values beyond are\n"
        "clipped, missing values take the image's lowest valid level; the counts are printed).\n"
        "When any sample of the conversion is missing, or with -nodata, each output NAME.pgm\n"
        "gets a mask NAME_mask.pgm beside it (P5, maximum 1, one byte per sample: 1 valid).\n"
        "Inputs, recognised from their first bytes:\n"
        "  PNG, 1 to 16 bits (colour: luminance 0.2126 R + 0.7152 G + 0.0722 B; alpha ignored)\n"
        "  PGM P5, maximum up to 255 one byte, above two bytes high byte first (netpbm)\n"
        "  NetCDF (classic or netCDF-4): the variable -var, 2-D (lines, columns) or with time\n"
        "    first (time, [1, ...], lines, columns); _FillValue, missing_value, valid_range,\n"
        "    valid_min/max mark missing values; scale_factor and add_offset are applied\n"
        "  raw float32, low byte first, row-major, with -raw -size WxH (NaN, inf: missing)\n"
        "Options:\n"
        "  -o FILE            output of a single image (default OUTDIR/<input stem>.pgm,\n"
        "                     NetCDF: OUTDIR/<stem>_<var>[_t<K>].pgm)\n"
        "  -outdir DIR        folder of the outputs, created if missing (default .)\n"
        "  -nc FILE           a NetCDF input, not recognised from its bytes (an OPeNDAP URL)\n"
        "  -var NAME[,NAME]   NetCDF variable; with -list, one name per layer makes layer l the\n"
        "                     sequence of variable l over all inputs\n"
        "  -t K | A:B | all   time slice(s) of the NetCDF variable's first dimension (default 0)\n"
        "  -raw -size WxH     inputs are raw float32 images of W columns and H lines\n"
        "  -pgm-le            two-byte PGM samples are low byte first (the estimator's layout)\n"
        "  -range LO HI       values mapped to 0 and 1021 (default: the smallest and largest\n"
        "                     valid value over all inputs (windows) together, printed)\n"
        "  -window X Y W H    convert the W x H window whose top-left sample is column X,\n"
        "                     line Y (after -flip)\n"
        "  -nodata V[,V]      input values that mean no data (e.g. 255 for no radar coverage)\n"
        "  -flip              reverse the line order (grids stored south to north)\n"
        "  -list DIR          write the images into DIR with DIR/inImage_3D.txt and\n"
        "                     DIR/inDensity.txt; the images, in order, are layer 0's sequence\n"
        "                     of T time samples, then layer 1's, ...; the list holds per layer,\n"
        "                     per step i, image i then image i + 1\n"
        "  -layers L          layers of the list (default 1)\n"
        "  -densities D,...   mean density of each layer, lowest first (with -list; default 1\n"
        "                     for a single layer)\n",
        prog);
}

double parse_number(const char* flag, const char* text) {
    return option_number(flag, text);
}

int parse_int(const char* flag, const std::string& text) {
    return int(option_integer(flag, text.c_str(), 0, 1000000000));
}

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t k; (k = text.find(sep, start)) != std::string::npos; start = k + 1)
        parts.push_back(text.substr(start, k - start));
    parts.push_back(text.substr(start));
    return parts;
}

Options parse_options(int argc, char** argv) {
    Options o;
    bool has_size = false;
    for (int a = 1; a < argc; ++a) {
        const std::string flag = argv[a];
        if (flag == "-h" || flag == "--help") {
            usage(argv[0]);
            std::exit(0);
        }
        if (flag == "-raw" || flag == "-pgm-le" || flag == "-flip") {
            (flag == "-raw" ? o.raw : flag == "-pgm-le" ? o.pgm_le : o.flip) = true;
            continue;
        }
        if (flag.size() < 2 || flag[0] != '-') {
            o.inputs.push_back(flag);
            continue;
        }
        const int needed = flag == "-range" ? 2 : flag == "-window" ? 4 : 1;
        if (a + needed >= argc) fail("option %s needs a value (see -h)", flag.c_str());
        const char* value = argv[++a];
        if (flag == "-o") {
            o.output = value;
        } else if (flag == "-outdir") {
            o.outdir = value;
        } else if (flag == "-nc") {
            o.inputs.push_back(value);
            o.netcdf_inputs.insert(value);
        } else if (flag == "-var") {
            o.vars = split(value, ',');
        } else if (flag == "-t") {
            o.time = value;
        } else if (flag == "-size") {
            const std::vector<std::string> wh = split(value, 'x');
            if (wh.size() != 2) fail("option -size: '%s' is not WxH", value);
            o.raw_col = parse_int("-size", wh[0]);
            o.raw_lig = parse_int("-size", wh[1]);
            has_size = true;
        } else if (flag == "-range") {
            o.lo = parse_number("-range", value);
            o.hi = parse_number("-range", argv[++a]);
            o.has_range = true;
            if (!(o.lo < o.hi)) fail("option -range: LO %g is not below HI %g", o.lo, o.hi);
        } else if (flag == "-window") {
            for (int k = 0; k < 4; ++k)
                o.window[k] = parse_int("-window", k == 0 ? value : argv[++a]);
            if (o.window[2] < 1 || o.window[3] < 1)
                fail("option -window: the window needs at least one column and one line");
            o.has_window = true;
        } else if (flag == "-nodata") {
            for (const std::string& v : split(value, ','))
                o.nodata.push_back(parse_number("-nodata", v.c_str()));
        } else if (flag == "-list") {
            o.list_dir = value;
        } else if (flag == "-layers") {
            o.layers = parse_int("-layers", value);
        } else if (flag == "-densities") {
            for (const std::string& d : split(value, ',')) {
                const double rho = parse_number("-densities", d.c_str());
                if (!(rho > 0)) fail("option -densities: %s is not a positive density", d.c_str());
                o.densities.push_back(rho);
            }
        } else {
            fail("unknown option %s (see -h)", flag.c_str());
        }
    }
    if (o.inputs.empty()) fail("no input image (see -h)");
    if (o.raw != has_size) fail("raw float32 inputs need both -raw and -size WxH");
    for (const std::string& v : o.vars)
        if (v.empty()) fail("option -var: empty variable name");
    if (!o.list_dir.empty()) {
        if (o.layers < 1) fail("option -layers: at least 1 layer is needed");
        if (o.layers == 1 && o.densities.empty()) o.densities = {1.0};
        if (int(o.densities.size()) != o.layers)
            fail("-list with %d layer(s) needs -densities with %d value(s), got %zu", o.layers,
                 o.layers, o.densities.size());
        if (!o.output.empty()) fail("-o names a single image; -list writes into its folder");
        o.outdir = o.list_dir;
    }
    return o;
}

// One image to convert.
struct Frame {
    std::string input;
    ImageKind kind = ImageKind::unknown;
    std::string var;  // NetCDF only
    int slice = 0;
    bool timed = false;  // the output name carries the slice
    std::string output;

    std::string label() const {
        if (kind != ImageKind::netcdf) return input;
        return input + " " + var + (timed ? " t=" + std::to_string(slice) : "");
    }
};

ImageKind input_kind(const Options& o, const std::string& path) {
    if (o.netcdf_inputs.count(path)) return ImageKind::netcdf;
    const ImageKind kind = sniff_image_kind(path);
    if (o.raw) return ImageKind::unknown;
    if (kind == ImageKind::unknown)
        fail("%s is neither PNG, PGM nor NetCDF (raw float32 needs -raw -size WxH)", path.c_str());
    return kind;
}

// The NetCDF slices named by -t, among the variable's `count`.
std::vector<int> chosen_slices(const Options& o, int count) {
    if (o.time.empty()) return {0};
    if (o.time == "all") {
        std::vector<int> all(count);
        for (int k = 0; k < count; ++k) all[k] = k;
        return all;
    }
    const std::vector<std::string> ab = split(o.time, ':');
    if (ab.size() > 2) fail("option -t: '%s' is not K, A:B or all", o.time.c_str());
    const int a = parse_int("-t", ab[0]), b = ab.size() == 2 ? parse_int("-t", ab[1]) : a;
    if (b < a) fail("option -t: empty slice range %s", o.time.c_str());
    std::vector<int> range;
    for (int k = a; k <= b; ++k) range.push_back(k);
    return range;
}

void add_frames(const Options& o, const std::string& input, const std::string& var,
                std::vector<Frame>& frames) {
    Frame f;
    f.input = input;
    f.kind = input_kind(o, input);
    const std::string stem = fs::path(input).stem().string();
    if (f.kind != ImageKind::netcdf) {
        f.output = stem + ".pgm";
        frames.push_back(f);
        return;
    }
    if (var.empty()) fail("NetCDF input %s needs -var NAME", input.c_str());
    f.var = var;
    const int count = netcdf_slice_count(input, var);
    f.timed = count > 1 || !o.time.empty();
    for (const int k : chosen_slices(o, count)) {
        f.slice = k;
        f.output = stem + "_" + var + (f.timed ? "_t" + std::to_string(k) : "") + ".pgm";
        frames.push_back(f);
    }
}

std::vector<Frame> plan_frames(const Options& o) {
    std::vector<Frame> frames;
    const bool var_per_layer =
        !o.list_dir.empty() && o.layers > 1 && int(o.vars.size()) == o.layers;
    if (var_per_layer) {
        for (const std::string& var : o.vars)
            for (const std::string& input : o.inputs) add_frames(o, input, var, frames);
    } else {
        if (o.vars.size() > 1)
            fail("-var lists %zu names; several names need -list with as many -layers",
                 o.vars.size());
        for (const std::string& input : o.inputs)
            add_frames(o, input, o.vars.empty() ? "" : o.vars[0], frames);
    }
    if (frames.empty()) fail("no image to convert: the time slices chosen with -t are empty");
    if (!o.output.empty()) {
        if (frames.size() != 1) fail("-o names one image, the inputs give %zu", frames.size());
        frames[0].output = o.output;
    } else {
        std::set<std::string> names;
        for (Frame& f : frames) {
            if (!names.insert(f.output).second)
                fail("two inputs would both be written to %s/%s", o.outdir.c_str(),
                     f.output.c_str());
            f.output = (fs::path(o.outdir) / f.output).string();
        }
    }
    for (const Frame& f : frames) {
        std::error_code ec;
        if (fs::equivalent(f.input, f.output, ec))
            fail("%s would be overwritten by its own conversion", f.input.c_str());
    }
    if (!o.list_dir.empty() && (frames.size() % o.layers != 0 || frames.size() / o.layers < 2))
        fail(
            "-list with %d layer(s) needs at least 2 time samples per layer, the same number "
            "for every layer; the inputs give %zu image(s)",
            o.layers, frames.size());
    return frames;
}

// The frame as converted: read, its -nodata values made missing, flipped, cut to the window.
GreyImage read_frame(const Options& o, const Frame& f) {
    GreyImage im;
    switch (f.kind) {
        case ImageKind::png:
            im = read_png_grey(f.input);
            break;
        case ImageKind::pgm:
            im = read_pgm_grey(f.input, o.pgm_le);
            break;
        case ImageKind::netcdf:
            im = read_netcdf_grey(f.input, f.var, f.slice);
            break;
        case ImageKind::unknown:
            im = read_raw_float32(f.input, o.raw_col, o.raw_lig);
            break;
    }
    for (double& x : im.data)
        if (std::find(o.nodata.begin(), o.nodata.end(), x) != o.nodata.end()) x = std::nan("");
    if (o.flip)
        for (int i = 0; i < im.nb_lig / 2; ++i)
            std::swap_ranges(im.data.begin() + std::ptrdiff_t(i) * im.nb_col,
                             im.data.begin() + std::ptrdiff_t(i + 1) * im.nb_col,
                             im.data.begin() + std::ptrdiff_t(im.nb_lig - 1 - i) * im.nb_col);
    if (o.has_window) {
        const int x = o.window[0], y = o.window[1], w = o.window[2], h = o.window[3];
        if (x + w > im.nb_col || y + h > im.nb_lig)
            fail("the window of %d x %d at column %d, line %d does not fit in %s (%d x %d)", w, h,
                 x, y, f.label().c_str(), im.nb_col, im.nb_lig);
        std::vector<double> cut(std::size_t(w) * h);
        for (int i = 0; i < h; ++i)
            std::copy_n(im.data.begin() + std::ptrdiff_t(y + i) * im.nb_col + x, w,
                        cut.begin() + std::ptrdiff_t(i) * w);
        im.data = std::move(cut);
        im.nb_col = w;
        im.nb_lig = h;
    }
    if (im.nb_col > 32767 || im.nb_lig > 32767)
        fail("%s is %d x %d; the estimator takes at most 32767 x 32767", f.label().c_str(),
             im.nb_col, im.nb_lig);
    return im;
}

void write_text(const std::string& path, const std::string& text) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) fail("cannot create %s: %s", path.c_str(), std::strerror(errno));
    const bool ok = std::fputs(text.c_str(), f) >= 0;
    if (std::fclose(f) != 0 || !ok) fail("cannot write %s", path.c_str());
}

void write_run_lists(const Options& o, const std::vector<Frame>& frames) {
    const std::size_t T = frames.size() / o.layers;
    std::string list, densities;
    for (int l = 0; l < o.layers; ++l)
        for (std::size_t i = 0; i + 1 < T; ++i)
            for (std::size_t k : {i, i + 1})
                list += "./" + fs::path(frames[l * T + k].output).filename().string() + "\n";
    for (const double rho : o.densities) {
        char text[40];
        std::snprintf(text, sizeof text, "%.9g\n", rho);
        densities += text;
    }
    const std::string list_path = (fs::path(o.list_dir) / "inImage_3D.txt").string();
    const std::string density_path = (fs::path(o.list_dir) / "inDensity.txt").string();
    write_text(list_path, list);
    write_text(density_path, densities);
    std::printf(
        "wrote %s (%d layer(s) x %zu time samples) and %s; run the estimator in %s:\n"
        "  optic_flow_3DMultilayers -nbTimeSample %zu -nbLayers %d\n",
        list_path.c_str(), o.layers, T, density_path.c_str(), o.list_dir.c_str(), T, o.layers);
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse_options(argc, argv);
    const std::vector<Frame> frames = plan_frames(o);

    // Every frame is read once first: the range of the whole set (so that a sequence keeps its
    // contrast) and whether any sample is missing (then every output gets a mask).
    double lo = 0, hi = 0;
    bool any_valid = false, any_missing = false;
    std::optional<GreyImage> kept;  // a single image is read once
    for (const Frame& f : frames) {
        GreyImage im = read_frame(o, f);
        double a = 0, b = 0;
        if (finite_range(im.data.data(), im.data.size(), &a, &b)) {
            lo = any_valid ? std::min(lo, a) : a;
            hi = any_valid ? std::max(hi, b) : b;
            any_valid = true;
        }
        for (const double x : im.data) any_missing = any_missing || std::isnan(x);
        if (frames.size() == 1) kept = std::move(im);
    }
    if (o.has_range) {
        lo = o.lo;
        hi = o.hi;
        std::printf("value range given: %.9g .. %.9g -> 0 .. 1021\n", lo, hi);
    } else {
        if (!any_valid)
            fail("no valid sample in the input(s), starting with %s", frames[0].label().c_str());
        std::printf("value range of the data: %.9g .. %.9g -> 0 .. 1021\n", lo, hi);
        if (!(hi > lo)) std::printf("the data are constant: every valid sample becomes 0\n");
    }
    const bool masks = any_missing || !o.nodata.empty();
    if (masks)
        for (const Frame& f : frames)
            for (const Frame& g : frames)
                if (mask_path(f.output) == g.output)
                    fail("the mask of %s would overwrite the image %s", f.output.c_str(),
                         g.output.c_str());

    std::error_code ec;
    fs::create_directories(o.outdir, ec);
    if (ec) fail("cannot create folder %s: %s", o.outdir.c_str(), ec.message().c_str());
    int nb_col = 0, nb_lig = 0;
    for (const Frame& f : frames) {
        const GreyImage im = kept ? std::move(*kept) : read_frame(o, f);
        if (!o.list_dir.empty()) {
            if (nb_col == 0) {
                nb_col = im.nb_col;
                nb_lig = im.nb_lig;
            } else if (im.nb_col != nb_col || im.nb_lig != nb_lig) {
                fail("%s is %d x %d, the first image %d x %d: a run needs one size",
                     f.label().c_str(), im.nb_col, im.nb_lig, nb_col, nb_lig);
            }
        }
        std::vector<short> grey(im.data.size());
        std::size_t clipped = 0;
        const std::size_t missing =
            scale_to_10bit(grey.data(), im.data.data(), im.data.size(), lo, hi, &clipped);
        write_pgm10(f.output, grey.data(), im.nb_col, im.nb_lig);
        short fill = 0;  // the level the missing samples took
        for (std::size_t k = 0; k < grey.size(); ++k)
            if (std::isnan(im.data[k])) {
                fill = grey[k];
                break;
            }
        std::printf("%s -> %s: %d x %d, %zu missing set to %d, %zu outside the range clipped\n",
                    f.label().c_str(), f.output.c_str(), im.nb_col, im.nb_lig, missing, fill,
                    clipped);
        const std::string mask = mask_path(f.output);
        if (masks) {
            write_mask(mask, im.data.data(), im.nb_col, im.nb_lig);
            std::printf("  mask %s: %zu of %zu samples valid\n", mask.c_str(),
                        im.data.size() - missing, im.data.size());
        } else if (fs::remove(mask, ec)) {
            std::printf("  removed %s: the image has no missing sample now\n", mask.c_str());
        }
    }
    if (!o.list_dir.empty()) write_run_lists(o, frames);
    return 0;
}
