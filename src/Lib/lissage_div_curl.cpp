// The horizontal layer estimator. A block's increment (u, v) minimises
//   sum over its pixels of  Data_out (fx u + fy v + ft)^2                       (data)
//     + lambda ((div w - Estim)^2 + (curl w - Estim_rot)^2)                     (div-curl)
//     + optional correlation-vector and reference-field terms,
// with w = (U + u, V + v) the total motion and div, curl central differences without the 1/2.
// The increment is affine over the block (6 x 6 normal equations) or constant (2 x 2).
#include "lissage_div_curl.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "affine.h"
#include "relax.h"
#include "worker_pool.h"

namespace {

// Everything a block update reads: the block's position and side, the layer's images and the
// energy's terms, every per-pixel pointer at the block's top-left pixel (line i0, column j0);
// samples are addressed by absolute line and column, rows nc long.
struct BlockInputs {
    BlockInputs(const bloc* b, const LayerImages& layer, const SmoothingEnergy& energy)
        : i0(b->abs),
          j0(b->ord),
          T(1 << b->taille),
          nc(layer.nb_col),
          nl(layer.nb_line),
          im(layer),
          e(energy) {}
    int i0, j0, T, nc, nl;
    LayerImages im;
    SmoothingEnergy e;

    long at(int i, int j) const { return static_cast<long>(i - i0) * nc + (j - j0); }
    bool in_block(int i, int j) const { return i >= i0 && i < i0 + T && j >= j0 && j < j0 + T; }
    float xi(long k) const { return (e.no_div || !e.Estim) ? 0.0f : e.Estim[k]; }
    float zeta(long k) const { return (e.no_curl || !e.Estim_rot) ? 0.0f : e.Estim_rot[k]; }
};

// div(p) - xi = a . theta + Kd and curl(p) - zeta = b . theta + Kc for the affine increment
// theta of the block; a[0], b[0] unused. A neighbour inside the block enters through its model
// phi = (1, i', j') at its absolute position; any other neighbour (decided before the replicate
// clamp) is known: U + u, V + v of the current fields. The coefficients a, b are sums of
// +-phi, small integers, so they are kept as integers (exact in long double as well).
// Kd = float(known part of div(p)) - xi in extended precision: the known difference quotient is
// rounded to float, the target is not subtracted before that rounding. Kc likewise with zeta.
struct DivCurlRow {
    int a[7] = {0, 0, 0, 0, 0, 0, 0};
    int b[7] = {0, 0, 0, 0, 0, 0, 0};
    long double Kd = 0.0L, Kc = 0.0L;
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
        wU = in.im.U[k];
        wV = in.im.V[k];
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
        wU = static_cast<long double>(in.im.U[p + off]) + in.im.u[p + off];
        wV = static_cast<long double>(in.im.V[p + off]) + in.im.v[p + off];
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
    row.Kd = static_cast<long double>(static_cast<float>(kd)) - in.xi(p);
    row.Kc = static_cast<long double>(static_cast<float>(kc)) - in.zeta(p);
    return row;
}

// Kd, Kc of a pixel whose four neighbours lie in the block (rows kInnerA, kInnerB).
inline void inner_div_curl(const BlockInputs& in, long p, long double& Kd, long double& Kc) {
    const long double wU_r = in.im.U[p + 1], wV_r = in.im.V[p + 1];
    const long double wU_l = in.im.U[p - 1], wV_l = in.im.V[p - 1];
    const long double wU_d = in.im.U[p + in.nc], wV_d = in.im.V[p + in.nc];
    const long double wU_u = in.im.U[p - in.nc], wV_u = in.im.V[p - in.nc];
    long double kd = 0.0L, kc = 0.0L;
    kd += 1 * wU_r + 0 * wV_r;
    kc += 0 * wU_r + 1 * wV_r;
    kd += -1 * wU_l + 0 * wV_l;
    kc += 0 * wU_l + -1 * wV_l;
    kd += 0 * wU_d + 1 * wV_d;
    kc += -1 * wU_d + 0 * wV_d;
    kd += 0 * wU_u + -1 * wV_u;
    kc += 1 * wU_u + 0 * wV_u;
    Kd = static_cast<long double>(static_cast<float>(kd)) - in.xi(p);
    Kc = static_cast<long double>(static_cast<float>(kc)) - in.zeta(p);
}

// Weight of correlation vector n at pixel (i, j), 0 outside its support:
// coef_Correl w_f exp(-d2 / (2 w_var)) for d2 <= 9 w_var (exponential rounded to float),
// times the vector's window weight in w_mask when given (W x W windows, W = 2R + 1,
// R = trunc(3 sqrt(w_var[0]))). w_i is the column and w_j the line of the vector.
float correlation_weight(const BlockInputs& in, int i, int j, long n) {
    const long double di0 = i - static_cast<long double>(in.e.correl.w_j[n]);
    const long double dj0 = j - static_cast<long double>(in.e.correl.w_i[n]);
    const long double d2 = di0 * di0 + dj0 * dj0;
    if (!(d2 <= 9.0L * in.e.correl.w_var[n])) return 0.0f;
    const float e =
        static_cast<float>(std::exp(static_cast<double>(-d2 / (2.0L * in.e.correl.w_var[n]))));
    float kappa =
        static_cast<float>(static_cast<long double>(in.e.correl.coef) * in.e.correl.w_f[n] * e);
    if (in.e.correl.w_mask) {
        const long R = static_cast<long>(
            std::trunc(3.0 * std::sqrt(static_cast<double>(in.e.correl.w_var[0]))));
        const long W = 2 * R + 1;
        const long double di = i - (static_cast<long double>(in.e.correl.w_j[n]) - R);
        const long double dj = j - (static_cast<long double>(in.e.correl.w_i[n]) - R);
        if (!(di >= 0 && di < W && dj >= 0 && dj < W)) return 0.0f;
        const long cell = static_cast<long>(std::trunc(di * W + dj));
        kappa = static_cast<float>(static_cast<long double>(kappa) *
                                   in.e.correl.w_mask[n * W * W + cell]);
    }
    return kappa;
}

// Adds the pixel's data, correlation-vector and reference-field terms to the affine system
// (upper triangle of A only). phi = (1, i, j).
template <bool WithA>
void add_fit_terms_6(const BlockInputs& in, int i, int j, double** A, double* B) {
    const long p = in.at(i, j);
    const long double phi[4] = {0.0L, 1.0L, static_cast<long double>(i),
                                static_cast<long double>(j)};
    const float d = in.im.Data_out[p], gx = in.im.fx[p], gy = in.im.fy[p], gt = in.im.ft[p];
    if (WithA) {
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
    }
    const float gxt = static_cast<float>(static_cast<long double>(gx) * gt * d);
    const float gyt = static_cast<float>(static_cast<long double>(gy) * gt * d);
    for (int k = 1; k <= 3; k++) {
        B[k] -= static_cast<long double>(gxt) * phi[k];
        B[3 + k] -= static_cast<long double>(gyt) * phi[k];
    }

    auto add_pull = [&](long double w, float target_u, float target_v) {
        for (int k = 1; k <= 3; k++) {
            for (int l = k; l <= 3 && WithA; l++) {
                A[k][l] += w * phi[k] * phi[l];
                A[3 + k][3 + l] += w * phi[k] * phi[l];
            }
            B[k] += w * phi[k] * (static_cast<long double>(target_u) - in.im.U[p]);
            B[3 + k] += w * phi[k] * (static_cast<long double>(target_v) - in.im.V[p]);
        }
    };
    if (in.e.correl.on() && in.e.It[p] <= 1021) {
        for (long n = 0; n < in.e.correl.count; n++) {
            const float kappa = correlation_weight(in, i, j, n);
            if (kappa != 0.0f) add_pull(kappa, in.e.correl.w_u[n], in.e.correl.w_v[n]);
        }
    }
    if (in.e.coef_ref != 0.0f) add_pull(in.e.coef_ref, in.e.U_ref[p], in.e.V_ref[p]);
}

// The 2 x 2 system of a constant increment (cu, cv): double entries; each term is formed in
// extended precision and the sum rounded to double as it is stored.
struct System2 {
    double A11 = 0.0, A12 = 0.0, A22 = 0.0, B1 = 0.0, B2 = 0.0;
};

// Data term of pixel p for a constant increment.
inline void add_data_terms_2(System2& s, const float* Data_out, const float* fx, const float* fy,
                             const float* ft, long p) {
    const float d = Data_out[p], gx = fx[p], gy = fy[p], gt = ft[p];
    s.A11 += static_cast<long double>(d) * gx * gx;
    s.A12 += static_cast<long double>(d) * gx * gy;
    s.A22 += static_cast<long double>(d) * gy * gy;
    s.B1 -= static_cast<long double>(gx) * gt * d;
    s.B2 -= static_cast<long double>(gt) * d * gy;
}

// Data, correlation-vector and reference-field terms of a constant increment.
void add_fit_terms_2(const BlockInputs& in, int i, int j, System2& S) {
    const long p = in.at(i, j);
    add_data_terms_2(S, in.im.Data_out, in.im.fx, in.im.fy, in.im.ft, p);

    auto add_pull = [&](long double w, float target_u, float target_v) {
        S.A11 += w;
        S.A22 += w;
        S.B1 += w * (static_cast<long double>(target_u) - in.im.U[p]);
        S.B2 += w * (static_cast<long double>(target_v) - in.im.V[p]);
    };
    if (in.e.correl.on() && in.e.It[p] <= 1021) {
        for (long n = 0; n < in.e.correl.count; n++) {
            const float kappa = correlation_weight(in, i, j, n);
            if (kappa != 0.0f) add_pull(kappa, in.e.correl.w_u[n], in.e.correl.w_v[n]);
        }
    }
    if (in.e.coef_ref != 0.0f) add_pull(in.e.coef_ref, in.e.U_ref[p], in.e.V_ref[p]);
}

// Cramer's rule in double: the solution into *cu, *cv; both kept on a zero determinant.
inline void solve_2(const System2& S, float* cu, float* cv) {
    const double det = S.A11 * S.A22 - S.A12 * S.A12;
    if (det == 0.0) return;
    *cu = static_cast<float>((S.A22 * S.B1 - S.A12 * S.B2) / det);
    *cv = static_cast<float>((S.A11 * S.B2 - S.A12 * S.B1) / det);
}

// Single-pixel block at (i, j), index p, its fit terms already in S: four one-sided stencils
// (left or right) x (up or down), each adding (lambda / 4) ((div - xi / 2)^2 + (curl - zeta / 2)^2)
// with div = dj wU + di wV and curl = dj wV - di wU; the neighbours (replicate rule) are known
// (U + u, V + v), the pixel is U + cu, V + cv. Then Cramer's rule into (u, v) at p.
void single_pixel_constant(System2 S, const LayerImages& im, float xi, float zeta, float lambda,
                           int i, int j, long p) {
    const float *U = im.U, *V = im.V, *u = im.u, *v = im.v;
    const int nc = im.nb_col, nl = im.nb_line;
    const long right = p + (j < nc - 1 ? 1 : 0), left = p - (j < 1 ? 0 : 1);
    const long down = p + (i < nl - 1 ? nc : 0), up = p - (i < 1 ? 0 : nc);
    const long double Up = U[p], Vp = V[p];
    // one-sided differences towards each neighbour
    const long double djU_l = Up - (static_cast<long double>(U[left]) + u[left]);
    const long double djU_r = (static_cast<long double>(U[right]) + u[right]) - Up;
    const long double djV_l = Vp - (static_cast<long double>(V[left]) + v[left]);
    const long double djV_r = (static_cast<long double>(V[right]) + v[right]) - Vp;
    const long double diU_u = Up - (static_cast<long double>(U[up]) + u[up]);
    const long double diU_d = (static_cast<long double>(U[down]) + u[down]) - Up;
    const long double diV_u = Vp - (static_cast<long double>(V[up]) + v[up]);
    const long double diV_d = (static_cast<long double>(V[down]) + v[down]) - Vp;
    const long double quarter = static_cast<long double>(lambda) / 4.0L;
    const long double half_xi = static_cast<long double>(xi) / 2.0L;
    const long double half_zeta = static_cast<long double>(zeta) / 2.0L;
    // Stencil (left or right) x (up or down): B -= (au Dk + bu Ck, av Dk + bv Ck), with au, av,
    // bu, bv the coefficients of cu, cv in div (a) and curl (b), Dk and Ck rounded to float.
    auto stencil = [&](long double djU, long double djV, long double diU, long double diV,
                       long double au, long double av, long double bu, long double bv) {
        const long double Dk = static_cast<float>(quarter * (djU + diV - half_xi));
        const long double Ck = static_cast<float>(quarter * (djV - diU - half_zeta));
        S.B1 -= au * Dk + bu * Ck;
        S.B2 -= av * Dk + bv * Ck;
    };
    stencil(djU_l, djV_l, diU_u, diV_u, 1, 1, -1, 1);
    stencil(djU_l, djV_l, diU_d, diV_d, 1, -1, 1, 1);
    stencil(djU_r, djV_r, diU_u, diV_u, -1, 1, -1, -1);
    stencil(djU_r, djV_r, diU_d, diV_d, -1, -1, 1, -1);
    S.A11 += 2.0L * lambda;
    S.A22 += 2.0L * lambda;
    solve_2(S, im.u + p, im.v + p);
}

// Neighbour of a block pixel with its coefficients in div (UD: U, VD: V) and curl (UC, VC):
// adds UD wU + VD wV to kd and UC wU + VC wV to kc. Inside the block its wind is U, V (the
// increment is the model's); outside it is U + u, V + v at offset `out` (replicate rule).
template <int UD, int VD, int UC, int VC>
inline void add_known(bool inside, long q, long out, const float* U, const float* V, const float* u,
                      const float* v, long double& kd, long double& kc) {
    long double wU, wV;
    if (inside) {
        wU = U[q];
        wV = V[q];
    } else {
        wU = static_cast<long double>(U[out]) + u[out];
        wV = static_cast<long double>(V[out]) + v[out];
    }
    kd += UD * wU + VD * wV;
    kc += UC * wU + VC * wV;
}

// Constant increment of a block of side T >= 2 whose top-left pixel, at line i0 and column j0,
// is index 0 of the images: pixel by pixel, fit(S, i, j, p) adds the fit terms,
// then the div-curl row of the constant model (the affine row with theta2 = theta3 = theta5 =
// theta6 = 0): a1 = b4 = [right in block] - [left in block], a4 = -b1 = [down in] - [up in];
// then Cramer's rule into (u, v) at index 0. Estim / Estim_rot null mean xi = 0 / zeta = 0.
template <typename Fit>
void constant_block(const Fit& fit, const LayerImages& im, const float* Estim,
                    const float* Estim_rot, float lambda, int i0, int j0, int T) {
    const float *U = im.U, *V = im.V, *u = im.u, *v = im.v;
    const int nc = im.nb_col, nl = im.nb_line;
    System2 S;
    const long double lam = lambda;
    for (int ii = 0; ii < T; ii++) {
        const int i = i0 + ii;
        const bool in_d = ii<T - 1, in_u = ii> 0;
        const long down = i < nl - 1 ? nc : 0, up = i < 1 ? 0 : -nc;
        for (int jj = 0; jj < T; jj++) {
            const int j = j0 + jj;
            const long p = static_cast<long>(ii) * nc + jj;
            fit(S, i, j, p);
            const bool in_r = jj<T - 1, in_l = jj> 0;
            const long right = j < nc - 1 ? 1 : 0, left = j < 1 ? 0 : -1;
            long double kd = 0.0L, kc = 0.0L;
            add_known<1, 0, 0, 1>(in_r, p + 1, p + right, U, V, u, v, kd, kc);
            add_known<-1, 0, 0, -1>(in_l, p - 1, p + left, U, V, u, v, kd, kc);
            add_known<0, 1, -1, 0>(in_d, p + nc, p + down, U, V, u, v, kd, kc);
            add_known<0, -1, 1, 0>(in_u, p - nc, p + up, U, V, u, v, kd, kc);
            const long double Kd =
                static_cast<long double>(static_cast<float>(kd)) - (Estim ? Estim[p] : 0.0f);
            const long double Kc = static_cast<long double>(static_cast<float>(kc)) -
                                   (Estim_rot ? Estim_rot[p] : 0.0f);
            const int a1 = in_r - in_l, a4 = in_d - in_u, b1 = -a4, b4 = a1;
            S.A11 += lam * static_cast<long double>(a1 * a1 + b1 * b1);
            S.A12 += lam * static_cast<long double>(a1 * a4 + b1 * b4);
            S.A22 += lam * static_cast<long double>(a4 * a4 + b4 * b4);
            const long double a1L = a1, a4L = a4, b1L = b1, b4L = b4;
            S.B1 -= lam * (Kd * a1L + Kc * b1L);
            S.B2 -= lam * (Kd * a4L + Kc * b4L);
        }
    }
    solve_2(S, im.u, im.v);
}

// The records with every per-pixel pointer advanced to index k; a missing buffer stays missing.
template <typename T>
T* shifted(T* p, long k) {
    return p ? p + k : nullptr;
}
LayerImages at_pixel(const LayerImages& im, long k) {
    return {im.U + k,  im.V + k,  im.u + k,        im.v + k,  im.fx + k,
            im.fy + k, im.ft + k, im.Data_out + k, im.nb_col, im.nb_line};
}
SmoothingEnergy at_pixel(SmoothingEnergy e, long k) {
    e.Estim = shifted(e.Estim, k);
    e.Estim_rot = shifted(e.Estim_rot, k);
    e.U_ref = shifted(e.U_ref, k);
    e.V_ref = shifted(e.V_ref, k);
    e.It = shifted(e.It, k);
    return e;
}

// The sums of constsys_6_lissage into A (upper triangle) and B; without A (WithA false) the
// same additions into B alone, in the same order.
template <bool WithA>
void accumulate_6(const BlockInputs& in, double** A, double* B, float lambda) {
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
            add_fit_terms_6<WithA>(in, i, j, A, B);
            if (inner_line && j > in.j0 && j < in.j0 + in.T - 1) {
                long double Kd, Kc;
                inner_div_curl(in, in.at(i, j), Kd, Kc);
                for (int t = 0; t < nb_inner && WithA; t++)
                    A[inner[t].k][inner[t].l] += static_cast<long double>(inner[t].value);
                for (int k = 1; k <= 6; k++)
                    B[k] -= lam * (Kd * static_cast<long double>(kInnerA[k]) +
                                   Kc * static_cast<long double>(kInnerB[k]));
                continue;
            }
            const DivCurlRow r = div_curl_row(in, i, j);
            for (int k = 1; k <= 6; k++) {
                for (int l = k; l <= 6 && WithA; l++)
                    A[k][l] += lam * static_cast<long double>(r.a[k] * r.a[l] + r.b[k] * r.b[l]);
                B[k] -= lam * (r.Kd * static_cast<long double>(r.a[k]) +
                               r.Kc * static_cast<long double>(r.b[k]));
            }
        }
    }
}

