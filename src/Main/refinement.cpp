// The opt-in pixel-level refinement after the finest grid level (-refine N): N warps, each
// registering the t + dt images on the current total wind W and linearising there the
// mass-conserving data term exp(div W) Itdt(x + W) - It - F (F the flux difference through the
// layer's interfaces), then minimising the block estimator's energy over a free increment per
// pixel (pixel_refinement.h) in rounds of robust weights, over-relaxation sweeps, auxiliary
// div-curl fits and a vertical pass; the increment is then added to the total wind.
#include <cmath>
#include <vector>

#include "bib_ansi.h"
#include "filter_masks.h"
#include "lissage_3D.h"
#include "operations_images.h"
#include "physical_constants.h"
#include "pixel_refinement.h"
#include "run.h"

namespace {

constexpr float kOmega = 1.8f;  // over-relaxation factor of the sweeps
constexpr int kRounds = 3;      // rounds of weights, sweeps, fits and vertical pass per warp
constexpr int kSweeps = 30;     // over-relaxation sweeps per round

// One layer's linearised data term and work memory, nc x nl.
struct RefinementLayer {
    explicit RefinementLayer(std::size_t n)
        : expdiv(n), r0(n), ax(n), ay(n), b(n), residual(n), xi(n), zeta(n) {}
    std::vector<float> expdiv;         // exp(div W), central differences, 1 on the frame
    std::vector<float> r0, ax, ay, b;  // residual at W and its coefficients
    std::vector<float> residual;       // residual of the current increment
    std::vector<float> xi, zeta;       // div-curl targets: Estim / 2, Estim_rot / 2
};

}  // namespace

void Run::refine(const Level& lv) {
    const short nc = lv.nc, nl = lv.nl;
    const std::size_t n = static_cast<std::size_t>(nc) * nl;
    const float mu = 4.0f * (p_.refineAlpha >= 0.0f ? p_.refineAlpha : p_.lambda);
    std::vector<RefinementLayer> work(static_cast<std::size_t>(p_.nb_layers), RefinementLayer(n));
    for (int warp = 0; warp < p_.refine; ++warp) {
        for_each_layer([&](int L) {
            Layer& layer = layers_[L];
            RefinementLayer& w = work[static_cast<std::size_t>(L)];
            Maz_f(layer.u.data(), nc, nl);
            Maz_f(layer.v.data(), nc, nl);
            prepare_layer(L, lv);  // Itdt_reg: the t + dt image registered on W
            Copy_f(layer.O_Itdt.data(), layer.Itdt_reg.data(), nc, nl);
            Filtre_f_2D_f(layer.tempfx.data(), layer.O_Itdt.data(), filtre_GX2, 5, 5, nc, nl);
            Norm_f(layer.tempfx.data(), layer.tempfx.data(), kDerivativeNorm, nc, nl);
            Filtre_f_2D_f(layer.tempfy.data(), layer.O_Itdt.data(), filtre_GY2, 5, 5, nc, nl);
            Norm_f(layer.tempfy.data(), layer.tempfy.data(), kDerivativeNorm, nc, nl);
            for (int i = 0; i < nl; ++i)
                for (int j = 0; j < nc; ++j) {
                    const std::size_t p = static_cast<std::size_t>(i) * nc + j;
                    double div = 0.0;
                    if (i >= 1 && j >= 1 && i <= nl - 2 && j <= nc - 2)
                        div = 0.5 * (static_cast<double>(layer.U[p + 1]) - layer.U[p - 1]) +
                              0.5 * (static_cast<double>(layer.V[p + nc]) - layer.V[p - nc]);
                    const double e = std::exp(div);
                    w.expdiv[p] = static_cast<float>(e);
                    w.ax[p] = static_cast<float>(e * layer.tempfx[p]);
                    w.ay[p] = static_cast<float>(e * layer.tempfy[p]);
                    w.b[p] = static_cast<float>(e * layer.O_Itdt[p]);
                }
            fit_layer(L, lv);
        });
        for (int round = 0; round < kRounds; ++round) {
            for_each_layer([&](int L) {
                Layer& layer = layers_[L];
                RefinementLayer& w = work[static_cast<std::size_t>(L)];
                const float* rho_lo = rho_[0][L].data();
                const float* rho_hi = rho_[0][L + 1].data();
                const float* w_lo = wVert_[L].data();
                const float* w_hi = wVert_[L + 1].data();
                for (std::size_t p = 0; p < n; ++p) {
                    const double F = static_cast<double>(kFluxScale) *
                                     (static_cast<double>(rho_lo[p]) * w_lo[p] -
                                      static_cast<double>(rho_hi[p]) * w_hi[p]);
                    w.r0[p] = static_cast<float>(static_cast<double>(w.b[p]) - layer.It[0][p] - F);
                    w.xi[p] = 0.5f * layer.Estim[p];
                    w.zeta[p] = 0.5f * layer.Estim_rot[p];
                }
                const RefinementTerms terms{w.r0.data(),
                                            w.ax.data(),
                                            w.ay.data(),
                                            w.b.data(),
                                            layer.Data_out.data(),
                                            layer.U.data(),
                                            layer.V.data(),
                                            w.xi.data(),
                                            w.zeta.data(),
                                            mu,
                                            nc,
                                            nl};
                // Robust weights exp(-r^2 / sigma) of the current residual, 0 on the frame.
                refinement_residual(w.residual.data(), layer.u.data(), layer.v.data(), terms);
                for (std::size_t p = 0; p < n; ++p)
                    layer.Data_out[p] = std::exp(-(w.residual[p] * w.residual[p]) / p_.sigma1);
                BordMisAZero(layer.Data_out.data(), nc, nl);
                refine_increment(layer.u.data(), layer.v.data(), terms, kSweeps, kOmega);
                fit_layer(L, lv);
            });
            vertical_pass(lv);
        }
        for_each_layer([&](int L) {
            Layer& layer = layers_[L];
            Plus_fl(layer.U.data(), layer.U.data(), layer.u.data(), nc, nl);
            Plus_fl(layer.V.data(), layer.V.data(), layer.v.data(), nc, nl);
            Maz_f(layer.u.data(), nc, nl);
            Maz_f(layer.v.data(), nc, nl);
        });
    }
}
