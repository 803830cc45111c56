// Horizontal estimator: the block normal equations checked against the block energy written
// out from its definition, the constant update, the affine update with its fallback, the ICM
// sweep (change count, modes) and the order its chunks keep when threads join it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "affine.h"
#include "icm_chunks.h"
#include "lissage_div_curl.h"
#include "relax.h"

namespace {

struct Layer {
    short nc, nl;
    std::vector<float> U, V, u, v, fx, fy, ft, Data_out, Estim, Estim_rot, U_ref, V_ref;
    std::vector<short> It;
    Layer(short c, short l) : nc(c), nl(l), Data_out(c * l, 1.0f), It(c * l) {
        for (auto* f : {&U, &V, &u, &v, &fx, &fy, &ft, &Estim, &Estim_rot, &U_ref, &V_ref})
            f->assign(c * l, 0.0f);
    }
    long at(int i, int j) const { return static_cast<long>(i) * nc + j; }
};

struct Terms {
    float lambda = 0;
    short no_div = 0, no_curl = 0;
    float coef_Correl = 0;
    std::vector<float> w_f, w_var, w_i, w_j, w_u, w_v;
    float coef_ref = 0;
};

struct OneBlock {  // a lone block of side 2^taille at (abs, ord)
    bloc* b = nullptr;
    OneBlock(short abs, short ord, short taille) {
        init_parc(&b, taille, 0, 0, 0, 1, 1);
        b->abs = abs, b->ord = ord, b->indic = 1;
    }
    ~OneBlock() { Free_parc(b); }
};

struct System {
    double A[7][7] = {};
    double B[7] = {};
};

System assemble(Layer& L, bloc* b, Terms& t) {
    System s;
    double* rows[7];
    for (int k = 0; k < 7; k++) rows[k] = s.A[k];
    const long k = L.at(b->abs, b->ord);
    constsys_6_lissage(rows, s.B, b, &L.ft[k], &L.fx[k], &L.fy[k], &L.Data_out[k], nullptr, nullptr,
                       &L.Estim[k], nullptr, &L.Estim_rot[k], &L.U[k], &L.V[k], &L.u[k], &L.v[k],
                       L.nl, L.nc, 0.61f, 0.0f, t.lambda, t.no_div, t.no_curl,
                       static_cast<long>(t.w_f.size()), t.coef_Correl, t.w_f.data(), t.w_var.data(),
                       t.w_i.data(), t.w_j.data(), t.w_u.data(), t.w_v.data(), t.coef_ref,
                       &L.U_ref[k], &L.V_ref[k], &L.It[k]);
    return s;
}

void constant_update(Layer& L, bloc* b, Terms& t) {
    const long k = L.at(b->abs, b->ord);
    Ener_min_lissage(&L.u[k], &L.v[k], &L.U[k], &L.V[k], &L.fx[k], &L.fy[k], &L.ft[k], L.nc, L.nl,
                     &L.Data_out[k], nullptr, nullptr, &L.Estim[k], nullptr, &L.Estim_rot[k], b,
                     0.0f, t.lambda, t.no_div, t.no_curl, static_cast<long>(t.w_f.size()),
                     t.coef_Correl, t.w_f.data(), t.w_var.data(), t.w_i.data(), t.w_j.data(),
                     t.w_u.data(), t.w_v.data(), t.coef_ref, &L.U_ref[k], &L.V_ref[k], &L.It[k]);
}

int sweep(Layer& L, bloc* head, Terms& t, short mod) {
    return ICM_lissage(L.U.data(), L.V.data(), L.u.data(), L.v.data(), L.fx.data(), L.fy.data(),
                       L.ft.data(), L.nc, L.nl, 3.0f, L.Data_out.data(), nullptr, nullptr,
                       L.Estim.data(), nullptr, L.Estim_rot.data(), head, 0, 0, mod, 0.0f, t.lambda,
                       t.no_div, t.no_curl, static_cast<long>(t.w_f.size()), t.coef_Correl,
                       t.w_f.data(), t.w_var.data(), t.w_i.data(), t.w_j.data(), t.w_u.data(),
                       t.w_v.data(), t.coef_ref, L.U_ref.data(), L.V_ref.data(), L.It.data());
}

// Block energy of the affine increment th, written out from the definitions: increments are
// the model inside the block and the current u, v elsewhere; a neighbour outside the image is
// the pixel itself with its current u, v.
double block_energy(const Layer& L, const bloc* b, const Terms& t, const double* th) {
    const int T = 1 << b->taille;
    auto inside = [&](int i, int j) {
        return i >= b->abs && i < b->abs + T && j >= b->ord && j < b->ord + T;
    };
    // total wind component c (0: U, 1: V) at neighbour (qi, qj) of pixel (i, j)
    auto w = [&](int c, int i, int j, int qi, int qj) {
        const std::vector<float>&W = c ? L.V : L.U, &dW = c ? L.v : L.u;
        if (inside(qi, qj))
            return W[L.at(qi, qj)] + th[1 + 3 * c] + th[2 + 3 * c] * qi + th[3 + 3 * c] * qj;
        const bool out = qi < 0 || qi >= L.nl || qj < 0 || qj >= L.nc;
        const long k = out ? L.at(i, j) : L.at(qi, qj);
        return static_cast<double>(W[k]) + dW[k];
    };
    double E = 0;
    for (int i = b->abs; i < b->abs + T; i++) {
        for (int j = b->ord; j < b->ord + T; j++) {
            const long k = L.at(i, j);
            const double du = th[1] + th[2] * i + th[3] * j, dv = th[4] + th[5] * i + th[6] * j;
            const double r = L.fx[k] * du + L.fy[k] * dv + L.ft[k];
            E += L.Data_out[k] * r * r;
            for (size_t n = 0; t.coef_Correl != 0 && L.It[k] <= 1021 && n < t.w_f.size(); n++) {
                const double d2 = (i - t.w_j[n]) * (i - t.w_j[n]) + (j - t.w_i[n]) * (j - t.w_i[n]);
                if (d2 > 9 * t.w_var[n]) continue;
                const double kappa = t.coef_Correl * t.w_f[n] * std::exp(-d2 / (2 * t.w_var[n]));
                E += kappa *
                     (std::pow(L.U[k] + du - t.w_u[n], 2) + std::pow(L.V[k] + dv - t.w_v[n], 2));
            }
            E += t.coef_ref *
                 (std::pow(L.U[k] + du - L.U_ref[k], 2) + std::pow(L.V[k] + dv - L.V_ref[k], 2));
            const double xi = t.no_div ? 0.0 : L.Estim[k], zeta = t.no_curl ? 0.0 : L.Estim_rot[k];
            const double div = w(0, i, j, i, j + 1) - w(0, i, j, i, j - 1) + w(1, i, j, i + 1, j) -
                               w(1, i, j, i - 1, j);
            const double curl = w(1, i, j, i, j + 1) - w(1, i, j, i, j - 1) - w(0, i, j, i + 1, j) +
                                w(0, i, j, i - 1, j);
            E += t.lambda * ((div - xi) * (div - xi) + (curl - zeta) * (curl - zeta));
        }
    }
    return E;
}

// Deterministic, irregular sample values of moderate size.
float wiggle(long k, double f, double amp) {
    return static_cast<float>(amp * std::sin(f * k + 0.3));
}

void fill_irregular(Layer& L) {
    std::vector<float>* fields[] = {&L.U,  &L.V,     &L.u,         &L.v,     &L.fx,   &L.fy,
                                    &L.ft, &L.Estim, &L.Estim_rot, &L.U_ref, &L.V_ref};
    const double freq[] = {1.3, 2.1, 0.7, 3.3, 0.9, 1.7, 2.9, 1.1, 0.5, 0.8, 2.6};
    const double amp[] = {0.8, 0.7, 0.5, 0.4, 3.0, 2.0, 1.5, 0.3, 0.2, 1.0, 1.0};
    for (long k = 0; k < L.nc * L.nl; k++) {
        for (int m = 0; m < 11; m++) (*fields[m])[k] = wiggle(k, freq[m], amp[m]);
        L.Data_out[k] = 0.5f + wiggle(k, 0.37, 0.4);
        L.It[k] = static_cast<short>(k % 7 == 3 ? 1022 : 500);  // some saturated pixels
    }
}

}  // namespace

