// Neighbour accessors, div-curl observations, the robust sweeps and link weights of the
// auxiliary fields.
#include <gtest/gtest.h>

#include <vector>

#include "bib_LP_ansi.h"
#include "neighbor.h"

namespace {

using Field = std::vector<float>;

Field make_field(int nc, int nl, float (*f)(int i, int j)) {
    Field x(nc * nl);
    for (int i = 0; i < nl; ++i)
        for (int j = 0; j < nc; ++j) x[i * nc + j] = f(i, j);
    return x;
}

bool on_frame(int i, int j, int nc, int nl) {
    return i == 0 || j == 0 || i == nl - 1 || j == nc - 1;
}

}  // namespace

TEST(Neighbours, MissingNeighbourIsThePixelAndMissingLinkWeighsZero) {
    const short nc = 3, nl = 2;  // values 10 * i + j
    Field x = {0, 1, 2, 10, 11, 12};
    std::vector<Line_Process> lp(6);
    for (int k = 0; k < 6; ++k) lp[k] = {1.0f + k, 100.0f + k};  // Disc_h, Disc_v
    const struct {
        short i, j;
        float up, down, left, right, up_spat, left_spat;
    } cases[] = {
        {0, 0, 0, 10, 0, 1, 0, 0},     {0, 2, 2, 12, 1, 2, 0, 101},   {1, 0, 0, 10, 10, 11, 1, 0},
        {1, 1, 1, 11, 10, 12, 2, 103}, {1, 2, 2, 12, 11, 12, 3, 104},
    };
    for (const auto& c : cases) {
        const int k = c.i * nc + c.j;
        EXPECT_EQ(UP(c.i, c.j, nc, nl, &x[k]), c.up) << c.i << "," << c.j;
        EXPECT_EQ(DOWN(c.i, c.j, nc, nl, &x[k]), c.down) << c.i << "," << c.j;
        EXPECT_EQ(LEFT(c.i, c.j, nc, nl, &x[k]), c.left) << c.i << "," << c.j;
        EXPECT_EQ(RIGHT(c.i, c.j, nc, nl, &x[k]), c.right) << c.i << "," << c.j;
        EXPECT_EQ(UP_spat(c.i, c.j, nc, nl, &lp[k]), c.up_spat) << c.i << "," << c.j;
        EXPECT_EQ(LEFT_spat(c.i, c.j, nc, nl, &lp[k]), c.left_spat) << c.i << "," << c.j;
    }
}

TEST(DivCurlObservations, UndividedDifferencesOfTheSummedWindWithAZeroFrame) {
    const short nc = 6, nl = 5;
    using Gen = float (*)(int, int);
    const Gen zero = [](int, int) { return 0.0f; };
    const Gen col = [](int, int j) { return float(j); };
    const Gen line = [](int i, int) { return float(i); };
    const Gen half_col = [](int, int j) { return 0.5f * j; };
    const struct {
        const char* name;
        Gen U, V, u, v;
        float div, curl;
    } cases[] = {
        {"u = j", zero, zero, col, zero, 2, 0},
        {"U = j", col, zero, zero, zero, 2, 0},
        {"U + u = j", half_col, zero, half_col, zero, 2, 0},
        {"v = i", zero, zero, zero, line, 2, 0},
        {"V = j", zero, col, zero, zero, 0, 2},
        {"u = i", zero, zero, line, zero, 0, -2},
        {"U = j, v = j", col, zero, zero, col, 2, 2},
    };
    for (const auto& c : cases) {
        Field U = make_field(nc, nl, c.U), V = make_field(nc, nl, c.V);
        Field u = make_field(nc, nl, c.u), v = make_field(nc, nl, c.v);
        Field div(nc * nl, 7.0f), curl(nc * nl, 7.0f);
        Calcul_Estim_Div_Curl(div.data(), curl.data(), U.data(), V.data(), u.data(), v.data(), nc,
                              nl);
        for (int i = 0; i < nl; ++i) {
            for (int j = 0; j < nc; ++j) {
                const bool frame = on_frame(i, j, nc, nl);
                EXPECT_EQ(div[i * nc + j], frame ? 0.0f : c.div) << c.name << " " << i << "," << j;
                EXPECT_EQ(curl[i * nc + j], frame ? 0.0f : c.curl)
                    << c.name << " " << i << "," << j;
            }
        }
    }
}

TEST(RobustFit, PixelUpdateIsTheWeightedMeanOfObservationAndLinkedNeighbours) {
    // 3 x 3 estimate; the links of the centre carry different weights.
    const short nc = 3, nl = 3;
    Field est = {0, 4, 0, 8, 5, -2, 0, 2, 0};
    Field obs(9, 1.0f);
    std::vector<Line_Process> lp(9, {1.0f, 1.0f});
    lp[4] = {0.5f, 0.5f};  // down, right of the centre
    lp[1].Disc_h = 0.25f;  // link above the centre
    lp[3].Disc_v = 1.0f;   // link left of the centre
    // (1 + 2 (0.5 * 2 + 0.25 * 4 + 1 * 8 + 0.5 * -2)) / (1 + 2 * 2.25) = 19 / 5.5
    EXPECT_FLOAT_EQ(EstimVal_Rob(&obs[4], &est[4], 1, 1, nc, nl, 1.0f, 2.0f, &lp[4]), 19 / 5.5f);
    // Top-left corner: no link above or to the left. (1 + 2 (1 * 8 + 1 * 4)) / (1 + 2 * 2)
    EXPECT_FLOAT_EQ(EstimVal_Rob(&obs[0], &est[0], 0, 0, nc, nl, 1.0f, 2.0f, &lp[0]), 5.0f);
    // Bottom-right corner: down and right are the pixel itself (0); up -2, left 2, all weights 1.
    // (1 + 2 (0 - 2 + 2 + 0)) / (1 + 2 * 4)
    EXPECT_FLOAT_EQ(EstimVal_Rob(&obs[8], &est[8], 2, 2, nc, nl, 1.0f, 2.0f, &lp[8]), 1 / 9.0f);
}

