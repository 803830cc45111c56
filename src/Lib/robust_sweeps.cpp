// Raster Gauss-Seidel sweeps with the border rules of the neighbour accessors written out: a
// missing neighbour is the pixel itself, a missing link above line 0 or left of column 0 weighs
// 0. Lines 1 .. nl - 2 run columns 1 .. nc - 2 without any test; the first and last line and
// column take the general update.
#include "robust_sweeps.h"

#include <algorithm>
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

// Stencil of an inner pixel, with the neighbour just updated by the sweep (left going forward,
// right going backward) passed in a register rather than read back.
template <bool Forward>
inline Stencil inner_stencil(const float* x, const Line_Process* s, int k, int nc, float carried) {
    Stencil st;
    st.down = x[k + nc];
    st.up = x[k - nc];
    st.left = Forward ? carried : x[k - 1];
    st.right = Forward ? x[k + 1] : carried;
    st.w_up = s[k - nc].Disc_h;
    st.w_left = s[k - 1].Disc_v;
    return st;
}

// Auxiliary-field update (EstimVal_Rob): (lambda o + coef sum w x_q) / (lambda + coef sum w)
// in double, rounded to float; counts a move of more than 0.0001.
// lambda o + coef_regul (w_down x_down + w_up x_up + w_left x_left + w_right x_right) in double,
// here the pixel's own link record.
inline double fit_numerator(const Line_Process& here, const Stencil& st, float lambda,
                            float coef_regul, float o) {
    const double neighbours =
        static_cast<double>(here.Disc_h) * st.down + static_cast<double>(st.w_up) * st.up +
        static_cast<double>(st.w_left) * st.left + static_cast<double>(here.Disc_v) * st.right;
    return static_cast<double>(lambda) * o + static_cast<double>(coef_regul) * neighbours;
}

struct EstimJob {
    const float* obs;
    float* x;
    Line_Process* s;
    float lambda, coef_regul;

    float value(int k, const Stencil& st) const {
        const double w_down = s[k].Disc_h;
        const double w_up = st.w_up;
        const double w_left = st.w_left;
        const double w_right = s[k].Disc_v;
        const double numerator = fit_numerator(s[k], st, lambda, coef_regul, obs[k]);
        const double denominator =
            static_cast<double>(coef_regul) * (w_down + w_up + w_left + w_right) + lambda;
        return denominator == 0.0 ? x[k] : static_cast<float>(numerator / denominator);
    }
    static int changed(float estim, float old) {
        return std::fabs(estim - old) > kEstimChange ? 1 : 0;
    }
};

// EstimJob with its denominator computed beforehand (FitTerms), with EstimJob's double
// operations in its order, so the values are EstimJob's.
struct EstimPrecomputedJob {
    const float* obs;
    float* x;
    const Line_Process* s;
    const FitTerms* t;
    float lambda, coef_regul;

    float value(int k, const Stencil& st) const {
        const double numerator = fit_numerator(s[k], st, lambda, coef_regul, obs[k]);
        const double denominator = t[k].den;
        return denominator == 0.0 ? x[k] : static_cast<float>(numerator / denominator);
    }
    static int changed(float estim, float old) { return EstimJob::changed(estim, old); }
};

// Vertical-wind update (EstimValWVert_RobUpDown), single precision; counts a move of 0.001 or
// more.
struct WindJob {
    float* x;
    const Line_Process* s;
    const float *D0, *D1, *a01, *b01, *a12, *b12;
    float lambdaW;

    float value(int k, const Stencil& st) const {
        const float valeur = lambdaW * (s[k].Disc_h * st.down + st.w_up * st.up +
                                        st.w_left * st.left + s[k].Disc_v * st.right);
        float numerator = valeur - a01[k] * b01[k] * D0[k];
        numerator = numerator - a12[k] * b12[k] * D1[k];
        const float denominator = lambdaW * (s[k].Disc_h + st.w_up + st.w_left + s[k].Disc_v) +
                                  b01[k] * b01[k] * D0[k] + b12[k] * b12[k] * D1[k];
        return denominator == 0.0f ? x[k] : numerator / denominator;
    }
    static int changed(float estim, float old) {
        return std::fabs(estim - old) >= kWindChange ? 1 : 0;
    }
};

// Pixel updates of K independent fields, counting the changed ones per field.
template <int K, class Job>
struct Sweeper {
    const Job* jobs;
    int nc, nl;
    int c[K] = {};

