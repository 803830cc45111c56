// The horizontal layer estimator. A block's increment (u, v) minimises
//   sum over its pixels of  Data_out (fx u + fy v + ft)^2                       (data)
//     + lambda ((div w - Estim)^2 + (curl w - Estim_rot)^2)                     (div-curl)
//     + optional correlation-vector and reference-field terms,
// with w = (U + u, V + v) the total motion and div, curl central differences without the 1/2.
// The increment is affine over the block (6 x 6 normal equations) or constant (2 x 2).
#include "lissage_div_curl.h"

#include <cmath>
#include <cstdio>

#include "affine.h"
#include "relax.h"
#include "worker_pool.h"

namespace {

// Everything a block update reads. Image pointers are at the block's top-left pixel (line i0,
// column j0); samples are addressed by absolute line and column, rows nc long.
struct BlockInputs {
    int i0, j0, T, nc, nl;
    float *U, *V, *u, *v, *fx, *fy, *ft, *Data_out, *w_mask, *Estim, *Estim_rot;
    float lambda;
    short no_div, no_curl;
    long nb_VecCorrel;
    float coef_Correl;
    float *w_f, *w_var, *w_i, *w_j, *w_u, *w_v;
    float coef_ref;
    float *U_ref, *V_ref;
    short* It;

