// The terms of a layer's linearised mass-conservation data term, split by what they depend on,
// so a caller can compute each once and reuse it while its inputs stay the same:
//  - on the total wind (U, V) alone: div = div(U, V), exdiv = exp(div), its derivatives
//    fx_div, fy_div (5 x 5 masks / 1680), and the t + dt image registered on (U, V);
//  - on the images too: the smoothed residual 0.166 T2 * (exdiv I - It) (grey levels);
//  - on the increment (u, v): the flux factor and the residual of the vertical-wind equation;
//  - on the vertical winds: the flux correction of the data term and the coefficients a, b of
//    each interface equation.
// cte_edp2ndMembreFiltreGaussUp / Down and the run's layer derivative update are made of them.
// Images are nc x nl, row-major.
#ifndef LAYER_TERMS_H
#define LAYER_TERMS_H

// div = Div_Vie(U, V), exdiv = exp(div), fx_div, fy_div its derivatives (5 x 5 masks / 1680).
// With div_sigma > 0, div is first smoothed by a Gaussian of that standard deviation in pixels
// (Gaussian_smooth_f: truncated at 3 sigma, borders replicated); a uniform divergence stays
// as it is, while divergence of a few pixels' scale, mostly estimation error that the brightness
// factor exp(div) would turn into grey-level residuals, is damped.
void divergence_terms(float* div, float* exdiv, float* fx_div, float* fy_div, float* U, float* V,
                      short nc, short nl, float div_sigma = 0.0f);

// A registration of an image on a displacement field, with Recal_fl's arguments.
using WarpFunction = void (*)(float* u, float* v, float* Im_fl_out, float* Im_fl_in, short nb_col,
                              short nb_lig);

// registered = the short image ItdtOriginal as float, warped by (U, V) (Recal_fl by default).
void registered_image(float* registered, const short* ItdtOriginal, float* U, float* V, short nc,
                      short nl, float* scratch, WarpFunction warp = nullptr);

// ft = 0.166 x (filtre_T2 applied to (exdiv image - It)), border samples repeated.
void smoothed_residual(float* ft, const float* exdiv, const float* image, const short* It,
                       float* filtre_T2, short nc, short nl, float* scratch);

// What the vertical-wind equation of a layer reads: its level terms, its increment (u, v) and
// the derivatives (fx, fy) of its registered t + dt image.
struct MassTermsView {
    const float *div, *exdiv, *fx_div, *fy_div, *Itdt, *ft_mass;
    const float *u, *v, *fx, *fy;
};

// Coefficients of the interface equation a + b w, per pixel of indices first .. end - 1, with
// flux = ((u fx_div + v fy_div) ((exdiv - 1) / div - exdiv) + (1 - exdiv)) / div, or -1 where
// |div| < 0.01, and residual = exdiv (Itdt fx_div + fx) u + exdiv (Itdt fy_div + fy) v + ft_mass:
// for the layer below the interface (Up: known wind wVert_0 at its lower interface)
// a = residual + rho_0 g wVert_0 flux, b = -flux rho g; for the layer above it (Down: known wind
// wVert at its upper interface) a = residual - rho g wVert flux, b = flux rho_0 g.
void interface_coefficients_up(float* a, float* b, const MassTermsView& m, const float* rho,
                               const float* rho_0, const float* wVert_0, float g, int first,
                               int end);
void interface_coefficients_down(float* a, float* b, const MassTermsView& m, const float* rho_0,
                                 const float* rho, const float* wVert, float g, int first, int end);

// The layer derivative update from its level terms, indices first .. end - 1, with m's Itdt the
// registered t + dt image O_Itdt, ft_mass the smoothed residual and fx, fy the derivatives of
// O_Itdt (u, v are not read): fx = exdiv fx + (exdiv Itdt) fx_div, fy likewise, ft = ft_mass,
// then the flux difference F = g (rho_lo w_lo - rho_hi w_hi): ft -= F where |div| <= 0.01,
// otherwise fx += A fx_div, fy += A fy_div, ft -= (F / div)(exdiv - 1),
// A = ((exdiv - 1) / div - exdiv) (F / div). ft may be m's ft_mass.
void data_term_update(float* fx, float* fy, float* ft, const MassTermsView& m, const float* rho_lo,
                      const float* rho_hi, const float* w_lo, const float* w_hi, float g, int first,
                      int end);

#endif