    // Any pixel, border rules applied.
    void general(int k, bool top, bool bottom, bool left, bool right) {
        for (int q = 0; q < K; ++q) {
            const Job& job = jobs[q];
            const float e = job.value(k, stencil(job.x, job.s, k, nc, top, bottom, left, right));
            c[q] += Job::changed(e, job.x[k]);
            job.x[k] = e;
        }
    }

    // An inner pixel; carried holds the neighbour just updated on its line, then the new value.
    template <bool Forward>
    __attribute__((always_inline)) void inner(int k, float* carried, int* counts) {
        for (int q = 0; q < K; ++q) {
            const Job& job = jobs[q];
            const float e = job.value(k, inner_stencil<Forward>(job.x, job.s, k, nc, carried[q]));
            counts[q] += Job::changed(e, job.x[k]);
            job.x[k] = e;
            carried[q] = e;
        }
    }

    // A first or last line, or any line of an image narrower than 3 columns.
    void edge_line(int i, bool forward) {
        const int row = i * nc;
        const bool top = i < 1, bottom = i >= nl - 1;
        for (int step = 0; step < nc; ++step) {
            const int j = forward ? step : nc - 1 - step;
            general(row + j, top, bottom, j < 1, j >= nc - 1);
        }
    }

    // B inner lines first, first +- 1, ... (nc >= 3) in a band skewed by one column per line: at
    // step t line b updates its (t - b)-th pixel in the sweep's direction. Every update reads
    // what the raster order gives it: the line before and the pixel before are already new (one
    // step earlier), the line after and the pixel after still old (one step behind), so the
    // values are the raster sweep's while the B lines form independent chains.
    template <int B, bool Forward>
    void band(int first) {
        constexpr int dir = Forward ? 1 : -1;
        float carried[B][K] = {};
        int counts[B][K] = {};
        int row[B];
        for (int b = 0; b < B; ++b) row[b] = (first + dir * b) * nc;
        auto at = [&](int b, int step) { return Forward ? row[b] + step : row[b] + nc - 1 - step; };
        auto update = [&](int b, int step) {
            if (step < 0 || step >= nc) return;
            const int k = at(b, step);
            if (step == 0) {
                general(k, false, false, Forward, !Forward);
                for (int q = 0; q < K; ++q) carried[b][q] = jobs[q].x[k];
            } else if (step == nc - 1) {
                general(k, false, false, !Forward, Forward);
            } else {
                inner<Forward>(k, carried[b], counts[b]);
            }
        };
        // Steps where some line is at its first pixel: t < B.
        for (int t = 0; t < B && t < nc + B - 1; ++t)
            for (int b = 0; b < B; ++b) update(b, t - b);
        // Every line at an inner pixel: B <= t <= nc - 2.
        for (int t = B; t <= nc - 2; ++t) {
#pragma GCC unroll 8
            for (int b = 0; b < B; ++b) inner<Forward>(at(b, t - b), carried[b], counts[b]);
        }
        for (int t = std::max(B, nc - 1); t < nc + B - 1; ++t)
            for (int b = 0; b < B; ++b) update(b, t - b);
        for (int b = 0; b < B; ++b)
            for (int q = 0; q < K; ++q) c[q] += counts[b][q];
    }

    // Inner lines from i on, B of them, B <= 4.
    template <bool Forward>
    void band_of(int i, int B) {
        switch (B) {
            case 1:
                band<1, Forward>(i);
                break;
            case 2:
                band<2, Forward>(i);
                break;
            case 3:
                band<3, Forward>(i);
                break;
            default:
                band<4, Forward>(i);
                break;
        }
    }
};

// The vertical-wind update with the parts that stay fixed during a sweep computed beforehand:
// P0 = a01 b01 D0, P1 = a12 b12 D1 and the denominator of WindJob, each with WindJob's
// operations in its order, so the values are WindJob's.
struct WindPrecomputedJob {
    float* x;
    const Line_Process* s;
    const WindTerms* t;
    float lambdaW;

    float value(int k, const Stencil& st) const {
        const float valeur = lambdaW * (s[k].Disc_h * st.down + st.w_up * st.up +
                                        st.w_left * st.left + s[k].Disc_v * st.right);
        float numerator = valeur - t[k].P0;
        numerator = numerator - t[k].P1;
        const float denominator = t[k].den;
        return denominator == 0.0f ? x[k] : numerator / denominator;
    }
    static int changed(float estim, float old) { return WindJob::changed(estim, old); }
};

