// The working size and the zero-padding copy, the divergence's replicated border, and the text
// table of a field.
#include "operations_images.h"

#include <gtest/gtest.h>

#include "run_helpers.h"

TEST(WorkingSize, RoundsUpToAMultipleOfTheCoarsestStepAndPadsRightAndBottom) {
    const short cases[][6] = {// columns, lines, resol, scale, and the working size
                              {500, 300, 1, 2, 504, 304},
                              {512, 8, 2, 1, 512, 8},
                              {501, 33, 0, 0, 501, 33},
                              {1, 7, 2, 0, 4, 8}};
    for (const auto& c : cases) {
        short nc = -1, nl = -1;
        Modif_Taille_Image_2(c[0], c[1], c[2], c[3], &nc, &nl);
        EXPECT_EQ(std::vector<short>({nc, nl}), std::vector<short>({c[4], c[5]})) << c[0];
    }
    short s[6] = {1, 2, 3, 4, 5, 6}, big[12];
    float f[6] = {1, 2, 3, 4, 5, 6}, bigf[12], U[6], V[6];
    std::fill(big, big + 12, 9);
    expand_ima(s, big, 3, 2, 4, 3);
    expand_ima_f(f, bigf, 3, 2, 4, 3);
    const std::vector<short> expected = {1, 2, 3, 0, 4, 5, 6, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::vector<short>(big, big + 12), expected);
    EXPECT_EQ(std::vector<float>(bigf, bigf + 12),
              std::vector<float>(expected.begin(), expected.end()));
    ajust_field(bigf, bigf, U, V, 4, 3, 2);  // the crop back to 3 x 2
    EXPECT_EQ(std::vector<float>(U, U + 6), std::vector<float>(f, f + 6));
    EXPECT_EQ(std::vector<float>(V, V + 6), std::vector<float>(f, f + 6));
}

namespace {

// Divergence of a 9 x 7 field whose components are functions of (line, column).
template <typename FU, typename FV>
std::vector<float> divergence(FU fu, FV fv) {
    const short nc = 9, nl = 7;
    std::vector<float> U(nc * nl), V(nc * nl), div(nc * nl, -99.0f);
    for (int k = 0; k < nc * nl; ++k) U[k] = fu(k / nc, k % nc), V[k] = fv(k / nc, k % nc);
    Div_Vie(div.data(), U.data(), V.data(), nc, nl);
    return div;
}

// Derivative of a unit ramp at sample k of n: 1 inside; the replicated border flattens it to
// 840 / 1680 on the outermost sample and 1855 / 1680 on the next one.
double ramp_derivative(int k, int n) {
    const int from_edge = std::min(k, n - 1 - k);
    return from_edge == 0 ? 840.0 / 1680 : from_edge == 1 ? 1855.0 / 1680 : 1.0;
}

}  // namespace

TEST(Divergence, UnitRampsFlattenOnlyOnTheTwoOuterSamplesOfTheirAxis) {
    const auto zero = [](int, int) { return 0.0f; };
    const auto dx = divergence([](int, int j) { return float(j); }, zero);
    const auto dy = divergence(zero, [](int i, int) { return float(i); });
    for (int k = 0; k < 9 * 7; ++k) {
        EXPECT_NEAR(dx[k], ramp_derivative(k % 9, 9), 1e-6) << "line " << k / 9 << " col " << k % 9;
        EXPECT_NEAR(dy[k], ramp_derivative(k / 9, 7), 1e-6) << "line " << k / 9 << " col " << k % 9;
    }
    const auto flat = divergence([](int, int) { return 2.5f; }, [](int, int) { return -7.0f; });
    for (float d : flat) EXPECT_EQ(d, 0.0f);
}

TEST(FieldTable, WritesTheDocumentedLayout) {
    const std::string path = testrun::scratch_dir("field_table") + "/field.motion";
    float U[2] = {0.25f, 1.0f}, V[2] = {-1.5f, 0.0f};
    write_champ(U, V, 2, 1, path.c_str());
    EXPECT_EQ(testrun::slurp(path),
              "2 1\n#i\tj\tU\tV\n0\t0\t0.250000\t-1.500000\n0\t1\t1.000000\t0.000000\n");
}

TEST(FieldTableDeathTest, UncreatableFileEndsTheRunWithStatusOne) {
    float U[1] = {0}, V[1] = {0};  // the message goes to standard output
    EXPECT_EXIT((dup2(2, 1), write_champ(U, V, 1, 1, "/nonexistent_imageops_dir/f.motion")),
                testing::ExitedWithCode(1), "^Can't create /nonexistent_imageops_dir/f.motion !$");
}
