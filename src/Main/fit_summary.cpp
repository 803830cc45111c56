#include "fit_summary.h"

#include <cmath>
#include <cstdio>
#include <limits>

double FitSummary::ratio() const {
    return motionless_rms > 0 ? residual_rms / motionless_rms
                              : std::numeric_limits<double>::quiet_NaN();
}

double pyramid_reach(int Coarse_resol) {
    return kReachAtFullResolution * double(1 << Coarse_resol);
}

FitSummary fit_summary(const float* U, const float* V, const short* It, const short* Itdt,
                       const float* Data_out, short nb_col, short nb_lig, short nb_col_reel,
                       short nb_lig_reel, WarpFunction warp, const unsigned char* data_valid) {
    const std::size_t n = std::size_t(nb_col) * nb_lig;
    std::vector<float> image(n), registered(n), ones(n, 0.0f), footprint(n);
    for (std::size_t k = 0; k < n; ++k) image[k] = float(Itdt[k]);
    for (int i = 0; i < nb_lig_reel; ++i)
        for (int j = 0; j < nb_col_reel; ++j) ones[std::size_t(i) * nb_col + j] = 1.0f;
    float* u = const_cast<float*>(U);  // the warps read the wind only
    float* v = const_cast<float*>(V);
    warp(u, v, registered.data(), image.data(), nb_col, nb_lig);
    warp(u, v, footprint.data(), ones.data(), nb_col, nb_lig);

    FitSummary s;
    double speed_sum = 0, moved = 0, still = 0;
    long inner = 0, low = 0;
    for (int i = 0; i < nb_lig_reel; ++i)
        for (int j = 0; j < nb_col_reel; ++j) {
            const std::size_t k = std::size_t(i) * nb_col + j;
            const double speed = std::hypot(double(U[k]), double(V[k]));
            speed_sum += speed;
            if (speed > s.max_speed) s.max_speed = speed;
            if (i > 0 && j > 0 && i < nb_lig - 1 && j < nb_col - 1) {
                ++inner;
                if (Data_out[k] < kLowDataWeight) ++low;
            }
            if (It[k] > 1021 || std::fabs(footprint[k] - 1.0f) > 1e-3f) continue;
            if (data_valid && !data_valid[k]) continue;
            const double r1 = double(registered[k]) - It[k], r0 = double(Itdt[k]) - It[k];
            moved += r1 * r1;
            still += r0 * r0;
            ++s.valid_pixels;
        }
    const double count = double(nb_col_reel) * nb_lig_reel;
    s.mean_speed = count > 0 ? speed_sum / count : 0.0;
    if (s.valid_pixels > 0) {
        s.residual_rms = std::sqrt(moved / double(s.valid_pixels));
        s.motionless_rms = std::sqrt(still / double(s.valid_pixels));
    }
    s.low_weight_share = inner > 0 ? double(low) / double(inner) : 0.0;
    return s;
}

std::vector<std::string> fit_warnings(const FitSummary& s, int Coarse_resol) {
    std::vector<std::string> out;
    char text[512];
    const double ratio = s.ratio();
    if (s.motionless_rms > kClearChange && ratio > kLittleExplained) {
        std::snprintf(text, sizeof text,
                      "the motion explains little of the image change: the residual keeps %.0f %% "
                      "of the %.3g grey levels without motion; the images may move farther than "
                      "-coarseResol %d reaches (about %.3g px/step), or change by more than motion",
                      100.0 * ratio, s.motionless_rms, Coarse_resol, pyramid_reach(Coarse_resol));
        out.push_back(text);
    }
    if (s.max_speed > kNearReach * pyramid_reach(Coarse_resol)) {
        std::snprintf(text, sizeof text,
                      "the largest speed %.3g px/step nears what -coarseResol %d reaches (about "
                      "%.3g px/step): faster motion would be missed%s",
                      s.max_speed, Coarse_resol, pyramid_reach(Coarse_resol),
                      Coarse_resol < 3 ? "; try a larger -coarseResol" : "");
        out.push_back(text);
    }
    return out;
}

std::string fit_line(int step, int layer, const FitSummary& s) {
    char text[512];
    std::snprintf(text, sizeof text,
                  "fit step %d layer %d: speed mean %.3g max %.3g px/step; residual %.3g of %.3g "
                  "grey levels without motion (ratio %.3g); data weight below %.1f on %.1f %% of "
                  "pixels",
                  step + 1, layer, s.mean_speed, s.max_speed, s.residual_rms, s.motionless_rms,
                  s.ratio(), double(kLowDataWeight), 100.0 * s.low_weight_share);
    return text;
}
