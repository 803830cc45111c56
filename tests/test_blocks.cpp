// Block list (creation, splitting, activity marks, a block's motion written into a field), the
// linear-algebra kit (Crout LU, substitution, fatal report), the robust data weights and the
// blocks' change test.
#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "affine.h"
#include "relax.h"

namespace {

std::vector<bloc*> as_vector(bloc* head) {
    std::vector<bloc*> out;
    for (bloc* b = head; b; b = b->suiv) out.push_back(b);
    return out;
}

// 1-based n x n matrix filled row by row, released on scope exit.
struct Square {
    int n;
    double** a;
    Square(int size, std::initializer_list<double> rows) : n(size), a(matrix(1, size, 1, size)) {
        auto it = rows.begin();
        for (int i = 1; i <= n; i++)
            for (int j = 1; j <= n; j++) a[i][j] = *it++;
    }
    ~Square() { free_matrix(a, 1, n, 1, n); }
};

}  // namespace

// 2 rows x 3 columns of 16 x 16 blocks; the active block at line 16, column 16 with parameters
// is then split: its quarters take its place in row-major order, each with a copy of them.
TEST(BlockList, TilesRowByRowAndSplitsIntoQuartersInheritingTheParameters) {
    bloc* head = nullptr;
    init_parc(&head, 4, 0, 48, 32, 6, 3);
    std::vector<bloc*> blocks = as_vector(head);
    ASSERT_EQ(blocks.size(), 6u);
    for (int k = 0; k < 6; k++) {
        const bloc& b = *blocks[k];
        EXPECT_TRUE(b.abs == 16 * (k / 3) && b.ord == 16 * (k % 3) && b.taille == 4) << k;
        EXPECT_EQ(b.indic, 0);
        for (int m = 1; m <= 6; m++) EXPECT_EQ(b.theta[m], 0.0);
    }
    bloc* parent = blocks[4];
    parent->indic = 1;
    for (int m = 1; m <= 6; m++) parent->theta[m] = m;
    decoupe(parent, 32, 48);
    const std::vector<bloc*> split = as_vector(head);
    ASSERT_EQ(split.size(), 9u);
    EXPECT_TRUE(split[4] == parent && split[8] == blocks[5]);
    const short expected[4][2] = {{16, 16}, {16, 24}, {24, 16}, {24, 24}};
    for (int k = 0; k < 4; k++) {
        const bloc& b = *split[4 + k];
        EXPECT_TRUE(b.abs == expected[k][0] && b.ord == expected[k][1] && b.taille == 3) << k;
        EXPECT_EQ(b.indic, k == 0 ? 1 : 0);
        for (int m = 1; m <= 6; m++) EXPECT_EQ(b.theta[m], m);
        EXPECT_TRUE(k == 0 || b.theta != parent->theta) << k;  // copies, not shared
    }
    Free_parc(head);
    init_parc(&head, 3, 0, 8, 8, 0, 1);  // one record whatever N <= 1
    ASSERT_NE(head, nullptr);
    EXPECT_TRUE(head->abs == 0 && head->ord == 0 && head->suiv == nullptr);
    Free_parc(head);
}

TEST(Decoupe, SinglePixelBlockIsAFatalError) {
    bloc* head = nullptr;
    init_parc(&head, 0, 0, 4, 4, 1, 1);
    EXPECT_EXIT(decoupe(head, 4, 4), ::testing::ExitedWithCode(1), "cannot be split");
    Free_parc(head);
}

