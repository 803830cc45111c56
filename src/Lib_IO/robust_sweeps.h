// Gauss-Seidel sweeps of the robust smoothers without per-pixel calls or border tests inside the
// image: the auxiliary div-curl fits and the vertical-wind relaxation. Each sweep visits the
// pixels in the raster order forward then backward and stores every new value at once, with the
// arithmetic of the single-pixel updates EstimVal_Rob and EstimValWVert_RobUpDown, so the values
// and change counts are those of RegulEstim_Rob and RegulWVert_RobUpDown bit for bit.
#ifndef ROBUST_SWEEPS_H
#define ROBUST_SWEEPS_H

#include <vector>

#include "types_4v_V1.h"

// One forward and one backward sweep of x_p = (lambda o_p + coef_regul sum w x_q) / (lambda +
// coef_regul sum w) (double, rounded to float); returns the updates that moved by more than
// 0.0001.
int regul_estim_sweeps(const float* obs, float* est, int nc, int nl, float coef_regul, float lambda,
                       const Line_Process* spatial);

// One forward and one backward sweep of the vertical-wind update (single precision); returns the
// updates that moved by 0.001 or more.
int regul_wvert_sweeps(float* w, const float* D0, const float* D1, const float* a01,
                       const float* b01, const float* a12, const float* b12, int nc, int nl,
                       float lambdaW, const Line_Process* ztw);

// Work memory of the vertical-wind relaxation: the wind and the fixed parts of its updates laid
// out in skewed bands, by blocks of 8 floats.
struct alignas(32) WindTerms {
    float v[8];
};

// Estim_Wvert_RobUpDown with the line-process records (link weights, in skewed bands) in ztw and
// the rest of its work memory in terms (both resized as needed, kept by the caller between
// calls): at most two relaxation passes, the weights recomputed after each; 0 once a pass
// changes fewer than 3 % of the pixels, 1 otherwise.
short relax_interface_wind(float* wVert, const float* Data_out, const float* Data_out2,
                           const float* a01, const float* b01, const float* a12, const float* b12,
                           float lambdaW, float sigmaW, short nc, short nl,
                           std::vector<Line_Process>& ztw, std::vector<WindTerms>& terms);

// Link weights sigma^2 / (d^2 + sigma)^2 of lines first .. end - 1, d the difference with the
// pixel below (Disc_h) and to the right (Disc_v), 0 past the last line / column. Float.
void relax_weights(const float* x, int nc, int nl, float sigma, Line_Process* spatial, int first,
                   int end);

// Work memory of one auxiliary fit, kept by the caller between calls: the observation, then the
// estimate with its link weights and lambda o with the denominators, in skewed bands.
struct AuxiliaryFitScratch {
    std::vector<float> observation;
    std::vector<float> bands;
    std::vector<double> band_terms;
};

// The skewed-band sweeps of the fits and of the vertical wind use AVX2 where the processor has
// it; true keeps them to SSE2. Both give the same bytes; for tests and timings.
void limit_sweeps_to_sse2(bool sse2_only);

// One layer's wind (U + u, V + v) and its auxiliary divergence and vorticity fields, with the
// work memory of its fits when the caller keeps it (null: allocated for the call).
struct WindAndFields {
    float *U, *V, *u, *v;
    float *Estim, *Estim_rot;
    AuxiliaryFitScratch* scratch = nullptr;
};

// Estim_Regulees_Rob for `count` layers at once (its divergence fits when `divergence` is set,
// its vorticity fits when `vorticity` is set): each fit makes exactly the passes it would make
// alone, and the fits of one kind still running share their sweeps, so that the processor works
// on several independent dependency chains at a time. Work memory is the layers' own scratch or
// allocated for the call.
void fit_auxiliary_fields(const WindAndFields* layers, int count, bool divergence, bool vorticity,
                          short nc, short nl, float coef_regul, float sigma_es);

// The two independent halves of Estim_Regulees_Rob: the divergence fit of Estim (at most 2
// passes) and the vorticity fit of Estim_rot (at most 200 passes) to the observations of the
// wind (U + u, V + v). Calling both, in either order or at the same time on different scratch,
// gives Estim_Regulees_Rob's result.
void fit_divergence_field(float* Estim, float* U, float* V, float* u, float* v, short nc, short nl,
                          float coef_regul, float sigma_es, AuxiliaryFitScratch& scratch);
void fit_vorticity_field(float* Estim_rot, float* U, float* V, float* u, float* v, short nc,
                         short nl, float coef_regul, float sigma_es, AuxiliaryFitScratch& scratch);

#endif