TEST(NormalEquations, AreHalfTheHessianAndMinusHalfTheGradientOfTheBlockEnergy) {
    // Blocks inside the image, against each image edge, covering it, and a single pixel.
    const struct {
        short abs, ord, taille, no_div, no_curl;
    } blocks[] = {
        {2, 4, 2, 0, 0}, {4, 4, 2, 1, 0}, {0, 0, 1, 0, 1}, {0, 0, 3, 0, 0}, {3, 7, 0, 0, 0}};
    for (const auto& c : blocks) {
        Layer L(8, 8);
        fill_irregular(L);
        // lambda, no_div, no_curl; coef_Correl and two correlation vectors (w_f, w_var, column
        // w_i, line w_j, w_u, w_v); coef_ref.
        Terms t{0.7f,          c.no_div,      c.no_curl,    0.8f,
                {1.0f, 0.6f},  {1.0f, 2.0f},  {5.0f, 2.0f}, {3.0f, 6.0f},
                {0.4f, -0.2f}, {-0.3f, 0.9f}, 0.3f};
        OneBlock blk(c.abs, c.ord, c.taille);
        const System s = assemble(L, blk.b, t);
        auto E = [&](int k, double a, int l = 0, double b = 0) {  // theta[0] is not used
            double th[7] = {};
            th[k] += a, th[l] += b;
            return block_energy(L, blk.b, t, th);
        };
        for (int k = 1; k <= 6; k++) {
            const double gradient_B = -(E(k, 1) - E(k, -1)) / 4;
            EXPECT_NEAR(s.B[k], gradient_B, 1e-5 * (1 + std::fabs(gradient_B)))
                << "block " << c.abs << "," << c.ord << " B[" << k << "]";
            for (int l = 1; l <= 6; l++) {
                const double Akl = (E(k, 1, l, 1) - E(k, 1) - E(l, 1) + E(0, 0)) / 2;
                EXPECT_NEAR(s.A[k][l], Akl, 1e-6 * (1 + std::fabs(Akl)))
                    << "block " << c.abs << "," << c.ord << " A[" << k << "][" << l << "]";
                EXPECT_EQ(s.A[k][l], s.A[l][k]);
            }
        }
    }
}

