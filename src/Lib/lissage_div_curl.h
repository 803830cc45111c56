// The horizontal layer estimator: normal equations of a block's affine increment under the
// robust data term and the div-curl smoothing term, the constant-motion block update, and the
// ICM sweep over the block list. Image pointers of the block routines point at the block's
// top-left pixel; rows are nb_col long.
#ifndef LISSAGE_DIV_CURL_H
#define LISSAGE_DIV_CURL_H

#include <vector>

#include "types_4v_V1.h"

int constsys_6_lissage(double** A, double* B, bloc* courant, float* ft, float* fx, float* fy,
                       float* Data_out, float* Gamma_out, float* w_mask, float* Estim,
                       float* Mu_out, float* Estim_rot, float* U, float* V, float* u, float* v,
                       short nb_line, short nb_col, float rupture, float alpha, float lambda,
                       short no_div, short no_curl, long nb_VecCorrel, float coef_Correl,
                       float* w_f, float* w_var, float* w_i, float* w_j, float* w_u, float* w_v,
                       float coef_ref, float* U_ref, float* V_ref, short* It);

void Ener_min_lissage(float* u, float* v, float* U, float* V, float* fx, float* fy, float* ft,
                      short nb_col, short nb_line, float* Data_out, float* Gamma_out, float* w_mask,
                      float* Estim, float* Mu_out, float* Estim_rot, bloc* courant, float alpha,
                      float lambda, short no_div, short no_curl, long nb_VecCorrel,
                      float coef_Correl, float* w_f, float* w_var, float* w_i, float* w_j,
                      float* w_u, float* w_v, float coef_ref, float* U_ref, float* V_ref,
                      short* It);

void Estim_Param_6_lissage(float* U, float* V, float* u, float* v, float* Data_out,
                           float* Gamma_out, float* w_mask, float* Estim, float* Mu_out,
                           float* Estim_rot, float* fx, float* fy, float* ft, short nb_line,
                           short nb_col, bloc* courant, double* vecteur, float alpha, float lambda,
                           short no_div, short no_curl, long nb_VecCorrel, float coef_Correl,
                           float* w_f, float* w_var, float* w_i, float* w_j, float* w_u, float* w_v,
                           float coef_ref, float* U_ref, float* V_ref, short* It);

int ICM_lissage(float* U, float* V, float* u, float* v, float* fx, float* fy, float* ft,
                short nb_col, short nb_line, float Cond_conv, float* Data_out, float* Gamma_out,
                float* w_mask, float* Estim, float* Mu_out, float* Estim_rot, bloc* parcours,
                long N, long d, short mod, float alpha, float lambda, short no_div, short no_curl,
                long nb_VecCorrel, float coef_Correl, float* w_f, float* w_var, float* w_i,
                float* w_j, float* w_u, float* w_v, float coef_ref, float* U_ref, float* V_ref,
                short* It);

// The factors of the affine blocks' 6 x 6 matrices, kept between the sweeps of one ICM call:
// a matrix depends on the data term, the block and lambda but not on u, v, so it is the same in
// every sweep as long as nothing else changes. Entry n belongs to the n-th affine block visited.
struct AffineSystemCache {
    struct Entry {
        bool known = false, regular = false;
        double lu[7][7];  // LU factors (ludcmp), rows and columns 1 .. 6
        int indx[7];
    };
    std::vector<Entry> entries;
    void forget() { entries.clear(); }
};

// ICM_lissage taking the affine blocks' matrix factors from the cache (null: none) and keeping
// them there. Give the same cache only to sweeps between which the block list, its active blocks,
// mod, lambda and every input but u, v and the blocks' parameters stay the same.
int ICM_lissage_cached(float* U, float* V, float* u, float* v, float* fx, float* fy, float* ft,
                       short nb_col, short nb_line, float Cond_conv, float* Data_out,
                       float* Gamma_out, float* w_mask, float* Estim, float* Mu_out,
                       float* Estim_rot, bloc* parcours, long N, long d, short mod, float alpha,
                       float lambda, short no_div, short no_curl, long nb_VecCorrel,
                       float coef_Correl, float* w_f, float* w_var, float* w_i, float* w_j,
                       float* w_u, float* w_v, float coef_ref, float* U_ref, float* V_ref,
                       short* It, AffineSystemCache* cache);

#endif
