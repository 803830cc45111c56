// PNG pictures of the estimator's results. For every layer and time step of a run (found from
// the run's image list) the horizontal wind "<t image>_3D.xaf" becomes arrows over the t image
// ("<t image>_3D_arrows.png") and a colour-wheel picture ("<t image>_3D_wheel.png"); for every
// layer above the lowest, the vertical wind of its lower interface "<t image>_3D.motionUp"
// becomes a blue-white-red picture ("<t image>_3D_wvert.png"). Single files can be drawn too.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fail.h"
#include "image_list.h"
#include "tool_options.h"
#include "image_import.h"
#include "operations_images.h"
#include "png_picture.h"
#include "result_files.h"

namespace {

struct Options {
    std::string dir = ".", image_list = "./inImage_3D.txt";
    int nb_seq = 3, nb_layers = -1;  // -1: as many layers as time samples, as the estimator
    int spacing = 0, zoom = 0;       // 0: automatic
    double scale = 0, speed_max = 0, w_max = 0;
    std::string xaf, image, raw, out, wheel_out;
    int raw_col = 0, raw_lig = 0;
};

void usage(const char* prog) {
    std::printf(
        "usage: %s [-dir DIR] [-inImage FILE] [-nbTimeSample S] [-nbLayers L] [style]\n"
        "       %s -xaf FIELD.xaf [-image T.pgm] [-o ARROWS.png] [-wheel WHEEL.png] [style]\n"
        "       %s -raw W.motionUp -size WxH -o WVERT.png [style]\n"
        "Draws, for every layer l and time step i of a run (t image P = line 2i of layer l's\n"
        "group in the image list), the wind P_3D.xaf as arrows over P (P_3D_arrows.png) and in\n"
        "the colour-wheel code (P_3D_wheel.png: hue = direction, east red, south yellow, west\n"
        "cyan, north violet; paleness = slowness, white at rest), and for l >= 1 the vertical\n"
        "wind P_3D.motionUp (P_3D_wvert.png: blue down, white 0, red up, with a colour bar).\n"
        "The maximum speed and the vertical-wind range are printed and drawn on the pictures.\n"
        "  -dir DIR          run folder: relative paths start there (default .)\n"
        "  -inImage FILE     image list of the run (default ./inImage_3D.txt)\n"
        "  -nbTimeSample S   time samples per sequence (default 3)\n"
        "  -nbLayers L       layers (default: the number of time samples, as the estimator)\n"
        "style:\n"
        "  -spacing P        arrow grid spacing, field pixels (default max(8, size / 24))\n"
        "  -scale S          arrow length per pixel/step, field pixels (default: the 95th\n"
        "                    percentile speed spans 0.9 spacing)\n"
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
        else if (flag == "-scale")
            o.scale = parse_number("-scale", value);
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

// The estimator's PGM as background when it has the field's size, otherwise none.
std::vector<short> background(const std::string& path, int nb_col, int nb_lig) {
    short nc = 0, nl = 0;
    entete_pgm(path.c_str(), &nc, &nl);
    if (nc != nb_col || nl != nb_lig) {
        std::printf("  %s is %d x %d, the field %d x %d: arrows drawn on grey\n", path.c_str(), nc,
                    nl, nb_col, nb_lig);
        return {};
    }
    std::vector<short> image(std::size_t(nc) * nl);
    read_pgm(path.c_str(), image.data(), &nc, &nl);
    return image;
}

void draw_horizontal(const Options& o, const MotionField& f, const std::string& image_path,
                     const std::string& arrows_out, const std::string& wheel_out) {
    const std::size_t n = f.u.size();
    const int zoom = o.zoom ? o.zoom : auto_zoom(f.nb_col, f.nb_lig);
    if (!arrows_out.empty()) {
        const std::vector<short> image =
            image_path.empty() ? std::vector<short>() : background(image_path, f.nb_col, f.nb_lig);
        const int spacing = o.spacing ? o.spacing : auto_spacing(f.nb_col, f.nb_lig);
        const double scale =
            o.scale > 0 ? o.scale : auto_arrow_scale(f.u.data(), f.v.data(), n, spacing);
        write_png(arrows_out,
                  arrow_picture(f.u.data(), f.v.data(), image.empty() ? nullptr : image.data(),
                                f.nb_col, f.nb_lig, spacing, scale, zoom));
        std::printf("  %s: an arrow every %d px, %.4g px long per px/step\n", arrows_out.c_str(),
                    spacing, scale);
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

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse_options(argc, argv);
    if (!o.xaf.empty()) {
        std::printf("%s\n", o.xaf.c_str());
        draw_horizontal(o, read_motion_field(o.xaf), o.image, o.out, o.wheel_out);
        return 0;
    }
    if (!o.raw.empty()) {
        std::printf("%s\n", o.raw.c_str());
        draw_vertical(o, o.raw, o.raw_col, o.raw_lig, o.out);
        return 0;
    }
    const int steps = o.nb_seq - 1;
    const ImageList list = read_image_list(run_path(o.dir, o.image_list), o.nb_seq, o.nb_layers);
    if (!list.problem.empty()) fail("%s", list.problem.c_str());
    for (int l = 0; l < o.nb_layers; ++l)
        for (int i = 0; i < steps; ++i) {
            const std::string P = run_path(o.dir, t_image(list.paths, steps, l, i));
            std::printf("layer %d step %d: %s\n", l, i, P.c_str());
            const MotionField f = read_motion_field(P + "_3D.xaf");
            draw_horizontal(o, f, P, P + "_3D_arrows.png", P + "_3D_wheel.png");
            if (l >= 1)
                draw_vertical(o, P + "_3D.motionUp", f.nb_col, f.nb_lig, P + "_3D_wvert.png");
        }
    return 0;
}