// Forward raster sweep then backward sweep of K independent fields of the same size, each
// visited in its own raster order; the K updates of a pixel are independent, and so are the
// lines of a skewed band, so the processor overlaps their dependency chains. counts[q] receives
// field q's number of changed updates.
template <int K, class Job>
void sweeps(const Job* jobs, int nc, int nl, int* counts) {
    constexpr int kBand = K == 1 ? 4 : K == 2 ? 2 : 1;  // lines per band
    Sweeper<K, Job> sw{jobs, nc, nl};
    for (int i = 0; i < nl;) {
        if (i < 1 || i >= nl - 1 || nc < 3) {
            sw.edge_line(i++, true);
            continue;
        }
        const int B = std::min(kBand, nl - 1 - i);
        sw.template band_of<true>(i, B);
        i += B;
    }
    for (int i = nl - 1; i >= 0;) {
        if (i < 1 || i >= nl - 1 || nc < 3) {
            sw.edge_line(i--, false);
            continue;
        }
        const int B = std::min(kBand, i);
        sw.template band_of<false>(i, B);
        i -= B;
    }
    for (int q = 0; q < K; ++q) counts[q] = sw.c[q];
}

template <class T>
void size_buffer(std::vector<T>& b, std::size_t n) {
    try {
        if (b.size() < n) b.resize(n);
    } catch (const std::bad_alloc&) {
        std::exit(1);
    }
}

// One auxiliary fit in progress: its observation, estimate, link weights and fixed terms.
struct FitState {
    EstimJob job;
    FitTerms* terms;
    int passes_left;
};

// The denominator coef_regul (sum of the four link weights, border rule) + lambda of EstimJob,
// from the current weights.
void fit_terms(const EstimJob& job, FitTerms* t, int nc, int nl) {
    const Line_Process* s = job.s;
    for (int i = 0; i < nl; ++i)
        for (int j = 0; j < nc; ++j) {
            const int k = i * nc + j;
            const double w_down = s[k].Disc_h;
            const double w_up = i < 1 ? 0.0f : s[k - nc].Disc_h;
            const double w_left = j < 1 ? 0.0f : s[k - 1].Disc_v;
            const double w_right = s[k].Disc_v;
            t[k].den = static_cast<double>(job.coef_regul) * (w_down + w_up + w_left + w_right) +
                       job.lambda;
        }
}

// Passes of two sweeps for every fit, the weights recomputed from each estimate after its pass,
// until a pass changes fewer than 3 % of the pixels (integer count 3 n / 100) or the fit has
// made its number of passes. The fits still running share their sweeps, four at most at once.
void fit_fields(FitState* fits, int count, short nc, short nl, float sigma) {
    const float cond_conv = static_cast<float>((3 * (nc * nl)) / 100);
    for (int f = 0; f < count; ++f) {
        Maz_LP(fits[f].job.s, nc, nl);
        fit_terms(fits[f].job, fits[f].terms, nc, nl);
    }
    for (;;) {
        EstimPrecomputedJob jobs[4];
        FitState* running[4];
        int k = 0;
        for (int f = 0; f < count && k < 4; ++f)
            if (fits[f].passes_left > 0) {
                const EstimJob& e = fits[f].job;
                running[k] = &fits[f];
                jobs[k++] = {e.obs, e.x, e.s, fits[f].terms, e.lambda, e.coef_regul};
            }
        if (k == 0) return;
        int changed[4];
        switch (k) {
            case 1:
                sweeps<1>(jobs, nc, nl, changed);
                break;
            case 2:
                sweeps<2>(jobs, nc, nl, changed);
                break;
            case 3:
                sweeps<3>(jobs, nc, nl, changed);
                break;
            default:
                sweeps<4>(jobs, nc, nl, changed);
                break;
        }
        for (int q = 0; q < k; ++q) {
            FitState& fit = *running[q];
            relax_weights(fit.job.x, nc, nl, sigma, fit.job.s, 0, nl);
            fit.passes_left = cond_conv > changed[q] ? 0 : fit.passes_left - 1;
            if (fit.passes_left > 0) fit_terms(fit.job, fit.terms, nc, nl);
        }
    }
}

std::size_t pixel_count(short nc, short nl) {
    const int n = nc * nl;
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

}  // namespace

int regul_estim_sweeps(const float* obs, float* est, int nc, int nl, float coef_regul, float lambda,
                       const Line_Process* spatial) {
    const EstimJob job{obs, est, const_cast<Line_Process*>(spatial), lambda, coef_regul};
    int count = 0;
    if (nc > 0 && nl > 0) sweeps<1>(&job, nc, nl, &count);
    return count;
}