    long at(int i, int j) const { return static_cast<long>(i - i0) * nc + (j - j0); }
    bool in_block(int i, int j) const { return i >= i0 && i < i0 + T && j >= j0 && j < j0 + T; }
    float xi(long k) const { return (no_div || !Estim) ? 0.0f : Estim[k]; }
    float zeta(long k) const { return (no_curl || !Estim_rot) ? 0.0f : Estim_rot[k]; }
    bool correlation_on() const { return coef_Correl != 0.0f && nb_VecCorrel >= 1; }
};

// div(p) - xi = a . theta + Kd and curl(p) - zeta = b . theta + Kc for the affine increment
// theta of the block; a[0], b[0] unused. A neighbour inside the block enters through its model
// phi = (1, i', j') at its absolute position; any other neighbour (decided before the replicate
// clamp) is known: U + u, V + v of the current fields. The coefficients a, b are sums of
// +-phi, small integers, so they are kept as integers (exact in long double as well).
struct DivCurlRow {
    int a[7] = {0, 0, 0, 0, 0, 0, 0};
    int b[7] = {0, 0, 0, 0, 0, 0, 0};
    float Kd = 0.0f, Kc = 0.0f;
};

// Rows of a pixel whose four neighbours all lie in the block: div = 2 theta3 + 2 theta5,
// curl = -2 theta2 + 2 theta6.
constexpr int kInnerA[7] = {0, 0, 0, 2, 0, 2, 0};
constexpr int kInnerB[7] = {0, 0, -2, 0, 0, 0, 2};

// Neighbour (DI, DJ) of pixel (i, j) with its coefficients in div (UD: U, VD: V) and curl (UC,
// VC): its model terms go into the row, its wind into kd, kc.
template <int DI, int DJ, int UD, int VD, int UC, int VC>
inline void add_neighbour(const BlockInputs& in, int i, int j, long p, DivCurlRow& row,
                          long double& kd, long double& kc) {
    const int qi = i + DI;
    const int qj = j + DJ;
    long double wU, wV;
    if (in.in_block(qi, qj)) {
        const long k = in.at(qi, qj);
        wU = in.U[k];
        wV = in.V[k];
        const int phi[3] = {1, qi, qj};
        for (int m = 0; m < 3; m++) {
            row.a[1 + m] += UD * phi[m];
            row.a[4 + m] += VD * phi[m];
            row.b[1 + m] += UC * phi[m];
            row.b[4 + m] += VC * phi[m];
        }
    } else {
        // replicate rule at the image edge
        long off = 0;
        if (DJ == 1) off = j < in.nc - 1 ? 1 : 0;
        if (DJ == -1) off = j < 1 ? 0 : -1;
        if (DI == 1) off = i < in.nl - 1 ? in.nc : 0;
        if (DI == -1) off = i < 1 ? 0 : -in.nc;
        wU = static_cast<long double>(in.U[p + off]) + in.u[p + off];
        wV = static_cast<long double>(in.V[p + off]) + in.v[p + off];
    }
    kd += UD * wU + VD * wV;
    kc += UC * wU + VC * wV;
}

// div  = wU(right) - wU(left) + wV(down) - wV(up)
// curl = wV(right) - wV(left) - wU(down) + wU(up)
DivCurlRow div_curl_row(const BlockInputs& in, int i, int j) {
    const long p = in.at(i, j);
    DivCurlRow row;
    long double kd = 0.0L, kc = 0.0L;
    add_neighbour<0, 1, 1, 0, 0, 1>(in, i, j, p, row, kd, kc);
    add_neighbour<0, -1, -1, 0, 0, -1>(in, i, j, p, row, kd, kc);
    add_neighbour<1, 0, 0, 1, -1, 0>(in, i, j, p, row, kd, kc);
    add_neighbour<-1, 0, 0, -1, 1, 0>(in, i, j, p, row, kd, kc);
    row.Kd = static_cast<float>(kd - in.xi(p));
    row.Kc = static_cast<float>(kc - in.zeta(p));
    return row;
}

// Kd, Kc of a pixel whose four neighbours lie in the block (rows kInnerA, kInnerB).
inline void inner_div_curl(const BlockInputs& in, long p, float& Kd, float& Kc) {
    const long double wU_r = in.U[p + 1], wV_r = in.V[p + 1];
    const long double wU_l = in.U[p - 1], wV_l = in.V[p - 1];
    const long double wU_d = in.U[p + in.nc], wV_d = in.V[p + in.nc];
    const long double wU_u = in.U[p - in.nc], wV_u = in.V[p - in.nc];
    long double kd = 0.0L, kc = 0.0L;
    kd += 1 * wU_r + 0 * wV_r;
    kc += 0 * wU_r + 1 * wV_r;
    kd += -1 * wU_l + 0 * wV_l;
    kc += 0 * wU_l + -1 * wV_l;
    kd += 0 * wU_d + 1 * wV_d;
    kc += -1 * wU_d + 0 * wV_d;
    kd += 0 * wU_u + -1 * wV_u;
    kc += 1 * wU_u + 0 * wV_u;
    Kd = static_cast<float>(kd - in.xi(p));
    Kc = static_cast<float>(kc - in.zeta(p));
}

// Weight of correlation vector n at pixel (i, j), 0 outside its support:
// coef_Correl w_f exp(-d2 / (2 w_var)) for d2 <= 9 w_var (exponential rounded to float),
// times the vector's window weight in w_mask when given (W x W windows, W = 2R + 1,
// R = trunc(3 sqrt(w_var[0]))). w_i is the column and w_j the line of the vector.
float correlation_weight(const BlockInputs& in, int i, int j, long n) {
    const long double di0 = i - static_cast<long double>(in.w_j[n]);
    const long double dj0 = j - static_cast<long double>(in.w_i[n]);
    const long double d2 = di0 * di0 + dj0 * dj0;
    if (!(d2 <= 9.0L * in.w_var[n])) return 0.0f;
    const float e = static_cast<float>(std::exp(static_cast<double>(-d2 / (2.0L * in.w_var[n]))));
    float kappa = static_cast<float>(static_cast<long double>(in.coef_Correl) * in.w_f[n] * e);
    if (in.w_mask) {
        const long R =
            static_cast<long>(std::trunc(3.0 * std::sqrt(static_cast<double>(in.w_var[0]))));
        const long W = 2 * R + 1;
        const long double di = i - (static_cast<long double>(in.w_j[n]) - R);
        const long double dj = j - (static_cast<long double>(in.w_i[n]) - R);
        if (!(di >= 0 && di < W && dj >= 0 && dj < W)) return 0.0f;
        const long cell = static_cast<long>(std::trunc(di * W + dj));
        kappa = static_cast<float>(static_cast<long double>(kappa) * in.w_mask[n * W * W + cell]);
    }
    return kappa;
}

// Adds the pixel's data, correlation-vector and reference-field terms to the affine system
// (upper triangle of A only). phi = (1, i, j).
void add_fit_terms_6(const BlockInputs& in, int i, int j, double** A, double* B) {
    const long p = in.at(i, j);
    const long double phi[4] = {0.0L, 1.0L, static_cast<long double>(i),
                                static_cast<long double>(j)};
    const float d = in.Data_out[p], gx = in.fx[p], gy = in.fy[p], gt = in.ft[p];
    const long double dxx = static_cast<long double>(d) * gx * gx;
    const long double dxy = static_cast<long double>(d) * gx * gy;
    const long double dyy = static_cast<long double>(d) * gy * gy;
    for (int k = 1; k <= 3; k++) {
        for (int l = k; l <= 3; l++) {
            A[k][l] += dxx * phi[k] * phi[l];
            A[3 + k][3 + l] += dyy * phi[k] * phi[l];
        }
        for (int l = 1; l <= 3; l++) A[k][3 + l] += dxy * phi[k] * phi[l];
    }
    const float gxt = static_cast<float>(static_cast<long double>(gx) * gt * d);
    const float gyt = static_cast<float>(static_cast<long double>(gy) * gt * d);
    for (int k = 1; k <= 3; k++) {
        B[k] -= static_cast<long double>(gxt) * phi[k];
        B[3 + k] -= static_cast<long double>(gyt) * phi[k];
    }

    auto add_pull = [&](long double w, float target_u, float target_v) {
        for (int k = 1; k <= 3; k++) {
            for (int l = k; l <= 3; l++) {
                A[k][l] += w * phi[k] * phi[l];
                A[3 + k][3 + l] += w * phi[k] * phi[l];
            }
            B[k] += w * phi[k] * (static_cast<long double>(target_u) - in.U[p]);
            B[3 + k] += w * phi[k] * (static_cast<long double>(target_v) - in.V[p]);
        }
    };
    if (in.correlation_on() && in.It[p] <= 1021) {
        for (long n = 0; n < in.nb_VecCorrel; n++) {
            const float kappa = correlation_weight(in, i, j, n);
            if (kappa != 0.0f) add_pull(kappa, in.w_u[n], in.w_v[n]);
        }
    }
    if (in.coef_ref != 0.0f) add_pull(in.coef_ref, in.U_ref[p], in.V_ref[p]);
}

// Same terms for a constant increment (cu, cv): 2 x 2 system, A[1][2] standing for A[2][1].
void add_fit_terms_2(const BlockInputs& in, int i, int j, long double A[3][3], long double B[3]) {
    const long p = in.at(i, j);
    const float d = in.Data_out[p], gx = in.fx[p], gy = in.fy[p], gt = in.ft[p];
    A[1][1] += static_cast<long double>(d) * gx * gx;
    A[1][2] += static_cast<long double>(d) * gx * gy;
    A[2][2] += static_cast<long double>(d) * gy * gy;
    B[1] -= static_cast<long double>(gx) * gt * d;
    B[2] -= static_cast<long double>(gt) * d * gy;

    auto add_pull = [&](long double w, float target_u, float target_v) {
        A[1][1] += w;
        A[2][2] += w;
        B[1] += w * (static_cast<long double>(target_u) - in.U[p]);
        B[2] += w * (static_cast<long double>(target_v) - in.V[p]);
    };
    if (in.correlation_on() && in.It[p] <= 1021) {
        for (long n = 0; n < in.nb_VecCorrel; n++) {
            const float kappa = correlation_weight(in, i, j, n);
            if (kappa != 0.0f) add_pull(kappa, in.w_u[n], in.w_v[n]);
        }
    }
    if (in.coef_ref != 0.0f) add_pull(in.coef_ref, in.U_ref[p], in.V_ref[p]);
}

// Single-pixel block: four one-sided stencils (left or right) x (up or down), each adding
// (lambda / 4) ((div - xi / 2)^2 + (curl - zeta / 2)^2) with div = dj wU + di wV and
// curl = dj wV - di wU; neighbours (replicate rule) are known, the pixel is U + cu, V + cv.
void add_single_pixel_smoothing(const BlockInputs& in, long double A[3][3], long double B[3]) {
    const int i = in.i0, j = in.j0;
    const long p = in.at(i, j);
    // neighbours by the replicate rule
    const long right = j < in.nc - 1 ? 1 : 0;
    const long left = j < 1 ? 0 : -1;
    const long down = i < in.nl - 1 ? in.nc : 0;
    const long up = i < 1 ? 0 : -in.nc;
    auto wU = [&](long off) { return static_cast<long double>(in.U[p + off]) + in.u[p + off]; };
    auto wV = [&](long off) { return static_cast<long double>(in.V[p + off]) + in.v[p + off]; };
    const long double wU_r = wU(right), wU_l = wU(left), wU_d = wU(down), wU_u = wU(up);
    const long double wV_r = wV(right), wV_l = wV(left), wV_d = wV(down), wV_u = wV(up);
    const long double Up = in.U[p], Vp = in.V[p];
    const long double quarter = static_cast<long double>(in.lambda) / 4.0L;
    const long double half_xi = static_cast<long double>(in.xi(p)) / 2.0L;
    const long double half_zeta = static_cast<long double>(in.zeta(p)) / 2.0L;
    // One-sided differences towards each neighbour.
    const long double djU_l = Up - wU_l, djU_r = wU_r - Up, djV_l = Vp - wV_l, djV_r = wV_r - Vp;
    const long double diU_u = Up - wU_u, diU_d = wU_d - Up, diV_u = Vp - wV_u, diV_d = wV_d - Vp;
    // Stencil (left or right) x (up or down); au, av, bu, bv: coefficients of cu, cv in div (a)
    // and curl (b).
    auto stencil = [&](long double djU, long double djV, long double diU, long double diV, int au,
                       int av, int bu, int bv) {
        const float Dk = static_cast<float>(quarter * (djU + diV - half_xi));
        const float Ck = static_cast<float>(quarter * (djV - diU - half_zeta));
        B[1] -= static_cast<long double>(au) * Dk + static_cast<long double>(bu) * Ck;
        B[2] -= static_cast<long double>(av) * Dk + static_cast<long double>(bv) * Ck;
    };
    stencil(djU_l, djV_l, diU_u, diV_u, 1, 1, -1, 1);
    stencil(djU_l, djV_l, diU_d, diV_d, 1, -1, 1, 1);
    stencil(djU_r, djV_r, diU_u, diV_u, -1, 1, -1, -1);
    stencil(djU_r, djV_r, diU_d, diV_d, -1, -1, 1, -1);
    A[1][1] += 2.0L * in.lambda;
    A[2][2] += 2.0L * in.lambda;
}

BlockInputs block_inputs(bloc* courant, short nb_col, short nb_line, float* U, float* V, float* u,
                         float* v, float* fx, float* fy, float* ft, float* Data_out, float* w_mask,
                         float* Estim, float* Estim_rot, float lambda, short no_div, short no_curl,
                         long nb_VecCorrel, float coef_Correl, float* w_f, float* w_var, float* w_i,
                         float* w_j, float* w_u, float* w_v, float coef_ref, float* U_ref,
                         float* V_ref, short* It) {
    // clang-format off
    return BlockInputs{courant->abs, courant->ord, 1 << courant->taille, nb_col, nb_line,
                       U, V, u, v, fx, fy, ft, Data_out, w_mask, Estim, Estim_rot,
                       lambda, no_div, no_curl, nb_VecCorrel, coef_Correl,
                       w_f, w_var, w_i, w_j, w_u, w_v, coef_ref, U_ref, V_ref, It};
    // clang-format on
}

// Pointer advanced to the block's top-left pixel; a missing buffer stays missing.
template <typename T>
T* shifted(T* p, long k) {
    return p ? p + k : nullptr;
}

}  // namespace