TEST(RobustFit, ZeroDenominatorKeepsTheCurrentValue) {
    Field est = {3.5f}, obs = {1.0f};
    std::vector<Line_Process> lp(1, {1.0f, 1.0f});
    const float x = EstimVal_Rob(obs.data(), est.data(), 0, 0, 1, 1, 0.0f, 0.0f, lp.data());
    EXPECT_EQ(x, 3.5f);
}

TEST(RobustFit, SweepsCountOnlyRealChanges) {
    const short nc = 5, nl = 4;
    std::vector<Line_Process> lp(nc * nl, {1.0f, 1.0f});
    // A uniform wind observes zero everywhere: a zero estimate does not move.
    Field U(nc * nl, 1.5f), V(nc * nl, -2.0f), zero(nc * nl, 0.0f);
    Field div(nc * nl), curl(nc * nl), est(nc * nl, 0.0f);
    Calcul_Estim_Div_Curl(div.data(), curl.data(), U.data(), V.data(), zero.data(), zero.data(), nc,
                          nl);
    EXPECT_EQ(RegulEstim_Rob(div.data(), est.data(), nc, nl, 10.0f, 1.0f, 1.0f, lp.data()), 0);
    EXPECT_EQ(est, zero);

    // Without smoothing the first sweep copies the observation; the second changes nothing.
    Field obs = make_field(nc, nl, [](int i, int j) { return 0.25f * i - 0.5f * j + 0.125f; });
    EXPECT_EQ(RegulEstim_Rob(obs.data(), est.data(), nc, nl, 0.0f, 1.0f, 1.0f, lp.data()), nc * nl);
    EXPECT_EQ(est, obs);

    // Moves of 0.0001 or less are not counted.
    Field small(nc * nl, 0.0001f);
    est.assign(nc * nl, 0.0f);
    EXPECT_EQ(RegulEstim_Rob(small.data(), est.data(), nc, nl, 0.0f, 1.0f, 1.0f, lp.data()), 0);
    EXPECT_EQ(est, small);
}

TEST(RobustFit, LinkWeightIsSigmaSquaredOverSquaredDistancePlusSigma) {
    // 2 x 2 field; sigma = 2, so weight = 4 / (d^2 + 2)^2.
    Field x = {0, 1, 3, 3};
    std::vector<Line_Process> lp(4, {-1.0f, -1.0f});
    Relax_estim(x.data(), 2, 2, 2.0f, lp.data());
    const float expected[4][2] = {
        {4.0f / 121.0f, 4.0f / 9.0f},  // d = -3 down, -1 right
        {4.0f / 36.0f, 1.0f},          // d = -2 down, own value on the right
        {1.0f, 1.0f},                  // own value below, equal neighbour on the right
        {1.0f, 1.0f},
    };
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(lp[k].Disc_h, expected[k][0]) << k;
        EXPECT_EQ(lp[k].Disc_v, expected[k][1]) << k;
    }
    Maz_LP(lp.data(), 2, 2);
    for (const auto& w : lp) EXPECT_TRUE(w.Disc_h == 1.0f && w.Disc_v == 1.0f);
}

TEST(AuxiliaryFields, UniformWindKeepsZeroAndNoSmoothingCopiesTheObservations) {
    const short nc = 7, nl = 6;
    Field zero(nc * nl, 0.0f);
    Field U(nc * nl, 3.0f), V(nc * nl, -1.0f);
    Field est(nc * nl, 0.0f), rot(nc * nl, 0.0f);
    Estim_Regulees_Rob(est.data(), rot.data(), U.data(), V.data(), zero.data(), zero.data(), nc, nl,
                       50.0f, 0.3f, 0.5f);
    EXPECT_EQ(est, zero);
    EXPECT_EQ(rot, zero);

    // Wx = j^2 / 4, Wy = i j, with coef_regul = 0 each fit lands on its observation.
    Field u = make_field(nc, nl, [](int, int j) { return 0.25f * j * j; });
    Field v = make_field(nc, nl, [](int i, int j) { return float(i * j); });
    est.assign(nc * nl, 9.0f);
    rot.assign(nc * nl, -9.0f);
    Estim_Regulees_Rob(est.data(), rot.data(), zero.data(), zero.data(), u.data(), v.data(), nc, nl,
                       0.0f, 0.3f, 0.5f);
    for (int i = 0; i < nl; ++i) {
        for (int j = 0; j < nc; ++j) {
            const bool frame = on_frame(i, j, nc, nl);
            // Wx(j+1) - Wx(j-1) = j, Wy(i+1) - Wy(i-1) = 2 j; Wy(j+1) - Wy(j-1) = 2 i.
            EXPECT_EQ(est[i * nc + j], frame ? 0.0f : 3.0f * j) << i << "," << j;
            EXPECT_EQ(rot[i * nc + j], frame ? 0.0f : 2.0f * i) << i << "," << j;
        }
    }
}