// Smoothing energy of a single-pixel block holding U + cu, V + cv: four one-sided stencils,
// each (lambda / 4) ((div - xi / 2)^2 + (curl - zeta / 2)^2), neighbours replicated at edges.
double stencil_energy(const Layer& L, int i, int j, const Terms& t, double cu, double cv) {
    auto rep = [&](int qi, int qj) {
        return (qi < 0 || qi >= L.nl || qj < 0 || qj >= L.nc) ? L.at(i, j) : L.at(qi, qj);
    };
    const long p = L.at(i, j);
    const double Up = L.U[p] + cu, Vp = L.V[p] + cv;
    const double xi = t.no_div ? 0.0 : L.Estim[p], zeta = t.no_curl ? 0.0 : L.Estim_rot[p];
    double E = 0;
    for (int sj : {-1, 1}) {      // left, right: dj f = sj (f(q) - f(p))
        for (int si : {-1, 1}) {  // up, down
            const long h = rep(i, j + sj), w = rep(i + si, j);
            const double djU = sj * (L.U[h] + L.u[h] - Up), djV = sj * (L.V[h] + L.v[h] - Vp);
            const double diU = si * (L.U[w] + L.u[w] - Up), diV = si * (L.V[w] + L.v[w] - Vp);
            const double div = djU + diV - xi / 2, curl = djV - diU - zeta / 2;
            E += t.lambda / 4 * (div * div + curl * curl);
        }
    }
    return E;
}

