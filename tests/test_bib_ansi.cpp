#include "bib_ansi.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
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

std::vector<float> ramp(int n, float start = 1.0f) {
    std::vector<float> x(n);
    std::iota(x.begin(), x.end(), start);
    return x;
}

}  // namespace

TEST(FloatToShort, RoundsHalvesAwayFromZeroWithTheHalfAddedInDouble) {
    const struct {
        float x;
        short expected;
    } cases[] = {{0.5f, 1},        {-0.5f, -1},       {2.49f, 2},     {1022.5f, 1023},
                 {-0.0f, 0},       {2.5f, 3},         {-2.5f, -3},    {-0.4f, 0},
                 {0.49999997f, 0}, {-0.49999997f, 0}, {1023.0f, 1023}};
    for (const auto& c : cases) {
        float x = c.x;
        short s = 77;
        Float_to_short(&x, &s, 1, 1);
        EXPECT_EQ(s, c.expected) << c.x;
    }
}

TEST(PaddedLine, TwelveSamplesMirrorWithoutRepeatingTheEdge) {
    std::vector<float> x = ramp(12);
    std::vector<float> line(32, -1.0f);
    Get_line_float(0, x.data(), line.data(), 12, 1);
    for (int m = 0; m < 10; ++m) EXPECT_EQ(line[m], 11 - m) << m;
    for (int m = 0; m < 12; ++m) EXPECT_EQ(line[10 + m], m + 1) << m;
    for (int m = 0; m < 10; ++m) EXPECT_EQ(line[22 + m], 11 - m) << m;
}

TEST(PaddedLine, EveryPositionIsDefinedForLinesOfOneToTwelveSamples) {
    for (int n = 1; n <= 12; ++n) {
        // Line 1 of a 2-line image, and column 1 of a 3-column image, both holding 1 .. n.
        std::vector<float> rows(2 * n, -5.0f), cols(3 * n, -5.0f);
        std::vector<short> srows(2 * n, -5);
        for (int k = 0; k < n; ++k) {
            rows[n + k] = float(k + 1);
            srows[n + k] = short(k + 1);
            cols[3 * k + 1] = float(k + 1);
        }
        std::vector<float> lf(n + 20, NAN), cf(n + 20, NAN);
        std::vector<short> ls(n + 20, -9);
        Get_line_float(1, rows.data(), lf.data(), n, 2);
        Get_line(1, srows.data(), ls.data(), n, 2);
        Get_col_float(1, cols.data(), cf.data(), 3, n);
        for (int d = -10; d < n + 10; ++d) {
            const int expected = bounce(d, n) + 1;
            EXPECT_EQ(lf[10 + d], expected) << "n=" << n << " d=" << d;
            EXPECT_EQ(ls[10 + d], expected) << "n=" << n << " d=" << d;
            EXPECT_EQ(cf[10 + d], expected) << "n=" << n << " d=" << d;
        }
        // Writing back touches only the line (column) itself.
        std::vector<float> back(n + 20, 0.0f);
        for (int k = 0; k < n; ++k) back[10 + k] = float(-(k + 1));
        Set_col_float(1, cols.data(), back.data(), 3, n);
        Set_line_float(0, rows.data(), back.data(), n, 2);
        for (int k = 0; k < n; ++k) {
            EXPECT_EQ(cols[3 * k + 1], -(k + 1));
            EXPECT_EQ(cols[3 * k], -5.0f);
            EXPECT_EQ(rows[k], -(k + 1));
            EXPECT_EQ(rows[n + k], k + 1);
        }
    }
}

TEST(Filters, SingleTapKernelsCopyOrShiftWithMirroredBordersForAnyLength) {
    float centre[5] = {0, 0, 1, 0, 0}, first[5] = {1, 0, 0, 0, 0};
    for (int n = 1; n <= 14; ++n) {
        std::vector<short> s(n);
        std::vector<float> f(n);
        for (int j = 0; j < n; ++j) s[j] = short(3 * j - 7), f[j] = float(3 * j - 7);
        std::vector<float> copy(n), shifted(n), down(n);
        Filtre_H(copy.data(), s.data(), centre, 5, short(n), 1);
        Filtre_H_f(shifted.data(), f.data(), first, 5, short(n), 1);
        Filtre_V_f(down.data(), f.data(), first, 5, 1, short(n));  // a column of n samples
        for (int j = 0; j < n; ++j) {
            EXPECT_EQ(copy[j], s[j]) << "n=" << n << " j=" << j;
            EXPECT_EQ(shifted[j], f[bounce(j - 2, n)]) << "n=" << n << " j=" << j;
            EXPECT_EQ(down[j], f[bounce(j - 2, n)]) << "n=" << n << " j=" << j;
        }
    }
    // The example of a 12-sample line: column 0 is input column 2, column 1 input column 1.
    std::vector<short> s(12);
    for (int j = 0; j < 12; ++j) s[j] = short(10 * j);
    std::vector<float> out(12);
    Filtre_H(out.data(), s.data(), first, 5, 12, 1);
    EXPECT_EQ(out[0], 20.0f);
    EXPECT_EQ(out[1], 10.0f);
    EXPECT_EQ(out[5], 30.0f);
}

