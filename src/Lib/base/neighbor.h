// Neighbour accessors of a float field at pixel (i, j) (im points at the pixel): the sample one
// line up / down or one column left / right, or the pixel's own sample where that neighbour
// lies outside the nc x nl image, so a border link pulls towards the current value. The
// line-process accessors give the weight of the link above (Disc_h of the pixel one line up)
// and to the left (Disc_v one column left), 0 outside (above line 0, left of column 0).
#ifndef NEIGHBOR_H
#define NEIGHBOR_H

#include "types_4v_V1.h"

// x(i - 1, j); x(i, j) on line 0.
inline float UP(short i, short /*j*/, short nc, short /*nl*/, float* im) {
    return i < 1 ? *im : *(im - nc);
}

// x(i + 1, j); x(i, j) on the last line.
inline float DOWN(short i, short /*j*/, short nc, short nl, float* im) {
    return i < nl - 1 ? *(im + nc) : *im;
}

// x(i, j - 1); x(i, j) on column 0.
inline float LEFT(short /*i*/, short j, short /*nc*/, short /*nl*/, float* im) {
    return j < 1 ? *im : *(im - 1);
}

// x(i, j + 1); x(i, j) on the last column.
inline float RIGHT(short /*i*/, short j, short nc, short /*nl*/, float* im) {
    return j < nc - 1 ? *(im + 1) : *im;
}

// Weight of the link between (i - 1, j) and (i, j): Disc_h of the pixel above, 0 on line 0.
inline float UP_spat(short i, short /*j*/, short nc, short /*nl*/, Line_Process* Spatial_out) {
    return i < 1 ? 0.0f : (Spatial_out - nc)->Disc_h;
}

// Weight of the link between (i, j - 1) and (i, j): Disc_v of the pixel to the left, 0 on
// column 0.
inline float LEFT_spat(short /*i*/, short j, short /*nc*/, short /*nl*/,
                       Line_Process* Spatial_out) {
    return j < 1 ? 0.0f : (Spatial_out - 1)->Disc_v;
}

#endif
