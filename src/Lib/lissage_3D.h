// The vertical-wind estimator of one interface: the mass-conservation coefficients a + b w of
// the layer below (Up) and the layer above (Down), the border clearing of a weight image, and
// the robust Gauss-Seidel relaxation of the interface's vertical wind.
#ifndef LISSAGE_3D_H
#define LISSAGE_3D_H

#include "types_4v_V1.h"

void cte_edp2ndMembreFiltreGaussUp(float* a, float* b, float* rho, float* rho_0, float* wVert_0,
                                   short* It, short* ItdtOriginal, float* U, float* V, float* u,
                                   float* v, float g, short nc_resol_K, short nl_resol_K, float* fx,
                                   float* fy, float* filtre_T2);
void cte_edp2ndMembreFiltreGaussDown(float* a, float* b, float* rho_0, float* rho, float* wVert,
                                     short* It, short* ItdtOriginal, float* U, float* V, float* u,
                                     float* v, float g, short nc_resol_K, short nl_resol_K,
                                     float* fx, float* fy, float* filtre_T2);
void BordMisAZero(float* DI_Dt_out, short nc_resol_K, short nl_resol_K);

float EstimValWVert_RobUpDown(float* wVert, float* a01, float* b01, float* a12, float* b12,
                              float* Data_out, float* Data_out2, short i, short j, short nb_col,
                              short nb_line, float lambdaW, Line_Process* ztw);
int RegulWVert_RobUpDown(float* wVert, float* Data_out, float* Data_out2, float* a01, float* b01,
                         float* a12, float* b12, short nb_col, short nb_line, float lambdaW,
                         Line_Process* ztw);
short Estim_Wvert_RobUpDown(float* wVert, float* Data_out, float* Data_out2, float* a01, float* b01,
                            float* a12, float* b12, float lambdaW, float sigmaW, short nc_resol_K,
                            short nl_resol_K);

#endif
