// The depth of the image pyramid against the displacement between the images. With
// "-coarseResol auto" the run takes the smallest number of levels whose coarsest one sees the
// largest displacement of the run (over every layer and time step) within kReach pixels; with a
// number given, a warning says when that displacement lies beyond its reach. Both print the
// estimate on standard error. The estimate: phase correlation on tiles of each image pair
// (displacement_estimate.h), masked samples left out with -mask 1.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "displacement_estimate.h"
#include "run.h"

namespace {
// Displacement (pixels of the level) that the block estimator recovers at one pyramid level.
constexpr double kReach = 1.5;
constexpr int kDeepest = 3;  // the pyramids have four levels
}  // namespace

void Run::check_pyramid_depth() {
    if (p_.coarse_resol_auto && p_.Init3D != 0) {
        p_.Coarse_resol = 0;
        std::fprintf(stderr, "initial fields given (-init): -coarseResol 0\n");
        return;
    }
    const std::size_t real = static_cast<std::size_t>(nb_col_reel_) * nb_lig_reel_;
    std::vector<short> a(real), b(real);
    std::vector<unsigned char> known_a, known_b;
    if (p_.masks) known_a.assign(real, 1), known_b.assign(real, 1);
    double largest = -1.0;
    for (int l = 0; l < p_.nb_layers; ++l)
        for (int step = 0; step + 1 < p_.nb_seq; ++step) {
            read_real_image(path(l, 2 * step), a.data());
            read_real_image(path(l, 2 * step + 1), b.data());
            if (p_.masks) {
                read_mask(path(l, 2 * step), known_a.data());
                read_mask(path(l, 2 * step + 1), known_b.data());
            }
            const double d = largest_displacement(
                a.data(), b.data(), p_.masks ? known_a.data() : nullptr,
                p_.masks ? known_b.data() : nullptr, nb_col_reel_, nb_lig_reel_);
            if (d > largest) largest = d;
        }
    if (largest < 0.0) {
        if (p_.coarse_resol_auto) {
            p_.Coarse_resol = 0;
            std::fprintf(stderr,
                         "largest displacement not measurable (no textured tile): "
                         "-coarseResol 0\n");
        }
        return;
    }
    int needed = 0;  // levels below the finest that bring it within reach
    while (largest > kReach * (1 << needed) && needed < 30) ++needed;
    const int deepest = std::min(kDeepest, 14 - p_.Coarse_scale);
    if (p_.coarse_resol_auto) {
        p_.Coarse_resol = static_cast<short>(std::min(needed, deepest));
        std::fprintf(stderr, "largest displacement about %.1f px: -coarseResol %d%s\n", largest,
                     p_.Coarse_resol,
                     needed > deepest ? " (the deepest; it does not reach it)" : "");
    } else if (needed > p_.Coarse_resol) {
        std::fprintf(
            stderr,
            "warning: largest displacement about %.1f px, beyond the reach of "
            "-coarseResol %d (about %.1f px); %s\n",
            largest, p_.Coarse_resol, kReach * (1 << p_.Coarse_resol),
            needed <= deepest
                ? ("-coarseResol " + std::to_string(needed) + " or auto reaches it").c_str()
                : "no pyramid of this program reaches it");
    }
}