TEST(ConstantUpdate, MinimisesTheBlockEnergyOverConstantIncrements) {
    const struct {
        short abs, ord, taille;
    } blocks[] = {{6, 0, 1}, {2, 3, 2}, {3, 5, 0}, {0, 0, 0}, {7, 7, 0}};
    for (const auto& c : blocks) {
        Layer L(8, 8);
        fill_irregular(L);
        Terms t;
        t.lambda = 0.4f;
        t.coef_ref = 0.2f;
        OneBlock blk(c.abs, c.ord, c.taille);
        // 2 x 2 system of E(cu, cv) from the affine energy with theta = (cu, 0, 0, cv, 0, 0);
        // for a single pixel that energy's smoothing part is constant and the stencils apply.
        auto E = [&](double cu, double cv) {
            const double th[7] = {0, cu, 0, 0, cv, 0, 0};
            const double s = c.taille == 0 ? stencil_energy(L, c.abs, c.ord, t, cu, cv) : 0.0;
            return block_energy(L, blk.b, t, th) + s;
        };
        const double a11 = (E(2, 0) - 2 * E(1, 0) + E(0, 0)) / 2;
        const double a22 = (E(0, 2) - 2 * E(0, 1) + E(0, 0)) / 2;
        const double a12 = (E(1, 1) - E(1, 0) - E(0, 1) + E(0, 0)) / 2;
        const double b1 = -(E(1, 0) - E(-1, 0)) / 4, b2 = -(E(0, 1) - E(0, -1)) / 4;
        const double det = a11 * a22 - a12 * a12;
        const long k = L.at(c.abs, c.ord);
        const long next = k + (c.ord < 7 ? 1 : -1);
        const float u_next = L.u[next];
        constant_update(L, blk.b, t);
        EXPECT_NEAR(L.u[k], (a22 * b1 - a12 * b2) / det, 1e-5) << c.abs << "," << c.ord;
        EXPECT_NEAR(L.v[k], (a11 * b2 - a12 * b1) / det, 1e-5) << c.abs << "," << c.ord;
        EXPECT_EQ(L.u[next], u_next);  // only the top-left pixel is written
    }
}

// The known part of div(p) is rounded to float before xi is subtracted (in extended precision).
// 4 x 4 block, U = j, no data weight, lambda 1, xi = 2^-30: every pixel's known divergence is
// U(j + 1) - U(j - 1) = 2, so Kd = 2 - 2^-30 (float(2 - 2^-30) would be 2). The div rows sum to
// 3 per line on theta3 and per column on theta5, so B3 = B5 = -12 (2 - 2^-30), the rest 0.
TEST(NormalEquations, KnownDivergenceIsRoundedToFloatBeforeTheTargetIsSubtracted) {
    Layer L(8, 8);
    std::fill(L.Data_out.begin(), L.Data_out.end(), 0.0f);
    std::fill(L.Estim.begin(), L.Estim.end(), 0x1p-30f);
    for (long k = 0; k < 64; k++) L.U[k] = static_cast<float>(k % 8);
    Terms t;
    t.lambda = 1.0f;
    OneBlock blk(2, 2, 2);
    const System s = assemble(L, blk.b, t);
    const double expected[7] = {0, 0, 0, -12 * (2 - 0x1p-30), 0, -12 * (2 - 0x1p-30), 0};
    for (int k = 1; k <= 6; k++) EXPECT_EQ(s.B[k], expected[k]) << k;
}

// The constant update's 2 x 2 system has double entries and keeps the increment on a zero
// determinant. A 2 x 2 block without smoothing: B1 = -sum gx gt d runs 1, then 1 + 2^-60 (2^-60
// is lost in double), then 0, so cu is exactly 0 (about 2^-61 if the sums were kept in extended
// precision). One pixel with gx = 1, gy = 2: the data matrix [gx^2 gx gy; gx gy gy^2] is singular.
TEST(ConstantUpdate, TheSystemIsInDoubleAndAZeroDeterminantKeepsTheIncrement) {
    Layer L(4, 4);
    const float gx[4] = {1, 0x1p-30f, 1, 0}, gy[4] = {0, 0, 0, 1}, gt[4] = {-1, -0x1p-30f, 1, 0};
    for (int q = 0; q < 4; q++) {
        const long k = L.at(q / 2, q % 2);
        L.fx[k] = gx[q], L.fy[k] = gy[q], L.ft[k] = gt[q];
    }
    const long p = L.at(2, 2);
    L.fx[p] = 1.0f, L.fy[p] = 2.0f, L.ft[p] = 3.0f, L.u[p] = 0.7f, L.v[p] = -0.2f;
    L.u[0] = L.v[0] = 5.0f;
    Terms t;
    OneBlock block(0, 0, 1), pixel(2, 2, 0);
    constant_update(L, block.b, t);
    constant_update(L, pixel.b, t);
    EXPECT_TRUE(L.u[0] == 0.0f && L.v[0] == 0.0f) << L.u[0] << " " << L.v[0];
    EXPECT_TRUE(L.u[p] == 0.7f && L.v[p] == -0.2f) << L.u[p] << " " << L.v[p];
}

