// The coarse-to-fine estimation of one time step: resolutions from the coarsest pyramid level to
// the finest, at each one the grid levels from the coarsest blocks to the finest, and at each
// grid level horizontal passes (ICM per layer) alternating with vertical passes (relaxation per
// interface, upward then downward) until both settle at their first repetition.
#include <algorithm>
#include <cstdio>
#include <iostream>

#include "affine.h"
#include "bib_ansi.h"
#include "filter_masks.h"
#include "lissage_3D.h"
#include "operations_images.h"
#include "physical_constants.h"
#include "relax.h"
#include "run.h"

namespace {
constexpr float kGmin = 0.0f;  // gradient threshold of the block activity test
constexpr int kMaxAlternations = 100;
constexpr int kMaxRepetitions = 500;
// Fast mode: an alternation that moves the increments of every layer by less than kStill on
// average (px; a fifth of the motion-field files' resolution, 0.005 px) ends the grid level, and
// a horizontal repetition that does so ends the pass. A rule on the largest move never fires: a
// few border pixels keep drifting.
constexpr float kStill = 0.001f;
// On blocks of 4 px or less at full resolution a horizontal repetition ends the pass below the
// files' resolution itself: its later repetitions mostly polish noise. Not on larger blocks or
// coarser resolutions, where large motions are reached by a slow creep of the blocks that the
// looser rule cuts short (8 px per step: 11 % more error with it on every grid level).
constexpr float kStillFine = 0.005f;
// With -divSmooth the later repetitions and alternations go on lowering the error (the
// divergence feedback that made them fit noise is damped), so both rules end them below
// kStillSmoothed on every grid level. On the generated 256 x 256 samples the presets' fast-mode
// error went from 3 % below and 18 % above the default path's (-preset smooth, turbulent) to 9 %
// and 2 % below, for about 14 % more CPU time.
constexpr float kStillSmoothed = 0.0005f;
// At full resolution the fast mode makes one ICM sweep per layer and horizontal repetition
// instead of up to two: the auxiliary fits follow every sweep. On the generated samples that
// lowers the mean error with the defaults and -preset smooth, and raises it by 1.5 % with
// -preset turbulent (by 2 to 4 % on the smooth samples, 6 % less on the turbulent one).
}  // namespace

// Fast mode: the increments at the start of an alternation.
void Run::keep_alternation_start(const Level& lv) {
    const std::size_t n = static_cast<std::size_t>(lv.nc) * lv.nl;
    for (Layer& layer : layers_) {
        layer.u_alternation.assign(layer.u.begin(), layer.u.begin() + n);
        layer.v_alternation.assign(layer.v.begin(), layer.v.begin() + n);
    }
}

// Fast mode: whether the alternation moved u or v of some layer by kStill (kStillSmoothed with
// -divSmooth) or more on average (U and V stay fixed within a grid level, so the increments tell).
bool Run::alternation_moved(const Level& lv) {
    const std::size_t n = static_cast<std::size_t>(lv.nc) * lv.nl;
    const float still = p_.divSmooth > 0.0f ? kStillSmoothed : kStill;
    for (const Layer& layer : layers_)
        if (mean_change(layer.u.data(), layer.u_alternation.data(), n) >= still ||
            mean_change(layer.v.data(), layer.v_alternation.data(), n) >= still)
            return true;
    return false;
}

// Robust data weights of layer L from its current data term and increment, 0 on the border and
// where the data term is invalid; the fast mode evaluates their exponential in float.
void Run::data_weights(int L, const Level& lv) {
    Layer& layer = layers_[L];
    if (p_.fast)
        data_weights_fast(layer.Data_out.data(), layer.u.data(), layer.v.data(), layer.fx.data(),
                          layer.fy.data(), layer.ft.data(), p_.sigma1,
                          static_cast<long>(lv.nc) * lv.nl);
    else
        Data_Out_Gen_f(layer.u.data(), layer.v.data(), layer.fx.data(), layer.fy.data(),
                       layer.ft.data(), p_.sigma1, lv.nc, lv.nl, layer.Data_out.data());
    BordMisAZero(layer.Data_out.data(), lv.nc, lv.nl);
    if (validity_) drop_invalid_data(L, lv);
}

