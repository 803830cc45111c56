// Neighbour access for the Gauss-Seidel sweeps of the auxiliary div-curl fields and of the
// vertical wind. A field accessor receives a pointer at pixel (i, j) of an nc x nl row-major
// image; a missing neighbour is the pixel itself, so a border link pulls towards the current
// value. A missing line-process link (above line 0, left of column 0) has weight 0.
#include "neighbor.h"

// x(i - 1, j); x(i, j) on line 0.
float UP(short i, short /*j*/, short nc, short /*nl*/, float* im) {
    return i < 1 ? *im : *(im - nc);
}

// x(i + 1, j); x(i, j) on the last line.
float DOWN(short i, short /*j*/, short nc, short nl, float* im) {
    return i < nl - 1 ? *(im + nc) : *im;
}

// x(i, j - 1); x(i, j) on column 0.
float LEFT(short /*i*/, short j, short /*nc*/, short /*nl*/, float* im) {
    return j < 1 ? *im : *(im - 1);
}

// x(i, j + 1); x(i, j) on the last column.
float RIGHT(short /*i*/, short j, short nc, short /*nl*/, float* im) {
    return j < nc - 1 ? *(im + 1) : *im;
}

// Weight of the link between (i - 1, j) and (i, j): Disc_h of the pixel above, 0 on line 0.
float UP_spat(short i, short /*j*/, short nc, short /*nl*/, Line_Process* Spatial_out) {
    return i < 1 ? 0.0f : (Spatial_out - nc)->Disc_h;
}

// Weight of the link between (i, j - 1) and (i, j): Disc_v of the pixel to the left, 0 on
// column 0.
float LEFT_spat(short /*i*/, short j, short /*nc*/, short /*nl*/, Line_Process* Spatial_out) {
    return j < 1 ? 0.0f : (Spatial_out - 1)->Disc_v;
}
