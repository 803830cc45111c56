// How well the estimate of a time step explains its images, per layer, and the warnings drawn
// from it: the speed of the total wind, the grey-level residual of the t + dt image registered on
// that wind (with the run's own warp) against the residual without motion, and the share of
// pixels whose robust data weight is low. It only reads the run's buffers.
#ifndef FIT_SUMMARY_H
#define FIT_SUMMARY_H

#include <string>
#include <vector>

#include "layer_terms.h"

struct FitSummary {
    double mean_speed = 0, max_speed = 0;  // |W| over the real size, pixels per time step
    double residual_rms = 0;    // RMS of Itdt(x + W(x)) - It(x) over the valid pixels, grey levels
    double motionless_rms = 0;  // RMS of Itdt(x) - It(x) over the same pixels
    double low_weight_share = 0;  // share of inner pixels whose data weight is below kLowDataWeight
    long valid_pixels = 0;
    // residual_rms / motionless_rms: 0 when the motion explains the whole change, 1 when it
    // explains none of it; NaN when the images are equal on the valid pixels.
    double ratio() const;
};

// A robust data weight exp(-r^2 / sigmaData^2) below 0.1 means a linearised residual r above
// 1.52 sigmaData: the data of that pixel hardly count.
constexpr float kLowDataWeight = 0.1f;
// The warnings. The motion explains little when the residual keeps more than kLittleExplained of
// the motionless one while that one exceeds kClearChange grey levels (the images clearly differ);
// the estimate nears the reach of the pyramid when its largest speed exceeds kNearReach x
// pyramid_reach. Calibrated on generated translations of smooth textures (128 x 128, features of
// 2 to 7 px): runs that follow the motion leave ratios of 0.07 to 0.3 (0.67 with a sensor noise of
// 20 grey levels), runs that miss it 0.66 to 0.99; full resolution follows about 2 px/step,
// -coarseResol 1 about 4, 2 about 5, 3 about 8 (the coarse levels of small images lose the
// small features, so larger images with larger features reach farther).
constexpr double kLittleExplained = 0.8;
constexpr double kClearChange = 2.0;
constexpr double kNearReach = 0.7;
constexpr double kReachAtFullResolution = 2.0;  // pixels per time step, -coarseResol 0

// Pixels per time step the pyramid of levels 0 .. Coarse_resol can follow:
// kReachAtFullResolution x 2^Coarse_resol.
double pyramid_reach(int Coarse_resol);

// U, V: total wind and Data_out: robust data weights, at the working size nb_col x nb_lig; It,
// Itdt: the images at t and t + dt at that size (the real nb_col_reel x nb_lig_reel image in its
// top-left corner, It's saturated samples held as 9999). Valid pixels: inside the real size, It
// not saturated, and the warp's footprint inside the real image (an image of ones over the real
// size, zeros elsewhere, registered by `warp` stays within 1e-3 of 1) and, when data_valid is
// given (-border replicate, -mask), the pixel's data term counted (masked samples left out).
// Inner pixels: inside the real size, off the working frame's outer ring (where the data weights
// are always 0).
FitSummary fit_summary(const float* U, const float* V, const short* It, const short* Itdt,
                       const float* Data_out, short nb_col, short nb_lig, short nb_col_reel,
                       short nb_lig_reel, WarpFunction warp,
                       const unsigned char* data_valid = nullptr);

// The warning lines of a layer's summary (none when the fit looks sound).
std::vector<std::string> fit_warnings(const FitSummary& s, int Coarse_resol);

// "fit step S layer L: speed mean M max X px/step; residual R of Z grey levels without motion
// (ratio Q); data weight below 0.1 on P % of pixels", S counted from 1 as the console does.
std::string fit_line(int step, int layer, const FitSummary& s);

#endif
