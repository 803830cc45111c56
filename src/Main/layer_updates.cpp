// The layer tasks of the coarse-to-fine loop: the terms of a layer fixed for a grid level, its
// ICM sweeps and auxiliary fits (queued on the layer's chain of the worker pool), the linearised
// data term with the density flux through the layer's two interfaces, and the vertical wind of
// an interface from the two layers that meet there.
#include <algorithm>
#include <cmath>

#include "bib_ansi.h"
#include "filter_masks.h"
#include "lissage_div_curl.h"
#include "operations_images.h"
#include "physical_constants.h"
#include "run.h"

namespace {
constexpr float kCondConv = 3.0f;  // ICM convergence threshold, percent of blocks
}  // namespace

// Mean of |a - b| in double: eight partial sums over k mod 8 (independent, so that they run in
// vector lanes), added pairwise, then the last n mod 8 samples in order; 0 when n is 0.
float mean_change(const float* a, const float* b, std::size_t n) {
    double part[8] = {};
    std::size_t k = 0;
    for (; k + 8 <= n; k += 8)
        for (int j = 0; j < 8; ++j) part[j] += std::fabs(static_cast<double>(a[k + j]) - b[k + j]);
    double sum =
        ((part[0] + part[4]) + (part[1] + part[5])) + ((part[2] + part[6]) + (part[3] + part[7]));
    for (; k < n; ++k) sum += std::fabs(static_cast<double>(a[k]) - b[k]);
    return n ? static_cast<float>(sum / static_cast<double>(n)) : 0.0f;
}

// Terms of layer L fixed for the grid level: divergence of (U, V), its exponential and
// derivatives, the t + dt image registered on (U, V) (unless register_and_filter has just
// made it, on the same U, V) and the smoothed residual of the vertical-wind equation. U, V and
// the images do not change until the end of the level.
void Run::prepare_layer(int L, const Level& lv) {
    const short resol = lv.resol, nc = lv.nc, nl = lv.nl;
    Layer& layer = layers_[L];
    const std::size_t n = static_cast<std::size_t>(nc) * nl;
    std::vector<float> scratch_a(n);
    // -divSmooth is in pixels of the full resolution; resolution r has 2^r times fewer.
    divergence_terms(layer.div.data(), layer.exdiv.data(), layer.fx_div.data(), layer.fy_div.data(),
                     layer.U.data(), layer.V.data(), nc, nl,
                     p_.divSmooth / static_cast<float>(1 << resol));
    if (!layer.registered)
        registered_image(layer.Itdt_reg.data(), layer.Itdt[resol].data(), layer.U.data(),
                         layer.V.data(), nc, nl, scratch_a.data(), warp_);
    layer.registered = false;
    smoothed_residual(layer.residual_reg.data(), layer.exdiv.data(), layer.Itdt_reg.data(),
                      layer.It[resol].data(), filtre_T2, nc, nl, scratch_a.data());
    if (validity_) update_data_validity(L, lv);
}

// The auxiliary fits (Estim_Regulees_Rob) of layer L. They read U, V, u, v and write only
// Estim and Estim_rot.
void Run::fit_layer(int L, const Level& lv) {
    Layer& layer = layers_[L];
    fit_auxiliary_fields(layer.Estim.data(), layer.Estim_rot.data(), layer.U.data(), layer.V.data(),
                         layer.u.data(), layer.v.data(), lv.nc, lv.nl, p_.coef_regul,
                         p_.sigma_inter, layer.fit_scratch, sharing(),
                         p_.fast ? FitPrecision::Single : FitPrecision::Double);
}

// At most icm_sweeps_ ICM sweeps of layer L; its console text is kept in the layer.
void Run::icm_sweeps(int L, const Level& lv) {
    Layer& layer = layers_[L];
    CapturedOutput capture(&layer.messages);
    layer.it_HS = 0;
    layer.Conv_HS = 1;
    if (layer.data_changed) layer.affine_systems.forget();
    layer.data_changed = false;
    const std::size_t n = static_cast<std::size_t>(lv.nc) * lv.nl;
    if (p_.fast) {
        layer.u_before.assign(layer.u.begin(), layer.u.begin() + n);
        layer.v_before.assign(layer.v.begin(), layer.v.begin() + n);
    }
    const LayerImages images{
        layer.U.data(),  layer.V.data(),  layer.u.data(),        layer.v.data(), layer.fx.data(),
        layer.fy.data(), layer.ft.data(), layer.Data_out.data(), lv.nc,          lv.nl};
    SmoothingEnergy energy;
    energy.lambda = p_.lambda;
    energy.Estim = layer.Estim.data();
    energy.Estim_rot = layer.Estim_rot.data();
    energy.It = layer.It[lv.resol].data();
    do {
        layer.Conv_HS =
            icm_sweep(images, energy, layer.parcours.get(), 4, kCondConv, &layer.affine_systems,
                      sharing(), p_.fast ? BlockSums::fast : BlockSums::extended);
        layer.it_HS += 1;
    } while (layer.Conv_HS != 0 && layer.it_HS < icm_sweeps_);
    if (p_.fast)
        layer.move = std::max(mean_change(layer.u.data(), layer.u_before.data(), n),
                              mean_change(layer.v.data(), layer.v_before.data(), n));
}

