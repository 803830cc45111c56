// Block list (creation, splitting, activity marks) and the robust data weights.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "affine.h"
#include "relax.h"

namespace {

std::vector<bloc*> as_vector(bloc* head) {
    std::vector<bloc*> out;
    for (bloc* b = head; b; b = b->suiv) out.push_back(b);
    return out;
}

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
        for (int m = 1; m <= 4; m++) EXPECT_EQ(b.theta2[m], 0.0);
    }
    bloc* parent = blocks[4];
    parent->indic = 1;
    for (int m = 1; m <= 6; m++) parent->theta[m] = m;
    for (int m = 1; m <= 4; m++) parent->theta2[m] = 10 + m;
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
        for (int m = 1; m <= 4; m++) EXPECT_EQ(b.theta2[m], 10 + m);
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
    for (int i = 0; i < 8; i++) {
        for (int j = 0; j < 8; j++) {
            fx[i * nc + j] = 0.5f;       // mean of fx^2 + fy^2 exactly gmin^2
            fy[i * nc + 8 + j] = 0.49f;  // below
        }
    }
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
        EXPECT_EQ(out[0], c.expected) << c.u << " " << c.fx << " " << c.sigma;
        EXPECT_EQ(out[1], c.expected);
    }
    // Single precision at every step: fx u + fy v = 1 + 2^-24 rounds to 1 (ties to even), and so
    // does 1 + ft, so r = 1 and the weight is e^-1; the exact sum 1 + 2^-23 would give less.
    float u = 1.0f, v = 0x1p-24f, fx = 1.0f, fy = 1.0f, ft = 0x1p-24f, out = -1.0f;
    Data_Out_Gen_f(&u, &v, &fx, &fy, &ft, 1.0f, 1, 1, &out);
    EXPECT_EQ(out, static_cast<float>(std::exp(-1.0)));
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