// Normal equations A theta = B of the block's affine increment: A is half the Hessian and B
// minus half the gradient at theta = 0 of the block energy; accumulated into the caller's
// zeroed A (upper triangle, copied to the lower at the end) and B.
int constsys_6_lissage(double** A, double* B, bloc* courant, float* ft, float* fx, float* fy,
                       float* Data_out, float* /*Gamma_out*/, float* w_mask, float* Estim,
                       float* /*Mu_out*/, float* Estim_rot, float* U, float* V, float* u, float* v,
                       short nb_line, short nb_col, float /*rupture*/, float /*alpha*/,
                       float lambda, short no_div, short no_curl, long nb_VecCorrel,
                       float coef_Correl, float* w_f, float* w_var, float* w_i, float* w_j,
                       float* w_u, float* w_v, float coef_ref, float* U_ref, float* V_ref,
                       short* It) {
    const BlockInputs in =
        block_inputs(courant, nb_col, nb_line, U, V, u, v, fx, fy, ft, Data_out, w_mask, Estim,
                     Estim_rot, lambda, no_div, no_curl, nb_VecCorrel, coef_Correl, w_f, w_var, w_i,
                     w_j, w_u, w_v, coef_ref, U_ref, V_ref, It);
    const long double lam = lambda;
    // Smoothing terms of the pixels whose neighbours all lie in the block: the same for each,
    // lambda times small integers, so exact in double. Only six are not zero; adding a zero
    // leaves an entry of the zeroed, accumulated A as it is (no entry is ever -0), so those
    // additions are left out.
    struct InnerTerm {
        int k, l;
        double value;
    };
    InnerTerm inner[21];
    int nb_inner = 0;
    for (int k = 1; k <= 6; k++)
        for (int l = k; l <= 6; l++) {
            const int S = kInnerA[k] * kInnerA[l] + kInnerB[k] * kInnerB[l];
            if (S != 0) inner[nb_inner++] = {k, l, static_cast<double>(lam * S)};
        }
    for (int i = in.i0; i < in.i0 + in.T; i++) {
        const bool inner_line = i > in.i0 && i < in.i0 + in.T - 1;
        for (int j = in.j0; j < in.j0 + in.T; j++) {
            add_fit_terms_6(in, i, j, A, B);
            if (inner_line && j > in.j0 && j < in.j0 + in.T - 1) {
                float Kd, Kc;
                inner_div_curl(in, in.at(i, j), Kd, Kc);
                for (int t = 0; t < nb_inner; t++)
                    A[inner[t].k][inner[t].l] += static_cast<long double>(inner[t].value);
                for (int k = 1; k <= 6; k++)
                    B[k] -= lam * (Kd * static_cast<long double>(kInnerA[k]) +
                                   Kc * static_cast<long double>(kInnerB[k]));
                continue;
            }
            const DivCurlRow r = div_curl_row(in, i, j);
            for (int k = 1; k <= 6; k++) {
                for (int l = k; l <= 6; l++)
                    A[k][l] += lam * static_cast<long double>(r.a[k] * r.a[l] + r.b[k] * r.b[l]);
                B[k] -= lam * (r.Kd * static_cast<long double>(r.a[k]) +
                               r.Kc * static_cast<long double>(r.b[k]));
            }
        }
    }
    for (int k = 2; k <= 6; k++)
        for (int l = 1; l < k; l++) A[k][l] = A[l][k];
    return 0;
}

