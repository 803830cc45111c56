// The median filter near strong gradients: flat regions and gentle edges pass through, isolated
// spikes whose neighbours' gradient norm (spike / 2) exceeds the threshold are replaced.
#include "image_extras.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

using cimg_library::CImg;

namespace {

// Equal sample for sample, NaN matching NaN.
void expect_same(const CImg<float>& got, const CImg<float>& want, const std::string& what) {
    ASSERT_EQ(got.width(), want.width()) << what;
    ASSERT_EQ(got.height(), want.height()) << what;
    for (int y = 0; y < want.height(); y++) {
        for (int x = 0; x < want.width(); x++) {
            if (std::isnan(want(x, y))) {
                EXPECT_TRUE(std::isnan(got(x, y))) << what << " at " << x << "," << y;
            } else {
                EXPECT_EQ(got(x, y), want(x, y)) << what << " at " << x << "," << y;
            }
        }
    }
}

CImg<float> zeros_with(int x, int y, float value) {
    CImg<float> im(7, 5, 1, 1, 0.0f);
    im(x, y) = value;
    return im;
}

}  // namespace

TEST(MedianOnGrad, ImagesWithoutStrongGradientsPassUnchanged) {
    CImg<float> step(7, 5, 1, 1, 0.0f);
    for (int y = 0; y < 5; y++) {
        for (int x = 4; x < 7; x++) step(x, y) = 599.0f;  // norm 299.5 beside the edge
    }
    // A NaN norm does not count as exceeding: the 5 beside the NaN keeps its value although
    // the median of its window would be 0.
    CImg<float> with_nan = zeros_with(2, 2, std::nanf(""));
    with_nan(3, 2) = 5.0f;
    const struct {
        const char* what;
        CImg<float> im;
    } cases[] = {
        {"constant", CImg<float>(7, 5, 1, 1, 42.0f)},
        {"step of 599", step},
        {"spike of 600 (neighbour norm 300)", zeros_with(3, 2, 600.0f)},
        {"NaN", with_nan},
    };
    for (const auto& k : cases) expect_same(MedianOnGrad(k.im, 3, 300.0f), k.im, k.what);
}

// Inside, the window holds the spike once among nine; at the corner (0, 0), clamping repeats it
// four times, still fewer than five, so the median is 0 there too.
TEST(MedianOnGrad, SpikesAboveTheThresholdAreReplacedAndNothingElseChanges) {
    const CImg<float> blank(7, 5, 1, 1, 0.0f);
    const struct {
        int x, y;
        float value;
    } cases[] = {
        {3, 2, 1000.0f}, {3, 2, 601.0f}, {0, 0, 1000.0f}, {6, 4, -1000.0f}, {6, 0, 700.0f}};
    for (const auto& k : cases) {
        const CImg<float> im = zeros_with(k.x, k.y, k.value);
        expect_same(MedianOnGrad(im, 3, 300.0f), blank,
                    std::to_string(k.value) + " at " + std::to_string(k.x));
        EXPECT_EQ(im(k.x, k.y), k.value) << "input changed";
    }
}

// A 5 x 5 window around a 3 x 3 block of 1000 in the middle holds 9 of 25: the median is 0
// wherever the 3 x 3 gradient test fires (a 3 x 3 window would keep the block's centre).
TEST(MedianOnGrad, WindowSizeSetsTheMedianButNotTheGradientTest) {
    CImg<float> block(7, 7, 1, 1, 0.0f);
    for (int y = 2; y <= 4; y++) {
        for (int x = 2; x <= 4; x++) block(x, y) = 1000.0f;
    }
    expect_same(MedianOnGrad(block, 5, 300.0f), CImg<float>(7, 7, 1, 1, 0.0f), "5 x 5 window");
    EXPECT_EXIT(MedianOnGrad(block, 4, 300.0f), testing::ExitedWithCode(1), "size 4");
}
