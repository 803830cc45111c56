// Validity of the data term (with -border replicate or -mask 1). A sample of an image is known
// when it lies inside the real image (with -border replicate; with -border zero the padded zeros
// count as samples) and its mask, if any, is nonzero. Unknown samples are filled from the known
// ones (masked holes ring by ring, the padded frame by edge replication), so no value they held
// reaches the estimate, and the pyramids carry the validity level by level. At each grid level a
// pixel's data term counts when its t sample is known and the warp's footprint of its t + dt
// sample (at the total wind of the level) lies on known samples; elsewhere its robust data weight
// is 0, which takes it out of the ICM and of the vertical-wind equations alike. Its neighbours
// keep their data term although the derivative masks and the residual smoothing read filled
// samples around them: dropping 1, 2, 3 or 5 more pixels around every unknown one made the
// error near the edges and inside larger on a 190 x 250 sample (README).
#include <algorithm>

#include "bib_ansi.h"
#include "operations_images.h"
#include "physical_constants.h"
#include "run.h"
#include "validity.h"

namespace {

// The validity map marks a pixel when its robust weight, 0 where its data term does not count,
// is at least this: a residual below about 2.1 sigmaData (19 grey levels with -sigmaData 9).
constexpr float kWeightThreshold = 0.01f;
}  // namespace

// The mask of image `name` at the real size (its crop window with -crop 1) into known.
void Run::read_mask(const std::string& name, unsigned char* known) {
    const std::string mask = mask_file_name(name);
    if (p_.crop == 1)
        read_mask_pgm(mask.c_str(), known, nb_col_reel_, nb_lig_reel_, p_.ofx, p_.ofy, false);
    else
        read_mask_pgm(mask.c_str(), known, nb_col_reel_, nb_lig_reel_, 0, 0, true);
}

// The image `which` (0: t, 1: t + dt) of layer l at step `step`, real size in im, into dst at the
// working size; its level-0 validity into the layer.
void Run::extend_image(int step, int l, int which, short* im, short* dst) {
    Layer& layer = layers_[l];
    std::vector<unsigned char>* valid = which == 0 ? layer.valid_t : layer.valid_tdt;
    for (int k = 0; k <= p_.Coarse_resol; ++k)
        valid[k].assign(static_cast<std::size_t>(nb_col_ >> k) * (nb_lig_ >> k), 0);
    const std::size_t real = static_cast<std::size_t>(nb_col_reel_) * nb_lig_reel_;
    std::vector<unsigned char> known(real, 1);
    if (p_.masks) {
        read_mask(path(l, 2 * step + which), known.data());
        fill_invalid(im, known.data(), nb_col_reel_, nb_lig_reel_);
    }
    if (p_.border_replicate) {
        expand_ima_replicate(dst, im, nb_col_reel_, nb_lig_reel_, nb_col_, nb_lig_);
    } else {
        expand_ima(im, dst, nb_col_reel_, nb_lig_reel_, nb_col_, nb_lig_);
        std::fill(valid[0].begin(), valid[0].end(), 1);  // the padded zeros count
    }
    for (int i = 0; i < nb_lig_reel_; ++i)
        std::copy_n(known.begin() + static_cast<long>(i) * nb_col_reel_, nb_col_reel_,
                    valid[0].begin() + static_cast<long>(i) * nb_col_);
}

// With -border replicate the densities fill the working frame: each is constant, so its edge
// samples are its value.
void Run::extend_densities() {
    if (!p_.border_replicate) return;
    MaVal_f(rho_[0][0].data(), nb_col_, nb_lig_, kSurfaceDensity);
    for (int l = 0; l < p_.nb_layers; ++l)
        MaVal_f(rho_[0][l + 1].data(), nb_col_, nb_lig_, densities_[l]);
}

void Run::build_validity_pyramids() {
    for (Layer& layer : layers_) {
        short nc = nb_col_, nl = nb_lig_;
        for (int k = 0; k < p_.Coarse_resol; ++k) {
            reduce_validity(layer.valid_t[k + 1].data(), layer.valid_t[k].data(), nc, nl);
            reduce_validity(layer.valid_tdt[k + 1].data(), layer.valid_tdt[k].data(), nc, nl);
            nc = static_cast<short>(nc / 2);
            nl = static_cast<short>(nl / 2);
        }
    }
}

// Layer L's data validity at the grid level, from its total wind (U, V).
void Run::update_data_validity(int L, const Level& lv) {
    Layer& layer = layers_[L];
    const std::size_t n = static_cast<std::size_t>(lv.nc) * lv.nl;
    layer.data_valid.resize(n);
    warped_validity(layer.data_valid.data(), layer.U.data(), layer.V.data(),
                    layer.valid_t[lv.resol].data(), layer.valid_tdt[lv.resol].data(), lv.nc, lv.nl,
                    !p_.border_replicate);
}

void Run::drop_invalid_data(int L, const Level& lv) {
    Layer& layer = layers_[L];
    drop_invalid_weights(layer.Data_out.data(), layer.data_valid.data(),
                         static_cast<long>(lv.nc) * lv.nl);
}

// 1 where layer l's data term counted at the end of the step (finest level, last grid level)
// with a robust weight of at least kWeightThreshold; the real-size window. The weights are those
// the estimate used, the dropped ones already 0.
void Run::write_validity_map(int l, const std::string& name) {
    const Layer& layer = layers_[l];
    std::vector<unsigned char> map(static_cast<std::size_t>(nb_col_reel_) * nb_lig_reel_);
    for (int i = 0; i < nb_lig_reel_; ++i)
        for (int j = 0; j < nb_col_reel_; ++j) {
            const std::size_t k = static_cast<std::size_t>(i) * nb_col_ + j;
            map[static_cast<std::size_t>(i) * nb_col_reel_ + j] =
                layer.Data_out[k] >= kWeightThreshold ? 1 : 0;
        }
    write_validity_pgm(name.c_str(), map.data(), nb_col_reel_, nb_lig_reel_);
}
