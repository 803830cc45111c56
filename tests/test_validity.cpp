// Validity of the data term and the displacement estimate, on hand-worked cases: edge
// replication, filling of unknown samples, the warp footprint test, validity one pyramid level
// up, and tile shifts.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "displacement_estimate.h"
#include "validity.h"

using Bytes = std::vector<unsigned char>;

TEST(Validity, ReplicatePaddingRepeatsTheLastColumnAndLine) {
    const short in[] = {1, 2, 3, 4};  // 2 x 2
    std::vector<short> out(3 * 4);
    expand_ima_replicate(out.data(), in, 2, 2, 3, 4);
    EXPECT_EQ(out, (std::vector<short>{1, 2, 2, 3, 4, 4, 3, 4, 4, 3, 4, 4}));
}

TEST(Validity, UnknownSamplesAreFilledRingByRingFromTheKnownOnesOnly) {
    // One line: 10 ? ? ? 40 -> ring 1 copies 10 and 40, ring 2 is their mean 25.
    std::vector<short> line = {10, 777, -5, 999, 40};
    const Bytes known = {1, 0, 0, 0, 1};
    fill_invalid(line.data(), known.data(), 5, 1);
    EXPECT_EQ(line, (std::vector<short>{10, 10, 25, 40, 40}));
    // Nothing known: zeros.
    std::vector<short> none = {5, 6};
    fill_invalid(none.data(), Bytes{0, 0}.data(), 2, 1);
    EXPECT_EQ(none, (std::vector<short>{0, 0}));
}

TEST(Validity, APixelCountsOnlyWhenTheWarpFootprintLiesOnKnownSamples) {
    // 4 x 2, vt the validity of both images, sample (0, 2) unknown; pixel (0, j) moves by (u, v).
    const Bytes vt = {1, 1, 0, 1, 1, 1, 1, 1};
    const struct {
        float u, v;
        int j;
        unsigned char inside, outside_counts;
    } cases[] = {
        {0.5f, 0.5f, 0, 1, 1},     // lines 0, 1; columns 0, 1
        {0.5f, 0.5f, 1, 0, 0},     // columns 1, 2: (0, 2) unknown
        {0.5f, 0.5f, 3, 0, 1},     // columns 3, 4: 4 outside the frame
        {0.0f, 0.5f, 0, 0, 1},     // a zero move steps backwards: columns 0, -1
        {0.5f, 0.0f, 0, 0, 1},     // and lines 0, -1
        {-1.5f, 0.5f, 2, 0, 0},    // columns 1, 0, but its t sample unknown
        {1000.0f, 0.5f, 0, 0, 1},  // far outside
    };
    for (const auto& c : cases)
        for (const bool outside : {false, true}) {
            std::vector<float> U(8, 0.0f), V(8, 0.5f);
            U[c.j] = c.u;
            V[c.j] = c.v;
            Bytes out(8);
            warped_validity(out.data(), U.data(), V.data(), vt.data(), vt.data(), 4, 2, outside);
            EXPECT_EQ(out[c.j], outside ? c.outside_counts : c.inside) << c.u << " at " << c.j;
        }
}

TEST(Validity, ACoarseSampleIsValidWhenItsLowPassFootprintIs) {
    Bytes fine(8 * 8, 1);
    fine[4 * 8 + 4] = 0;  // read by coarse lines and columns 1 .. 3 (2i - 2 <= 4 <= 2i + 2)
    Bytes coarse(4 * 4);
    reduce_validity(coarse.data(), fine.data(), 8, 8);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            EXPECT_EQ(coarse[i * 4 + j], (i >= 1 && j >= 1) ? 0 : 1) << i << "," << j;
}

namespace {
// A texture of every frequency: hashed integer noise, 0 .. 999.
float texture(int x, int y) {
    unsigned h = (static_cast<unsigned>(x) * 73856093u) ^ (static_cast<unsigned>(y) * 19349663u);
    h *= 2654435761u;
    return static_cast<float>((h >> 16) % 1000);
}
}  // namespace

TEST(Displacement, TileShiftAndLargestDisplacementFindTheMotion) {
    const int n = 32;  // b: a moved circularly by 3 columns right and 2 lines up
    std::vector<float> a(n * n), b(n * n);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            a[i * n + j] = texture(j, i);
            b[i * n + j] = texture((j - 3 + n) % n, (i + 2) % n);
        }
    double dx, dy;
    EXPECT_GT(tile_shift(a.data(), b.data(), n, &dx, &dy), 0.5);
    EXPECT_NEAR(dx, 3.0, 0.25);
    EXPECT_NEAR(dy, -2.0, 0.25);
    // A 100 x 80 image moved by (4, 3): 5 px; with the second image masked, no tile is left.
    std::vector<short> s(100 * 80), t(100 * 80);
    for (int k = 0; k < 100 * 80; ++k) {
        s[k] = static_cast<short>(texture(k % 100, k / 100));
        t[k] = static_cast<short>(texture(k % 100 - 4, k / 100 - 3));
    }
    EXPECT_NEAR(largest_displacement(s.data(), t.data(), nullptr, nullptr, 100, 80), 5.0, 0.3);
    const Bytes masked(100 * 80, 0);
    EXPECT_EQ(largest_displacement(s.data(), t.data(), nullptr, masked.data(), 100, 80), -1.0);
}
