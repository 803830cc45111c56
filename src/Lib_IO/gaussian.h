// Gaussian smoothing of a float image, used to post-smooth estimated wind fields.
#ifndef GAUSSIAN_H
#define GAUSSIAN_H

// out = in convolved with a normalised Gaussian of standard deviation sigma pixels, truncated
// at 3 sigma, separably along lines then columns, borders replicated; sums in double, so a
// uniform image stays exactly uniform. sigma <= 0 copies. out may equal in.
void Gaussian_smooth_f(float* out, const float* in, float sigma, short nb_col, short nb_lig);

#endif
