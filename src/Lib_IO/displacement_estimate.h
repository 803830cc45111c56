// A quick estimate of how far the content of an image moves between two samples, to choose the
// depth of the image pyramid: phase correlation on overlapping square tiles (the peak of the
// inverse transform of the normalised cross-power spectrum lies at the tile's shift).
#ifndef DISPLACEMENT_ESTIMATE_H
#define DISPLACEMENT_ESTIMATE_H

// Largest tile shift (pixels, Euclidean length) between a and b (nb_col x nb_lig, row-major),
// over the tiles whose correlation peak reaches kPeakMin, or -1 when no tile does. Tiles are
// 64 x 64 (32 x 32 or 16 x 16 when the image is smaller), half a tile apart, the last ones flush
// with the right and bottom edges; a tile holding a sample that valid_a or valid_b (when not
// null) marks 0 is skipped. Each tile is centred (its mean removed) and Hann-windowed; the peak is
// refined by a parabola through it and its two neighbours along each axis. Shifts up to half a
// tile are found.
double largest_displacement(const short* a, const short* b, const unsigned char* valid_a,
                            const unsigned char* valid_b, short nb_col, short nb_lig);

// The correlation peak below which a tile's shift is not trusted (textureless or noise-only).
constexpr double kPeakMin = 0.08;

// The shift of b against a on one n x n tile (n a power of two), columns in *dx, lines in *dy (b
// holds a's content moved by (dx, dy)); returns the peak height relative to that of an exact
// circular shift (1).
double tile_shift(const float* a, const float* b, int n, double* dx, double* dy);

#endif