TEST(IndicGradMin, SmallBlocksAreActiveAndLargeOnesNeedEnoughGradient) {
    // 16 x 16 image: 8 x 8 blocks at (0, 0), (0, 8), (8, 0) and a 4 x 4 block at (8, 8).
    const short nc = 16;
    std::vector<float> fx(nc * nc, 0.0f), fy(nc * nc, 0.0f);
    // Block (0, 0): mean of fx^2 + fy^2 exactly gmin^2 = 0.25; block (0, 8): below it.
    for (int k = 0; k < 64; k++) fx[k / 8 * nc + k % 8] = 0.5f, fy[k / 8 * nc + 8 + k % 8] = 0.49f;
    fx[8 * nc] = std::numeric_limits<float>::quiet_NaN();  // NaN sum stays active
    bloc* head = nullptr;
    init_parc(&head, 3, 0, nc, nc, 4, 2);
    const std::vector<bloc*> blocks = as_vector(head);
    blocks[3]->taille = 2;
    const struct {
        float gmin;
        short indic[4];
    } cases[] = {{0.5f, {1, 0, 1, 1}}, {0.0f, {1, 1, 1, 1}}};
    for (const auto& c : cases) {
        Indic_Grad_Min(head, fx.data(), fy.data(), nullptr, c.gmin, nc, nc);
        for (int k = 0; k < 4; k++) EXPECT_EQ(blocks[k]->indic, c.indic[k]) << c.gmin << " " << k;
    }
    Free_parc(head);
}

TEST(DataOutGen, WeightIsExpOfMinusSquaredResidualOverSigma) {
    const struct {
        float u, fx, ft, sigma, expected;
    } cases[] = {
        {1.0f, 3.0f, -3.0f, 4.0f, 1.0f},                               // residual cancels
        {1.0f, 2.0f, 0.0f, 4.0f, static_cast<float>(std::exp(-1.0))},  // r = 2, r^2 = sigma
        {1.0f, 2.0f, 1.0f, 0.0f, 0.0f},                                // sigma 0
    };
    for (const auto& c : cases) {
        float u[2] = {c.u, c.u}, v[2] = {0.5f, 0.5f}, fx[2] = {c.fx, c.fx}, fy[2] = {0, 0};
        float ft[2] = {c.ft, c.ft}, out[2] = {-1, -1};
        Data_Out_Gen_f(u, v, fx, fy, ft, c.sigma, 2, 1, out);
        EXPECT_TRUE(out[0] == c.expected && out[1] == c.expected) << c.fx << " " << c.sigma;
    }
    // Single precision at every step: fx u + fy v = 1 + 2^-24 rounds to 1 (ties to even), and so
    // does 1 + ft, so r = 1 and the weight is e^-1; the exact sum 1 + 2^-23 would give less.
    float u = 1.0f, v = 0x1p-24f, fx = 1.0f, fy = 1.0f, ft = 0x1p-24f, out = -1.0f;
    Data_Out_Gen_f(&u, &v, &fx, &fy, &ft, 1.0f, 1, 1, &out);
    EXPECT_EQ(out, static_cast<float>(std::exp(-1.0)));
}

// The fast mode's float exp against the double one rounded to float, on every 97th float of
// [-87, 0] and the ends: within 3 ulps; exp(0) = 1, below -87 0, NaN kept. The fast weights, whose
// argument -r^2 / sigma is rounded to float, follow Data_Out_Gen_f's within 1.1e-5 relative on
// residuals up to 15 sigma^(1/2), the vector loop and its scalar tail alike (n odd).
TEST(DataOutGen, FastWeightsFollowTheDoubleExp) {
    auto ulps = [](float a, float b) {
        int32_t ia, ib;
        std::memcpy(&ia, &a, 4);
        std::memcpy(&ib, &b, 4);
        return std::abs(ia - ib);
    };
    int worst = 0;
    float lowest = -87.0f;
    uint32_t last;
    std::memcpy(&last, &lowest, 4);
    for (uint32_t bits = 0x80000000u; bits <= last; bits += 97) {  // -0 down to -87
        float x;
        std::memcpy(&x, &bits, 4);
        worst = std::max(worst, ulps(exp_nonpositive(x), static_cast<float>(std::exp(double(x)))));
    }
    EXPECT_LE(worst, 3);
    EXPECT_EQ(exp_nonpositive(0.0f), 1.0f);
    EXPECT_EQ(exp_nonpositive(-0.0f), 1.0f);
    EXPECT_EQ(exp_nonpositive(-87.5f), 0.0f);
    EXPECT_EQ(exp_nonpositive(-1e30f), 0.0f);
    EXPECT_TRUE(std::isnan(exp_nonpositive(std::nanf(""))));

    const int n = 1001;
    std::vector<float> u(n), v(n), fx(n), fy(n), ft(n), slow(n), fast(n);
    for (int k = 0; k < n; ++k) {
        u[k] = 0.01f * (k % 37), v[k] = -0.02f * (k % 11), fx[k] = 3.0f, fy[k] = -1.5f;
        ft[k] = 0.27f * k - 135.0f;  // residuals from -135 to 135 grey levels
    }
    Data_Out_Gen_f(u.data(), v.data(), fx.data(), fy.data(), ft.data(), 81.0f, n, 1, slow.data());
    data_weights_fast(fast.data(), u.data(), v.data(), fx.data(), fy.data(), ft.data(), 81.0f, n);
    for (int k = 0; k < n; ++k) {
        if (slow[k] < 1.7e-38f)
            ASSERT_LT(fast[k], 1.7e-38f) << k;
        else  // x = r^2 float(-1 / sigma) rounded twice: 87 * 2^-23 = 1.04e-5 relative
            ASSERT_NEAR(fast[k], slow[k], 1.1e-5 * slow[k]) << k;
    }
    data_weights_fast(fast.data(), u.data(), v.data(), fx.data(), fy.data(), ft.data(), 0.0f, n);
    EXPECT_EQ(*std::max_element(fast.begin(), fast.end()), 0.0f);
}