// The layers are prepared side by side: a layer's preparation reads only its own fields and
// the vertical winds, which the interface updates change only afterwards, in interface order.
void Run::level_initialisation(const Level& lv) {
    const short nc = lv.nc, nl = lv.nl;
    for_each_layer([&](int L) {
        Layer& layer = layers_[L];
        Maz_f(layer.u.data(), nb_col_, nb_lig_);
        Maz_f(layer.v.data(), nb_col_, nb_lig_);
        Maz_theta(layer.parcours.get());
        Filtre_f_2D_f(layer.tempfx.data(), layer.O_Itdt.data(), filtre_GX2, 5, 5, nc, nl);
        Norm_f(layer.tempfx.data(), layer.tempfx.data(), kDerivativeNorm, nc, nl);
        Filtre_f_2D_f(layer.tempfy.data(), layer.O_Itdt.data(), filtre_GY2, 5, 5, nc, nl);
        Norm_f(layer.tempfy.data(), layer.tempfy.data(), kDerivativeNorm, nc, nl);
        prepare_layer(L, lv);
        derivative_update(L, lv);
        Maz_Data_O(layer.Data_out.data(), nb_col_, nb_lig_);
        Maz_Data_O(layer.Gamma_out.data(), nb_col_, nb_lig_);
        Maz_Data_O(layer.Mu_out.data(), nb_col_, nb_lig_);
        Indic_Grad_Min(layer.parcours.get(), layer.fx.data(), layer.fy.data(),
                       layer.Data_out.data(), kGmin, nc, nl);
        layer.affine_systems.forget_blocks();  // a new block list or new active blocks
        data_weights(L, lv);
    });
    queue_layer_tasks(false, lv);
    forget_coefficients();
    for (int L = 1; L < p_.nb_layers; ++L) interface_update(L, lv);
}

// The temporary outputs of the pass at the current size, from a copy of the winds.
void Run::write_temporary_outputs(const Level& lv) {
    const std::size_t n = static_cast<std::size_t>(lv.nc) * lv.nl;
    std::unique_ptr<PassSnapshot> snap = temporary_writer_.blank();
    snap->nc = lv.nc;
    snap->nl = lv.nl;
    snap->nb_layers = p_.nb_layers;
    for (int L = 0; L < 3 && L < p_.nb_layers; ++L) {
        const Layer& layer = layers_[L];
        snap->wU[L].resize(n);
        snap->wV[L].resize(n);
        for (std::size_t k = 0; k < n; ++k) {
            snap->wU[L][k] = layer.U[k] + layer.u[k];
            snap->wV[L][k] = layer.V[k] + layer.v[k];
        }
    }
    for (int k = 1; k < 3 && k < p_.nb_layers; ++k)
        snap->wind[k].assign(wVert_[k].begin(), wVert_[k].begin() + n);
    temporary_writer_.write(std::move(snap));
}

// Vertical pass: upward then downward sweeps over the interior interfaces until every interface
// converges in one sweep pair (at most 500 pairs); returns the number of pairs (1 with fewer than
// two layers).
int Run::vertical_pass(const Level& lv) {
    if (p_.nb_layers < 2) return 1;
    int countW = 0;
    bool convVariable_wVert = false;
    forget_coefficients();  // the increments changed in the horizontal pass
    do {
        for (int k = 1; k <= p_.nb_layers - 1; ++k) convwVertLayer_[k] = interface_update(k, lv);
        for (int k = p_.nb_layers - 1; k >= 1; --k) convwVertLayer_[k] = interface_update(k, lv);
        convVariable_wVert = false;
        for (int k = 1; k <= p_.nb_layers - 1; ++k)
            if (convwVertLayer_[k] != 0) convVariable_wVert = true;
        countW += 1;
    } while (convVariable_wVert && countW < kMaxRepetitions);
    return countW;
}

