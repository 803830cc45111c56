#include "operations_images.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

TEST(Pointwise, DestinationMayAliasAnySource) {
    float a[3] = {1.5f, -2.0f, 4.0f};
    float b[3] = {2.0f, 3.0f, -1.0f};
    short s[3] = {1, -2, 3};
    Norm_f(a, a, 2.0f, 3, 1);  // 3, -4, 8
    Plus_fl(b, a, b, 3, 1);    // 5, -1, 7
    Mult_f(a, a, a, 3, 1);     // 9, 16, 64
    Sub_fSh(b, b, s, 1, 3);    // 4, 1, 4
    const float ea[3] = {9, 16, 64}, eb[3] = {4, 1, 4};
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(a[k], ea[k]) << k;
        EXPECT_EQ(b[k], eb[k]) << k;
    }
}

TEST(WorkingSize, RoundsUpToAMultipleOfTheCoarsestStep) {
    const struct {
        short nc, nl, resol, scale, enc, enl;
    } cases[] = {{500, 300, 1, 2, 504, 304},
                 {512, 8, 2, 1, 512, 8},
                 {501, 33, 0, 0, 501, 33},
                 {1, 7, 2, 0, 4, 8}};
    for (const auto& c : cases) {
        short nc = -1, nl = -1;
        Modif_Taille_Image_2(c.nc, c.nl, c.resol, c.scale, &nc, &nl);
        EXPECT_EQ(nc, c.enc) << c.nc;
        EXPECT_EQ(nl, c.enl) << c.nl;
    }
}

TEST(WorkingSize, ExpandPadsRightAndBottomAndAjustCropsBack) {
    const short rc = 3, rl = 2, nc = 5, nl = 4;
    std::vector<short> s = {1, 2, 3, 4, 5, 6}, big(nc * nl, 9);
    std::vector<float> f = {1, 2, 3, 4, 5, 6}, bigf(nc * nl, 9), bigv(nc * nl);
    expand_ima(s.data(), big.data(), rc, rl, nc, nl);
    expand_ima_f(f.data(), bigf.data(), rc, rl, nc, nl);
    for (int i = 0; i < nl; ++i) {
        for (int j = 0; j < nc; ++j) {
            const int expected = (i < rl && j < rc) ? i * rc + j + 1 : 0;
            EXPECT_EQ(big[i * nc + j], expected) << i << "," << j;
            EXPECT_EQ(bigf[i * nc + j], expected) << i << "," << j;
            bigv[i * nc + j] = float(-expected);
        }
    }
    std::vector<float> U(rc * rl), V(rc * rl);
    ajust_field(bigf.data(), bigv.data(), U.data(), V.data(), nc, rc, rl);
    for (int k = 0; k < rc * rl; ++k) {
        EXPECT_EQ(U[k], f[k]);
        EXPECT_EQ(V[k], -f[k]);
    }
}

namespace {

// Divergence of a 9 x 7 field given by its two components as functions of (line, column).
template <typename FU, typename FV>
std::vector<float> divergence(FU fu, FV fv) {
    const short nc = 9, nl = 7;
    std::vector<float> U(nc * nl), V(nc * nl), div(nc * nl, -99.0f);
    for (int i = 0; i < nl; ++i) {
        for (int j = 0; j < nc; ++j) U[i * nc + j] = fu(i, j), V[i * nc + j] = fv(i, j);
    }
    Div_Vie(div.data(), U.data(), V.data(), nc, nl);
    return div;
}

// 1 inside; the replicated border flattens a unit ramp to 840 / 1680 on the outermost sample
// and 1855 / 1680 on the next one.
double ramp_derivative(int k, int n) {
    const int from_edge = std::min(k, n - 1 - k);
    return from_edge == 0 ? 840.0 / 1680 : from_edge == 1 ? 1855.0 / 1680 : 1.0;
}

}  // namespace

TEST(Divergence, RampAlongTheColumnsFlattensOnTheTwoOuterColumns) {
    const auto div = divergence([](int, int j) { return float(j); }, [](int, int) { return 0.f; });
    for (int i = 0; i < 7; ++i) {
        for (int j = 0; j < 9; ++j)
            EXPECT_NEAR(div[i * 9 + j], ramp_derivative(j, 9), 1e-6) << i << "," << j;
    }
}

TEST(Divergence, RampDownTheLinesFlattensOnTheTwoOuterLines) {
    const auto div = divergence([](int, int) { return 0.f; }, [](int i, int) { return float(i); });
    for (int i = 0; i < 7; ++i) {
        for (int j = 0; j < 9; ++j)
            EXPECT_NEAR(div[i * 9 + j], ramp_derivative(i, 7), 1e-6) << i << "," << j;
    }
}

TEST(Divergence, ConstantFieldHasNone) {
    const auto div = divergence([](int, int) { return 2.5f; }, [](int, int) { return -7.0f; });
    for (float d : div) EXPECT_EQ(d, 0.0f);
}

TEST(Exponential, UnderflowsAndOverflowsLikeFloat) {
    float x[3] = {0.0f, -88.0f, 89.0f};
    Exp_image(x, x, 3, 1);
    EXPECT_EQ(x[0], 1.0f);
    EXPECT_GT(x[1], 0.0f);
    EXPECT_LT(x[1], 1e-37f);
    EXPECT_TRUE(std::isinf(x[2]));
}

TEST(FieldTable, WritesTheDocumentedLayout) {
    const std::string path = ::testing::TempDir() + "imageops_field.motion";
    float U[2] = {0.25f, 1.0f}, V[2] = {-1.5f, 0.0f};
    write_champ(U, V, 2, 1, path.c_str());
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "2 1\n#i\tj\tU\tV\n0\t0\t0.250000\t-1.500000\n0\t1\t1.000000\t0.000000\n");
    std::remove(path.c_str());
}

TEST(FieldTable, UncreatableFileEndsTheRunWithStatusOne) {
    float U[1] = {0}, V[1] = {0};
    EXPECT_EXIT(
        {
            dup2(2, 1);  // the message goes to standard output
            write_champ(U, V, 1, 1, "/nonexistent_imageops_dir/f.motion");
        },
        ::testing::ExitedWithCode(1), "^Can't create /nonexistent_imageops_dir/f.motion !$");
}
