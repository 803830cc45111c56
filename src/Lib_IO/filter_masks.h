// The fixed filter masks of the estimator and their normalisations. Masks are row-major and
// applied as correlations (not reversed): the line offset runs down the rows, the column offset
// along them.
#ifndef FILTER_MASKS_H
#define FILTER_MASKS_H

// 5 x 5 derivative along the columns (x, to the right): 1680 on a unit ramp along the columns,
// 0 on a constant and on a ramp along the lines.
extern float filtre_GX2[25];
// 5 x 5 derivative along the lines (y, downwards): the transpose of filtre_GX2.
extern float filtre_GY2[25];
// 3 x 3 temporal smoothing of the data residual.
extern float filtre_T2[9];
// 5-tap low-pass of the image and density pyramids.
extern float filtre_PB_burt[5];

constexpr float kDerivativeNorm = 0.0005952381f;  // 1 / 1680, scales filtre_GX2, filtre_GY2
constexpr float kTemporalNorm = 0.166f;           // scales filtre_T2 (the float 0.166, not 1/6)

#endif
