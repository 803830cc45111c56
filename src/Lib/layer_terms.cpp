// Pieces of a layer's linearised mass-conservation data term. Single precision throughout; every
// product and sum is rounded to float where the whole computation rounds it.
#include "layer_terms.h"

#include <cmath>
#include <cstring>

#include "bib_ansi.h"
#include "operations_images.h"

namespace {

const float kNormGrad = 0.0005952381f;  // 1 / 1680, normalisation of the 5 x 5 derivatives
const float kNormT2 = 0.166f;           // normalisation of the 3 x 3 temporal smoothing
const float kEpsDiv = 0.01f;            // below this |div| the flux factor is its limit -1

// d/dx (columns) and d/dy (lines, downwards), applied as correlations, row-major.
// clang-format off
float kFiltreGX2[25] = {
    135, -188, 0, 188, -135,
    -15, -263, 0, 263,   15,
    -65, -288, 0, 288,   65,
    -15, -263, 0, 263,   15,
    135, -188, 0, 188, -135};
float kFiltreGY2[25] = {
     135,  -15,  -65,  -15,  135,
    -188, -263, -288, -263, -188,
       0,    0,    0,    0,    0,
     188,  263,  288,  263,  188,
    -135,   15,   65,   15, -135};
// clang-format on

}  // namespace

void divergence_terms(float* div, float* exdiv, float* fx_div, float* fy_div, float* U, float* V,
                      short nc, short nl, float* scratch_a, float* scratch_b) {
    // Div_Vie: dU/dx + dV/dy by the same masks, each normalised before the sum.
    Filtre_f_2D_f(scratch_a, U, kFiltreGX2, 5, 5, nc, nl);
    Norm_f(scratch_a, scratch_a, kNormGrad, nc, nl);
    Filtre_f_2D_f(scratch_b, V, kFiltreGY2, 5, 5, nc, nl);
    Norm_f(scratch_b, scratch_b, kNormGrad, nc, nl);
    Plus_fl(div, scratch_a, scratch_b, nc, nl);
    Exp_image(exdiv, div, nc, nl);
    Filtre_f_2D_f(fx_div, div, kFiltreGX2, 5, 5, nc, nl);
    Norm_f(fx_div, fx_div, kNormGrad, nc, nl);
    Filtre_f_2D_f(fy_div, div, kFiltreGY2, 5, 5, nc, nl);
    Norm_f(fy_div, fy_div, kNormGrad, nc, nl);
}

void registered_image(float* registered, const short* ItdtOriginal, float* U, float* V, short nc,
                      short nl, float* scratch, WarpFunction warp) {
    Copy_sh2f(scratch, const_cast<short*>(ItdtOriginal), nc, nl);
    (warp ? warp : Recal_fl)(U, V, registered, scratch, nc, nl);
}

void smoothed_residual(float* ft, const float* exdiv, const float* image, const short* It,
                       float* filtre_T2, short nc, short nl, float* scratch) {
    const int n = nc * nl;
    for (int k = 0; k < n; ++k) {
        scratch[k] = exdiv[k] * image[k];
        ft[k] = scratch[k] - static_cast<float>(It[k]);
    }
    Filtre_f_2D_f(scratch, ft, filtre_T2, 3, 3, nc, nl);
    Norm_f(ft, scratch, kNormT2, nc, nl);
}