TEST(AffineUpdate, SingularSystemFallsBackToTheConstantModel) {
    // One pixel without data weight: zero 6 x 6 matrix. With u = 1 at the right neighbour and
    // everything else 0 the four stencils give 6 cu^2 + 2 (1 - cu)^2 + (cv terms), so cu = 1/4.
    double theta[7];
    Layer P(5, 5);
    std::fill(P.Data_out.begin(), P.Data_out.end(), 0.0f);
    P.u[P.at(2, 3)] = 1.0f;
    OneBlock pixel(2, 2, 0);
    const long k = P.at(2, 2);
    testing::internal::CaptureStdout();
    Estim_Param_6_lissage(&P.U[k], &P.V[k], &P.u[k], &P.v[k], &P.Data_out[k], nullptr, nullptr,
                          &P.Estim[k], nullptr, &P.Estim_rot[k], &P.fx[k], &P.fy[k], &P.ft[k], 5, 5,
                          pixel.b, theta, 0.0f, 0.8f, 0, 0, 0, 0.0f, nullptr, nullptr, nullptr,
                          nullptr, nullptr, nullptr, 0.0f, nullptr, nullptr, &P.It[k]);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "systeme non-inversible -> modele constant\n");
    const double expected[7] = {0, 0.25, 0, 0, 0, 0, 0};
    for (int m = 1; m <= 6; m++) EXPECT_NEAR(theta[m], expected[m], 1e-7) << m;
}

TEST(IcmSweep, CountsChangedBlocksAgainstThreePercentOfTheActiveOnes) {
    // 100 single-pixel blocks; only the reference term acts, so a block moves to U_ref exactly
    // where U_ref is nonzero (from 0: infinite relative change) and stays 0 elsewhere (0 / 0).
    const struct {
        int changed, mod, expected;
    } cases[] = {{2, 0, 0}, {3, 0, 3}, {3, 4, 3}, {3, 1, 0}, {3, 7, 0}};
    for (const auto& c : cases) {
        Layer L(10, 10);
        for (int n = 0; n < c.changed; n++) L.U_ref[17 * n + 5] = 0.5f + n;
        Terms t;
        t.coef_ref = 1.0f;
        bloc* head = nullptr;
        init_parc(&head, 0, 0, 10, 10, 100, 10);
        for (bloc* b = head; b; b = b->suiv) b->indic = 1;
        EXPECT_EQ(sweep(L, head, t, c.mod), c.expected) << c.changed << " mod " << c.mod;
        const bool updates = c.mod == 0 || c.mod == 4;
        for (int n = 0; n < c.changed; n++)
            EXPECT_EQ(L.u[17 * n + 5], updates ? 0.5f + n : 0.0f) << "mod " << c.mod;
        for (bloc* b = head; b; b = b->suiv) EXPECT_EQ(b->theta[1], 0.0);  // constant update
        Free_parc(head);
    }
}