// Constant increment (cu, cv) over the block from its 2 x 2 normal equations, solved by
// Cramer's rule and written at the block's top-left pixel only. A zero determinant (no
// smoothing and a rank-deficient data term) leaves the previous value there.
void Ener_min_lissage(float* u, float* v, float* U, float* V, float* fx, float* fy, float* ft,
                      short nb_col, short nb_line, float* Data_out, float* /*Gamma_out*/,
                      float* w_mask, float* Estim, float* /*Mu_out*/, float* Estim_rot,
                      bloc* courant, float /*alpha*/, float lambda, short no_div, short no_curl,
                      long nb_VecCorrel, float coef_Correl, float* w_f, float* w_var, float* w_i,
                      float* w_j, float* w_u, float* w_v, float coef_ref, float* U_ref,
                      float* V_ref, short* It) {
    const BlockInputs in =
        block_inputs(courant, nb_col, nb_line, U, V, u, v, fx, fy, ft, Data_out, w_mask, Estim,
                     Estim_rot, lambda, no_div, no_curl, nb_VecCorrel, coef_Correl, w_f, w_var, w_i,
                     w_j, w_u, w_v, coef_ref, U_ref, V_ref, It);
    long double A[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
    long double B[3] = {0, 0, 0};
    const long double lam = lambda;
    for (int i = in.i0; i < in.i0 + in.T; i++) {
        for (int j = in.j0; j < in.j0 + in.T; j++) {
            add_fit_terms_2(in, i, j, A, B);
            if (in.T == 1) {
                add_single_pixel_smoothing(in, A, B);
            } else {
                // constant model = affine model with theta2 = theta3 = theta5 = theta6 = 0
                const DivCurlRow r = div_curl_row(in, i, j);
                const long double a1 = r.a[1], a4 = r.a[4], b1 = r.b[1], b4 = r.b[4];
                A[1][1] += lam * static_cast<long double>(r.a[1] * r.a[1] + r.b[1] * r.b[1]);
                A[1][2] += lam * static_cast<long double>(r.a[1] * r.a[4] + r.b[1] * r.b[4]);
                A[2][2] += lam * static_cast<long double>(r.a[4] * r.a[4] + r.b[4] * r.b[4]);
                B[1] -= lam * (r.Kd * a1 + r.Kc * b1);
                B[2] -= lam * (r.Kd * a4 + r.Kc * b4);
            }
        }
    }
    const long double det = A[1][1] * A[2][2] - A[1][2] * A[1][2];
    if (det == 0.0L) return;
    u[0] = static_cast<float>((A[2][2] * B[1] - A[1][2] * B[2]) / det);
    v[0] = static_cast<float>((A[1][1] * B[2] - A[1][2] * B[1]) / det);
}

// New affine parameters of the block in vecteur[1..6]; when the 6 x 6 system is singular the
// block falls back to the constant update: (cu, 0, 0, cv, 0, 0).
void Estim_Param_6_lissage(float* U, float* V, float* u, float* v, float* Data_out,
                           float* Gamma_out, float* w_mask, float* Estim, float* Mu_out,
                           float* Estim_rot, float* fx, float* fy, float* ft, short nb_line,
                           short nb_col, bloc* courant, double* vecteur, float alpha, float lambda,
                           short no_div, short no_curl, long nb_VecCorrel, float coef_Correl,
                           float* w_f, float* w_var, float* w_i, float* w_j, float* w_u, float* w_v,
                           float coef_ref, float* U_ref, float* V_ref, short* It) {
    double storage[7][7] = {};
    double* A[7];
    for (int k = 0; k < 7; k++) A[k] = storage[k];
    double B[7] = {};
    int indx[7] = {};
    double parity;
    constsys_6_lissage(A, B, courant, ft, fx, fy, Data_out, Gamma_out, w_mask, Estim, Mu_out,
                       Estim_rot, U, V, u, v, nb_line, nb_col, 0.61f, alpha, lambda, no_div,
                       no_curl, nb_VecCorrel, coef_Correl, w_f, w_var, w_i, w_j, w_u, w_v, coef_ref,
                       U_ref, V_ref, It);
    if (ludcmp(A, 6, indx, &parity)) {
        lubksb(A, 6, indx, B);
    } else {
        print_or_capture("systeme non-inversible -> modele constant\n");
        Ener_min_lissage(u, v, U, V, fx, fy, ft, nb_col, nb_line, Data_out, Gamma_out, w_mask,
                         Estim, Mu_out, Estim_rot, courant, alpha, lambda, no_div, no_curl,
                         nb_VecCorrel, coef_Correl, w_f, w_var, w_i, w_j, w_u, w_v, coef_ref, U_ref,
                         V_ref, It);
        B[1] = u[0];
        B[2] = B[3] = 0.0;
        B[4] = v[0];
        B[5] = B[6] = 0.0;
    }
    copie_vector(vecteur, B, 1, 6);
}

// One ICM sweep over the active blocks in list order; each block is solved with the others
// fixed and its pixels rewritten at once. mod 2: affine update everywhere; 3, 4: affine for
// blocks wider than 4 pixels, constant otherwise; 0: constant everywhere; other: no update.
// Returns 0 when fewer than Cond_conv percent of the active blocks changed, else their count.
int ICM_lissage(float* U, float* V, float* u, float* v, float* fx, float* fy, float* ft,
                short nb_col, short nb_line, float Cond_conv, float* Data_out, float* Gamma_out,
                float* w_mask, float* Estim, float* Mu_out, float* Estim_rot, bloc* parcours,
                long /*N*/, long /*d*/, short mod, float alpha, float lambda, short no_div,
                short no_curl, long nb_VecCorrel, float coef_Correl, float* w_f, float* w_var,
                float* w_i, float* w_j, float* w_u, float* w_v, float coef_ref, float* U_ref,
                float* V_ref, short* It) {
    if (!parcours) return 0;
    // relative change above which a block counts as changed
    const float s6 = coef_Correl == 0.0f ? 1.0f : 2.0f;
    const float s2 = coef_Correl == 0.0f ? 0.1f : 0.5f;
    long nb = 0, nc = 0;
    for (bloc* courant = parcours; courant; courant = courant->suiv) {
        if (courant->indic == 0) continue;
        nb++;
        const long k = static_cast<long>(courant->abs) * nb_col + courant->ord;
        const bool mixed = mod == 3 || mod == 4;  // side > 4 affine, side <= 4 constant
        const bool affine = mod == 2 || (mixed && courant->taille > 2);
        const bool constant = mod == 0 || (mixed && courant->taille <= 2);
        if (affine) {
            double old_theta[7], new_theta[7];
            copie_vector(old_theta, courant->theta, 1, 6);
            const double n_old = Norme(old_theta, 1, 6);
            Estim_Param_6_lissage(U + k, V + k, u + k, v + k, Data_out + k, shifted(Gamma_out, k),
                                  w_mask, shifted(Estim, k), shifted(Mu_out, k),
                                  shifted(Estim_rot, k), fx + k, fy + k, ft + k, nb_line, nb_col,
                                  courant, new_theta, alpha, lambda, no_div, no_curl, nb_VecCorrel,
                                  coef_Correl, w_f, w_var, w_i, w_j, w_u, w_v, coef_ref,
                                  shifted(U_ref, k), shifted(V_ref, k), shifted(It, k));
            copie_vector(courant->theta, new_theta, 1, 6);
            proj_theta_6(courant, u, v, nb_line, nb_col);
            for (int m = 1; m <= 6; m++) {
                const float rel = static_cast<float>((new_theta[m] - old_theta[m]) / n_old);
                if (Seuil_ERR(rel, s6)) {
                    nc++;
                    break;
                }
            }
        } else if (constant) {
            const float u0 = u[k], v0 = v[k];
            Ener_min_lissage(u + k, v + k, U + k, V + k, fx + k, fy + k, ft + k, nb_col, nb_line,
                             Data_out + k, shifted(Gamma_out, k), w_mask, shifted(Estim, k),
                             shifted(Mu_out, k), shifted(Estim_rot, k), courant, alpha, lambda,
                             no_div, no_curl, nb_VecCorrel, coef_Correl, w_f, w_var, w_i, w_j, w_u,
                             w_v, coef_ref, shifted(U_ref, k), shifted(V_ref, k), shifted(It, k));
            recopie(u + k, v + k, nb_col, nb_line, courant);
            const double r = std::sqrt(static_cast<double>(u0) * u0 + static_cast<double>(v0) * v0);
            if (Seuil_ERR(static_cast<float>((static_cast<double>(u0) - u[k]) / r), s2) ||
                Seuil_ERR(static_cast<float>((static_cast<double>(v0) - v[k]) / r), s2))
                nc++;
        }
    }
    return static_cast<float>(nb) * Cond_conv / 100.0f > static_cast<float>(nc)
               ? 0
               : static_cast<int>(nc);
}
