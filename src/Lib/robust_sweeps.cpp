// Raster Gauss-Seidel sweeps with the border rules of the neighbour accessors written out: a
// missing neighbour is the pixel itself, a missing link above line 0 or left of column 0 weighs
// 0. Lines 1 .. nl - 2 run columns 1 .. nc - 2 without any test; the first and last line and
// column take the general update.
#include "robust_sweeps.h"

#include <cmath>
#include <cstdlib>
#include <new>

#include "bib_LP_ansi.h"

namespace {

const float kEstimChange = 0.0001f;  // an auxiliary-field update counts above this
const float kWindChange = 0.001f;    // a vertical-wind update counts from here on
const int kMaxPassesDiv = 2;
const int kMaxPassesCurl = 200;

// The pixel's four neighbours and its two incoming link weights, by the border rule.
struct Stencil {
    float down, up, left, right;  // field values
    float w_up, w_left;           // Disc_h of the pixel above, Disc_v of the pixel to the left
};

inline Stencil stencil(const float* x, const Line_Process* s, int k, int nc, bool top, bool bottom,
                       bool left, bool right) {
    Stencil st;
    st.down = bottom ? x[k] : x[k + nc];
    st.up = top ? x[k] : x[k - nc];
    st.left = left ? x[k] : x[k - 1];
    st.right = right ? x[k] : x[k + 1];
    st.w_up = top ? 0.0f : s[k - nc].Disc_h;
    st.w_left = left ? 0.0f : s[k - 1].Disc_v;
    return st;
}

// EstimVal_Rob at index k; 1 when the update moved the value by more than 0.0001.
inline int estim_update(const float* obs, float* x, const Line_Process* s, int k, int nc, bool top,
                        bool bottom, bool left, bool right, float lambda, float coef_regul) {
    const Stencil st = stencil(x, s, k, nc, top, bottom, left, right);
    const double w_down = s[k].Disc_h;
    const double w_up = st.w_up;
    const double w_left = st.w_left;
    const double w_right = s[k].Disc_v;
    const double neighbours =
        w_down * st.down + w_up * st.up + w_left * st.left + w_right * st.right;
    const double numerator =
        static_cast<double>(lambda) * obs[k] + static_cast<double>(coef_regul) * neighbours;
    const double denominator =
        static_cast<double>(coef_regul) * (w_down + w_up + w_left + w_right) + lambda;
    const float estim = denominator == 0.0 ? x[k] : static_cast<float>(numerator / denominator);
    const int changed = std::fabs(estim - x[k]) > kEstimChange ? 1 : 0;
    x[k] = estim;
    return changed;
}

// EstimValWVert_RobUpDown at index k; 1 when the update moved the value by 0.001 or more.
inline int wvert_update(float* w, const float* D0, const float* D1, const float* a01,
                        const float* b01, const float* a12, const float* b12, const Line_Process* z,
                        int k, int nc, bool top, bool bottom, bool left, bool right,
                        float lambdaW) {
    const Stencil st = stencil(w, z, k, nc, top, bottom, left, right);
    const float valeur = lambdaW * (z[k].Disc_h * st.down + st.w_up * st.up + st.w_left * st.left +
                                    z[k].Disc_v * st.right);
    float numerator = valeur - a01[k] * b01[k] * D0[k];
    numerator = numerator - a12[k] * b12[k] * D1[k];
    const float denominator = lambdaW * (z[k].Disc_h + st.w_up + st.w_left + z[k].Disc_v) +
                              b01[k] * b01[k] * D0[k] + b12[k] * b12[k] * D1[k];
    const float estim = denominator == 0.0f ? w[k] : numerator / denominator;
    const int changed = std::fabs(estim - w[k]) >= kWindChange ? 1 : 0;
    w[k] = estim;
    return changed;
}

// Forward raster sweep then backward sweep, update(k, top, bottom, left, right) per pixel; the
// inner columns of the inner lines are called with constant false flags.
template <class Update>
int sweep_forward_backward(int nc, int nl, Update update) {
    int count = 0;
    if (nc <= 0 || nl <= 0) return 0;
    for (int i = 0; i < nl; ++i) {
        const int row = i * nc;
        const bool top = i < 1, bottom = i >= nl - 1;
        if (top || bottom || nc < 3) {
            for (int j = 0; j < nc; ++j) count += update(row + j, top, bottom, j < 1, j >= nc - 1);
            continue;
        }
        count += update(row, false, false, true, false);
        for (int j = 1; j < nc - 1; ++j) count += update(row + j, false, false, false, false);
        count += update(row + nc - 1, false, false, false, true);
    }
    for (int i = nl - 1; i >= 0; --i) {
        const int row = i * nc;
        const bool top = i < 1, bottom = i >= nl - 1;
        if (top || bottom || nc < 3) {
            for (int j = nc - 1; j >= 0; --j)
                count += update(row + j, top, bottom, j < 1, j >= nc - 1);
            continue;
        }
        count += update(row + nc - 1, false, false, false, true);
        for (int j = nc - 2; j >= 1; --j) count += update(row + j, false, false, false, false);
        count += update(row, false, false, true, false);
    }
    return count;
}

template <class T>
void size_buffer(std::vector<T>& b, std::size_t n) {
    try {
        if (b.size() < n) b.resize(n);
    } catch (const std::bad_alloc&) {
        std::exit(1);
    }
}

// Passes of two sweeps, the weights recomputed from the estimate after every pass, until a pass
// changes fewer than 3 % of the pixels (integer count 3 n / 100) or max_passes is reached.
void fit_field(float* est, short nc, short nl, float coef_regul, float sigma,
               AuxiliaryFitScratch& s, int max_passes) {
    const int nb_point = nc * nl;
    Maz_LP(s.spatial.data(), nc, nl);
    const float cond_conv = static_cast<float>((3 * nb_point) / 100);
    for (int pass = 0; pass < max_passes; ++pass) {
        const int changed = regul_estim_sweeps(s.observation.data(), est, nc, nl, coef_regul, 1.0f,
                                               s.spatial.data());
        relax_weights(est, nc, nl, sigma, s.spatial.data(), 0, nl);
        if (cond_conv > changed) break;
    }
}

std::size_t pixel_count(short nc, short nl) {
    const int n = nc * nl;
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

}  // namespace

int regul_estim_sweeps(const float* obs, float* est, int nc, int nl, float coef_regul, float lambda,
                       const Line_Process* spatial) {
    return sweep_forward_backward(nc, nl, [&](int k, bool top, bool bottom, bool left, bool right) {
        return estim_update(obs, est, spatial, k, nc, top, bottom, left, right, lambda, coef_regul);
    });
}

int regul_wvert_sweeps(float* w, const float* D0, const float* D1, const float* a01,
                       const float* b01, const float* a12, const float* b12, int nc, int nl,
                       float lambdaW, const Line_Process* ztw) {
    return sweep_forward_backward(nc, nl, [&](int k, bool top, bool bottom, bool left, bool right) {
        return wvert_update(w, D0, D1, a01, b01, a12, b12, ztw, k, nc, top, bottom, left, right,
                            lambdaW);
    });
}

short relax_interface_wind(float* wVert, const float* Data_out, const float* Data_out2,
                           const float* a01, const float* b01, const float* a12, const float* b12,
                           float lambdaW, float sigmaW, short nc, short nl,
                           std::vector<Line_Process>& ztw) {
    const int n = nc * nl;
    size_buffer(ztw, pixel_count(nc, nl));
    Maz_LP(ztw.data(), nc, nl);
    const float threshold = static_cast<float>((3 * n) / 100.0);
    short Conv_Regul = 1;
    for (short it_Regul = 0; Conv_Regul != 0 && it_Regul < 2; ++it_Regul) {
        const int changed = regul_wvert_sweeps(wVert, Data_out, Data_out2, a01, b01, a12, b12, nc,
                                               nl, lambdaW, ztw.data());
        if (threshold > changed) Conv_Regul = 0;
        relax_weights(wVert, nc, nl, sigmaW, ztw.data(), 0, nl);
    }
    return Conv_Regul;
}

void relax_weights(const float* x, int nc, int nl, float sigma, Line_Process* spatial, int first,
                   int end) {
    const float sigma2 = sigma * sigma;
    auto weight = [&](float d) {
        const float t = d * d;
        return sigma2 / ((t + sigma) * (t + sigma));
    };
    for (int i = first; i < end; ++i) {
        const float* row = x + static_cast<long>(i) * nc;
        const float* below = i < nl - 1 ? row + nc : row;
        Line_Process* out = spatial + static_cast<long>(i) * nc;
        for (int j = 0; j < nc - 1; ++j) {
            out[j].Disc_h = weight(row[j] - below[j]);
            out[j].Disc_v = weight(row[j] - row[j + 1]);
        }
        if (nc > 0) {
            out[nc - 1].Disc_h = weight(row[nc - 1] - below[nc - 1]);
            out[nc - 1].Disc_v = weight(row[nc - 1] - row[nc - 1]);
        }
    }
}

void fit_divergence_field(float* Estim, float* U, float* V, float* u, float* v, short nc, short nl,
                          float coef_regul, float sigma_es, AuxiliaryFitScratch& scratch) {
    const std::size_t n = pixel_count(nc, nl);
    size_buffer(scratch.observation, n);
    size_buffer(scratch.spatial, n);
    Div_Estim(scratch.observation.data(), U, V, u, v, nc, nl);
    fit_field(Estim, nc, nl, coef_regul, sigma_es, scratch, kMaxPassesDiv);
}

void fit_vorticity_field(float* Estim_rot, float* U, float* V, float* u, float* v, short nc,
                         short nl, float coef_regul, float sigma_es, AuxiliaryFitScratch& scratch) {
    const std::size_t n = pixel_count(nc, nl);
    size_buffer(scratch.observation, n);
    size_buffer(scratch.spatial, n);
    Curl_Estim(scratch.observation.data(), U, V, u, v, nc, nl);
    fit_field(Estim_rot, nc, nl, coef_regul, sigma_es, scratch, kMaxPassesCurl);
}
