// PNG pictures of the estimator's results. For every layer and time step of a run (found from
// the run's image list) the horizontal wind "<t image>_3D.xaf" becomes arrows over the t image
// ("<t image>_3D_arrows.png") and a colour-wheel picture ("<t image>_3D_wheel.png"); for every
// layer above the lowest, the vertical wind of its lower interface "<t image>_3D.motionUp"
// becomes a blue-white-red picture ("<t image>_3D_wvert.png"). With the run's record (run.json
// in the run folder, or -record) the result files and the t images come from it, the pictures
// go beside the results, and the arrows are drawn over the window of the t image the run
// estimated. All arrow pictures of a run share one scale, so that a calm step looks calm, and
// each carries a reference arrow. Single files can be drawn too.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fail.h"
#include "image_list.h"
#include "image_import.h"
#include "json_reader.h"
#include "tool_options.h"
#include "operations_images.h"
#include "png_picture.h"
#include "result_files.h"

namespace {

struct Options {
    std::string dir = ".", image_list = "./inImage_3D.txt";
    int nb_seq = 3, nb_layers = -1;  // -1: as many layers as time samples, as the estimator
    int spacing = 0, zoom = 0;       // 0: automatic
    double scale = 0, speed_max = 0, w_max = 0;  // scale 0: one for the whole run
    bool scale_each = false;                     // -scale each: every picture its own
    std::string xaf, image, raw, out, wheel_out, record;
    int raw_col = 0, raw_lig = 0;
};

void usage(const char* prog) {
    std::printf(
        "usage: %s [-dir DIR] [-inImage FILE] [-nbTimeSample S] [-nbLayers L] [style]\n"
        "       %s -xaf FIELD.xaf [-image T.pgm] [-o ARROWS.png] [-wheel WHEEL.png] [style]\n"
        "       %s -raw W.motionUp -size WxH -o WVERT.png [style]\n"
        "Draws, for every layer l and time step i of a run (t image P = line 2i of layer l's\n"
        "group in the image list, or the run record's results), the wind P_3D.xaf as arrows\n"
        "over P with a reference arrow (P_3D_arrows.png) and in\n"
        "the colour-wheel code (P_3D_wheel.png: hue = direction, east red, south yellow, west\n"
        "cyan, north violet; paleness = slowness, white at rest), and for l >= 1 the vertical\n"
        "wind P_3D.motionUp (P_3D_wvert.png: blue down, white 0, red up, with a colour bar).\n"
        "The maximum speed and the vertical-wind range are printed and drawn on the pictures.\n"
        "  -dir DIR          run folder: relative paths start there (default .); a run record\n"
        "                    DIR/run.json (written with -outDir) is read as with -record\n"
        "  -record FILE      the run's record: layers, steps, result files, t images and the\n"
        "                    crop window come from it\n"
        "  -inImage FILE     image list of the run (default ./inImage_3D.txt)\n"
        "  -nbTimeSample S   time samples per sequence (default 3)\n"
        "  -nbLayers L       layers (default: the number of time samples, as the estimator)\n"
        "style:\n"
        "  -spacing P        arrow grid spacing, field pixels (default max(8, size / 24))\n"
        "  -scale S|each     arrow length per pixel/step, field pixels (default: the largest\n"
        "                    95th percentile speed of the run's fields spans 0.9 spacing;\n"
        "                    each: every picture's own 95th percentile does)\n"
        "  -maxspeed M       speed of full colour in the wheel code (default the field's maximum)\n"
        "  -wmax M           vertical wind coloured red/blue at +-M (default max |w|)\n"
        "  -zoom Z           picture pixels per field pixel (default max(1, 384 / size))\n",
        prog, prog, prog);
}

double parse_number(const char* flag, const char* text) {
    return option_number(flag, text, true);
}

int parse_count(const char* flag, const char* text) {
    return int(option_integer(flag, text, 1, 32767));
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
            o.nb_seq = parse_count("-nbTimeSample", value);
        else if (flag == "-nbLayers")
            o.nb_layers = parse_count("-nbLayers", value);
        else if (flag == "-spacing")
            o.spacing = parse_count("-spacing", value);
        else if (flag == "-zoom")
            o.zoom = parse_count("-zoom", value);
        else if (flag == "-scale" && std::string(value) == "each")
            o.scale_each = true;
        else if (flag == "-scale")
            o.scale = parse_number("-scale", value);
        else if (flag == "-record")
            o.record = value;
        else if (flag == "-maxspeed")
            o.speed_max = parse_number("-maxspeed", value);
        else if (flag == "-wmax")
            o.w_max = parse_number("-wmax", value);
        else if (flag == "-xaf")
            o.xaf = value;
        else if (flag == "-image")
            o.image = value;
        else if (flag == "-raw")
            o.raw = value;
        else if (flag == "-o")
            o.out = value;
        else if (flag == "-wheel")
            o.wheel_out = value;
        else if (flag == "-size") {
            const std::string wh = value;
            const std::size_t x = wh.find('x');
            if (x == std::string::npos) fail("option -size: '%s' is not WxH", value);
            o.raw_col = parse_count("-size", wh.substr(0, x).c_str());
            o.raw_lig = parse_count("-size", wh.substr(x + 1).c_str());
        } else
            fail("unknown option %s (see -h)", flag.c_str());
    }
    if (o.nb_layers < 0) o.nb_layers = o.nb_seq;
    if (o.nb_seq < 2) fail("-nbTimeSample %d: at least 2 time samples are needed", o.nb_seq);
    if (!o.xaf.empty() && !o.raw.empty()) fail("-xaf and -raw draw one file each: give one");
    if (!o.xaf.empty() && o.out.empty() && o.wheel_out.empty())
        fail("-xaf needs -o ARROWS.png and/or -wheel WHEEL.png");
    if (!o.raw.empty() && (o.out.empty() || o.raw_col == 0))
        fail("-raw needs -size WxH and -o WVERT.png");
    return o;
}