TEST(SeuilErr, OnlyMagnitudesStrictlyAboveTheThresholdCount) {
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        float x;
        short expected;
    } cases[] = {{-0.5f, 0}, {0.5f, 0}, {-0.6f, 1}, {0.6f, 1},
                 {0.0f, 0},  {inf, 1},  {-inf, 1},  {std::numeric_limits<float>::quiet_NaN(), 0}};
    for (const auto& c : cases) EXPECT_EQ(Seuil_ERR(c.x, 0.5f), c.expected) << c.x;
}

// The constant blocks' change test without square root and division decides as the quotients
// |float((u0 - u) / r)| > s do, r = sqrt(u0^2 + v0^2) in double: at random, within a few float
// steps of the threshold, and at zero, infinite and NaN winds.
TEST(SeuilErr, RelativeChangeTestAgreesWithTheQuotientsUpToTheRounding) {
    auto quotients = [](float u0, float v0, float u, float v, float s) {
        const double r = std::sqrt(static_cast<double>(u0) * u0 + static_cast<double>(v0) * v0);
        return std::fabs(static_cast<float>((static_cast<double>(u0) - u) / r)) > s ||
               std::fabs(static_cast<float>((static_cast<double>(v0) - v) / r)) > s;
    };
    auto check = [&](float u0, float v0, float u, float v, float s) {
        const double du = static_cast<double>(u0) - u, dv = static_cast<double>(v0) - v;
        const double r2 = static_cast<double>(u0) * u0 + static_cast<double>(v0) * v0;
        return relative_change_above(du, dv, r2, s, rounding_boundary_squared(s)) ==
               quotients(u0, v0, u, v, s);
    };
    std::mt19937 gen(7);
    std::uniform_real_distribution<float> w(-3.0f, 3.0f);
    long wrong = 0;
    for (float s : {0.1f, 0.5f})
        for (int t = 0; t < 200000; ++t) {
            const float u0 = w(gen), v0 = w(gen);
            const double r = std::sqrt(static_cast<double>(u0) * u0 + static_cast<double>(v0) * v0);
            // u0 - u = q r with q at s, nudged by up to 4 float steps of u either way
            float u = static_cast<float>(u0 - s * r);
            for (int k = t % 9 - 4; k != 0; k += k > 0 ? -1 : 1)
                u = std::nextafter(u, k > 0 ? 10.0f : -10.0f);
            wrong += !check(u0, v0, u, t % 2 ? v0 : u, s) + !check(u0, v0, w(gen), w(gen), s);
        }
    EXPECT_EQ(wrong, 0);
    const float inf = std::numeric_limits<float>::infinity(), nan = std::nanf("");
    const float special[][4] = {{0, 0, 0, 0},   {0, 0, 1e-30f, 0},        {1e-38f, 1e-38f, 0, 0},
                                {inf, 1, 1, 1}, {1, 1, inf, 1},           {nan, 1, 1, 1},
                                {1, 1, 1, nan}, {3e38f, 3e38f, -3e38f, 0}};
    for (const auto& c : special)
        for (float s : {0.1f, 0.5f}) EXPECT_TRUE(check(c[0], c[1], c[2], c[3], s)) << c[0] << c[2];
}