// Normal equations A theta = B of the block's affine increment: A is half the Hessian and B
// minus half the gradient at theta = 0 of the block energy; accumulated into the caller's
// zeroed A (upper triangle, copied to the lower at the end) and B.
void normal_equations(const BlockInputs& in, double** A, double* B) {
    accumulate_6<true>(in, A, B, in.e.lambda);
    for (int k = 2; k <= 6; k++)
        for (int l = 1; l < k; l++) A[k][l] = A[l][k];
}

// Constant increment (cu, cv) over the block from its 2 x 2 normal equations, solved by
// Cramer's rule and written at the block's top-left pixel only. A zero determinant (no
// smoothing and a rank-deficient data term) leaves the previous value there.
void constant_update(const BlockInputs& in) {
    if (in.T == 1) {
        System2 S;
        add_fit_terms_2(in, in.i0, in.j0, S);
        single_pixel_constant(S, in.im, in.xi(0), in.zeta(0), in.e.lambda, in.i0, in.j0, 0);
        return;
    }
    constant_block([&](System2& S2, int i, int j, long) { add_fit_terms_2(in, i, j, S2); }, in.im,
                   in.e.no_div ? nullptr : in.e.Estim, in.e.no_curl ? nullptr : in.e.Estim_rot,
                   in.e.lambda, in.i0, in.j0, in.T);
}

