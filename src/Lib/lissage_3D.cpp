// Vertical wind at the interface between two layers. Each layer's linearised mass-conservation
// residual is affine in the unknown interface wind w, a + b w (per pixel, grey levels per time
// step), with the layer's motion, images, densities and its other interface wind held fixed.
// The interface wind minimises both layers' weighted squared residuals plus a robust smoothness
// term, by in-place Gauss-Seidel sweeps alternating with the line-process weights.
#include "lissage_3D.h"

#include <cmath>
#include <vector>

#include "layer_terms.h"
#include "neighbor.h"
#include "vertical_relaxation.h"

namespace {

// The per-pixel images both layer equations are built from.
struct MassTerms {
    explicit MassTerms(std::size_t n)
        : div(n), exdiv(n), Itdt(n), fx_div(n), fy_div(n), ft(n), tmp(n) {}
    std::vector<float> div, exdiv;      // divergence of (U, V) and its exponential
    std::vector<float> Itdt;            // image at t + dt registered on (U, V)
    std::vector<float> fx_div, fy_div;  // spatial derivatives of div
    std::vector<float> ft;              // smoothed residual exdiv Itdt - It
    std::vector<float> tmp;             // scratch
};

// div of (U, V) and exp(div); the t + dt image registered on (U, V); div_x, div_y by the 5 x 5
// masks / 1680; ft = 0.166 T2 * (exp(div) Itdt - It) in grey levels.
MassTermsView mass_terms(MassTerms& m, short* It, short* ItdtOriginal, float* U, float* V, float* u,
                         float* v, short nc, short nl, float* fx, float* fy, float* filtre_T2) {
    divergence_terms(m.div.data(), m.exdiv.data(), m.fx_div.data(), m.fy_div.data(), U, V, nc, nl);
    registered_image(m.Itdt.data(), ItdtOriginal, U, V, nc, nl, m.tmp.data());
    smoothed_residual(m.ft.data(), m.exdiv.data(), m.Itdt.data(), It, filtre_T2, nc, nl,
                      m.tmp.data());
    return {m.div.data(),
            m.exdiv.data(),
            m.fx_div.data(),
            m.fy_div.data(),
            m.Itdt.data(),
            m.ft.data(),
            u,
            v,
            fx,
            fy};
}

std::size_t pixel_count(short nc, short nl) {
    const int n = nc * nl;
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

}  // namespace

// Layer below the interface: a = residual + g rho_0 wVert_0 aux (known wind at its lower
// interface), b = -aux g rho (unknown wind at its upper interface), per pixel, float.
void cte_edp2ndMembreFiltreGaussUp(float* a, float* b, float* rho, float* rho_0, float* wVert_0,
                                   short* It, short* ItdtOriginal, float* U, float* V, float* u,
                                   float* v, float g, short nc_resol_K, short nl_resol_K, float* fx,
                                   float* fy, float* filtre_T2) {
    MassTerms m(pixel_count(nc_resol_K, nl_resol_K));
    const MassTermsView view =
        mass_terms(m, It, ItdtOriginal, U, V, u, v, nc_resol_K, nl_resol_K, fx, fy, filtre_T2);
    interface_coefficients_up(a, b, view, rho, rho_0, wVert_0, g, 0, nc_resol_K * nl_resol_K);
}

// Layer above the interface: a = residual - g rho wVert aux (known wind at its upper
// interface), b = aux g rho_0 (unknown wind at its lower interface), per pixel, float.
void cte_edp2ndMembreFiltreGaussDown(float* a, float* b, float* rho_0, float* rho, float* wVert,
                                     short* It, short* ItdtOriginal, float* U, float* V, float* u,
                                     float* v, float g, short nc_resol_K, short nl_resol_K,
                                     float* fx, float* fy, float* filtre_T2) {
    MassTerms m(pixel_count(nc_resol_K, nl_resol_K));
    const MassTermsView view =
        mass_terms(m, It, ItdtOriginal, U, V, u, v, nc_resol_K, nl_resol_K, fx, fy, filtre_T2);
    interface_coefficients_down(a, b, view, rho_0, rho, wVert, g, 0, nc_resol_K * nl_resol_K);
}

// 0 on the first and last line and the first and last column.
void BordMisAZero(float* DI_Dt_out, short nc_resol_K, short nl_resol_K) {
    if (nc_resol_K <= 0 || nl_resol_K <= 0) return;
    const int last_line = (nl_resol_K - 1) * nc_resol_K;
    for (int j = 0; j < nc_resol_K; ++j) {
        DI_Dt_out[j] = 0.0f;
        DI_Dt_out[last_line + j] = 0.0f;
    }
    for (int i = 0; i < nl_resol_K; ++i) {
        DI_Dt_out[i * nc_resol_K] = 0.0f;
        DI_Dt_out[i * nc_resol_K + nc_resol_K - 1] = 0.0f;
    }
}

// Minimiser at (i, j) of D0 (a01 + b01 w)^2 + D1 (a12 + b12 w)^2 + lambdaW sum weight (w - w_q)^2:
// wind_numerator / wind_denominator in single precision (vertical_relaxation.h). Missing
// neighbours are the pixel itself, links above line 0 and left of column 0 weigh 0. A zero
// denominator keeps the current value.
float EstimValWVert_RobUpDown(float* wVert, float* a01, float* b01, float* a12, float* b12,
                              float* Data_out, float* Data_out2, short i, short j, short nb_col,
                              short nb_line, float lambdaW, Line_Process* ztw) {
    const float numerator = wind_numerator(
        lambdaW, ztw->Disc_h, DOWN(i, j, nb_col, nb_line, wVert),
        UP_spat(i, j, nb_col, nb_line, ztw), UP(i, j, nb_col, nb_line, wVert),
        LEFT_spat(i, j, nb_col, nb_line, ztw), LEFT(i, j, nb_col, nb_line, wVert), ztw->Disc_v,
        RIGHT(i, j, nb_col, nb_line, wVert), *a01 * *b01 * *Data_out, *a12 * *b12 * *Data_out2);
    const float denominator =
        wind_denominator(lambdaW, ztw->Disc_h, UP_spat(i, j, nb_col, nb_line, ztw),
                         LEFT_spat(i, j, nb_col, nb_line, ztw), ztw->Disc_v,
                         *b01 * *b01 * *Data_out, *b12 * *b12 * *Data_out2);
    return kept_where_zero(numerator / denominator, denominator, *wVert);
}

// One forward raster sweep then one backward sweep of in-place updates with the links in ztw;
// returns the number of updates (over both sweeps) that moved the value by 0.001 or more.
int RegulWVert_RobUpDown(float* wVert, float* Data_out, float* Data_out2, float* a01, float* b01,
                         float* a12, float* b12, short nb_col, short nb_line, float lambdaW,
                         Line_Process* ztw) {
    WindRelaxationScratch scratch;
    return relax_interface_pass(wVert, Data_out, Data_out2, a01, b01, a12, b12, lambdaW, ztw,
                                nb_col, nb_line, scratch);
}

// Relaxes wVert in place: at most two passes, the first with uniform link weights, the weights
// recomputed from wVert (sigmaW) after each pass. Returns 0 once a pass changes fewer than 3 %
// of the pixels, 1 otherwise.
short Estim_Wvert_RobUpDown(float* wVert, float* Data_out, float* Data_out2, float* a01, float* b01,
                            float* a12, float* b12, float lambdaW, float sigmaW, short nc_resol_K,
                            short nl_resol_K) {
    WindRelaxationScratch scratch;
    return relax_interface_wind(wVert, Data_out, Data_out2, a01, b01, a12, b12, lambdaW, sigmaW,
                                nc_resol_K, nl_resol_K, scratch);
}
