// The fixed filter masks of the estimator (see filter_masks.h).
#include "filter_masks.h"

// clang-format off
float filtre_GX2[25] = {
     135, -188, 0, 188, -135,
     -15, -263, 0, 263,   15,
     -65, -288, 0, 288,   65,
     -15, -263, 0, 263,   15,
     135, -188, 0, 188, -135};
float filtre_GY2[25] = {
     135,  -15,  -65,  -15,  135,
    -188, -263, -288, -263, -188,
       0,    0,    0,    0,    0,
     188,  263,  288,  263,  188,
    -135,   15,   65,   15, -135};
float filtre_T2[9] = {
    0, 1, 0,
    1, 2, 1,
    0, 1, 0};
// clang-format on
float filtre_PB_burt[5] = {0.05f, 0.25f, 0.4f, 0.25f, 0.05f};