// New affine parameters of the block in vecteur[1..6]; when the 6 x 6 system is singular the
// block falls back to the constant update: (cu, 0, 0, cv, 0, 0). The block's matrix factors are
// taken from `known` when it holds them (the matrix does not depend on u, v, so it is the same
// in every sweep of one ICM call; B is summed again, in the same order), else computed and, with
// a cache entry, kept there.
void affine_update(const BlockInputs& in, double* vecteur, AffineSystemCache::Entry* known) {
    AffineSystemCache::Entry local;
    AffineSystemCache::Entry& e = known ? *known : local;
    double* A[7];
    for (int k = 0; k < 7; k++) A[k] = e.lu[k];
    double B[7] = {};
    if (e.known) {
        accumulate_6<false>(in, nullptr, B, in.e.lambda);
    } else {
        for (auto& row : e.lu)
            for (double& x : row) x = 0.0;
        normal_equations(in, A, B);
        double parity;
        e.regular = ludcmp(A, 6, e.indx, &parity) != 0;
        e.known = true;
    }
    if (e.regular) {
        lubksb(A, 6, e.indx, B);
    } else {
        print_or_capture("systeme non-inversible -> modele constant\n");
        constant_update(in);
        B[1] = in.im.u[0];
        B[2] = B[3] = 0.0;
        B[4] = in.im.v[0];
        B[5] = B[6] = 0.0;
    }
    copie_vector(vecteur, B, 1, 6);
}