// The window of the t images a run estimated: its top-left column and line, and its size
// (columns 0: the whole image).
struct Window {
    int ofx = 0, ofy = 0, nb_col = 0, nb_lig = 0;
};

// The estimator's PGM as background: the field-sized window of the image at the crop offset, or
// the whole image when it has the field's size; otherwise none (grey).
std::vector<short> background(const std::string& path, int nb_col, int nb_lig, const Window& crop) {
    short nc = 0, nl = 0;
    entete_pgm(path.c_str(), &nc, &nl);
    const bool cut = crop.nb_col > 0;
    if (cut ? crop.ofx + nb_col > nc || crop.ofy + nb_lig > nl : nc != nb_col || nl != nb_lig) {
        std::printf("  %s is %d x %d, the field %d x %d%s: arrows drawn on grey\n", path.c_str(),
                    nc, nl, nb_col, nb_lig, cut ? " at the crop offset" : "");
        return {};
    }
    std::vector<short> image(std::size_t(nc) * nl);
    read_pgm(path.c_str(), image.data(), &nc, &nl);
    std::vector<short> window(std::size_t(nb_col) * nb_lig);
    for (int i = 0; i < nb_lig; ++i)
        std::copy_n(image.begin() + std::ptrdiff_t(i + crop.ofy) * nc + crop.ofx, nb_col,
                    window.begin() + std::ptrdiff_t(i) * nb_col);
    return window;
}

// fixed_scale > 0: the arrow scale of every picture of the run.
void draw_horizontal(const Options& o, const MotionField& f, const std::string& image_path,
                     const Window& crop, const std::string& arrows_out,
                     const std::string& wheel_out, double fixed_scale) {
    const std::size_t n = f.u.size();
    const int zoom = o.zoom ? o.zoom : auto_zoom(f.nb_col, f.nb_lig);
    if (!arrows_out.empty()) {
        const std::vector<short> image = image_path.empty()
                                             ? std::vector<short>()
                                             : background(image_path, f.nb_col, f.nb_lig, crop);
        const int spacing = o.spacing ? o.spacing : auto_spacing(f.nb_col, f.nb_lig);
        const double scale = o.scale > 0 ? o.scale
                             : fixed_scale > 0
                                 ? fixed_scale
                                 : auto_arrow_scale(f.u.data(), f.v.data(), n, spacing);
        Picture p = arrow_picture(f.u.data(), f.v.data(), image.empty() ? nullptr : image.data(),
                                  f.nb_col, f.nb_lig, spacing, scale, zoom);
        const double reference = draw_reference_arrow(p, scale, spacing, zoom);
        write_png(arrows_out, p);
        std::printf(
            "  %s: an arrow every %d px, %.4g px long per px/step, reference arrow %g "
            "px/step\n",
            arrows_out.c_str(), spacing, scale, reference);
    }
    if (!wheel_out.empty()) {
        const double top = max_speed(f.u.data(), f.v.data(), n);
        const double full = o.speed_max > 0 ? o.speed_max : top;
        write_png(wheel_out, wheel_picture(f.u.data(), f.v.data(), f.nb_col, f.nb_lig, full, zoom));
        std::printf("  %s: max speed %.4g px/step, full colour at %.4g\n", wheel_out.c_str(), top,
                    full);
    }
}

