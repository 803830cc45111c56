// Rounding to short, separable and 2-D filters, decimation and warping, checked on small
// hand-worked cases with the border rule of each.
#include "bib_ansi.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <numeric>
#include <vector>

namespace {

// Sample index seen at offset d of the mirror extension of an n-sample line, found by walking
// from sample 0 and bouncing off both ends (the extension is even: x[-d] = x[d]).
int bounce(int d, int n) {
    int pos = 0, dir = 1;
    for (int t = 0; t < std::abs(d) && n > 1; ++t) {
        if (pos + dir < 0 || pos + dir > n - 1) dir = -dir;
        pos += dir;
    }
    return pos;
}

}  // namespace

TEST(FloatToShort, RoundsHalvesAwayFromZeroWithTheHalfAddedInDouble) {
    float x[] = {0.5f, -0.5f, 2.49f, 1022.5f, -0.0f, -2.5f, -0.4f, 0.49999997f};
    const short expected[] = {1, -1, 2, 1023, 0, -3, 0, 0};
    short s[8];
    Float_to_short(x, s, 8, 1);
    for (int k = 0; k < 8; ++k) EXPECT_EQ(s[k], expected[k]) << x[k];
}

// out(i, j) = sum over k = -2 .. 2 of taps[k + 2] x(i, m(j + k)) along the lines, x(m(i + k), j)
// along the columns, m mirroring without repeating the edge sample, the float sum in this order:
// shifts, a copy and a low-pass on images of any size (the column pass in place).
TEST(Filters, SeparableFiltersMirrorTheBordersOfLinesAndColumnsOfAnyLength) {
    float kernels[3][5] = {
        {0, 0, 1, 0, 0}, {1, 0, 0, 0, 0}, {0.0625f, 0.25f, 0.375f, 0.25f, 0.0625f}};
    for (auto& taps : kernels)
        for (const auto& sz : {std::pair<int, int>{1, 1}, {2, 3}, {12, 5}, {30, 2}}) {
            const int nc = sz.first, nl = sz.second, n = nc * nl;
            std::vector<short> s(n);
            for (int k = 0; k < n; ++k) s[k] = short((k * 7) % 23 - 5);
            std::vector<float> f(s.begin(), s.end()), h(n), hf(n), v(f);
            Filtre_H(h.data(), s.data(), taps, 5, nc, nl);
            Filtre_H_f(hf.data(), f.data(), taps, 5, nc, nl);
            Filtre_V_f(v.data(), v.data(), taps, 5, nc, nl);
            for (int p = 0, i = 0, j = 0; p < n; ++p, i = p / nc, j = p % nc) {
                float along = 0, down = 0;
                for (int k = -2; k <= 2; ++k) {
                    along = taps[k + 2] * f[i * nc + bounce(j + k, nc)] + along;
                    down = taps[k + 2] * f[bounce(i + k, nl) * nc + j] + down;
                }
                EXPECT_TRUE(h[p] == along && hf[p] == along && v[p] == down)
                    << nc << "x" << nl << " at " << p << ", tap 0 = " << taps[0];
            }
        }
}

// Replicated borders: a tap at line offset -1 shifts down and repeats line 0, one at offset (+1,
// +1) shifts up and left and repeats the last line and column; a constant image stays constant
// under a 3 x 3 low-pass.
TEST(Filters, TwoDimensionalFilterReplicatesTheBorder) {
    float above[9] = {0, 1, 0, 0, 0, 0, 0, 0, 0};
    float smooth[9] = {.0625f, .125f, .0625f, .125f, .25f, .125f, .0625f, .125f, .0625f};
    std::vector<float> in(12), out(12), flat(12, 100.0f);
    std::iota(in.begin(), in.end(), 1.0f);
    Filtre_f_2D_f(out.data(), in.data(), above, 3, 3, 4, 3);
    EXPECT_EQ(out, (std::vector<float>{1, 2, 3, 4, 1, 2, 3, 4, 5, 6, 7, 8}));
    float below_right[9] = {0, 0, 0, 0, 0, 0, 0, 0, 1};
    Filtre_f_2D_f(out.data(), in.data(), below_right, 3, 3, 4, 3);
    EXPECT_EQ(out, (std::vector<float>{6, 7, 8, 8, 10, 11, 12, 12, 10, 11, 12, 12}));
    Filtre_f_2D_f(out.data(), flat.data(), smooth, 3, 3, 4, 3);
    EXPECT_EQ(out, flat);
}

TEST(Decimation, KeepsEverySecondSampleOfEverySecondLine) {
    short s[16], low[4];
    float f[16], lowf[4];
    for (int k = 0; k < 16; ++k) f[k] = s[k] = short(k);
    Decimation(low, s, 4, 4, 2);
    Decimation_f(lowf, f, 4, 4, 2);
    EXPECT_EQ(std::vector<short>(low, low + 4), (std::vector<short>{0, 2, 8, 10}));
    EXPECT_EQ(std::vector<float>(lowf, lowf + 4), (std::vector<float>{0, 2, 8, 10}));
}

TEST(Warp, SteppedShiftsFollowTheFootprintRule) {
    const int nc = 5, nl = 4;
    std::vector<float> in(nc * nl);
    for (int k = 0; k < nc * nl; ++k) in[k] = float(k * k);
    auto at = [&](int i, int j) { return in[i * nc + j]; };
    const struct {
        float u, v;
        std::function<float(int, int)> expected;
    } cases[] = {
        // half a pixel right: mean with the right neighbour; 0 on the last column and line 0
        {0.5f, 0,
         [&](int i, int j) { return i && j < nc - 1 ? (at(i, j) + at(i, j + 1)) / 2 : 0; }},
        // one pixel left: the left neighbour; 0 on columns 0 and 1 and on line 0
        {-1, 0, [&](int i, int j) { return i && j > 1 ? at(i, j - 1) : 0; }},
        // no motion: the input, but 0 on line 0 and column 0
        {0, 0, [&](int i, int j) { return i && j ? at(i, j) : 0; }},
        {0.5f, -1000, [](int, int) { return 0.0f; }},
    };
    for (const auto& c : cases) {
        std::vector<float> u(nc * nl, c.u), v(nc * nl, c.v), out(nc * nl, -1.0f);
        Recal_fl(u.data(), v.data(), out.data(), in.data(), nc, nl);
        for (int k = 0; k < nc * nl; ++k)
            EXPECT_EQ(out[k], c.expected(k / nc, k % nc)) << c.u << "," << c.v << " at " << k;
    }
    float low[2] = {1.5f, -2.0f}, high[8];  // duplication: each sample fills its 2 x 2 block
    Proj_Dup_fl(high, low, 2, 1);
    EXPECT_EQ(std::vector<float>(high, high + 8),
              (std::vector<float>{1.5f, 1.5f, -2.0f, -2.0f, 1.5f, 1.5f, -2.0f, -2.0f}));
}
