// Line-process helpers: the link records of a field and their robust weights, and the
// single-pixel update and the relaxation pass of an auxiliary field with given links.
#ifndef BIB_LP_ANSI_H
#define BIB_LP_ANSI_H

#include "link_weight.h"
#include "types_4v_V1.h"

void Maz_LP(Line_Process* Spatial, short nb_col, short nb_lig);
void Relax_estim(float* observation, short nb_col, short nb_line, float sigma,
                 Line_Process* Spatial_out);
float EstimVal_Rob(float* Observations, float* Estimees, short i, short j, short nb_col,
                   short nb_line, float lambda, float coef_regul, Line_Process* Spatial);
int RegulEstim_Rob(float* Observations, float* Estimees, short nb_col, short nb_line,
                   float coef_regul, float lambda, float sigma, Line_Process* Spatial);

#endif