void draw_vertical(const Options& o, const std::string& raw, int nb_col, int nb_lig,
                   const std::string& out) {
    const GreyImage im = read_raw_float32(raw, nb_col, nb_lig);
    const std::vector<float> w(im.data.begin(), im.data.end());
    double lo = 0, hi = 0;
    finite_range(im.data.data(), im.data.size(), &lo, &hi);
    const double m = o.w_max > 0 ? o.w_max : max_abs(w.data(), w.size());
    const int zoom = o.zoom ? o.zoom : auto_zoom(nb_col, nb_lig);
    write_png(out, vertical_wind_picture(w.data(), nb_col, nb_lig, m, zoom));
    std::printf("  %s: w from %.4g to %.4g, colours from -%.4g (blue) to %.4g (red)\n", out.c_str(),
                lo, hi, m, m);
}

// The pictures of a run: per layer and time step the t image (the background) and the path P
// the result files P_3D.xaf, ... start with; the window of the t images the run estimated.
struct RunLayout {
    int nb_layers = 0, steps = 0;
    std::vector<std::vector<std::string>> t_image, results;  // [layer][step]
    Window crop;
};

// From the image list: the results beside the t images, whole images.
RunLayout layout_from_list(const Options& o) {
    RunLayout run;
    run.nb_layers = o.nb_layers;
    run.steps = o.nb_seq - 1;
    const ImageList list = read_image_list(run_path(o.dir, o.image_list), o.nb_seq, o.nb_layers);
    if (!list.problem.empty()) fail("%s", list.problem.c_str());
    run.t_image.assign(run.nb_layers, std::vector<std::string>(run.steps));
    for (int l = 0; l < run.nb_layers; ++l)
        for (int i = 0; i < run.steps; ++i)
            run.t_image[l][i] = run_path(o.dir, t_image(list.paths, run.steps, l, i));
    run.results = run.t_image;
    return run;
}

// The member `key` of the object `v` of the record `file`, of the given kind; otherwise the run
// ends naming the file and the member.
const JsonValue& member(const JsonValue& v, const char* key, JsonValue::Kind kind,
                        const std::string& file) {
    const JsonValue* m = v.find(key);
    if (!m || m->kind != kind) fail("run record %s: no valid \"%s\"", file.c_str(), key);
    return *m;
}

int pair_item(const JsonValue& v, const char* key, int k, const std::string& file) {
    const JsonValue& a = member(v, key, JsonValue::Kind::array, file);
    if (a.items.size() != 2 || a.items[k].kind != JsonValue::Kind::number)
        fail("run record %s: \"%s\" is not a pair of numbers", file.c_str(), key);
    return int(a.items[k].number);
}