TEST(Filters, KernelsWiderThanTheTenSamplePadStillMirror) {
    std::vector<float> taps(25, 0.0f);
    taps[24] = 1.0f;  // offset +12
    const int n = 30;
    std::vector<float> x = ramp(n, 0.0f), out(n);
    Filtre_H_f(out.data(), x.data(), taps.data(), 25, n, 1);
    for (int j = 0; j < n; ++j) EXPECT_EQ(out[j], bounce(j + 12, n)) << j;
}

TEST(Filters, ConstantImageStaysConstantUnderEveryBorderRule) {
    float taps[5] = {0.0625f, 0.25f, 0.375f, 0.25f, 0.0625f};
    float taps2d[9] = {1 / 16.f, 2 / 16.f, 1 / 16.f, 2 / 16.f, 4 / 16.f,
                       2 / 16.f, 1 / 16.f, 2 / 16.f, 1 / 16.f};
    const int sizes[][2] = {{1, 1}, {3, 2}, {7, 13}, {12, 11}, {40, 3}};
    for (const auto& sz : sizes) {
        const short nc = short(sz[0]), nl = short(sz[1]);
        const std::size_t n = std::size_t(nc) * nl;
        std::vector<short> s(n, 100);
        std::vector<float> f(n, 100.0f), h(n), hf(n), v(f), f2(n);
        Filtre_H(h.data(), s.data(), taps, 5, nc, nl);
        Filtre_H_f(hf.data(), f.data(), taps, 5, nc, nl);
        Filtre_V_f(v.data(), v.data(), taps, 5, nc, nl);  // in place
        Filtre_f_2D_f(f2.data(), f.data(), taps2d, 3, 3, nc, nl);
        for (std::size_t k = 0; k < n; ++k) {
            EXPECT_EQ(h[k], 100.0f) << nc << "x" << nl << " k=" << k;
            EXPECT_EQ(hf[k], 100.0f) << nc << "x" << nl << " k=" << k;
            EXPECT_EQ(v[k], 100.0f) << nc << "x" << nl << " k=" << k;
            EXPECT_EQ(f2[k], 100.0f) << nc << "x" << nl << " k=" << k;
        }
    }
}

TEST(Filters, TwoDimensionalTapAboveShiftsDownAndRepeatsLineZero) {
    float kernel[9] = {0, 1, 0, 0, 0, 0, 0, 0, 0};  // line offset -1, column offset 0
    const short nc = 4, nl = 3;
    std::vector<float> in = ramp(nc * nl, 0.0f), out(nc * nl, -1.0f);
    Filtre_f_2D_f(out.data(), in.data(), kernel, 3, 3, nc, nl);
    const float expected[] = {0, 1, 2, 3, 0, 1, 2, 3, 4, 5, 6, 7};
    for (int k = 0; k < nc * nl; ++k) EXPECT_EQ(out[k], expected[k]) << k;
}

TEST(Decimation, KeepsEverySecondSampleOfEverySecondLine) {
    std::vector<short> s(16);
    std::vector<float> f = ramp(16, 0.0f);
    std::iota(s.begin(), s.end(), 0);
    short low[4];
    float lowf[4];
    Decimation(low, s.data(), 4, 4, 2);
    Decimation_f(lowf, f.data(), 4, 4, 2);
    const short expected[] = {0, 2, 8, 10};
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(low[k], expected[k]);
        EXPECT_EQ(lowf[k], expected[k]);
    }
}

