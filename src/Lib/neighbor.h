// Neighbour accessors of a float field at pixel (i, j) (im points at the pixel): the sample one
// line up / down or one column left / right, or the pixel's own sample where that neighbour
// lies outside the nc x nl image. The line-process accessors give the weight of the link above
// (Disc_h of the pixel one line up) and to the left (Disc_v one column left), 0 outside.
#ifndef NEIGHBOR_H
#define NEIGHBOR_H

#include "types_4v_V1.h"

float UP(short i, short j, short nc, short nl, float* im);
float DOWN(short i, short j, short nc, short nl, float* im);
float LEFT(short i, short j, short nc, short nl, float* im);
float RIGHT(short i, short j, short nc, short nl, float* im);
float UP_spat(short i, short j, short nc, short nl, Line_Process* Spatial_out);
float LEFT_spat(short i, short j, short nc, short nl, Line_Process* Spatial_out);

#endif
