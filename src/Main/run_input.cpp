// Input assembly of the run: the image list and the densities (once per run), the real and
// working sizes, the allocation of every buffer, and for each time step the image pair of every
// layer (saturated t samples above 1021 become 9999), the image and density pyramids and the
// initial fields (zero, or read from "<t image>.xaf" and registered).
#include <algorithm>
#include <cstdio>
#include <iostream>

#include "bib_ansi.h"
#include "fail.h"
#include "filter_masks.h"
#include "image_extras.h"
#include "image_list.h"
#include "io_field.h"
#include "operations_images.h"
#include "optic_flow_3DMultilayers.h"
#include "physical_constants.h"
#include "run.h"
#include "run_checks.h"

using cimg_library::CImg;

namespace {
constexpr float kMedianThreshold = 300.0f;  // gradient threshold of the median filter
constexpr int kMedianSize = 3;
}  // namespace

void Run::read_image_list() {
    const ImageList list = ::read_image_list(p_.ifn1, p_.nb_seq, p_.nb_layers);
    if (!list.problem.empty()) fail(FailStyle::Banner, "Error : %s", list.problem.c_str());
    const int per_layer = 2 * (p_.nb_seq - 1);
    nom_seq_.assign(p_.nb_layers, std::vector<std::string>(per_layer));
    for (int l = 0; l < p_.nb_layers; ++l)
        for (int k = 0; k < per_layer; ++k) nom_seq_[l][k] = list.paths[l * per_layer + k];
}

void Run::set_sizes() {
    if (p_.crop == 1) {
        short Dx = 0, Dy = 0;  // checks that the first image exists and holds the window
        entete_pgm(path(0, 0).c_str(), &Dx, &Dy);
        if (p_.ofx + p_.nb_col_reel > Dx || p_.ofy + p_.nb_lig_reel > Dy)
            fail(FailStyle::Banner,
                 "Error : the crop window of %d x %d at column %d, line %d (-dx -dy -ofx -ofy) "
                 "does not fit in the %d x %d image '%s'",
                 p_.nb_col_reel, p_.nb_lig_reel, p_.ofx, p_.ofy, Dx, Dy, path(0, 0).c_str());
    } else {
        entete_pgm(path(0, 0).c_str(), &nb_col_reel_, &nb_lig_reel_);
    }
    if (p_.crop == 1) {
        nb_col_reel_ = p_.nb_col_reel;
        nb_lig_reel_ = p_.nb_lig_reel;
    }
    if (p_.coarse_resol_given) check_pyramid_depth();
    check_working_size(nb_col_reel_, nb_lig_reel_, p_.Coarse_resol, p_.Coarse_scale);
    Modif_Taille_Image_2(nb_col_reel_, nb_lig_reel_, p_.Coarse_resol, p_.Coarse_scale, &nb_col_,
                         &nb_lig_);
    n_ = static_cast<std::size_t>(nb_col_) * static_cast<std::size_t>(nb_lig_);
}

void Run::allocate() {
    const std::size_t reel = static_cast<std::size_t>(nb_col_reel_) * nb_lig_reel_;
    pyr_.assign(n_, 0);
    for (auto* b : {&temp_, &temp2_, &aux_, &aux2_}) b->assign(n_, 0.0f);
    if (p_.nb_layers > 2)
        for (auto* b : {&outer_up_a_, &outer_up_b_, &outer_down_a_, &outer_down_b_})
            b->assign(n_, 0.0f);
    Im_reel_temp_.assign(reel, 0);
    layers_.reserve(p_.nb_layers);
    for (int l = 0; l < p_.nb_layers; ++l) layers_.emplace_back(n_);
    wVert_.assign(p_.nb_layers + 1, std::vector<float>(n_, 0.0f));
    convwVertLayer_.assign(p_.nb_layers + 1, 0);
    for (int k = 0; k <= p_.Coarse_resol; ++k) {
        const std::size_t nk = static_cast<std::size_t>(nb_col_ >> k) * (nb_lig_ >> k);
        for (Layer& layer : layers_) {
            layer.It[k].assign(nk, 0);
            layer.Itdt[k].assign(nk, 0);
        }
        rho_[k].assign(p_.nb_layers + 1, std::vector<float>(nk, 0.0f));
    }
}