// Whether a block of side 2^taille takes the affine update under mod.
bool is_affine(short mod, short taille) {
    return mod == 2 || ((mod == 3 || mod == 4) && taille > 2);
}

// The records of the block routines' arguments.
LayerImages layer_images(float* U, float* V, float* u, float* v, float* fx, float* fy, float* ft,
                         float* Data_out, short nb_col, short nb_line) {
    return {U, V, u, v, fx, fy, ft, Data_out, nb_col, nb_line};
}
CorrelationVectors correlation_vectors(long nb_VecCorrel, float coef_Correl, float* w_f,
                                       float* w_var, float* w_i, float* w_j, float* w_u, float* w_v,
                                       float* w_mask) {
    return {nb_VecCorrel, coef_Correl, w_f, w_var, w_i, w_j, w_u, w_v, w_mask};
}
SmoothingEnergy smoothing_energy(float lambda, float* Estim, float* Estim_rot, short no_div,
                                 short no_curl, const CorrelationVectors& correl, float coef_ref,
                                 float* U_ref, float* V_ref, short* It) {
    return {lambda, Estim, Estim_rot, no_div, no_curl, correl, coef_ref, U_ref, V_ref, It};
}

}  // namespace

int constsys_6_lissage(double** A, double* B, bloc* courant, float* ft, float* fx, float* fy,
                       float* Data_out, float* /*Gamma_out*/, float* w_mask, float* Estim,
                       float* /*Mu_out*/, float* Estim_rot, float* U, float* V, float* u, float* v,
                       short nb_line, short nb_col, float /*rupture*/, float /*alpha*/,
                       float lambda, short no_div, short no_curl, long nb_VecCorrel,
                       float coef_Correl, float* w_f, float* w_var, float* w_i, float* w_j,
                       float* w_u, float* w_v, float coef_ref, float* U_ref, float* V_ref,
                       short* It) {
    const CorrelationVectors correl =
        correlation_vectors(nb_VecCorrel, coef_Correl, w_f, w_var, w_i, w_j, w_u, w_v, w_mask);
    normal_equations(
        BlockInputs(courant, layer_images(U, V, u, v, fx, fy, ft, Data_out, nb_col, nb_line),
                    smoothing_energy(lambda, Estim, Estim_rot, no_div, no_curl, correl, coef_ref,
                                     U_ref, V_ref, It)),
        A, B);
    return 0;
}

