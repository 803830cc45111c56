// Cubic B-spline interpolation of float images: the recursive prefilter that turns samples into
// spline coefficients (mirror boundary), and the registration of an image on a displacement field
// with the same rule as the bilinear warp for which pixels are 0.
#ifndef BSPLINE_H
#define BSPLINE_H

// coef = cubic B-spline coefficients of im (nb_col x nb_lig): the spline through the coefficients
// interpolates every sample. Pole z = sqrt(3) - 2, mirror boundary without repeating the edge;
// computed in double, stored as float. coef may equal im.
void bspline_prefilter(float* coef, const float* im, short nb_col, short nb_lig);

// Value at column x, line y of the spline with coefficients coef; coordinates outside the image
// are mirrored about the first and last sample.
double bspline_sample(const float* coef, short nb_col, short nb_lig, double x, double y);

// Im_fl_out(i, j) = cubic B-spline of Im_fl_in at line i + v(i, j), column j + u(i, j). The output
// is 0 exactly where the bilinear warp's footprint leaves the image (same step directions and
// clamping), so both warps treat the border alike. Im_fl_out must not alias Im_fl_in.
void Recal_bspline(float* u, float* v, float* Im_fl_out, float* Im_fl_in, short nb_col,
                   short nb_lig);

#endif
