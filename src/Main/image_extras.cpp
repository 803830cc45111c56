// Image extras on one-channel CImg images: the median filter that acts only near strong grey-level
// gradients, used on the registered t + dt image to remove isolated outliers left by warping.
#include "image_extras.h"

#include "fail.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

using cimg_library::CImg;

namespace {

// g(x, y) = sqrt(gx^2 + gy^2) in float, gx = (im(x + 1, y) - im(x - 1, y)) / 2 and gy likewise
// along the lines, a neighbour outside the image replaced by the edge sample.
std::vector<float> gradient_norm(const CImg<float>& im) {
    const int W = im.width();
    const int H = im.height();
    std::vector<float> norm(static_cast<std::size_t>(W) * H);
    for (int y = 0; y < H; y++) {
        const int yp = std::min(y + 1, H - 1);
        const int ym = std::max(y - 1, 0);
        for (int x = 0; x < W; x++) {
            const int xp = std::min(x + 1, W - 1);
            const int xm = std::max(x - 1, 0);
            const float gx = (im(xp, y) - im(xm, y)) / 2;
            const float gy = (im(x, yp) - im(x, ym)) / 2;
            const float gx2 = gx * gx;
            const float gy2 = gy * gy;
            norm[static_cast<std::size_t>(y) * W + x] = std::sqrt(gx2 + gy2);
        }
    }
    return norm;
}

}  // namespace

// With h = size / 2: where the gradient norm exceeds tresh at one of the nine clamped points
// (x + a, y + b), a, b in -1 .. 1, res(x, y) is the median of the clamped window
// im(x + a, y + b), a, b in -h .. h, sorted by adjacent exchanges; elsewhere res = im. A NaN norm
// does not exceed the threshold.
CImg<float> MedianOnGrad(CImg<float> im, int size, float tresh) {
    if (size < 1 || size % 2 == 0) fail("median window size %d is not a positive odd number", size);
    const int W = im.width();
    const int H = im.height();
    const int h = size / 2;
    const std::vector<float> norm = gradient_norm(im);
    CImg<float> res(W, H);
    std::vector<float> window(static_cast<std::size_t>(size) * size);
    for (int x = 0; x < W; x++) {
        for (int y = 0; y < H; y++) {
            bool steep = false;
            for (int a = -1; a <= 1 && !steep; a++) {
                const int xa = std::clamp(x + a, 0, W - 1);
                for (int b = -1; b <= 1 && !steep; b++) {
                    const int yb = std::clamp(y + b, 0, H - 1);
                    steep = norm[static_cast<std::size_t>(yb) * W + xa] > tresh;
                }
            }
            if (!steep) {
                res(x, y) = im(x, y);
                continue;
            }
            std::size_t k = 0;
            for (int a = -h; a <= h; a++) {
                const int xa = std::clamp(x + a, 0, W - 1);
                for (int b = -h; b <= h; b++) window[k++] = im(xa, std::clamp(y + b, 0, H - 1));
            }
            bool swapped = true;
            while (swapped) {
                swapped = false;
                for (std::size_t i = 0; i + 1 < window.size(); i++) {
                    if (window[i] > window[i + 1]) {
                        std::swap(window[i], window[i + 1]);
                        swapped = true;
                    }
                }
            }
            res(x, y) = window[window.size() / 2];
        }
    }
    return res;
}
