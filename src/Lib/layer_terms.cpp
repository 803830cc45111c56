// Pieces of a layer's linearised mass-conservation data term. Single precision throughout; every
// product and sum is rounded to float where the whole computation rounds it.
#include "layer_terms.h"

#include <cmath>
#include <cstring>

#include "bib_ansi.h"
#include "filter_masks.h"
#include "gaussian.h"
#include "operations_images.h"

namespace {

const float kEpsDiv = 0.01f;  // below this |div| the flux factor is its limit -1

}  // namespace

void divergence_terms(float* div, float* exdiv, float* fx_div, float* fy_div, float* U, float* V,
                      short nc, short nl, float div_sigma) {
    Div_Vie(div, U, V, nc, nl);
    if (div_sigma > 0.0f) Gaussian_smooth_f(div, div, div_sigma, nc, nl);
    Exp_image(exdiv, div, nc, nl);
    Filtre_f_2D_f(fx_div, div, filtre_GX2, 5, 5, nc, nl);
    Norm_f(fx_div, fx_div, kDerivativeNorm, nc, nl);
    Filtre_f_2D_f(fy_div, div, filtre_GY2, 5, 5, nc, nl);
    Norm_f(fy_div, fy_div, kDerivativeNorm, nc, nl);
}

void registered_image(float* registered, const short* ItdtOriginal, float* U, float* V, short nc,
                      short nl, float* scratch, WarpFunction warp) {
    Copy_sh2f(scratch, const_cast<short*>(ItdtOriginal), nc, nl);
    (warp ? warp : Recal_fl)(U, V, registered, scratch, nc, nl);
}

void smoothed_residual(float* ft, const float* exdiv, const float* image, const short* It,
                       float* mask_T2, short nc, short nl, float* scratch) {
    const int n = nc * nl;
    for (int k = 0; k < n; ++k) {
        scratch[k] = exdiv[k] * image[k];
        ft[k] = scratch[k] - static_cast<float>(It[k]);
    }
    Filtre_f_2D_f(scratch, ft, mask_T2, 3, 3, nc, nl);
    Norm_f(ft, scratch, kTemporalNorm, nc, nl);
}

namespace {

typedef float f4 __attribute__((vector_size(16)));
typedef int i4 __attribute__((vector_size(16)));

// Sample k of an image, alone (float) or with the next three (f4).
template <class F>
inline F at(const float* p, int k) {
    F v;
    std::memcpy(&v, p + k, sizeof v);
    return v;
}
template <class F>
inline void put(float* p, int k, const F& v) {
    std::memcpy(p + k, &v, sizeof v);
}
inline float magnitude(float x) {
    return std::fabs(x);
}
inline f4 magnitude(f4 x) {
    return reinterpret_cast<f4>(reinterpret_cast<i4>(x) & 0x7fffffff);
}

// Flux factor and residual of the vertical-wind equation at pixel(s) k, one pixel (float) or
// four (f4) with the same single-precision operations lane by lane; the flux expression is
// evaluated everywhere and replaced by -1 where |div| < 0.01.
template <class F>
inline void flux_and_residual(const MassTermsView& m, int k, F& aux, F& residual) {
    const F d = at<F>(m.div, k), e = at<F>(m.exdiv, k);
    const F fxd = at<F>(m.fx_div, k), fyd = at<F>(m.fy_div, k);
    const F u = at<F>(m.u, k), v = at<F>(m.v, k), I = at<F>(m.Itdt, k);
    const F flux = ((u * fxd + v * fyd) * ((e - 1.0f) / d - e) + (1.0f - e)) / d;
    const F minus_one = F{} - 1.0f;
    aux = magnitude(d) < kEpsDiv ? minus_one : flux;
    residual = e * (I * fxd + at<F>(m.fx, k)) * u + e * (I * fyd + at<F>(m.fy, k)) * v +
               at<F>(m.ft_mass, k);
}

// The coefficient loop of one side, four pixels at a time and the rest one by one; side(aux,
// residual, k, a, b) gives a and b of pixel(s) k, in f4 or float.
template <class Side>
void coefficient_loop(float* a, float* b, const MassTermsView& m, int first, int end, Side side) {
    auto one = [&](int k, auto lanes) {
        using F = decltype(lanes);
        F aux, residual, ak, bk;
        flux_and_residual(m, k, aux, residual);
        side(aux, residual, k, ak, bk);
        put(a, k, ak);
        put(b, k, bk);
    };
    int k = first;
    for (; k + 4 <= end; k += 4) one(k, f4{});
    for (; k < end; ++k) one(k, 0.0f);
}

}  // namespace

void interface_coefficients_up(float* a, float* b, const MassTermsView& m, const float* rho,
                               const float* rho_0, const float* wVert_0, float g, int first,
                               int end) {
    coefficient_loop(a, b, m, first, end, [&](auto aux, auto residual, int k, auto& ak, auto& bk) {
        using F = decltype(aux);
        ak = residual + at<F>(rho_0, k) * g * at<F>(wVert_0, k) * aux;
        bk = -aux * at<F>(rho, k) * g;
    });
}

void interface_coefficients_down(float* a, float* b, const MassTermsView& m, const float* rho_0,
                                 const float* rho, const float* wVert, float g, int first,
                                 int end) {
    coefficient_loop(a, b, m, first, end, [&](auto aux, auto residual, int k, auto& ak, auto& bk) {
        using F = decltype(aux);
        ak = residual - at<F>(rho, k) * g * at<F>(wVert, k) * aux;
        bk = aux * at<F>(rho_0, k) * g;
    });
}

void data_term_update(float* fx, float* fy, float* ft, const MassTermsView& m, const float* rho_lo,
                      const float* rho_hi, const float* w_lo, const float* w_hi, float g, int first,
                      int end) {
    // Pixel(s) k, one (float) or four (f4) with the same operations lane by lane.
    auto update = [&](int k, auto lanes) {
        using F = decltype(lanes);
        const F e = at<F>(m.exdiv, k), d = at<F>(m.div, k);
        const F fxd = at<F>(m.fx_div, k), fyd = at<F>(m.fy_div, k);
        const F temp = e * at<F>(m.Itdt, k);
        F gx = e * at<F>(m.fx, k);
        F gy = e * at<F>(m.fy, k);
        gx += temp * fxd;
        gy += temp * fyd;
        const F gt = at<F>(m.ft_mass, k);
        const F lo = at<F>(rho_lo, k) * at<F>(w_lo, k);
        const F hi = at<F>(rho_hi, k) * at<F>(w_hi, k);
        const F flux = g * (lo - hi);
        const F em1 = e - 1.0f;
        const F Fd = flux / d;
        const F A = (em1 / d - e) * Fd;
        const auto first_order = magnitude(d) <= kEpsDiv;
        put(fx, k, first_order ? gx : gx + A * fxd);
        put(fy, k, first_order ? gy : gy + A * fyd);
        put(ft, k, first_order ? gt - flux : gt + -Fd * em1);
    };
    int k = first;
    for (; k + 4 <= end; k += 4) update(k, f4{});
    for (; k < end; ++k) update(k, 0.0f);
}