// Queues, for every layer, its ICM sweeps (when icm is set) and then its auxiliary fits, at the
// nc x nl size, on the layer's chain of the pool: a layer's tasks run after the ones queued
// before them, the layers side by side, ICM sweeps first. Between the queueing and
// pool_.wait_chains(true), the caller may do anything that neither reads Estim, Estim_rot nor
// changes U, V, u, v, fx, fy, ft, Data_out (the derivative updates, once pool_.wait_chains(false)
// returned; the interface updates; the temporary outputs).
void Run::queue_layer_tasks(bool icm, const Level& lv) {
    for (int L = 0; L < p_.nb_layers; ++L) {
        if (icm) pool_.chain(L, true, [this, L, lv] { icm_sweeps(L, lv); });
        pool_.chain(L, false, [this, L, lv] { fit_layer(L, lv); });
    }
}

// Linearised data term of layer L with the density flux through its two interfaces:
// (fx, fy) = grad(exp(div W) Itdt), ft = smoothed (exp(div W) Itdt - It), corrected by the flux
// difference F = 88.29 (rho_L w_L - rho_L+1 w_L+1), first order where |div W| <= 0.01.
// The smoothed residual 0.166 T2 * (exp(div) O_Itdt - It) goes first into ft (fx serving as
// scratch), then each pixel's ft is read before it is rewritten.
void Run::derivative_update(int L, const Level& lv) {
    const short resol = lv.resol, nc = lv.nc, nl = lv.nl;
    Layer& layer = layers_[L];
    smoothed_residual(layer.ft.data(), layer.exdiv.data(), layer.O_Itdt.data(),
                      layer.It[resol].data(), filtre_T2, nc, nl, layer.fx.data());
    const MassTermsView terms{layer.div.data(),
                              layer.exdiv.data(),
                              layer.fx_div.data(),
                              layer.fy_div.data(),
                              layer.O_Itdt.data(),
                              layer.ft.data(),
                              nullptr,
                              nullptr,
                              layer.tempfx.data(),
                              layer.tempfy.data()};
    data_term_update(layer.fx.data(), layer.fy.data(), layer.ft.data(), terms,
                     rho_[resol][L].data(), rho_[resol][L + 1].data(), wVert_[L].data(),
                     wVert_[L + 1].data(), kFluxScale, 0, nc * nl);
    layer.data_changed = true;
}

// What the vertical-wind equation of a layer reads, with its smoothed residual
// 0.166 T2 * (exp(div) Itdt_reg - It) in ft_mass.
namespace {

MassTermsView mass_terms(const Layer& layer, const float* ft_mass) {
    return {layer.div.data(),    layer.exdiv.data(),    layer.fx_div.data(),
            layer.fy_div.data(), layer.Itdt_reg.data(), ft_mass,
            layer.u.data(),      layer.v.data(),        layer.tempfx.data(),
            layer.tempfy.data()};
}

}  // namespace

// The interface coefficients are stale: the increments or the level terms changed.
void Run::forget_coefficients() {
    coefficients_of_ = 0;
    outer_up_current_ = outer_down_current_ = false;
}

// Vertical wind of interface k (between layers k - 1 and k); 0 when converged. The coefficients
// of the layer below (Up) and above (Down) come from the layers' increment terms.
short Run::interface_update(int k, const Level& lv) {
    const short resol = lv.resol, nc = lv.nc, nl = lv.nl;
    const Layer& below = layers_[k - 1];
    const Layer& above = layers_[k];
    const int n = nc * nl;
    // Each side's smoothed residual was computed with the layer's level terms. Two updates of
    // the same interface in a row (where the sweep turns) share their coefficients: only
    // wVert[k] changed in between, and the coefficients do not depend on it. With three layers
    // or more, the outer sides of the outermost interfaces are computed once per vertical pass
    // into buffers of their own.
    const bool up_outer = k == 1 && !outer_up_a_.empty();
    const bool down_outer = k == p_.nb_layers - 1 && !outer_down_a_.empty();
    float* up_a = up_outer ? outer_up_a_.data() : aux_.data();
    float* up_b = up_outer ? outer_up_b_.data() : temp_.data();
    float* down_a = down_outer ? outer_down_a_.data() : aux2_.data();
    float* down_b = down_outer ? outer_down_b_.data() : temp2_.data();
    const bool up = up_outer ? !outer_up_current_ : coefficients_of_ != k;
    const bool down = down_outer ? !outer_down_current_ : coefficients_of_ != k;
    auto side = [&](bool is_up, int first, int end) {
        if (is_up)
            interface_coefficients_up(up_a, up_b, mass_terms(below, below.residual_reg.data()),
                                      rho_[resol][k].data(), rho_[resol][k - 1].data(),
                                      wVert_[k - 1].data(), kFluxScale, first, end);
        else
            interface_coefficients_down(
                down_a, down_b, mass_terms(above, above.residual_reg.data()), rho_[resol][k].data(),
                rho_[resol][k + 1].data(), wVert_[k + 1].data(), kFluxScale, first, end);
    };
    // Pixel by pixel: both sides side by side, or one side in two halves (split on a multiple of
    // 16, where the vector loop of each half starts).
    if (up && down)
        pool_.run(2, [&](int s) { side(s == 0, 0, n); });
    else if (up || down)
        pool_.run(2, [&](int h) {
            const int half = n / 2 / 16 * 16;
            side(up, h == 0 ? 0 : half, h == 0 ? half : n);
        });
    coefficients_of_ = k;
    if (up_outer) outer_up_current_ = true;
    if (down_outer) outer_down_current_ = true;
    return relax_interface_wind(wVert_[k].data(), below.Data_out.data(), above.Data_out.data(),
                                up_a, up_b, down_a, down_b, p_.betaW, p_.sigma_W, nc, nl,
                                wind_scratch_, sharing());
}
