// Image extras on CImg images: the conditional median filter that acts only near strong
// gradients of the registered t + dt image.
#ifndef IMAGE_EXTRAS_H
#define IMAGE_EXTRAS_H

#include "cimg_config.h"

// res(x, y) = im(x, y) where the centred-difference gradient norm (replicated borders) is at
// most tresh at all nine points of the clamped 3 x 3 neighbourhood; otherwise the median of the
// clamped size x size window. size must be odd.
cimg_library::CImg<float> MedianOnGrad(cimg_library::CImg<float> im, int size, float tresh);

#endif