// From a run record: its paths are seen from the run's working folder.
RunLayout layout_from_record(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) fail("cannot open the run record %s", file.c_str());
    std::stringstream text;
    text << in.rdbuf();
    JsonValue r;
    std::string why;
    if (!parse_json(text.str(), &r, &why)) fail("run record %s: %s", file.c_str(), why.c_str());
    const std::string wd = member(r, "working_directory", JsonValue::Kind::string, file).text;
    auto seen = [&](const std::string& p) {
        return std::filesystem::path(p).is_absolute()
                   ? p
                   : (std::filesystem::path(wd) / p).lexically_normal().string();
    };
    RunLayout run;
    const JsonValue& steps = member(r, "steps", JsonValue::Kind::array, file);
    run.steps = int(steps.items.size());
    for (int i = 0; i < run.steps; ++i) {
        const JsonValue& layers = member(steps.items[i], "layers", JsonValue::Kind::array, file);
        if (i == 0) {
            run.nb_layers = int(layers.items.size());
            run.t_image.assign(run.nb_layers, std::vector<std::string>(run.steps));
            run.results = run.t_image;
        }
        if (int(layers.items.size()) != run.nb_layers)
            fail("run record %s: step %d has %zu layers, step 1 %d", file.c_str(), i + 1,
                 layers.items.size(), run.nb_layers);
        for (int l = 0; l < run.nb_layers; ++l) {
            const JsonValue& layer = layers.items[l];
            run.t_image[l][i] = seen(member(layer, "t_image", JsonValue::Kind::string, file).text);
            run.results[l][i] = seen(member(layer, "results", JsonValue::Kind::string, file).text);
        }
    }
    run.crop = {pair_item(r, "crop_offset", 0, file), pair_item(r, "crop_offset", 1, file),
                pair_item(r, "real_size", 0, file), pair_item(r, "real_size", 1, file)};
    std::printf("run record %s: %d layer(s), %d step(s), window %d x %d at column %d, line %d\n",
                file.c_str(), run.nb_layers, run.steps, run.crop.nb_col, run.crop.nb_lig,
                run.crop.ofx, run.crop.ofy);
    return run;
}

// The arrow scale shared by the run's pictures: 0.9 spacing over the largest 95th percentile
// speed of all its fields (1 when every field is at rest).
double run_arrow_scale(const Options& o, const RunLayout& run) {
    double top = 0;
    int nb_col = 0, nb_lig = 0;
    for (int l = 0; l < run.nb_layers; ++l)
        for (int i = 0; i < run.steps; ++i) {
            const MotionField f = read_motion_field(run.results[l][i] + "_3D.xaf");
            top = std::max(top, speed_percentile95(f.u.data(), f.v.data(), f.u.size()));
            nb_col = f.nb_col;
            nb_lig = f.nb_lig;
        }
    const int spacing = o.spacing ? o.spacing : auto_spacing(nb_col, nb_lig);
    const double scale = top > 0 ? 0.9 * spacing / top : 1.0;
    std::printf(
        "arrows of every picture %.4g px long per px/step (the largest 95th percentile "
        "speed, %.4g px/step, spans 0.9 spacing)\n",
        scale, top);
    return scale;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse_options(argc, argv);
    Window crop;
    if (!o.record.empty() && (!o.xaf.empty() || !o.raw.empty()))
        crop = layout_from_record(o.record).crop;
    if (!o.xaf.empty()) {
        std::printf("%s\n", o.xaf.c_str());
        draw_horizontal(o, read_motion_field(o.xaf), o.image, crop, o.out, o.wheel_out, 0);
        return 0;
    }
    if (!o.raw.empty()) {
        std::printf("%s\n", o.raw.c_str());
        draw_vertical(o, o.raw, o.raw_col, o.raw_lig, o.out);
        return 0;
    }
    const std::string found = run_path(o.dir, "run.json");
    const std::string record = !o.record.empty()                ? o.record
                               : std::filesystem::exists(found) ? found
                                                                : "";
    const RunLayout run = record.empty() ? layout_from_list(o) : layout_from_record(record);
    const double scale = o.scale > 0 || o.scale_each ? 0 : run_arrow_scale(o, run);
    for (int l = 0; l < run.nb_layers; ++l)
        for (int i = 0; i < run.steps; ++i) {
            const std::string& P = run.results[l][i];
            std::printf("layer %d step %d: %s\n", l, i, P.c_str());
            const MotionField f = read_motion_field(P + "_3D.xaf");
            draw_horizontal(o, f, run.t_image[l][i], run.crop, P + "_3D_arrows.png",
                            P + "_3D_wheel.png", scale);
            if (l >= 1)
                draw_vertical(o, P + "_3D.motionUp", f.nb_col, f.nb_lig, P + "_3D_wvert.png");
        }
    return 0;
}