void Run::read_densities() {
    std::cout << "\n\n\n*-*-*-*-*-* Reading density values*-*-*-*-*-*-*-*-*-*- " << std::endl;
    FILE* f = std::fopen(p_.ifn2.c_str(), "r");
    if (!f) fail(FailStyle::Banner, "Error : cannot open the density file '%s'", p_.ifn2.c_str());
    std::cout << "surface layer: " << 0 << " with density: " << kSurfaceDensity << std::endl;
    densities_.assign(p_.nb_layers, 0.0f);
    for (int l = 0; l < p_.nb_layers; ++l) {
        const float value = read_density(f, p_.ifn2.c_str(), l, p_.nb_layers);
        densities_[l] = value;
        std::cout << "surface layer: " << l + 1 << " with density: " << value << std::endl;
    }
    std::fclose(f);
}

// The samples of image `name` at the real size (its crop window with -crop 1) into im.
void Run::read_real_image(const std::string& name, short* im) {
    if (p_.crop == 1) {
        read_crop_pgm(name.c_str(), im, nb_col_reel_, nb_lig_reel_, p_.ofx, p_.ofy);
    } else {
        short c = 0, r = 0;
        entete_pgm(name.c_str(), &c, &r);
        if (c != nb_col_reel_ || r != nb_lig_reel_)
            fail("image %s is %d x %d; every image of the run must be %d x %d like the first",
                 name.c_str(), c, r, nb_col_reel_, nb_lig_reel_);
        read_pgm(name.c_str(), im, &nb_col_reel_, &nb_lig_reel_);
    }
}

// Reads the pair of images of layer l for time step `step` into the finest pyramid levels.
void Run::read_layer_images(int step, int l) {
    Layer& layer = layers_[l];
    for (int which = 0; which < 2; ++which) {
        const std::string& name = path(l, 2 * step + which);
        short* im = Im_reel_temp_.data();
        read_real_image(name, im);
        const int count = nb_col_reel_ * nb_lig_reel_;
        for (int k = 0; k < count; ++k) {
            const short x = im[k];
            if (which == 0 && x > 1021) {
                im[k] = 9999;  // saturated sample of the t image
            } else {
                im[k] = static_cast<short>(static_cast<long double>(x) * 100.0L *
                                           static_cast<long double>(0.01));
                if (which == 1) layer.O_Itdt[k] = static_cast<float>(im[k]);
            }
        }
        short* dst = which == 0 ? layer.It[0].data() : layer.Itdt[0].data();
        if (validity_)
            extend_image(step, l, which, im, dst);
        else
            expand_ima(im, dst, nb_col_reel_, nb_lig_reel_, nb_col_, nb_lig_);
    }
}

void Run::build_pyramids() {
    for (int l = 0; l <= p_.nb_layers; ++l) {
        short nc = nb_col_, nl = nb_lig_;
        for (int k = 0; k < p_.Coarse_resol; ++k) {
            if (l < p_.nb_layers) {
                Layer& layer = layers_[l];
                for (std::vector<short>* pyramid : {layer.It, layer.Itdt}) {
                    Filtre_H(temp_.data(), pyramid[k].data(), filtre_PB_burt, 5, nc, nl);
                    Filtre_V_f(temp_.data(), temp_.data(), filtre_PB_burt, 5, nc, nl);
                    Float_to_short(temp_.data(), pyr_.data(), nc, nl);
                    Decimation(pyramid[k + 1].data(), pyr_.data(), nc, nl, 2);
                }
            }
            Filtre_H_f(temp_.data(), rho_[k][l].data(), filtre_PB_burt, 5, nc, nl);
            Filtre_V_f(temp_.data(), temp_.data(), filtre_PB_burt, 5, nc, nl);
            Decimation_f(rho_[k + 1][l].data(), temp_.data(), nc, nl, 2);
            nc = static_cast<short>(static_cast<unsigned short>(nc) >> 1);
            nl = static_cast<short>(static_cast<unsigned short>(nl) >> 1);
        }
        if (l < p_.nb_layers) {
            Layer& layer = layers_[l];
            Copy_sh2f(layer.O_Itdt.data(), layer.Itdt[p_.Coarse_resol].data(), nc, nl);
        }
    }
}