void Run::alternate(const Level& lv, short scale) {
    const float still = p_.divSmooth > 0.0f           ? kStillSmoothed
                        : lv.resol == 0 && scale <= 2 ? kStillFine
                                                      : kStill;  // horizontal passes
    icm_sweeps_ = p_.fast && lv.resol == 0 ? 1 : 2;
    int Nb_it = 0;
    int Conv = 1;
    // Whether the layers' data terms hold the current vertical winds. The level's first
    // horizontal pass follows the interface updates of the level initialisation; afterwards the
    // derivative updates after each vertical pass do. A derivative update reads U, V, the level
    // terms and the vertical winds, never u, v, so those of the horizontal pass's later
    // repetitions would rewrite the same values.
    bool flux_current = p_.nb_layers < 2;
    do {
        if (p_.fast) keep_alternation_start(lv);
        // Horizontal pass: at most icm_sweeps_ ICM sweeps per layer and repetition.
        int countV = 0;
        bool convVariable_UV = false;
        if (p_.nb_layers < 1) {
            countV = 1;
        } else {
            do {
                // The layers are independent here: each one's ICM sweeps, auxiliary fits and
                // derivative update read and write only its own fields.
                for (int L = 0; L < p_.nb_layers; ++L) convwVertLayer_[L] = 1;
                queue_layer_tasks(true, lv);
                pool_.wait_chains(false);
                for (Layer& layer : layers_) {
                    std::fputs(layer.messages.c_str(), stdout);
                    layer.messages.clear();
                }
                convVariable_UV = false;
                float move = 0.0f;
                for (const Layer& layer : layers_) {
                    if (layer.Conv_HS != 0) convVariable_UV = true;
                    move = std::max(move, layer.move);
                }
                if (p_.fast && move < still) convVariable_UV = false;
                countV += 1;
                if (!flux_current) for_each_layer([&](int L) { derivative_update(L, lv); });
                flux_current = true;
            } while (convVariable_UV && countV < kMaxRepetitions);
        }
        std::cout << "horizontale : " << countV;

        const int countW = vertical_pass(lv);
        std::cout << ",\tvertical : " << countW << std::endl;

        for_each_layer([&](int L) {
            derivative_update(L, lv);
            data_weights(L, lv);
        });
        flux_current = true;  // the derivative updates above saw the vertical pass's winds

        if ((countV == 1 && countW == 1 && Nb_it > 0) ||
            (p_.fast && Nb_it > 0 && !alternation_moved(lv))) {
            Conv = 0;
        } else {
            if (convVariable_UV)
                for (int L = 0; L < p_.nb_layers; ++L)
                    std::cout << L << " : " << layers_[L].Conv_HS << std::endl;
            Conv = 1;
        }
        Nb_it += 1;
        // The fast mode refreshes the temporary files once per grid level, with the same last
        // pass.
        if (!p_.fast || Conv == 0 || Nb_it >= kMaxAlternations) write_temporary_outputs(lv);
    } while (Conv != 0 && Nb_it < kMaxAlternations);
    pool_.wait_chains(true);
    if (Conv == 0)
        std::cout << "convergence accomplish within " << Nb_it << " iterations " << std::endl;
    else
        std::cout << "convergence not reached within " << Nb_it << " iterations  " << std::endl;
}

// Layers side by side, as many at a time as there are threads (each registration holds a few
// images of work memory).
void Run::end_of_grid_level(const Level& lv, short scale) {
    const short nc = lv.nc, nl = lv.nl;
    const bool last = scale == p_.fineGrid;  // the last grid level: no re-registration, no split
    std::vector<long> splits(static_cast<std::size_t>(p_.nb_layers), 0);
    for_each_layer([&](int L) {
        Layer& layer = layers_[L];
        Plus_fl(layer.U.data(), layer.U.data(), layer.u.data(), nc, nl);
        Plus_fl(layer.V.data(), layer.V.data(), layer.v.data(), nc, nl);
        if (last) return;
        register_and_filter(layer, layer.Itdt[lv.resol].data(), layer.U.data(), layer.V.data(), nc,
                            nl);
        // Split every block that overlaps the image; continue past its four quarters.
        bloc* courant = layer.parcours.get();
        while (courant) {
            const int T = 1 << courant->taille;
            if (courant->abs + T > 0 && courant->abs < nl && courant->ord + T > 0 &&
                courant->ord < nc) {
                decoupe(courant, nl, nc);
                splits[static_cast<std::size_t>(L)] += 1;
                for (int q = 0; q < 4 && courant; ++q) courant = courant->suiv;
            } else {
                courant = courant->suiv;
            }
        }
    });
    for (long n : splits) nb_decou_ += n;
}