TEST(Warp, HalfPixelShiftAveragesNeighboursAndZeroesTheLastColumnAndLineZero) {
    const short nc = 5, nl = 4;
    std::vector<float> in(nc * nl), u(nc * nl, 0.5f), v(nc * nl, 0.0f), out(nc * nl, -1.0f);
    for (int k = 0; k < nc * nl; ++k) in[k] = float(k * k);
    Recal_fl(u.data(), v.data(), out.data(), in.data(), nc, nl);
    for (int i = 0; i < nl; ++i) {
        for (int j = 0; j < nc; ++j) {
            const int k = i * nc + j;
            const float expected = (i == 0 || j == nc - 1) ? 0.0f : (in[k] + in[k + 1]) / 2;
            EXPECT_EQ(out[k], expected) << i << "," << j;
        }
    }
}

TEST(Warp, ShiftByMinusOneReadsTheLeftNeighbourAndZeroesColumnsZeroAndOne) {
    const short nc = 5, nl = 3;
    std::vector<float> in = ramp(nc * nl), u(nc * nl, -1.0f), v(nc * nl, 0.0f), out(nc * nl);
    Recal_fl(u.data(), v.data(), out.data(), in.data(), nc, nl);
    for (int i = 0; i < nl; ++i) {
        for (int j = 0; j < nc; ++j) {
            const float expected = (i == 0 || j < 2) ? 0.0f : in[i * nc + j - 1];
            EXPECT_EQ(out[i * nc + j], expected) << i << "," << j;
        }
    }
}

TEST(Warp, ZeroFieldKeepsTheImageButZeroesLineZeroAndColumnZero) {
    const short nc = 4, nl = 3;
    std::vector<float> in = ramp(nc * nl), zero(nc * nl, 0.0f), out(nc * nl, -1.0f);
    Recal_fl(zero.data(), zero.data(), out.data(), in.data(), nc, nl);
    for (int k = 0; k < nc * nl; ++k) {
        EXPECT_EQ(out[k], (k < nc || k % nc == 0) ? 0.0f : in[k]) << k;
    }
}

TEST(Warp, DisplacementsCrossingTheBorderGiveZero) {
    const short nc = 6, nl = 5;
    const float shifts[][2] = {{1000, 0}, {-1000, 0}, {0, 1000}, {0.5f, -1000}, {1000, 1000}};
    for (const auto& s : shifts) {
        std::vector<float> in(nc * nl, 7.0f), u(nc * nl, s[0]), v(nc * nl, s[1]), out(nc * nl, 1);
        Recal_fl(u.data(), v.data(), out.data(), in.data(), nc, nl);
        for (float x : out) EXPECT_EQ(x, 0.0f) << s[0] << "," << s[1];
    }
}

TEST(Warp, DuplicationFillsEachTwoByTwoBlock) {
    float low[2] = {1.5f, -2.0f};
    float high[8];
    Proj_Dup_fl(high, low, 2, 1);
    const float expected[] = {1.5f, 1.5f, -2.0f, -2.0f, 1.5f, 1.5f, -2.0f, -2.0f};
    for (int k = 0; k < 8; ++k) EXPECT_EQ(high[k], expected[k]) << k;
}

TEST(Allocation, PyramidLevelsHalveFromTheFinestAndAreZero) {
    float* fl[4] = {nullptr, nullptr, nullptr, nullptr};
    short* sh[4] = {nullptr, nullptr, nullptr, nullptr};
    Alloc_pyr_Im_fl(fl, 256, 128, 3, 0);
    Alloc_pyr_Im_sh(sh, 256, 128, 3, 1);
    EXPECT_EQ(sh[0], nullptr);  // below Fine: untouched
    for (int level = 0; level <= 3; ++level) {
        const int n = (256 >> level) * (128 >> level);
        for (int k = 0; k < n; ++k) ASSERT_EQ(fl[level][k], 0.0f) << level;
        fl[level][n - 1] = 1.0f;  // the last sample exists (checked by the sanitizer build)
        if (level >= 1) {
            for (int k = 0; k < n; ++k) ASSERT_EQ(sh[level][k], 0) << level;
            sh[level][n - 1] = 1;
        }
    }
    for (float* p : fl) std::free(p);
    for (short* p : sh) std::free(p);

    char*** names = Alloc_char_multi_seq(2, 3);
    for (int i = 0; i < 2; ++i) {
        for (int j = 0; j < 3; ++j) {
            names[i][j][499] = 'x';
            delete[] names[i][j];
        }
        delete[] names[i];
    }
    delete[] names;
}
