// Linear-algebra kit (Crout LU, substitution, fatal report) and the writing of a block's motion
// into a field.
#include <gtest/gtest.h>

#include <vector>

#include "affine.h"
#include "relax.h"

namespace {

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

TEST(Lubksb, SolvesKnownSystemsIncludingALeadingZeroRightHandSide) {
    // 2x + y + z = b1, 4x - 6y = b2, -2x + 7y + 2z = b3, solutions checked by substitution.
    const struct {
        double b[3], x[3];
    } cases[] = {{{5, -2, 9}, {1, 1, 2}}, {{0, 10, -11}, {1, -1, -1}}};
    for (const auto& c : cases) {
        Square m(3, {2, 1, 1, 4, -6, 0, -2, 7, 2});
        int indx[4];
        double d;
        ASSERT_EQ(ludcmp(m.a, 3, indx, &d), 1);
        double b[4] = {0, c.b[0], c.b[1], c.b[2]};
        lubksb(m.a, 3, indx, b);
        for (int k = 0; k < 3; k++) EXPECT_NEAR(b[k + 1], c.x[k], 1e-14) << "b1 = " << c.b[0];
    }
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
    Maz_theta(b);
    for (int k = 1; k <= 6; k++) EXPECT_EQ(b->theta[k], 0.0);
    Free_parc(b);
}
