// The systems of one block's increment under the layer energy (lissage_div_curl.h): the 6 x 6
// normal equations of the affine model and the 2 x 2 system of the constant model, summed over
// the block's pixels into double entries. Real is the type each term is formed in before it is
// added and the sum rounded to double: long double (x87 extended precision) for the estimator's
// results, double for the opt-in fast mode. The constant blocks' correlation-vector and
// reference-field terms are always formed in long double.
#ifndef BLOCK_SYSTEMS_H
#define BLOCK_SYSTEMS_H

#include "lissage_div_curl.h"

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

// The 2 x 2 system of a constant increment (cu, cv): double entries; each term is formed in
// extended precision and the sum rounded to double as it is stored.
struct System2 {
    double A11 = 0.0, A12 = 0.0, A22 = 0.0, B1 = 0.0, B2 = 0.0;
};

// Data term of pixel p for a constant increment.
template <typename Real>
inline void add_data_terms_2(System2& s, const float* Data_out, const float* fx, const float* fy,
                             const float* ft, long p) {
    const float d = Data_out[p], gx = fx[p], gy = fy[p], gt = ft[p];
    s.A11 += static_cast<Real>(d) * gx * gx;
    s.A12 += static_cast<Real>(d) * gx * gy;
    s.A22 += static_cast<Real>(d) * gy * gy;
    s.B1 -= static_cast<Real>(gx) * gt * d;
    s.B2 -= static_cast<Real>(gt) * d * gy;
}

// Cramer's rule in double: the solution into *cu, *cv; both kept on a zero determinant.
inline void solve_2(const System2& S, float* cu, float* cv) {
    const double det = S.A11 * S.A22 - S.A12 * S.A12;
    if (det == 0.0) return;
    *cu = static_cast<float>((S.A22 * S.B1 - S.A12 * S.B2) / det);
    *cv = static_cast<float>((S.A11 * S.B2 - S.A12 * S.B1) / det);
}

// Single-pixel block at (i, j), index p, its fit terms already in S: the div-curl terms of the
// four one-sided stencils around it, then Cramer's rule into (u, v) at p.
template <typename Real>
void single_pixel_constant(System2 S, const LayerImages& im, float xi, float zeta, float lambda,
                           int i, int j, long p);

// Neighbour of a block pixel with its coefficients in div (UD: U, VD: V) and curl (UC, VC):
// adds UD wU + VD wV to kd and UC wU + VC wV to kc. Inside the block its wind is U, V (the
// increment is the model's); outside it is U + u, V + v at offset `out` (replicate rule).
template <int UD, int VD, int UC, int VC, typename Real>
inline void add_known(bool inside, long q, long out, const float* U, const float* V, const float* u,
                      const float* v, Real& kd, Real& kc) {
    Real wU, wV;
    if (inside) {
        wU = U[q];
        wV = V[q];
    } else {
        wU = static_cast<Real>(U[out]) + u[out];
        wV = static_cast<Real>(V[out]) + v[out];
    }
    kd += UD * wU + VD * wV;
    kc += UC * wU + VC * wV;
}

// Constant increment of a block of side T >= 2 whose top-left pixel, at line i0 and column j0,
// is index 0 of the images: pixel by pixel, fit(S, i, j, p) adds the fit terms,
// then the div-curl row of the constant model (the affine row with theta2 = theta3 = theta5 =
// theta6 = 0): a1 = b4 = [right in block] - [left in block], a4 = -b1 = [down in] - [up in];
// then Cramer's rule into (u, v) at index 0. Estim / Estim_rot null mean xi = 0 / zeta = 0.
template <typename Real, typename Fit>
void constant_block(const Fit& fit, const LayerImages& im, const float* Estim,
                    const float* Estim_rot, float lambda, int i0, int j0, int T) {
    const float *U = im.U, *V = im.V, *u = im.u, *v = im.v;
    const int nc = im.nb_col, nl = im.nb_line;
    System2 S;
    const Real lam = lambda;
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
            Real kd = 0, kc = 0;
            add_known<1, 0, 0, 1>(in_r, p + 1, p + right, U, V, u, v, kd, kc);
            add_known<-1, 0, 0, -1>(in_l, p - 1, p + left, U, V, u, v, kd, kc);
            add_known<0, 1, -1, 0>(in_d, p + nc, p + down, U, V, u, v, kd, kc);
            add_known<0, -1, 1, 0>(in_u, p - nc, p + up, U, V, u, v, kd, kc);
            const Real Kd = static_cast<Real>(static_cast<float>(kd)) - (Estim ? Estim[p] : 0.0f);
            const Real Kc =
                static_cast<Real>(static_cast<float>(kc)) - (Estim_rot ? Estim_rot[p] : 0.0f);
            const int a1 = in_r - in_l, a4 = in_d - in_u, b1 = -a4, b4 = a1;
            S.A11 += lam * static_cast<Real>(a1 * a1 + b1 * b1);
            S.A12 += lam * static_cast<Real>(a1 * a4 + b1 * b4);
            S.A22 += lam * static_cast<Real>(a4 * a4 + b4 * b4);
            const Real a1L = a1, a4L = a4, b1L = b1, b4L = b4;
            S.B1 -= lam * (Kd * a1L + Kc * b1L);
            S.B2 -= lam * (Kd * a4L + Kc * b4L);
        }
    }
    solve_2(S, im.u, im.v);
}

// Normal equations A theta = B of the block's affine increment: A is half the Hessian and B
// minus half the gradient at theta = 0 of the block energy; accumulated into the caller's
// zeroed A (upper triangle, copied to the lower at the end) and B. For long double; the fast
// mode sums its affine systems in the split form below.
template <typename Real>
void normal_equations(const BlockInputs& in, double** A, double* B);
// B alone, summed in the same order (A depends on neither u nor v).
template <typename Real>
void right_hand_side(const BlockInputs& in, double* B);

// The fast mode's split of the same sums, in double. split_normal_equations: A, with the part
// of B that depends on neither u nor v (data, correlation-vector and reference-field terms) in
// B_fit and the div-curl part in B (both zeroed by the caller); kept with the matrix factors,
// B_fit then serves every later sweep of the same data term, which adds the div-curl part
// anew with smoothing_right_hand_side (subtracted from B; the inner pixels' rows are the
// same, so only the sums of their terms enter).
void split_normal_equations(const BlockInputs& in, double** A, double* B_fit, double* B);
void smoothing_right_hand_side(const BlockInputs& in, double* B);

// Constant increment (cu, cv) over the block from its 2 x 2 normal equations, solved by
// Cramer's rule and written at the block's top-left pixel only. A zero determinant (no
// smoothing and a rank-deficient data term) leaves the previous value there.
void constant_update(const BlockInputs& in);

#endif
