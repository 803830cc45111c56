// Writes a layered image sequence with known winds into a folder, ready for the estimator (run
// it from inside the folder) and for compare_winds. See sample_model.h for the image model.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fail.h"
#include "tool_options.h"
#include "sample_files.h"
#include "sample_model.h"

namespace {

void usage(const char* prog) {
    std::printf(
        "usage: %s -o DIR [-size N | -size COLSxLINES] [-layers L] [-samples S] [-seed K]\n"
        "          [-strength A] [-flux G] [-kind smooth|turbulent] [-noise S]\n"
        "Writes L layers of S time samples (10-bit PGM), inImage_3D.txt, inDensity.txt and the\n"
        "true winds (truth_layer<l>_step<i>.xaf, truth_wvert<k>_step<i>.raw) into DIR.\n"
        "  -o DIR        output folder, created if missing (required)\n"
        "  -size         image size, square N or COLSxLINES (default 128)\n"
        "  -layers L     number of layers (default 3)\n"
        "  -samples S    number of time samples (default 3)\n"
        "  -seed K       random seed, same seed same files (default 1)\n"
        "  -strength A   wind scale: 1 gives horizontal winds up to about 3 px per step and\n"
        "                scales the vertical winds alike (default 1.0)\n"
        "  -flux G       at strength 1, the largest change of grey level that the mass flux\n"
        "                through one interface causes per step (default 3)\n"
        "  -kind K       smooth: one smooth pattern per layer (rotation, divergence, shear);\n"
        "                turbulent: a sum of random vortices per layer (default smooth)\n"
        "  -noise S      Gaussian sensor noise of std. dev. S grey levels (default 0)\n",
        prog);
}

long parse_int(const char* flag, const char* text) {
    return option_integer(flag, text, -1000000000L, 1000000000L);
}

}  // namespace

int main(int argc, char** argv) {
    SampleSettings st;
    std::string dir;
    for (int a = 1; a < argc; ++a) {
        const std::string flag = argv[a];
        const char* value = option_value(argc, argv, &a, usage);
        if (flag == "-o") {
            dir = value;
        } else if (flag == "-size") {
            const char* x = std::strchr(value, 'x');
            if (x) {
                const std::string cols(value, x);
                st.nb_col = int(parse_int("-size", cols.c_str()));
                st.nb_lig = int(parse_int("-size", x + 1));
            } else {
                st.nb_col = st.nb_lig = int(parse_int("-size", value));
            }
        } else if (flag == "-layers") {
            st.nb_layers = int(parse_int("-layers", value));
        } else if (flag == "-samples") {
            st.nb_samples = int(parse_int("-samples", value));
        } else if (flag == "-seed") {
            st.seed = uint64_t(parse_int("-seed", value));
        } else if (flag == "-strength") {
            st.strength = option_number("-strength", value);
        } else if (flag == "-flux") {
            st.flux = option_number("-flux", value);
        } else if (flag == "-noise") {
            st.noise = option_number("-noise", value);
        } else if (flag == "-kind") {
            if (std::strcmp(value, "smooth") == 0)
                st.turbulent = false;
            else if (std::strcmp(value, "turbulent") == 0)
                st.turbulent = true;
            else
                fail("option -kind: '%s' is neither smooth nor turbulent", value);
        } else {
            fail("unknown option %s (see -h)", flag.c_str());
        }
    }
    if (dir.empty()) fail("no output folder: give -o DIR (see -h)");

    const LayeredSample s = build_layered_sample(st);
    write_layered_sample(s, dir);

    std::printf("%s: %d layers x %d samples of %d x %d, seed %" PRIu64 ", strength %g, flux %g\n",
                dir.c_str(), st.nb_layers, st.nb_samples, st.nb_col, st.nb_lig, st.seed,
                st.strength, st.flux);
    for (int l = 0; l < st.nb_layers; ++l)
        std::printf("  layer %d: density %g, grey levels of the first sample %.0f .. %.0f\n", l,
                    double(s.rho[l + 1]), s.texture[l].grey_min, s.texture[l].grey_max);
    return 0;
}