void Ener_min_lissage(float* u, float* v, float* U, float* V, float* fx, float* fy, float* ft,
                      short nb_col, short nb_line, float* Data_out, float* /*Gamma_out*/,
                      float* w_mask, float* Estim, float* /*Mu_out*/, float* Estim_rot,
                      bloc* courant, float /*alpha*/, float lambda, short no_div, short no_curl,
                      long nb_VecCorrel, float coef_Correl, float* w_f, float* w_var, float* w_i,
                      float* w_j, float* w_u, float* w_v, float coef_ref, float* U_ref,
                      float* V_ref, short* It) {
    const CorrelationVectors correl =
        correlation_vectors(nb_VecCorrel, coef_Correl, w_f, w_var, w_i, w_j, w_u, w_v, w_mask);
    constant_update(BlockInputs(courant,
                                layer_images(U, V, u, v, fx, fy, ft, Data_out, nb_col, nb_line),
                                smoothing_energy(lambda, Estim, Estim_rot, no_div, no_curl, correl,
                                                 coef_ref, U_ref, V_ref, It)));
}

void Estim_Param_6_lissage(float* U, float* V, float* u, float* v, float* Data_out,
                           float* /*Gamma_out*/, float* w_mask, float* Estim, float* /*Mu_out*/,
                           float* Estim_rot, float* fx, float* fy, float* ft, short nb_line,
                           short nb_col, bloc* courant, double* vecteur, float /*alpha*/,
                           float lambda, short no_div, short no_curl, long nb_VecCorrel,
                           float coef_Correl, float* w_f, float* w_var, float* w_i, float* w_j,
                           float* w_u, float* w_v, float coef_ref, float* U_ref, float* V_ref,
                           short* It) {
    const CorrelationVectors correl =
        correlation_vectors(nb_VecCorrel, coef_Correl, w_f, w_var, w_i, w_j, w_u, w_v, w_mask);
    affine_update(
        BlockInputs(courant, layer_images(U, V, u, v, fx, fy, ft, Data_out, nb_col, nb_line),
                    smoothing_energy(lambda, Estim, Estim_rot, no_div, no_curl, correl, coef_ref,
                                     U_ref, V_ref, It)),
        vecteur, nullptr);
}

