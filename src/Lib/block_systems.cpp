// The block systems of the horizontal estimator. A block's increment (u, v) minimises
//   sum over its pixels of  Data_out (fx u + fy v + ft)^2                       (data)
//     + lambda ((div w - Estim)^2 + (curl w - Estim_rot)^2)                     (div-curl)
//     + optional correlation-vector and reference-field terms,
// with w = (U + u, V + v) the total motion and div, curl central differences without the 1/2.
#include "block_systems.h"

#include <cmath>
#include <utility>

namespace {

// div(p) - xi = a . theta + Kd and curl(p) - zeta = b . theta + Kc for the affine increment
// theta of the block; a[0], b[0] unused. A neighbour inside the block enters through its model
// phi = (1, i', j') at its absolute position; any other neighbour (decided before the replicate
// clamp) is known: U + u, V + v of the current fields. The coefficients a, b are sums of
// +-phi, small integers, so they are kept as integers (exact in any floating type).
// Kd = float(known part of div(p)) - xi in extended precision: the known difference quotient is
// rounded to float, the target is not subtracted before that rounding. Kc likewise with zeta.
template <typename Real>
struct DivCurlRow {
    int a[7] = {0, 0, 0, 0, 0, 0, 0};
    int b[7] = {0, 0, 0, 0, 0, 0, 0};
    Real Kd = 0, Kc = 0;
};

// Rows of a pixel whose four neighbours all lie in the block: div = 2 theta3 + 2 theta5,
// curl = -2 theta2 + 2 theta6.
constexpr int kInnerA[7] = {0, 0, 0, 2, 0, 2, 0};
constexpr int kInnerB[7] = {0, 0, -2, 0, 0, 0, 2};

// Neighbour (DI, DJ) of pixel (i, j) with its coefficients in div (UD: U, VD: V) and curl (UC,
// VC): its model terms go into the row, its wind into kd, kc.
template <int DI, int DJ, int UD, int VD, int UC, int VC, bool Row = true, typename Real>
inline void add_neighbour(const BlockInputs& in, int i, int j, long p, DivCurlRow<Real>& row,
                          Real& kd, Real& kc) {
    const int qi = i + DI;
    const int qj = j + DJ;
    Real wU, wV;
    if (in.in_block(qi, qj)) {
        const long k = in.at(qi, qj);
        wU = in.im.U[k];
        wV = in.im.V[k];
        const int phi[3] = {1, qi, qj};
        for (int m = 0; m < 3 && Row; m++) {
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
        wU = static_cast<Real>(in.im.U[p + off]) + in.im.u[p + off];
        wV = static_cast<Real>(in.im.V[p + off]) + in.im.v[p + off];
    }
    kd += UD * wU + VD * wV;
    kc += UC * wU + VC * wV;
}

// div  = wU(right) - wU(left) + wV(down) - wV(up)
// curl = wV(right) - wV(left) - wU(down) + wU(up)
// Without Row only Kd and Kc are formed (a and b stay 0).
template <typename Real, bool Row = true>
DivCurlRow<Real> div_curl_row(const BlockInputs& in, int i, int j) {
    const long p = in.at(i, j);
    DivCurlRow<Real> row;
    Real kd = 0, kc = 0;
    add_neighbour<0, 1, 1, 0, 0, 1, Row>(in, i, j, p, row, kd, kc);
    add_neighbour<0, -1, -1, 0, 0, -1, Row>(in, i, j, p, row, kd, kc);
    add_neighbour<1, 0, 0, 1, -1, 0, Row>(in, i, j, p, row, kd, kc);
    add_neighbour<-1, 0, 0, -1, 1, 0, Row>(in, i, j, p, row, kd, kc);
    row.Kd = static_cast<Real>(static_cast<float>(kd)) - in.xi(p);
    row.Kc = static_cast<Real>(static_cast<float>(kc)) - in.zeta(p);
    return row;
}

// Kd, Kc of a pixel whose four neighbours lie in the block (rows kInnerA, kInnerB).
template <typename Real>
inline void inner_div_curl(const BlockInputs& in, long p, Real& Kd, Real& Kc) {
    const Real wU_r = in.im.U[p + 1], wV_r = in.im.V[p + 1];
    const Real wU_l = in.im.U[p - 1], wV_l = in.im.V[p - 1];
    const Real wU_d = in.im.U[p + in.nc], wV_d = in.im.V[p + in.nc];
    const Real wU_u = in.im.U[p - in.nc], wV_u = in.im.V[p - in.nc];
    Real kd = 0, kc = 0;
    kd += 1 * wU_r + 0 * wV_r;
    kc += 0 * wU_r + 1 * wV_r;
    kd += -1 * wU_l + 0 * wV_l;
    kc += 0 * wU_l + -1 * wV_l;
    kd += 0 * wU_d + 1 * wV_d;
    kc += -1 * wU_d + 0 * wV_d;
    kd += 0 * wU_u + -1 * wV_u;
    kc += 1 * wU_u + 0 * wV_u;
    Kd = static_cast<Real>(static_cast<float>(kd)) - in.xi(p);
    Kc = static_cast<Real>(static_cast<float>(kc)) - in.zeta(p);
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

// Adds the pixel's correlation-vector and reference-field terms to the affine system (upper
// triangle of A only). phi = (1, i, j).
template <bool WithA, typename Real>
inline void add_pulls_6(const BlockInputs& in, int i, int j, double** A, double* B) {
    const long p = in.at(i, j);
    const Real phi[4] = {0, 1, static_cast<Real>(i), static_cast<Real>(j)};
    auto add_pull = [&](Real w, float target_u, float target_v) {
        for (int k = 1; k <= 3; k++) {
            for (int l = k; l <= 3 && WithA; l++) {
                A[k][l] += w * phi[k] * phi[l];
                A[3 + k][3 + l] += w * phi[k] * phi[l];
            }
            B[k] += w * phi[k] * (static_cast<Real>(target_u) - in.im.U[p]);
            B[3 + k] += w * phi[k] * (static_cast<Real>(target_v) - in.im.V[p]);
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

// Adds the pixel's data, correlation-vector and reference-field terms to the affine system
// (upper triangle of A only). phi = (1, i, j).
template <bool WithA, typename Real>
void add_fit_terms_6(const BlockInputs& in, int i, int j, double** A, double* B) {
    const long p = in.at(i, j);
    const Real phi[4] = {0, 1, static_cast<Real>(i), static_cast<Real>(j)};
    const float d = in.im.Data_out[p], gx = in.im.fx[p], gy = in.im.fy[p], gt = in.im.ft[p];
    if (WithA) {
        const Real dxx = static_cast<Real>(d) * gx * gx;
        const Real dxy = static_cast<Real>(d) * gx * gy;
        const Real dyy = static_cast<Real>(d) * gy * gy;
        for (int k = 1; k <= 3; k++) {
            for (int l = k; l <= 3; l++) {
                A[k][l] += dxx * phi[k] * phi[l];
                A[3 + k][3 + l] += dyy * phi[k] * phi[l];
            }
            for (int l = 1; l <= 3; l++) A[k][3 + l] += dxy * phi[k] * phi[l];
        }
    }
    const float gxt = static_cast<float>(static_cast<Real>(gx) * gt * d);
    const float gyt = static_cast<float>(static_cast<Real>(gy) * gt * d);
    for (int k = 1; k <= 3; k++) {
        B[k] -= static_cast<Real>(gxt) * phi[k];
        B[3 + k] -= static_cast<Real>(gyt) * phi[k];
    }
    add_pulls_6<WithA, Real>(in, i, j, A, B);
}

// Data, correlation-vector and reference-field terms of a constant increment.
void add_fit_terms_2(const BlockInputs& in, int i, int j, System2& S) {
    const long p = in.at(i, j);
    add_data_terms_2<long double>(S, in.im.Data_out, in.im.fx, in.im.fy, in.im.ft, p);

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

// The sums of normal_equations into A (upper triangle) and B; without A (WithA false) the
// same additions into B alone, in the same order.
template <bool WithA, typename Real>
void accumulate_6(const BlockInputs& in, double** A, double* B, float lambda) {
    const Real lam = lambda;
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
            add_fit_terms_6<WithA, Real>(in, i, j, A, B);
            if (inner_line && j > in.j0 && j < in.j0 + in.T - 1) {
                Real Kd, Kc;
                inner_div_curl(in, in.at(i, j), Kd, Kc);
                for (int t = 0; t < nb_inner && WithA; t++)
                    A[inner[t].k][inner[t].l] += static_cast<Real>(inner[t].value);
                for (int k = 1; k <= 6; k++)
                    B[k] -= lam * (Kd * static_cast<Real>(kInnerA[k]) +
                                   Kc * static_cast<Real>(kInnerB[k]));
                continue;
            }
            const DivCurlRow<Real> r = div_curl_row<Real>(in, i, j);
            for (int k = 1; k <= 6; k++) {
                for (int l = k; l <= 6 && WithA; l++)
                    A[k][l] += lam * static_cast<Real>(r.a[k] * r.a[l] + r.b[k] * r.b[l]);
                B[k] -= lam * (r.Kd * static_cast<Real>(r.a[k]) + r.Kc * static_cast<Real>(r.b[k]));
            }
        }
    }
}

}  // namespace

// Single-pixel block: four one-sided stencils
// (left or right) x (up or down), each adding (lambda / 4) ((div - xi / 2)^2 + (curl - zeta / 2)^2)
// with div = dj wU + di wV and curl = dj wV - di wU; the neighbours (replicate rule) are known
// (U + u, V + v), the pixel is U + cu, V + cv. Then Cramer's rule into (u, v) at p.
template <typename Real>
void single_pixel_constant(System2 S, const LayerImages& im, float xi, float zeta, float lambda,
                           int i, int j, long p) {
    const float *U = im.U, *V = im.V, *u = im.u, *v = im.v;
    const int nc = im.nb_col, nl = im.nb_line;
    const long right = p + (j < nc - 1 ? 1 : 0), left = p - (j < 1 ? 0 : 1);
    const long down = p + (i < nl - 1 ? nc : 0), up = p - (i < 1 ? 0 : nc);
    const Real Up = U[p], Vp = V[p];
    // one-sided differences towards each neighbour
    const Real djU_l = Up - (static_cast<Real>(U[left]) + u[left]);
    const Real djU_r = (static_cast<Real>(U[right]) + u[right]) - Up;
    const Real djV_l = Vp - (static_cast<Real>(V[left]) + v[left]);
    const Real djV_r = (static_cast<Real>(V[right]) + v[right]) - Vp;
    const Real diU_u = Up - (static_cast<Real>(U[up]) + u[up]);
    const Real diU_d = (static_cast<Real>(U[down]) + u[down]) - Up;
    const Real diV_u = Vp - (static_cast<Real>(V[up]) + v[up]);
    const Real diV_d = (static_cast<Real>(V[down]) + v[down]) - Vp;
    const Real quarter = static_cast<Real>(lambda) / 4;
    const Real half_xi = static_cast<Real>(xi) / 2;
    const Real half_zeta = static_cast<Real>(zeta) / 2;
    // Stencil (left or right) x (up or down): B -= (au Dk + bu Ck, av Dk + bv Ck), with au, av,
    // bu, bv the coefficients of cu, cv in div (a) and curl (b), Dk and Ck rounded to float.
    auto stencil = [&](Real djU, Real djV, Real diU, Real diV, Real au, Real av, Real bu, Real bv) {
        const Real Dk = static_cast<float>(quarter * (djU + diV - half_xi));
        const Real Ck = static_cast<float>(quarter * (djV - diU - half_zeta));
        S.B1 -= au * Dk + bu * Ck;
        S.B2 -= av * Dk + bv * Ck;
    };
    stencil(djU_l, djV_l, diU_u, diV_u, 1, 1, -1, 1);
    stencil(djU_l, djV_l, diU_d, diV_d, 1, -1, 1, 1);
    stencil(djU_r, djV_r, diU_u, diV_u, -1, 1, -1, -1);
    stencil(djU_r, djV_r, diU_d, diV_d, -1, -1, 1, -1);
    S.A11 += static_cast<Real>(2) * lambda;
    S.A22 += static_cast<Real>(2) * lambda;
    solve_2(S, im.u + p, im.v + p);
}

template <typename Real>
void normal_equations(const BlockInputs& in, double** A, double* B) {
    accumulate_6<true, Real>(in, A, B, in.e.lambda);
    for (int k = 2; k <= 6; k++)
        for (int l = 1; l < k; l++) A[k][l] = A[l][k];
}

template <typename Real>
void right_hand_side(const BlockInputs& in, double* B) {
    accumulate_6<false, Real>(in, nullptr, B, in.e.lambda);
}

namespace {

// Sum of x[k] for k in first, first + step, ..., first + (n - 1) step, in four partial sums.
double strided_sum(const float* x, long first, long step, int n) {
    double s[4] = {0.0, 0.0, 0.0, 0.0};
    int m = 0;
    for (; m + 4 <= n; m += 4)
        for (int t = 0; t < 4; t++) s[t] += x[first + (m + t) * step];
    for (; m < n; m++) s[0] += x[first + m * step];
    return (s[0] + s[1]) + (s[2] + s[3]);
}

// The border pixels' div-curl terms of the fast sums: lambda sum (Kd a + Kc b) subtracted from B
// and, WithA, lambda sum (a a^T + b b^T) added to A (upper triangle). Along each edge without
// its corners the rows are affine in the running coordinate t (the column on the top and bottom
// lines, the line on the first and last columns): r(t) = r0 + t r1, integers taken from the
// rows of the edge's first two pixels. So sum r r^T = r0 r0^T n + (r0 r1^T + r1 r0^T) St
// + r1 r1^T Stt with n, St = sum t, Stt = sum t^2 exact (64-bit integers), and
// sum K r = r0 sum K + r1 sum t K in double; the four corners one by one.
template <bool WithA>
void border_terms(const BlockInputs& in, double** A, double* B) {
    const double lam = in.e.lambda;
    const int i1 = in.i0 + in.T - 1, j1 = in.j0 + in.T - 1;
    long long S[7][7] = {};
    auto corner = [&](int i, int j) {
        const DivCurlRow<double> r = div_curl_row<double>(in, i, j);
        for (int k = 1; k <= 6; k++) {
            for (int l = k; l <= 6 && WithA; l++) S[k][l] += r.a[k] * r.a[l] + r.b[k] * r.b[l];
            B[k] -= lam * (r.Kd * r.a[k] + r.Kc * r.b[k]);
        }
    };
    // Pixels (i, j) = fixed line or column, t from t0 to t1 (t1 >= t0).
    auto edge = [&](bool along_line, int fixed, int t0, int t1) {
        auto at = [&](int t) { return along_line ? std::pair{fixed, t} : std::pair{t, fixed}; };
        const auto [ia, ja] = at(t0);
        const DivCurlRow<double> first = div_curl_row<double>(in, ia, ja);
        long long r0a[7] = {}, r1a[7] = {}, r0b[7] = {}, r1b[7] = {};
        if (t1 > t0) {
            const auto [ib, jb] = at(t0 + 1);
            const DivCurlRow<double> second = div_curl_row<double>(in, ib, jb);
            for (int k = 1; k <= 6; k++) {
                r1a[k] = second.a[k] - first.a[k], r1b[k] = second.b[k] - first.b[k];
                r0a[k] = first.a[k] - static_cast<long long>(t0) * r1a[k];
                r0b[k] = first.b[k] - static_cast<long long>(t0) * r1b[k];
            }
        } else {
            for (int k = 1; k <= 6; k++) r0a[k] = first.a[k], r0b[k] = first.b[k];
        }
        double sK[2] = {}, stK[2] = {};
        long long n = 0, st = 0, stt = 0;
        for (int t = t0; t <= t1; t++) {
            const auto [i, j] = at(t);
            const DivCurlRow<double> r = div_curl_row<double, false>(in, i, j);
            sK[0] += r.Kd, sK[1] += r.Kc, stK[0] += t * r.Kd, stK[1] += t * r.Kc;
            n += 1, st += t, stt += static_cast<long long>(t) * t;
        }
        for (int k = 1; k <= 6; k++) {
            for (int l = k; l <= 6 && WithA; l++)
                S[k][l] +=
                    (r0a[k] * r0a[l] + r0b[k] * r0b[l]) * n +
                    (r0a[k] * r1a[l] + r1a[k] * r0a[l] + r0b[k] * r1b[l] + r1b[k] * r0b[l]) * st +
                    (r1a[k] * r1a[l] + r1b[k] * r1b[l]) * stt;
            B[k] -= lam * ((r0a[k] * sK[0] + r1a[k] * stK[0]) + (r0b[k] * sK[1] + r1b[k] * stK[1]));
        }
    };
    if (in.T == 1) {
        corner(in.i0, in.j0);
    } else {
        corner(in.i0, in.j0), corner(in.i0, j1), corner(i1, in.j0), corner(i1, j1);
        if (in.T > 2) {
            edge(true, in.i0, in.j0 + 1, j1 - 1);
            edge(true, i1, in.j0 + 1, j1 - 1);
            edge(false, in.j0, in.i0 + 1, i1 - 1);
            edge(false, j1, in.i0 + 1, i1 - 1);
        }
    }
    for (int k = 1; k <= 6 && WithA; k++)
        for (int l = k; l <= 6; l++) A[k][l] += lam * static_cast<double>(S[k][l]);
}

// Sums of Kd and Kc over the inner pixels (0 when T < 3), in double without rounding each
// pixel's known part to float, which lets the differences of U and V telescope: along a line,
// sum over j0 < j < j1 of U(i, j + 1) - U(i, j - 1) = U(i, j1) + U(i, j1 - 1) - U(i, j0)
// - U(i, j0 + 1), and likewise down a column; minus the sums of Estim and Estim_rot.
void inner_sums(const BlockInputs& in, double& sum_Kd, double& sum_Kc) {
    sum_Kd = sum_Kc = 0.0;
    const int T = in.T;
    if (T < 3) return;
    // Lines and columns 1 .. T - 2 of the block hold the inner pixels (block index at(i, j)).
    const int n = T - 2;
    const long nc = in.nc, last = T - 1, up = 1 * nc, down = last * nc;
    const float *U = in.im.U, *V = in.im.V;
    // across lines: X(i, j1) + X(i, j1 - 1) - X(i, j0) - X(i, j0 + 1) summed over inner lines
    auto across = [&](const float* X) {
        return (strided_sum(X, up + last, nc, n) + strided_sum(X, up + last - 1, nc, n)) -
               (strided_sum(X, up, nc, n) + strided_sum(X, up + 1, nc, n));
    };
    // down columns: X(i1, j) + X(i1 - 1, j) - X(i0, j) - X(i0 + 1, j) summed over inner columns
    auto down_columns = [&](const float* X) {
        return (strided_sum(X, down + 1, 1, n) + strided_sum(X, down - nc + 1, 1, n)) -
               (strided_sum(X, 1, 1, n) + strided_sum(X, nc + 1, 1, n));
    };
    double sum_xi = 0.0, sum_zeta = 0.0;
    for (int r = 1; r <= n; r++) {
        if (!in.e.no_div && in.e.Estim) sum_xi += strided_sum(in.e.Estim, r * nc + 1, 1, n);
        if (!in.e.no_curl && in.e.Estim_rot)
            sum_zeta += strided_sum(in.e.Estim_rot, r * nc + 1, 1, n);
    }
    sum_Kd = (across(U) + down_columns(V)) - sum_xi;
    sum_Kc = (across(V) - down_columns(U)) - sum_zeta;
}

}  // namespace

// The data terms are summed along each line as moments of the column j (sums of t, t j, t j^2
// for each product t), which the line's i then weighs into A = sum t phi phi^T with
// phi = (1, i, j); the inner pixels' div-curl terms enter as their count times the common row
// (A) and as inner_sums (B); the border pixels one by one.
void split_normal_equations(const BlockInputs& in, double** A, double* B_fit, double* B) {
    for (int i = in.i0; i < in.i0 + in.T; i++) {
        double xx[3] = {}, xy[3] = {}, yy[3] = {}, tx[2] = {}, ty[2] = {};
        const long row = in.at(i, in.j0);
        const float *D = in.im.Data_out + row, *fx = in.im.fx + row, *fy = in.im.fy + row,
                    *ft = in.im.ft + row;
        for (int c = 0; c < in.T; c++) {
            const double j = in.j0 + c;
            const float d = D[c], gx = fx[c], gy = fy[c], gt = ft[c];
            const double dxx = static_cast<double>(d) * gx * gx;
            const double dxy = static_cast<double>(d) * gx * gy;
            const double dyy = static_cast<double>(d) * gy * gy;
            xx[0] += dxx, xx[1] += dxx * j, xx[2] += dxx * j * j;
            xy[0] += dxy, xy[1] += dxy * j, xy[2] += dxy * j * j;
            yy[0] += dyy, yy[1] += dyy * j, yy[2] += dyy * j * j;
            const double gxt = static_cast<float>(static_cast<double>(gx) * gt * d);
            const double gyt = static_cast<float>(static_cast<double>(gy) * gt * d);
            tx[0] += gxt, tx[1] += gxt * j;
            ty[0] += gyt, ty[1] += gyt * j;
        }
        const double di = i;
        // rows r + 1 .. r + 3, columns c + 1 .. c + 3 of A from the moments m of one product
        auto fold = [&](const double* m, int r, int c) {
            A[r + 1][c + 1] += m[0], A[r + 1][c + 2] += di * m[0], A[r + 1][c + 3] += m[1];
            A[r + 2][c + 2] += di * di * m[0], A[r + 2][c + 3] += di * m[1];
            A[r + 3][c + 3] += m[2];
            if (r != c)
                A[r + 2][c + 1] += di * m[0], A[r + 3][c + 1] += m[1], A[r + 3][c + 2] += di * m[1];
        };
        fold(xx, 0, 0);
        fold(yy, 3, 3);
        fold(xy, 0, 3);
        B_fit[1] -= tx[0], B_fit[2] -= di * tx[0], B_fit[3] -= tx[1];
        B_fit[4] -= ty[0], B_fit[5] -= di * ty[0], B_fit[6] -= ty[1];
    }
    if (in.e.correl.on() || in.e.coef_ref != 0.0f)
        for (int i = in.i0; i < in.i0 + in.T; i++)
            for (int j = in.j0; j < in.j0 + in.T; j++)
                add_pulls_6<true, double>(in, i, j, A, B_fit);
    const double lam = in.e.lambda;
    border_terms<true>(in, A, B);
    const double inner = in.T > 2 ? static_cast<double>(in.T - 2) * (in.T - 2) : 0.0;
    for (int k = 1; k <= 6; k++)
        for (int l = k; l <= 6; l++)
            A[k][l] += inner * lam * (kInnerA[k] * kInnerA[l] + kInnerB[k] * kInnerB[l]);
    double sum_Kd, sum_Kc;
    inner_sums(in, sum_Kd, sum_Kc);
    for (int k = 1; k <= 6; k++) B[k] -= lam * (sum_Kd * kInnerA[k] + sum_Kc * kInnerB[k]);
    for (int k = 2; k <= 6; k++)
        for (int l = 1; l < k; l++) A[k][l] = A[l][k];
}

void smoothing_right_hand_side(const BlockInputs& in, double* B) {
    const double lam = in.e.lambda;
    border_terms<false>(in, nullptr, B);
    double sum_Kd, sum_Kc;
    inner_sums(in, sum_Kd, sum_Kc);
    for (int k = 1; k <= 6; k++) B[k] -= lam * (sum_Kd * kInnerA[k] + sum_Kc * kInnerB[k]);
}

template void single_pixel_constant<long double>(System2, const LayerImages&, float, float, float,
                                                 int, int, long);
template void single_pixel_constant<double>(System2, const LayerImages&, float, float, float, int,
                                            int, long);
template void normal_equations<long double>(const BlockInputs&, double**, double*);
template void right_hand_side<long double>(const BlockInputs&, double*);

void constant_update(const BlockInputs& in) {
    if (in.T == 1) {
        System2 S;
        add_fit_terms_2(in, in.i0, in.j0, S);
        single_pixel_constant<long double>(S, in.im, in.xi(0), in.zeta(0), in.e.lambda, in.i0,
                                           in.j0, 0);
        return;
    }
    constant_block<long double>(
        [&](System2& S2, int i, int j, long) { add_fit_terms_2(in, i, j, S2); }, in.im,
        in.e.no_div ? nullptr : in.e.Estim, in.e.no_curl ? nullptr : in.e.Estim_rot, in.e.lambda,
        in.i0, in.j0, in.T);
}
