// Robust fit of a layer's auxiliary divergence or vorticity field x to its observation o: x
// minimises lambda sum (x_p - o_p)^2 + coef_regul sum_links w (x_p - x_q)^2 by in-place
// Gauss-Seidel passes (a forward raster sweep, then a backward one), the link weights w of each
// later pass being sigma^2 / (d^2 + sigma)^2 of the estimate before it.
#ifndef AUXILIARY_FIT_H
#define AUXILIARY_FIT_H

#include <vector>

#include "types_4v_V1.h"
#include "work_sharing.h"

// The update of pixel p: x_p = fit_numerator / fit_denominator with
//   numerator   = lambda o_p + coef_regul (((w_down x_down + w_up x_up) + w_left x_left)
//                 + w_right x_right),
//   denominator = coef_regul (((w_down + w_up) + w_left) + w_right) + lambda,
// in double (D = double) or lane by lane (D a vector of doubles), rounded to float by the caller;
// in the single-precision fits (FitPrecision::Single) in float, lane by lane (S = float).
// w_down, w_right are the pixel's own links (Disc_h, Disc_v), w_up, w_left those of the pixel
// above and to the left; a missing neighbour is the pixel itself, a missing link weighs 0.
// Always inlined, so the vector forms have no calling convention of their own.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
template <class D, class S>
__attribute__((always_inline)) inline D fit_numerator(D lambda_o, S coef_regul, D w_down, D x_down,
                                                      D w_up, D x_up, D w_left, D x_left, D w_right,
                                                      D x_right) {
    D sum = w_down * x_down + w_up * x_up;
    sum = sum + w_left * x_left;
    sum = sum + w_right * x_right;
    return lambda_o + coef_regul * sum;
}
template <class D, class S>
__attribute__((always_inline)) inline D fit_denominator(S coef_regul, S lambda, D w_down, D w_up,
                                                        D w_left, D w_right) {
    return coef_regul * (w_down + w_up + w_left + w_right) + lambda;
}
#pragma GCC diagnostic pop

// Work memory of a fit, kept by the caller between calls: the observation, then the estimate
// with its link weights and lambda o with the denominators, in skewed bands.
struct AuxiliaryFitScratch {
    std::vector<float> observation;
    std::vector<float> bands;
    std::vector<double> band_terms;
    std::vector<float> band_terms_single;  // the same in float (FitPrecision::Single)
};

// The arithmetic of a fit's updates: double, rounded to float after each update (the program's
// default), or float throughout (the fast mode: about half the work per pass; the estimates
// differ from double's in the last digits of each update).
enum class FitPrecision { Double, Single };

// Passes from unit link weights, the weights recomputed from the estimate after each pass, until
// a pass changes fewer than 3 % of the pixels (the float 3 n / 100; a change counts above
// 0.0001) or `passes` passes are made. A zero denominator keeps the value. With sharing, idle
// threads may join the passes (the same bytes).
void fit_field(float* x, const float* obs, short nc, short nl, float lambda, float coef_regul,
               float sigma, int passes, AuxiliaryFitScratch& s, WorkSharing* sharing = nullptr,
               FitPrecision precision = FitPrecision::Double);

// One pass with the given link records; returns the updates that moved a value by more than
// 0.0001.
int fit_pass(float* x, const float* obs, short nc, short nl, float lambda, float coef_regul,
             const Line_Process* links, AuxiliaryFitScratch& s);

#endif