// The fast mode's block sums (double, the part of B without u, v kept between the sweeps of one
// data term, the inner pixels' div-curl terms summed by telescoping) follow the extended sums
// to rounding, in a first sweep (matrices factored) and in a later one after the divergence and
// vorticity targets moved (B's kept part reused), on blocks of 8 and 16 pixels at the image
// edges and inside it.
TEST(IcmSweep, FastSumsFollowTheExtendedOnesInFirstAndLaterSweeps) {
    for (short taille : {3, 4}) {
        const short side = 48;
        Layer L(side, side);
        unsigned seed = 5;
        auto next = [&](float lo, float hi) {
            seed = seed * 1103515245u + 12345u;
            return lo + (hi - lo) * static_cast<float>((seed >> 8) & 0xffff) / 65535.0f;
        };
        for (int k = 0; k < side * side; k++) {
            L.U[k] = next(-2, 2), L.V[k] = next(-2, 2), L.fx[k] = next(-20, 20);
            L.fy[k] = next(-20, 20), L.ft[k] = next(-9, 9), L.Data_out[k] = next(0, 1);
            L.Estim[k] = next(-0.1f, 0.1f), L.Estim_rot[k] = next(-0.1f, 0.1f);
        }
        Layer fast = L;
        bloc* head = nullptr;
        const short n = side >> taille;
        init_parc(&head, taille, 0, side, side, static_cast<long>(n) * n, n);
        for (bloc* b = head; b; b = b->suiv) b->indic = 1;
        AffineSystemCache cache_x, cache_f;
        auto run = [&](Layer& X, AffineSystemCache& cache, BlockSums sums) {
            const LayerImages im{X.U.data(),  X.V.data(),  X.u.data(),  X.v.data(),
                                 X.fx.data(), X.fy.data(), X.ft.data(), X.Data_out.data(),
                                 side,        side};
            SmoothingEnergy e;
            e.lambda = 700.0f;
            e.Estim = X.Estim.data();
            e.Estim_rot = X.Estim_rot.data();
            e.It = X.It.data();
            icm_sweep(im, e, head, 4, 3.0f, &cache, nullptr, sums);
        };
        for (int pass = 0; pass < 2; pass++) {
            run(L, cache_x, BlockSums::extended);
            run(fast, cache_f, BlockSums::fast);
            double largest = 0, worst = 0;
            for (int k = 0; k < side * side; k++) {
                largest = std::max({largest, std::fabs(double(L.u[k])), std::fabs(double(L.v[k]))});
                worst = std::max({worst, std::fabs(double(fast.u[k]) - L.u[k]),
                                  std::fabs(double(fast.v[k]) - L.v[k])});
            }
            EXPECT_GT(largest, 0.01) << "side " << (1 << taille) << " pass " << pass;
            EXPECT_LT(worst, 1e-5 * largest) << "side " << (1 << taille) << " pass " << pass;
            for (int k = 0; k < side * side; k++) {  // new targets for the second sweep
                L.Estim[k] = fast.Estim[k] = 0.5f * L.Estim[k] + 0.02f;
                L.Estim_rot[k] = fast.Estim_rot[k] = -0.03f;
            }
        }
        Free_parc(head);
    }
}

namespace {

// Blocks of sides 8, 4, 2 and 1 in list order, one block left inactive.
bloc* mixed_blocks(short nc, short nl) {
    bloc* head = nullptr;
    init_parc(&head, 3, 0, nc, nl, (nc / 8) * (nl / 8), nc / 8);
    int index = 0;
    for (bloc* b = head; b; b = b->suiv, ++index) {
        if (index % 3 == 1 && b->taille > 0) decoupe(b, nl, nc);
        b->indic = index == 5 ? 0 : 1;
    }
    return head;
}

}  // namespace

// The plan by which idle threads join a sweep: a block reads its pixels' four neighbours, so two
// chunks whose extents meet once widened by one pixel along the lines or along the columns are
// solved in list order (the later one in the earlier one's next list); any other two may run
// side by side. That the joined sweeps give the serial bytes is checked on whole runs with one
// thread and with three.
TEST(IcmChunks, ChunksOnePixelApartOrOverlappingKeepTheirListOrder) {
    const short nc = 128, nl = 96;
    bloc* head = mixed_blocks(nc, nl);
    AffineSystemCache cache;
    ASSERT_TRUE(
        plan_chunks(cache, head, 4, nc, nl, [](short, short taille) { return taille > 2; }));
    ASSERT_GT(cache.chunks.size(), 10u);
    for (std::size_t a = 0; a < cache.chunks.size(); ++a)
        for (std::size_t b = a + 1; b < cache.chunks.size(); ++b) {
            const auto &A = cache.chunks[a], &B = cache.chunks[b];
            const int gap_i = std::max(A.i0, B.i0) - std::min(A.i1, B.i1);
            const int gap_j = std::max(A.j0, B.j0) - std::min(A.j1, B.j1);
            const bool touch = (gap_i <= 0 && gap_j < 0) || (gap_j == 0 && gap_i < 0);
            const bool ordered = std::count(A.next.begin(), A.next.end(), int(b)) == 1;
            ASSERT_EQ(ordered, touch) << a << " " << b;
        }
    Free_parc(head);
}
