// The block list of a layer (creation, splitting, release, activity marks) and the robust
// weights of the data term: Data_out = exp(-r^2 / sigma) with r = fx u + fy v + ft.
#ifndef RELAX_H
#define RELAX_H

#include "types_4v_V1.h"

void init_parc(bloc** parcours, short Coarse_scale, short resol, short nb_col, short nb_lig, long N,
               short nb_blocs_col);
void decoupe(bloc* courant, short nb_line, short nb_col);
void Free_parc(bloc* parcours);
void Indic_Grad_Min(bloc* parcours, float* fx, float* fy, float* Data_out, float gmin, short nb_col,
                    short nb_line);

void Data_Out_Gen_f(float* u, float* v, float* fx, float* fy, float* ft, float sigma, short nb_col,
                    short nb_line, float* Data_out);
short Seuil_ERR(float x, float seuil);

#endif