TEST(Ludcmp, ZeroRowsAreSingularZeroPivotsBecomeTinyAndTiesTakeTheLaterRow) {
    int indx[4];
    double d;
    Square zero_row(3, {1, 2, 3, 0, 0, 0, 4, 5, 6});
    EXPECT_EQ(ludcmp(zero_row.a, 3, indx, &d), 0);
    // Proportional rows: the second pivot is exactly 0 after elimination, replaced by 1e-20.
    Square proportional(2, {1, 2, 2, 4});
    ASSERT_EQ(ludcmp(proportional.a, 2, indx, &d), 1);
    EXPECT_EQ(proportional.a[2][2], 1.0e-20);
    // Both rows have largest element 1 and the same |a[i][1]|: row 2 becomes the pivot.
    Square m(2, {1, 0, 1, 1});
    ASSERT_EQ(ludcmp(m.a, 2, indx, &d), 1);
    EXPECT_TRUE(indx[1] == 2 && indx[2] == 2 && d == -1.0) << indx[1] << indx[2] << d;
    double b[3] = {0, 1, 3};  // x1 = 1, x1 + x2 = 3
    lubksb(m.a, 2, indx, b);
    EXPECT_TRUE(b[1] == 1.0 && b[2] == 2.0) << b[1] << " " << b[2];
}

// 2x + y + z = 0, 4x - 6y = 10, -2x + 7y + 2z = -11 (a leading zero on the right-hand side):
// x = 1, y = -1, z = -1, checked by substitution.
TEST(Lubksb, SolvesAKnownSystemWithALeadingZeroRightHandSide) {
    Square m(3, {2, 1, 1, 4, -6, 0, -2, 7, 2});
    int indx[4];
    double d, b[4] = {0, 0, 10, -11};
    ASSERT_EQ(ludcmp(m.a, 3, indx, &d), 1);
    lubksb(m.a, 3, indx, b);
    for (int k = 0; k < 3; k++) EXPECT_NEAR(b[k + 1], k == 0 ? 1 : -1, 1e-14) << k;
}

TEST(Nrerror, WritesThreeLinesOnStderrAndExitsWithStatusOne) {
    EXPECT_EXIT(nrerror("allocation failure in vector()"), ::testing::ExitedWithCode(1),
                "^run_time error\\.\\.\nallocation failure in vector\\(\\)\n"
                "\\.\\.\\.now exiting to system\\.\\.\\.\n$");
}

// theta at absolute coordinates: u = 1 + 0.5 j, v = 2 + 0.25 i on the block's 2 x 2 pixels at
// line 2, column 4 of an 8 x 6 field; nothing else is written.
TEST(BlockField, ProjectionUsesAbsoluteCoordinatesAndStaysInsideTheBlock) {
    const short nc = 8, nl = 6;
    bloc* b = nullptr;
    init_parc(&b, 1, 0, nc, nl, 1, 1);
    b->abs = 2;
    b->ord = 4;
    const double theta[7] = {0, 1, 0, 0.5, 2, 0.25, 0};
    copie_vector(b->theta, const_cast<double*>(theta), 1, 6);
    std::vector<float> u(nc * nl, -7.0f), v(nc * nl, -7.0f);
    proj_theta_6(b, u.data(), v.data(), nl, nc);
    for (int i = 0; i < nl; i++)
        for (int j = 0; j < nc; j++) {
            const bool in = i >= 2 && i < 4 && j >= 4 && j < 6;
            EXPECT_EQ(u[i * nc + j], in ? 1.0f + 0.5f * j : -7.0f) << i << "," << j;
            EXPECT_EQ(v[i * nc + j], in ? 2.0f + 0.25f * i : -7.0f) << i << "," << j;
        }
    // The constant copy spreads the top-left value over the same pixels only.
    u[2 * nc + 4] = 3.5f;
    recopie(&u[2 * nc + 4], &v[2 * nc + 4], nc, nl, b);
    EXPECT_EQ(u[3 * nc + 5], 3.5f);
    EXPECT_EQ(u[3 * nc + 6], -7.0f);
    Free_parc(b);
}
