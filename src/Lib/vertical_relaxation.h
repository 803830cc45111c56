// Robust relaxation of the vertical wind w of one interface: each pixel minimises
//   D0 (a01 + b01 w)^2 + D1 (a12 + b12 w)^2 + lambdaW sum_links weight (w - w_q)^2
// (the mass-conservation equations of the layer below and of the layer above, weighted by their
// robust data weights, and the links to the four neighbours), by in-place Gauss-Seidel passes
// (a forward raster sweep, then a backward one).
#ifndef VERTICAL_RELAXATION_H
#define VERTICAL_RELAXATION_H

#include <vector>

#include "types_4v_V1.h"
#include "work_sharing.h"

// The update of one pixel, w = wind_numerator / wind_denominator in single precision, for one
// float or lane by lane:
//   numerator   = lambdaW (w_down x_down + w_up x_up + w_left x_left + w_right x_right) - P0 - P1,
//   denominator = lambdaW (w_down + w_up + w_left + w_right) + Q0 + Q1,
// with P0 = a01 b01 D0, P1 = a12 b12 D1, Q0 = b01^2 D0, Q1 = b12^2 D1. w_down, w_right are the
// pixel's own links (Disc_h, Disc_v), w_up, w_left those of the pixel above and to the left; a
// missing neighbour is the pixel itself, a missing link weighs 0.
// Always inlined, so the vector forms have no calling convention of their own.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
template <class F>
__attribute__((always_inline)) inline F wind_numerator(float lambdaW, F w_down, F x_down, F w_up,
                                                       F x_up, F w_left, F x_left, F w_right,
                                                       F x_right, F P0, F P1) {
    F numerator = lambdaW * (w_down * x_down + w_up * x_up + w_left * x_left + w_right * x_right);
    numerator = numerator - P0;
    return numerator - P1;
}
template <class F>
__attribute__((always_inline)) inline F wind_denominator(float lambdaW, F w_down, F w_up, F w_left,
                                                         F w_right, F Q0, F Q1) {
    return lambdaW * (w_down + w_up + w_left + w_right) + Q0 + Q1;
}
// The new value, or the old one where the denominator is 0.
template <class F>
__attribute__((always_inline)) inline F kept_where_zero(F value, F denominator, F old) {
    return denominator == 0.0f ? old : value;
}
#pragma GCC diagnostic pop

// Work memory of the relaxation, kept by the caller between calls: the wind, its link weights
// and the fixed parts of its updates, in skewed bands.
struct WindRelaxationScratch {
    std::vector<float> bands;
};

// Estim_Wvert_RobUpDown in the caller's work memory: at most two passes, the first with link
// weights 1, the second with sigma^2 / (d^2 + sigma)^2 of the first's result (sigma = sigmaW).
// Returns 0 once a pass changes fewer than 3 % of the pixels (a change counts from 0.001 on),
// 1 otherwise. With sharing, idle threads may join the passes (the same bytes).
short relax_interface_wind(float* wVert, const float* Data_out, const float* Data_out2,
                           const float* a01, const float* b01, const float* a12, const float* b12,
                           float lambdaW, float sigmaW, short nc, short nl,
                           WindRelaxationScratch& s, WorkSharing* sharing = nullptr);

// One pass with the link records ztw; returns the updates that moved a value by 0.001 or more.
int relax_interface_pass(float* wVert, const float* Data_out, const float* Data_out2,
                         const float* a01, const float* b01, const float* a12, const float* b12,
                         float lambdaW, const Line_Process* ztw, short nc, short nl,
                         WindRelaxationScratch& s);

#endif
