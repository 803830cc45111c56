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

std::vector<float> ramp(int n) {
    std::vector<float> x(n);
    std::iota(x.begin(), x.end(), 1.0f);
    return x;
}

}  // namespace

TEST(FloatToShort, RoundsHalvesAwayFromZeroWithTheHalfAddedInDouble) {
    float x[] = {0.5f, -0.5f, 2.49f, 1022.5f, -0.0f, -2.5f, -0.4f, 0.49999997f};
    const short expected[] = {1, -1, 2, 1023, 0, -3, 0, 0};
    short s[8];
    Float_to_short(x, s, 8, 1);
    for (int k = 0; k < 8; ++k) EXPECT_EQ(s[k], expected[k]) << x[k];
}

TEST(PaddedLine, EveryPositionIsTheMirrorForLinesOfOneToTwelveSamples) {
    for (int n = 1; n <= 12; ++n) {
        // Line 1 of a 2-line image and column 1 of a 3-column image, both holding 1 .. n.
        std::vector<float> rows(2 * n, -5.0f), cols(3 * n, -5.0f), lf(n + 20), cf(n + 20);
        std::vector<short> srows(2 * n, -5), ls(n + 20);
        for (int k = 0; k < n; ++k) rows[n + k] = cols[3 * k + 1] = srows[n + k] = short(k + 1);
        Get_line_float(1, rows.data(), lf.data(), n, 2);
        Get_line(1, srows.data(), ls.data(), n, 2);
        Get_col_float(1, cols.data(), cf.data(), 3, n);
        for (int d = -10; d < n + 10; ++d) {
            const int expected = bounce(d, n) + 1;  // n = 12: 11 .. 2, 1 .. 12, 11 .. 2
            EXPECT_EQ(lf[10 + d], expected) << "n=" << n << " d=" << d;
            EXPECT_EQ(ls[10 + d], expected) << "n=" << n << " d=" << d;
            EXPECT_EQ(cf[10 + d], expected) << "n=" << n << " d=" << d;
        }
    }
}

TEST(Filters, SingleTapKernelsCopyOrShiftWithMirroredBordersForAnyLength) {
    float centre[5] = {0, 0, 1, 0, 0}, first[5] = {1, 0, 0, 0, 0};
    std::vector<float> wide(25, 0.0f);
    wide[24] = 1.0f;  // offset +12, beyond a 10-sample pad
    for (int n = 1; n <= 30; ++n) {
        std::vector<short> s(n);
        std::vector<float> f = ramp(n), copy(n), right(n), down(f), far(n);
        std::iota(s.begin(), s.end(), short(-3));
        Filtre_H(copy.data(), s.data(), centre, 5, n, 1);
        Filtre_H_f(right.data(), f.data(), first, 5, n, 1);
        Filtre_V_f(down.data(), down.data(), first, 5, 1, n);  // one column, in place
        Filtre_H_f(far.data(), f.data(), wide.data(), 25, n, 1);
        for (int j = 0; j < n; ++j) {
            EXPECT_EQ(copy[j], s[j]) << "n=" << n << " j=" << j;
            EXPECT_EQ(right[j], f[bounce(j - 2, n)]) << "n=" << n << " j=" << j;
            EXPECT_EQ(down[j], f[bounce(j - 2, n)]) << "n=" << n << " j=" << j;
            EXPECT_EQ(far[j], f[bounce(j + 12, n)]) << "n=" << n << " j=" << j;
        }
    }
}

