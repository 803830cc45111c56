// Line-process helpers: the link records of a field and their robust weights, and the
// single-pixel update and the relaxation pass of an auxiliary field with given links.
#ifndef BIB_LP_ANSI_H
#define BIB_LP_ANSI_H

#include "types_4v_V1.h"

// Robust weight of a link across a difference d: sigma^2 / (d^2 + sigma)^2 in single precision
// (the sum is d^2 + sigma, not d^2 + sigma^2), for one float or lane by lane.
template <class F>
inline F link_weight(F d, float sigma) {
    const float sigma2 = sigma * sigma;
    const F t = d * d;
    return sigma2 / ((t + sigma) * (t + sigma));
}

void Maz_LP(Line_Process* Spatial, short nb_col, short nb_lig);
void Relax_estim(float* observation, short nb_col, short nb_line, float sigma,
                 Line_Process* Spatial_out);
float EstimVal_Rob(float* Observations, float* Estimees, short i, short j, short nb_col,
                   short nb_line, float lambda, float coef_regul, Line_Process* Spatial);
int RegulEstim_Rob(float* Observations, float* Estimees, short nb_col, short nb_line,
                   float coef_regul, float lambda, float sigma, Line_Process* Spatial);

#endif
