// The horizontal layer estimator: normal equations of a block's affine increment under the
// robust data term and the div-curl smoothing term, the constant-motion block update, and the
// ICM sweep over the block list. Image pointers of the block routines point at the block's
// top-left pixel; rows are nb_col long.
#ifndef LISSAGE_DIV_CURL_H
#define LISSAGE_DIV_CURL_H

#include "icm_chunks.h"
#include "types_4v_V1.h"
#include "worker_pool.h"

// One layer's images at the current grid level, nb_col x nb_line, row-major (for a block
// routine, each pointer at the block's top-left pixel).
struct LayerImages {
    float *U, *V;         // total wind (columns, lines), pixels of the level
    float *u, *v;         // increment being estimated
    float *fx, *fy, *ft;  // linearised data term fx u + fy v + ft
    float* Data_out;      // robust data weights
    short nb_col, nb_line;
};

// Correlation vectors: vector n at column w_i[n], line w_j[n] pulls the wind towards
// (w_u[n], w_v[n]) with weight coef w_f[n] exp(-d^2 / (2 w_var[n])) within d^2 <= 9 w_var[n],
// times its window weight in w_mask when given.
struct CorrelationVectors {
    long count = 0;
    float coef = 0.0f;
    float *w_f = nullptr, *w_var = nullptr, *w_i = nullptr, *w_j = nullptr;
    float *w_u = nullptr, *w_v = nullptr, *w_mask = nullptr;
    bool on() const { return coef != 0.0f && count >= 1; }
};

// The weights and optional terms of a layer's energy besides the data term (per-pixel pointers
// like those of LayerImages).
struct SmoothingEnergy {
    float lambda = 0.0f;         // weight of the div-curl term
    float* Estim = nullptr;      // target of the divergence; null or no_div: 0
    float* Estim_rot = nullptr;  // target of the vorticity; null or no_curl: 0
    short no_div = 0, no_curl = 0;
    CorrelationVectors correl;
    float coef_ref = 0.0f;  // weight of the pull towards (U_ref, V_ref); 0: none
    float *U_ref = nullptr, *V_ref = nullptr;
    short* It = nullptr;  // image at t: pixels above 1021 take no correlation term
};

// The type a block system forms its terms in before each is added to the double sums: x87
// extended precision (the estimator's results), or double (the opt-in fast mode: faster, the
// last digits of the results differ).
enum class BlockSums { extended, fast };

// One ICM sweep over the active blocks in list order; each block is solved with the others
// fixed and its pixels rewritten at once. mod 2: affine update everywhere; 3, 4: affine for
// blocks wider than 4 pixels, constant otherwise; 0: constant everywhere; other: no update.
// Returns 0 when fewer than Cond_conv percent of the active blocks changed, else their count.
// With a cache the affine blocks' matrix factors are taken from it and kept there: between
// sweeps that share a cache the block list and its active blocks must stay the same (else call
// forget_blocks()), and so must lambda and every input but u, v and the blocks' parameters
// (else call forget()). With a cache and `sharing`, and without correlation vectors or
// reference field, threads left idle may join the sweep; every value is the serial sweep's.
int icm_sweep(const LayerImages& layer, const SmoothingEnergy& energy, bloc* parcours, short mod,
              float Cond_conv, AffineSystemCache* cache = nullptr, WorkSharing* sharing = nullptr,
              BlockSums sums = BlockSums::extended);

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

#endif