int ICM_lissage(float* U, float* V, float* u, float* v, float* fx, float* fy, float* ft,
                short nb_col, short nb_line, float Cond_conv, float* Data_out, float* /*Gamma_out*/,
                float* w_mask, float* Estim, float* /*Mu_out*/, float* Estim_rot, bloc* parcours,
                long /*N*/, long /*d*/, short mod, float /*alpha*/, float lambda, short no_div,
                short no_curl, long nb_VecCorrel, float coef_Correl, float* w_f, float* w_var,
                float* w_i, float* w_j, float* w_u, float* w_v, float coef_ref, float* U_ref,
                float* V_ref, short* It) {
    const CorrelationVectors correl =
        correlation_vectors(nb_VecCorrel, coef_Correl, w_f, w_var, w_i, w_j, w_u, w_v, w_mask);
    return icm_sweep(layer_images(U, V, u, v, fx, fy, ft, Data_out, nb_col, nb_line),
                     smoothing_energy(lambda, Estim, Estim_rot, no_div, no_curl, correl, coef_ref,
                                      U_ref, V_ref, It),
                     parcours, mod, Cond_conv);
}

int icm_sweep(const LayerImages& layer, const SmoothingEnergy& energy, bloc* parcours, short mod,
              float Cond_conv, AffineSystemCache* cache, WorkSharing* sharing) {
    if (!parcours) return 0;
    float *u = layer.u, *v = layer.v;
    const short nb_col = layer.nb_col, nb_line = layer.nb_line;
    const float lambda = energy.lambda;
    // relative change above which a block counts as changed
    const float s6 = energy.correl.coef == 0.0f ? 1.0f : 2.0f;
    const float s2 = energy.correl.coef == 0.0f ? 0.1f : 0.5f;
    // Without correlation vectors and reference field the constant updates run without the
    // set-up of constant_update, with the same sums.
    const bool data_term_only = !energy.correl.on() && energy.coef_ref == 0.0f;
    // Solves active block `courant` (top-left pixel k, line i, column j, side 2^taille), counting
    // it in nb, in nc when it changed, and its affine matrix as number affine_index.
    auto visit = [&](bloc* courant, long k, short i, short j, short taille, long& nb, long& nc,
                     std::size_t& affine_index) {
        nb++;
        const bool affine = is_affine(mod, taille);
        const bool constant = mod == 0 || ((mod == 3 || mod == 4) && taille <= 2);
        const LayerImages im = at_pixel(layer, k);
        if (affine) {
            double old_theta[7], new_theta[7];
            copie_vector(old_theta, courant->theta, 1, 6);
            const double n_old = Norme(old_theta, 1, 6);
            AffineSystemCache::Entry* known = nullptr;
            if (cache) {
                if (cache->entries.size() <= affine_index) cache->entries.resize(affine_index + 1);
                known = &cache->entries[affine_index];
            }
            ++affine_index;
            affine_update(BlockInputs(courant, im, at_pixel(energy, k)), new_theta, known);
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
            const float* Estim = energy.no_div ? nullptr : shifted(energy.Estim, k);
            const float* Estim_rot = energy.no_curl ? nullptr : shifted(energy.Estim_rot, k);
            if (data_term_only && taille == 0) {
                // constant_update's cases without its set-up
                System2 S;
                add_data_terms_2(S, im.Data_out, im.fx, im.fy, im.ft, 0);
                single_pixel_constant(S, layer, Estim ? *Estim : 0.0f,
                                      Estim_rot ? *Estim_rot : 0.0f, lambda, i, j, k);
            } else if (data_term_only) {
                constant_block(
                    [&](System2& S, int, int, long p) {
                        add_data_terms_2(S, im.Data_out, im.fx, im.fy, im.ft, p);
                    },
                    im, Estim, Estim_rot, lambda, i, j, 1 << taille);
                recopie(im.u, im.v, nb_col, nb_line, courant);
            } else {
                constant_update(BlockInputs(courant, im, at_pixel(energy, k)));
                recopie(im.u, im.v, nb_col, nb_line, courant);
            }
            const double r = std::sqrt(static_cast<double>(u0) * u0 + static_cast<double>(v0) * v0);
            if (Seuil_ERR(static_cast<float>((static_cast<double>(u0) - u[k]) / r), s2) ||
                Seuil_ERR(static_cast<float>((static_cast<double>(v0) - v[k]) / r), s2))
                nc++;
        }
    };
    long nb = 0, nc = 0;
    if (cache && sharing && data_term_only &&
        plan_chunks(*cache, parcours, mod, nb_col, nb_line, is_affine)) {
        if (cache->entries.size() < static_cast<std::size_t>(cache->affine_count))
            cache->entries.resize(static_cast<std::size_t>(cache->affine_count));
        sweep_chunks(
            *cache, sharing,
            [&](int c, long& chunk_nb, long& chunk_nc) {
                const AffineSystemCache::Chunk& chunk = cache->chunks[static_cast<std::size_t>(c)];
                std::size_t affine_index = static_cast<std::size_t>(chunk.affine_base);
                for (int q = chunk.first; q < chunk.end; ++q) {
                    const AffineSystemCache::Visit& b = cache->visits[static_cast<std::size_t>(q)];
                    visit(b.record, b.k, b.i, b.j, b.taille, chunk_nb, chunk_nc, affine_index);
                }
            },
            nb, nc);
    } else {
        std::size_t affine_index = 0;  // the affine blocks visited so far in this sweep
        for (bloc* courant = parcours; courant; courant = courant->suiv) {
            // The records lie apart in memory: fetch the next one while this block is solved.
            if (courant->suiv) __builtin_prefetch(courant->suiv);
            if (courant->indic == 0) continue;
            visit(courant, static_cast<long>(courant->abs) * nb_col + courant->ord, courant->abs,
                  courant->ord, courant->taille, nb, nc, affine_index);
        }
    }
    return static_cast<float>(nb) * Cond_conv / 100.0f > static_cast<float>(nc)
               ? 0
               : static_cast<int>(nc);
}