namespace {

// Flux factor and residual of the vertical-wind equation at pixel k.
inline void flux_and_residual(const MassTermsView& m, int k, float& aux, float& residual) {
    const float d = m.div[k];
    const float e = m.exdiv[k];
    aux = -1.0f;
    if (!(std::fabs(d) < kEpsDiv))
        aux =
            ((m.u[k] * m.fx_div[k] + m.v[k] * m.fy_div[k]) * ((e - 1.0f) / d - e) + (1.0f - e)) / d;
    residual = e * (m.Itdt[k] * m.fx_div[k] + m.fx[k]) * m.u[k] +
               e * (m.Itdt[k] * m.fy_div[k] + m.fy[k]) * m.v[k] + m.ft_mass[k];
}

typedef float f4 __attribute__((vector_size(16)));
typedef int i4 __attribute__((vector_size(16)));

inline f4 load4(const float* p) {
    f4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// flux_and_residual for pixels k .. k + 3 at once: the same single-precision operations lane by
// lane; the flux expression is evaluated everywhere and replaced by -1 where |div| < 0.01.
inline void flux_and_residual_4(const MassTermsView& m, int k, f4& aux, f4& residual) {
    const f4 d = load4(m.div + k), e = load4(m.exdiv + k);
    const f4 fxd = load4(m.fx_div + k), fyd = load4(m.fy_div + k);
    const f4 u = load4(m.u + k), v = load4(m.v + k), I = load4(m.Itdt + k);
    const f4 flux = ((u * fxd + v * fyd) * ((e - 1.0f) / d - e) + (1.0f - e)) / d;
    const f4 magnitude = reinterpret_cast<f4>(reinterpret_cast<i4>(d) & 0x7fffffff);
    const f4 minus_one = {-1.0f, -1.0f, -1.0f, -1.0f};
    aux = magnitude < kEpsDiv ? minus_one : flux;
    residual = e * (I * fxd + load4(m.fx + k)) * u + e * (I * fyd + load4(m.fy + k)) * v +
               load4(m.ft_mass + k);
}

// The coefficient loop of one side, four pixels at a time and the rest one by one; side(aux,
// residual, k) gives a and b of pixel(s) k, in f4 or float.
template <class Side4, class Side1>
void coefficient_loop(float* a, float* b, const MassTermsView& m, int first, int end, Side4 side4,
                      Side1 side1) {
    int k = first;
    for (; k + 4 <= end; k += 4) {
        f4 aux, residual, ak, bk;
        flux_and_residual_4(m, k, aux, residual);
        side4(aux, residual, k, ak, bk);
        std::memcpy(a + k, &ak, sizeof ak);
        std::memcpy(b + k, &bk, sizeof bk);
    }
    for (; k < end; ++k) {
        float aux, residual;
        flux_and_residual(m, k, aux, residual);
        side1(aux, residual, k, a[k], b[k]);
    }
}

}  // namespace

void interface_coefficients_up(float* a, float* b, const MassTermsView& m, const float* rho,
                               const float* rho_0, const float* wVert_0, float g, int first,
                               int end) {
    coefficient_loop(
        a, b, m, first, end,
        [&](f4 aux, f4 residual, int k, f4& ak, f4& bk) {
            ak = residual + load4(rho_0 + k) * g * load4(wVert_0 + k) * aux;
            bk = -aux * load4(rho + k) * g;
        },
        [&](float aux, float residual, int k, float& ak, float& bk) {
            ak = residual + rho_0[k] * g * wVert_0[k] * aux;
            bk = -aux * rho[k] * g;
        });
}

void interface_coefficients_down(float* a, float* b, const MassTermsView& m, const float* rho_0,
                                 const float* rho, const float* wVert, float g, int first,
                                 int end) {
    coefficient_loop(
        a, b, m, first, end,
        [&](f4 aux, f4 residual, int k, f4& ak, f4& bk) {
            ak = residual - load4(rho + k) * g * load4(wVert + k) * aux;
            bk = aux * load4(rho_0 + k) * g;
        },
        [&](float aux, float residual, int k, float& ak, float& bk) {
            ak = residual - rho[k] * g * wVert[k] * aux;
            bk = aux * rho_0[k] * g;
        });
}

void data_term_update(float* fx, float* fy, float* ft, const float* div, const float* exdiv,
                      const float* fx_div, const float* fy_div, const float* tempfx,
                      const float* tempfy, const float* O_Itdt, const float* ft_data,
                      const float* rho_lo, const float* rho_hi, const float* w_lo,
                      const float* w_hi, float g, int first, int end) {
    int k = first;
    // Four pixels at a time, the same operations lane by lane; |div| <= 0.01 in double is
    // |div| <= 0.01f for a float (no float lies between the two).
    for (; k + 4 <= end; k += 4) {
        const f4 e = load4(exdiv + k), d = load4(div + k), fxd = load4(fx_div + k),
                 fyd = load4(fy_div + k);
        const f4 temp = e * load4(O_Itdt + k);
        f4 gx = e * load4(tempfx + k);
        f4 gy = e * load4(tempfy + k);
        gx += temp * fxd;
        gy += temp * fyd;
        const f4 gt = load4(ft_data + k);
        const f4 lo = load4(rho_lo + k) * load4(w_lo + k);
        const f4 hi = load4(rho_hi + k) * load4(w_hi + k);
        const f4 F = g * (lo - hi);
        const f4 em1 = e - 1.0f;
        const f4 Fd = F / d;
        const f4 A = (em1 / d - e) * Fd;
        const f4 magnitude = reinterpret_cast<f4>(reinterpret_cast<i4>(d) & 0x7fffffff);
        const i4 small = magnitude <= kEpsDiv;
        const f4 gx_out = small ? gx : gx + A * fxd;
        const f4 gy_out = small ? gy : gy + A * fyd;
        const f4 gt_out = small ? gt - F : gt + -Fd * em1;
        std::memcpy(fx + k, &gx_out, sizeof gx_out);
        std::memcpy(fy + k, &gy_out, sizeof gy_out);
        std::memcpy(ft + k, &gt_out, sizeof gt_out);
    }
    for (; k < end; ++k) {
        const float temp = exdiv[k] * O_Itdt[k];
        float gx = exdiv[k] * tempfx[k];
        float gy = exdiv[k] * tempfy[k];
        gx += temp * fx_div[k];
        gy += temp * fy_div[k];
        float gt = ft_data[k];
        const float lo = rho_lo[k] * w_lo[k];
        const float hi = rho_hi[k] * w_hi[k];
        const float F = g * (lo - hi);
        const float em1 = exdiv[k] - 1.0f;
        const float Fd = F / div[k];
        const float A = (em1 / div[k] - exdiv[k]) * Fd;
        if (std::fabs(div[k]) <= 0.01) {
            gt -= F;
        } else {
            gx += A * fx_div[k];
            gy += A * fy_div[k];
            gt += -Fd * em1;
        }
        fx[k] = gx;
        fy[k] = gy;
        ft[k] = gt;
    }
}
