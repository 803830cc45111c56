// The median filter near strong gradients: flat regions and gentle edges pass through, isolated
// spikes whose neighbours' gradient norm (spike / 2) exceeds the threshold are replaced.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "image_extras.h"

using cimg_library::CImg;

namespace {

// A w x h image of 0 with the samples of `box` (x0, y0, x1, y1 inclusive) set to `value`.
CImg<float> with_box(int w, int h, int x0, int y0, int x1, int y1, float value) {
    CImg<float> im(w, h, 1, 1, 0.0f);
    for (int y = y0; y <= y1; y++)
        for (int x = x0; x <= x1; x++) im(x, y) = value;
    return im;
}

}  // namespace

// Unchanged: a spike of 600 (neighbour norm 300, not above) and a 5 beside a NaN (a NaN norm
// does not exceed the threshold, although the median of the window would be 0). Replaced by 0:
// spikes of 601 and more, inside and in a corner (at (0, 0) clamping repeats the spike four
// times, still fewer than five), and a 3 x 3 block of 1000 under a 5 x 5 window (9 of 25
// samples; a 3 x 3 window would keep the block's centre).
TEST(MedianOnGrad, OnlySamplesNearGradientsAboveTheThresholdTakeTheMedian) {
    CImg<float> nan = with_box(7, 5, 2, 2, 2, 2, std::nanf(""));
    nan(3, 2) = 5.0f;
    const struct {
        const char* what;
        CImg<float> im;
        int size;
        bool kept;  // false: every sample becomes 0
    } cases[] = {
        {"spike of 600", with_box(7, 5, 3, 2, 3, 2, 600.0f), 3, true},
        {"NaN", nan, 3, true},
        {"spike of 601", with_box(7, 5, 3, 2, 3, 2, 601.0f), 3, false},
        {"corner spike", with_box(7, 5, 0, 0, 0, 0, 1000.0f), 3, false},
        {"block, 5 x 5 window", with_box(7, 7, 2, 2, 4, 4, 1000.0f), 5, false},
    };
    for (const auto& c : cases) {
        const CImg<float> out = MedianOnGrad(c.im, c.size, 300.0f);
        ASSERT_TRUE(out.width() == c.im.width() && out.height() == c.im.height()) << c.what;
        for (int y = 0; y < c.im.height(); y++)
            for (int x = 0; x < c.im.width(); x++) {
                const float want = c.kept ? c.im(x, y) : 0.0f;
                if (std::isnan(want))
                    EXPECT_TRUE(std::isnan(out(x, y))) << c.what;
                else
                    EXPECT_EQ(out(x, y), want) << c.what << " at " << x << "," << y;
            }
    }
    EXPECT_EXIT(MedianOnGrad(CImg<float>(7, 7, 1, 1, 0.0f), 4, 300.0f), testing::ExitedWithCode(1),
                "size 4");
}