// Itdt_reg = Itdt registered on (U, V) and O_Itdt = MedianOnGrad(Itdt_reg), at the nc x nl
// size; the layer's next prepare_layer takes Itdt_reg as it is. Works in the layer's own
// memory, so layers can be processed side by side.
void Run::register_and_filter(Layer& layer, const short* Itdt, float* U, float* V, short nc,
                              short nl) {
    const std::size_t n = static_cast<std::size_t>(nc) * nl;
    std::vector<float> temp_buffer(n);
    float* temp = temp_buffer.data();
    Copy_sh2f(temp, const_cast<short*>(Itdt), nc, nl);
    warp_(U, V, layer.Itdt_reg.data(), temp, nc, nl);
    layer.registered = true;
    const CImg<float> filtered =
        MedianOnGrad(CImg<float>(layer.Itdt_reg.data(), nc, nl), kMedianSize, kMedianThreshold);
    std::copy(filtered.data(), filtered.data() + static_cast<std::size_t>(nc) * nl,
              layer.O_Itdt.begin());
}

void Run::set_initial_fields(int step) {
    const short resol = p_.Coarse_resol;
    const short nc = nb_col_ >> resol, nl = nb_lig_ >> resol;
    if (p_.Init3D == 0) {
        for (Layer& layer : layers_) {
            Copy_sh2f(layer.O_Itdt.data(), layer.Itdt[resol].data(), nc, nl);
            layer.registered = false;  // the first level registers on the zero wind
        }
    } else {
        for (int l = 0; l < p_.nb_layers; ++l) {
            Layer& layer = layers_[l];
            const std::string name = path(l, 2 * step) + ".xaf";
            short c = 0, r = 0, code = 0;
            read_entete_field(name.c_str(), &c, &r, &code);
            if (code != 0) fail("cannot read the initial motion-field file %s", name.c_str());
            if (c != nb_col_ || r != nb_lig_)
                fail("initial motion-field file %s is %d x %d; the working size is %d x %d",
                     name.c_str(), c, r, nb_col_, nb_lig_);
            const CImg<float> field =
                lire_XAmotionH(name.c_str(), nb_col_, nb_lig_, 0, 0, nb_col_, nb_lig_);
            for (int y = 0; y < nb_lig_; ++y)
                for (int x = 0; x < nb_col_; ++x) {
                    layer.U_temp[static_cast<std::size_t>(y) * nb_col_ + x] = field(x, y, 0);
                    layer.V_temp[static_cast<std::size_t>(y) * nb_col_ + x] = field(x, y, 1);
                }
        }
        for (Layer& layer : layers_)
            register_and_filter(layer, layer.Itdt[0].data(), layer.U_temp.data(),
                                layer.V_temp.data(), nb_col_, nb_lig_);
    }
    for (Layer& layer : layers_) {
        Copie_float(layer.U.data(), layer.U_temp.data(), nc, nl);
        Copie_float(layer.V.data(), layer.V_temp.data(), nc, nl);
    }
}

// The inputs of time step `step`: densities and images of every layer, the fields reset, the
// pyramids and the initial fields.
void Run::read_step_inputs(int step) {
    for (int l = 0; l < p_.nb_layers; ++l) {
        MaVal_f(rho_[0][0].data(), nb_col_reel_, nb_lig_reel_, kSurfaceDensity);
        MaVal_f(temp_.data(), nb_col_reel_, nb_lig_reel_, densities_[l]);
        expand_ima_f(temp_.data(), rho_[0][l + 1].data(), nb_col_reel_, nb_lig_reel_, nb_col_,
                     nb_lig_);
        std::printf("Input files for layer % d \nImage t : %s\nImage t+dt : %s\n", l,
                    path(l, 2 * step).c_str(), path(l, 2 * step + 1).c_str());
        std::fflush(stdout);
        read_layer_images(step, l);
    }
    std::printf("\n");
    std::cout << std::endl;
    for (Layer& layer : layers_)
        for (auto* b :
             {&layer.V, &layer.U, &layer.Estim, &layer.Estim_rot, &layer.V_temp, &layer.U_temp})
            Maz_f(b->data(), nb_col_, nb_lig_);
    for (auto& w : wVert_) Maz_f(w.data(), nb_col_, nb_lig_);
    if (validity_) extend_densities();
    build_pyramids();
    if (validity_) build_validity_pyramids();
    set_initial_fields(step);
}
