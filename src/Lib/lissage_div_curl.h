// The horizontal layer estimator: normal equations of a block's affine increment under the
// robust data term and the div-curl smoothing term, the constant-motion block update, and the
// ICM sweep over the block list. Image pointers of the block routines point at the block's
// top-left pixel; rows are nb_col long.
#ifndef LISSAGE_DIV_CURL_H
#define LISSAGE_DIV_CURL_H

#include <vector>

#include "types_4v_V1.h"
#include "worker_pool.h"

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
    // An active block in list order: its top-left pixel (index k, line i, column j), its side
    // 2^taille and its record.
    struct Visit {
        long k;
        short i, j, taille;
        bloc* record;
    };
    // Consecutive active blocks of one square cell of the image, covering lines i0 .. i1 - 1
    // and columns j0 .. j1 - 1; `next` lists the later chunks that touch it (one pixel apart
    // along a line or a column), which must wait for it; `before` counts the earlier ones.
    struct Chunk {
        int first, end;   // visits[first .. end - 1]
        int affine_base;  // affine blocks in the chunks before it
        int i0, j0, i1, j1;
        std::vector<int> next;
        int before = 0;
    };
    std::vector<Entry> entries;
    std::vector<Visit> visits;
    std::vector<Chunk> chunks;
    int affine_count = 0;
    short planned_mod = -1;  // the mod the chunks' affine counts were made for; -1: no plan
    // The data term changed: the block matrices no longer hold.
    void forget() { entries.clear(); }
    // The block list or its active blocks changed as well.
    void forget_blocks() {
        forget();
        visits.clear();
        chunks.clear();
        planned_mod = -1;
    }
};

// ICM_lissage taking the affine blocks' matrix factors from the cache (null: none) and keeping
// them there. Between sweeps that share a cache the block list and its active blocks must stay
// the same (else call forget_blocks()), and so must lambda and every input but u, v and the
// blocks' parameters (else call forget()). With a cache and `sharing`, and without correlation
// vectors or reference field, threads left idle may join the sweep: chunks of blocks that do not
// touch are solved side by side, those that touch in list order, so every value is the serial
// sweep's.
int ICM_lissage_cached(float* U, float* V, float* u, float* v, float* fx, float* fy, float* ft,
                       short nb_col, short nb_line, float Cond_conv, float* Data_out,
                       float* Gamma_out, float* w_mask, float* Estim, float* Mu_out,
                       float* Estim_rot, bloc* parcours, long N, long d, short mod, float alpha,
                       float lambda, short no_div, short no_curl, long nb_VecCorrel,
                       float coef_Correl, float* w_f, float* w_var, float* w_i, float* w_j,
                       float* w_u, float* w_v, float coef_ref, float* U_ref, float* V_ref,
                       short* It, AffineSystemCache* cache, WorkSharing* sharing = nullptr);

#endif