TEST(Filters, ConstantImageStaysConstantUnderEveryBorderRule) {
    float taps[5] = {0.0625f, 0.25f, 0.375f, 0.25f, 0.0625f};
    float taps2d[9] = {.0625f, .125f, .0625f, .125f, .25f, .125f, .0625f, .125f, .0625f};
    for (const auto& sz : {std::pair<short, short>{1, 1}, {3, 2}, {7, 13}, {40, 3}}) {
        const short nc = sz.first, nl = sz.second;
        std::vector<short> s(nc * nl, 100);
        std::vector<float> f(nc * nl, 100.0f), h(nc * nl), v(f), f2(nc * nl);
        Filtre_H(h.data(), s.data(), taps, 5, nc, nl);
        Filtre_V_f(v.data(), v.data(), taps, 5, nc, nl);
        Filtre_f_2D_f(f2.data(), f.data(), taps2d, 3, 3, nc, nl);
        for (int k = 0; k < nc * nl; ++k) {
            EXPECT_EQ(h[k], 100.0f) << nc << "x" << nl;
            EXPECT_EQ(v[k], 100.0f) << nc << "x" << nl;
            EXPECT_EQ(f2[k], 100.0f) << nc << "x" << nl;
        }
    }
}

TEST(Filters, TwoDimensionalTapAboveShiftsDownAndRepeatsLineZero) {
    float kernel[9] = {0, 1, 0, 0, 0, 0, 0, 0, 0};  // line offset -1, column offset 0
    std::vector<float> in = ramp(12), out(12);
    Filtre_f_2D_f(out.data(), in.data(), kernel, 3, 3, 4, 3);
    const float expected[] = {1, 2, 3, 4, 1, 2, 3, 4, 5, 6, 7, 8};
    for (int k = 0; k < 12; ++k) EXPECT_EQ(out[k], expected[k]) << k;
}

TEST(Decimation, KeepsEverySecondSampleOfEverySecondLine) {
    std::vector<short> s(16);
    std::iota(s.begin(), s.end(), 0);
    std::vector<float> f(s.begin(), s.end());
    short low[4];
    float lowf[4];
    Decimation(low, s.data(), 4, 4, 2);
    Decimation_f(lowf, f.data(), 4, 4, 2);
    const short expected[] = {0, 2, 8, 10};
    for (int k = 0; k < 4; ++k) EXPECT_EQ(low[k], expected[k]);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(lowf[k], expected[k]);
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
        {1000, 0, [](int, int) { return 0.0f; }},
        {0.5f, -1000, [](int, int) { return 0.0f; }},
    };
    for (const auto& c : cases) {
        std::vector<float> u(nc * nl, c.u), v(nc * nl, c.v), out(nc * nl, -1.0f);
        Recal_fl(u.data(), v.data(), out.data(), in.data(), nc, nl);
        for (int k = 0; k < nc * nl; ++k) {
            EXPECT_EQ(out[k], c.expected(k / nc, k % nc)) << c.u << "," << c.v << " at " << k;
        }
    }
}

TEST(Warp, DuplicationFillsEachTwoByTwoBlock) {
    float low[2] = {1.5f, -2.0f}, high[8];
    Proj_Dup_fl(high, low, 2, 1);
    const float expected[] = {1.5f, 1.5f, -2.0f, -2.0f, 1.5f, 1.5f, -2.0f, -2.0f};
    for (int k = 0; k < 8; ++k) EXPECT_EQ(high[k], expected[k]) << k;
}

TEST(Allocation, PyramidLevelsHalveFromTheFinestAndAreZero) {
    float* fl[4] = {};
    short* sh[4] = {};
    Alloc_pyr_Im_fl(fl, 256, 128, 3, 0);
    Alloc_pyr_Im_sh(sh, 256, 128, 3, 1);
    EXPECT_EQ(sh[0], nullptr);  // below Fine: untouched
    for (int level = 0; level <= 3; ++level) {
        const int n = (256 >> level) * (128 >> level);  // the last one must exist (sanitizer)
        for (int k = 0; k < n; ++k) ASSERT_EQ(fl[level][k], 0.0f) << level;
        for (int k = 0; k < n && level > 0; ++k) ASSERT_EQ(sh[level][k], 0) << level;
        std::free(fl[level]);
        std::free(sh[level]);
    }
}