int regul_wvert_sweeps(float* w, const float* D0, const float* D1, const float* a01,
                       const float* b01, const float* a12, const float* b12, int nc, int nl,
                       float lambdaW, const Line_Process* ztw) {
    const WindJob job{w, ztw, D0, D1, a01, b01, a12, b12, lambdaW};
    int count = 0;
    if (nc > 0 && nl > 0) sweeps<1>(&job, nc, nl, &count);
    return count;
}

short relax_interface_wind(float* wVert, const float* Data_out, const float* Data_out2,
                           const float* a01, const float* b01, const float* a12, const float* b12,
                           float lambdaW, float sigmaW, short nc, short nl,
                           std::vector<Line_Process>& ztw, std::vector<WindTerms>& terms) {
    const int n = nc * nl;
    size_buffer(ztw, pixel_count(nc, nl));
    size_buffer(terms, pixel_count(nc, nl));
    Maz_LP(ztw.data(), nc, nl);
    for (int k = 0; k < n; ++k) {
        terms[k].P0 = a01[k] * b01[k] * Data_out[k];
        terms[k].P1 = a12[k] * b12[k] * Data_out2[k];
    }
    const float threshold = static_cast<float>((3 * n) / 100.0);
    short Conv_Regul = 1;
    for (short it_Regul = 0; Conv_Regul != 0 && it_Regul < 2; ++it_Regul) {
        // lambdaW (sum of the four link weights, border rule) + b01^2 D0 + b12^2 D1
        const Line_Process* s = ztw.data();
        for (int i = 0; i < nl; ++i)
            for (int j = 0; j < nc; ++j) {
                const int k = i * nc + j;
                const float w_up = i < 1 ? 0.0f : s[k - nc].Disc_h;
                const float w_left = j < 1 ? 0.0f : s[k - 1].Disc_v;
                terms[k].den = lambdaW * (s[k].Disc_h + w_up + w_left + s[k].Disc_v) +
                               b01[k] * b01[k] * Data_out[k] + b12[k] * b12[k] * Data_out2[k];
            }
        const WindPrecomputedJob job{wVert, s, terms.data(), lambdaW};
        int changed = 0;
        if (n > 0) sweeps<1>(&job, nc, nl, &changed);
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

void fit_auxiliary_fields(const WindAndFields* layers, int count, bool divergence, bool vorticity,
                          short nc, short nl, float coef_regul, float sigma_es) {
    const std::size_t n = pixel_count(nc, nl);
    if (n == 0) return;
    // The vorticity fits together, then the (at most two-pass) divergence fits together, so
    // that only one kind's work memory is held at a time.
    for (int which = 0; which < 2; ++which) {
        if (which == 0 ? !vorticity : !divergence) continue;
        std::vector<AuxiliaryFitScratch> scratch(static_cast<std::size_t>(count));
        std::vector<FitState> fits;
        for (int l = 0; l < count; ++l) {
            const WindAndFields& w = layers[l];
            AuxiliaryFitScratch& s = w.scratch ? *w.scratch : scratch[static_cast<std::size_t>(l)];
            size_buffer(s.observation, n);
            size_buffer(s.spatial, n);
            size_buffer(s.terms, n);
            if (which == 0)
                Curl_Estim(s.observation.data(), w.U, w.V, w.u, w.v, nc, nl);
            else
                Div_Estim(s.observation.data(), w.U, w.V, w.u, w.v, nc, nl);
            float* est = which == 0 ? w.Estim_rot : w.Estim;
            fits.push_back({{s.observation.data(), est, s.spatial.data(), 1.0f, coef_regul},
                            s.terms.data(),
                            which == 0 ? kMaxPassesCurl : kMaxPassesDiv});
        }
        fit_fields(fits.data(), count, nc, nl, sigma_es);
    }
}

void fit_divergence_field(float* Estim, float* U, float* V, float* u, float* v, short nc, short nl,
                          float coef_regul, float sigma_es, AuxiliaryFitScratch& scratch) {
    const WindAndFields layer{U, V, u, v, Estim, nullptr, &scratch};
    fit_auxiliary_fields(&layer, 1, true, false, nc, nl, coef_regul, sigma_es);
}

void fit_vorticity_field(float* Estim_rot, float* U, float* V, float* u, float* v, short nc,
                         short nl, float coef_regul, float sigma_es, AuxiliaryFitScratch& scratch) {
    const WindAndFields layer{U, V, u, v, nullptr, Estim_rot, &scratch};
    fit_auxiliary_fields(&layer, 1, false, true, nc, nl, coef_regul, sigma_es);
}