// Block lists freed; below the finest resolution the fields are doubled, projected to the next
// finer level and the t + dt images registered on them there. Layers side by side: each touches
// only its own fields and its own lower interface's vertical wind.
void Run::end_of_resolution(Level& lv) {
    for_each_layer([&](int L) {
        Layer& layer = layers_[L];
        Maz_f(layer.u.data(), nb_col_, nb_lig_);
        Maz_f(layer.v.data(), nb_col_, nb_lig_);
        layer.parcours.reset();
        if (lv.resol != 0) {
            Norm_f(layer.U.data(), layer.U.data(), 2.0f, lv.nc, lv.nl);
            Norm_f(layer.V.data(), layer.V.data(), 2.0f, lv.nc, lv.nl);
            Proj_Dup_fl(layer.fx.data(), layer.U.data(), lv.nc, lv.nl);
            Proj_Dup_fl(layer.fy.data(), layer.V.data(), lv.nc, lv.nl);
            Proj_Dup_fl(layer.ft.data(), wVert_[L].data(), lv.nc, lv.nl);
        }
    });
    if (lv.resol == 0) return;
    lv.nc = static_cast<short>(lv.nc * 2);
    lv.nl = static_cast<short>(lv.nl * 2);
    for_each_layer([&](int L) {
        Layer& layer = layers_[L];
        register_and_filter(layer, layer.Itdt[lv.resol - 1].data(), layer.fx.data(),
                            layer.fy.data(), lv.nc, lv.nl);
        Copy_f(layer.U.data(), layer.fx.data(), lv.nc, lv.nl);
        Copy_f(layer.V.data(), layer.fy.data(), lv.nc, lv.nl);
        Copy_f(wVert_[L].data(), layer.ft.data(), lv.nc, lv.nl);
    });
}

void Run::estimate() {
    Level lv{p_.Coarse_resol, static_cast<short>(nb_col_ >> p_.Coarse_resol),
             static_cast<short>(nb_lig_ >> p_.Coarse_resol)};
    for (; lv.resol >= 0; --lv.resol) {
        const short nb_blocs_col = lv.nc >> p_.Coarse_scale;
        const short nb_blocs_lig = lv.nl >> p_.Coarse_scale;
        N_ = static_cast<long>(nb_blocs_lig) * nb_blocs_col;
        for (Layer& layer : layers_) {
            bloc* head = nullptr;
            init_parc(&head, p_.Coarse_scale, lv.resol, nb_col_, nb_lig_, N_, nb_blocs_col);
            layer.parcours.reset(head);
        }
        std::fprintf(stderr, "Initial grid: %hd X %hd blocks of size %hd X %hd\n", nb_blocs_col,
                     nb_blocs_lig, static_cast<short>(lv.nl / nb_blocs_lig),
                     static_cast<short>(lv.nc / nb_blocs_col));
        nb_decou_ = 0;
        for (short scale = p_.Coarse_scale; scale >= p_.fineGrid; --scale) {
            level_initialisation(lv);
            std::fprintf(stderr, "********************************* \n");
            std::fprintf(stderr, "**** Resolution %d grid level %d  **** \n", lv.resol, scale);
            std::fprintf(stderr, "********************************* \n");
            alternate(lv, scale);
            end_of_grid_level(lv, scale);
        }
        end_of_resolution(lv);
    }
    if (p_.refine > 0) refine(Level{0, lv.nc, lv.nl});
}
