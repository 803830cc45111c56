// Line-process helpers and the robust estimation of the auxiliary divergence and vorticity
// fields of a layer: finite-difference observations, Gauss-Seidel sweeps of a weighted average
// and the per-link weight update sigma^2 / (d^2 + sigma)^2.
#ifndef BIB_LP_ANSI_H
#define BIB_LP_ANSI_H

#include "types_4v_V1.h"

void Maz_LP(Line_Process* Spatial, short nb_col, short nb_lig);
void Relax_estim(float* observation, short nb_col, short nb_line, float sigma,
                 Line_Process* Spatial_out);

void Div_Estim(float* im_div, float* U, float* V, float* u, float* v, short nb_col,
               short nb_line);
void Curl_Estim(float* im_curl, float* U, float* V, float* u, float* v, short nb_col,
                short nb_line);
void Calcul_Estim_Div_Curl(float* im_div, float* im_curl, float* U, float* V, float* u, float* v,
                           short nb_col, short nb_lig);
float EstimVal_Rob(float* Observations, float* Estimees, short i, short j, short nb_col,
                   short nb_line, float lambda, float coef_regul, Line_Process* Spatial);
int RegulEstim_Rob(float* Observations, float* Estimees, short nb_col, short nb_line,
                   float coef_regul, float lambda, float sigma, Line_Process* Spatial);
void Estim_Regulees_Rob(float* Estim, float* Estim_rot, float* U, float* V, float* u, float* v,
                        short nc_resol_K, short nl_resol_K, float coef_regul, float lambda,
                        float sigma_es);

#endif
