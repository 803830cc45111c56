// The results of a time step, next to each layer's image at time t (path P), or in the output
// folder under P's file name: P_3D.xaf and P_3D.motion (the horizontal wind), and for layers 1
// and up P_3D.motionUp and P_3D.motionUpMatlab (the vertical wind of the layer's lower
// interface), all cut back from the working size to the real size (top-left window), optionally
// smoothed.
#include <cmath>
#include <cstdio>
#include <iostream>

#include "fail.h"
#include "gaussian.h"
#include "io_field.h"
#include "operations_images.h"
#include "optic_flow_3DMultilayers.h"
#include "output_paths.h"
#include "run.h"

using cimg_library::CImg;

namespace {

// Samples of the top-left nc x nl window of a field (rows `stride` long) that are NaN or infinite.
long non_finite(const float* f, int stride, int nc, int nl) {
    long n = 0;
    for (int y = 0; y < nl; ++y)
        for (int x = 0; x < nc; ++x)
            n += !std::isfinite(f[static_cast<std::size_t>(y) * stride + x]);
    return n;
}

}  // namespace

// Every layer's results of time step `step`. Winds that are not finite numbers end the run before
// any file of the step is written (the field files would hold them as plausible codes).
void Run::write_results(int step) {
    for (int l = 0; l < p_.nb_layers; ++l) {
        const Layer& layer = layers_[l];
        long bad = non_finite(layer.U.data(), nb_col_, nb_col_reel_, nb_lig_reel_) +
                   non_finite(layer.V.data(), nb_col_, nb_col_reel_, nb_lig_reel_);
        if (l >= 1) bad += non_finite(wVert_[l].data(), nb_col_, nb_col_reel_, nb_lig_reel_);
        if (bad == 0) continue;
        char refine_text[48] = "";
        if (p_.refine > 0)
            std::snprintf(refine_text, sizeof refine_text, ", -refineAlpha %g",
                          static_cast<double>(p_.refineAlpha >= 0.0f ? p_.refineAlpha : p_.lambda));
        fail(
            "the winds of layer %d at time step %d are not finite numbers (%ld NaN or infinite "
            "values): a block system was singular or the iterations diverged, and no result of "
            "this step was written; zero or tiny weights do this (here -alpha %g, -lambda %g, "
            "-SigmaReg %g%s)",
            l, step + 1, bad, static_cast<double>(p_.lambda), static_cast<double>(p_.coef_regul),
            static_cast<double>(p_.sigma_inter), refine_text);
    }
    std::cout << "\nwriting estimated fields ..." << std::endl;
    // The layers' files side by side, each layer from its own copy of its winds at the real size.
    const std::size_t reel = static_cast<std::size_t>(nb_col_reel_) * nb_lig_reel_;
    for_each_layer([&](int l) {
        Layer& layer = layers_[l];
        const std::string P = result_base(path(l, 2 * step), p_.outDir);
        std::vector<float> Ureel(reel), Vreel(reel);
        ajust_field(layer.U.data(), layer.V.data(), Ureel.data(), Vreel.data(), nb_col_,
                    nb_col_reel_, nb_lig_reel_);
        if (p_.postSmooth > 0.0f) {
            Gaussian_smooth_f(Ureel.data(), Ureel.data(), p_.postSmooth, nb_col_reel_,
                              nb_lig_reel_);
            Gaussian_smooth_f(Vreel.data(), Vreel.data(), p_.postSmooth, nb_col_reel_,
                              nb_lig_reel_);
        }
        const std::string xaf = P + "_3D.xaf";
        short coderr = 0;
        write_field(xaf.c_str(), Ureel.data(), Vreel.data(), nb_col_reel_, nb_lig_reel_, &coderr);
        if (coderr != 0) fail("cannot write the motion-field file %s", xaf.c_str());
        write_champ(Ureel.data(), Vreel.data(), nb_col_reel_, nb_lig_reel_,
                    (P + "_3D.motion").c_str());
        if (l >= 1) {
            CImg<float> w(nb_col_reel_, nb_lig_reel_);
            for (int y = 0; y < nb_lig_reel_; ++y)
                for (int x = 0; x < nb_col_reel_; ++x)
                    w(x, y) = wVert_[l][static_cast<std::size_t>(y) * nb_col_ + x];
            if (p_.postSmoothW > 0.0f)
                Gaussian_smooth_f(w.data(), w.data(), p_.postSmoothW, nb_col_reel_, nb_lig_reel_);
            write_rawF(w, (P + "_3D.motionUp").c_str());
            Cree_fichier_image((P + "_3D.motionUpMatlab").c_str(), w);
        }
        if (validity_) write_validity_map(l, P + "_3D.valid.pgm");
    });
}
