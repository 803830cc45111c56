// Raster Gauss-Seidel sweeps with the border rules of the neighbour accessors written out: a
// missing neighbour is the pixel itself, a missing link above line 0 or left of column 0 weighs
// 0. Lines 1 .. nl - 2 run columns 1 .. nc - 2 without any test; the first and last line and
// column take the general update. The fits and the interface relaxation run the same updates
// vectorised over skewed bands of lines (below).
#include "robust_sweeps.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

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

// Skewed bands: the lines go kLanes at a time into bands (the last one filled up with copies of
// line nl - 1); row r of a band holds pixel (L + b, r - b) in lane b, so a raster sweep is a sweep
// over the rows with all lanes of a row updated at once, the raster order's dependencies kept.
// A slot without a pixel has denominator 0: its update keeps the old value (the border rule).
constexpr int kLanes = 16;
// Rows of the estimate and of the link weights ("bordered") also have lanes -1 and kLanes, where
// band 0 and the last band keep copies of lines 0 and nl - 1, and columns -1 and nc, which
// repeat columns 0 and nc - 1.
constexpr int kStride = kLanes + 8;  // floats per row of a bordered array
constexpr int kLane0 = 8;            // lane 0's place in such a row, 32-byte aligned

struct BandGrid {
    int nc, nl, bands, rows;  // rows -1 .. nc + kLanes - 1

    BandGrid(int nc_, int nl_)
        : nc(nc_), nl(nl_), bands((nl_ + kLanes - 1) / kLanes), rows(nc_ + kLanes + 1) {}
    int steps() const { return nc + kLanes - 1; }  // rows 0 .. steps - 1 hold pixels
    int lines_in(int q) const { return std::min(kLanes, nl - q * kLanes); }
    // Rows first .. end - 1 are steady: every lane holds a pixel (when the band is full).
    int steady_first() const { return std::min(kLanes - 1, steps()); }
    int steady_end() const { return std::max(steady_first(), nc); }
    std::size_t bordered_size() const {
        return (static_cast<std::size_t>(bands) * rows + 1) * kStride;
    }
    std::size_t lane_size() const { return static_cast<std::size_t>(bands) * rows * kLanes; }
    // Row 0, lane 0 of band q.
    std::ptrdiff_t bordered(int q) const {
        return (static_cast<std::ptrdiff_t>(q) * rows + 1) * kStride + kLane0;
    }
    std::ptrdiff_t lanes(int q) const {
        return (static_cast<std::ptrdiff_t>(q) * rows + 1) * kLanes;
    }
    // Pixel (i, c) in a bordered array.
    std::ptrdiff_t pixel(int i, int c) const {
        const int b = i % kLanes;
        return bordered(i / kLanes) + static_cast<std::ptrdiff_t>(c + b) * kStride + b;
    }
    // Column 0 of line L - 1 and of line L + kLanes for band q; band 0 keeps a copy of line 0 in
    // its lane -1, the last band copies of line nl - 1 in its lanes past the last line.
    std::ptrdiff_t above(int q) const {
        return q == 0 ? bordered(0) - kStride - 1 : pixel(q * kLanes - 1, 0);
    }
    std::ptrdiff_t below(int q) const {
        const int i = (q + 1) * kLanes;
        return i < nl ? pixel(i, 0) : bordered(q) + kLanes * (kStride + 1);
    }
};

template <class T>
T* aligned_32(std::vector<T>& b, std::size_t n) {
    size_buffer(b, n + 32 / sizeof(T));
    const auto p = reinterpret_cast<std::uintptr_t>(b.data());
    return reinterpret_cast<T*>((p + 31) & ~static_cast<std::uintptr_t>(31));
}

// SHUFFLE_LANES(a, b, mask): lane i of the result is lane mask[i] of a followed by b. GCC's
// builtin; compilers without it (the fuzzing build) take the lanes one by one.
#if defined(__clang__)
template <class V, class M>
inline V shuffle_lanes(V a, V b, M mask) {
    constexpr int n = sizeof(V) / sizeof(a[0]);
    V r = a;
    for (int i = 0; i < n; ++i) {
        const int k = mask[i] & (2 * n - 1);
        r[i] = k < n ? a[k] : b[k - n];
    }
    return r;
}
#define SHUFFLE_LANES(...) shuffle_lanes(__VA_ARGS__)
#else
#define SHUFFLE_LANES(...) __builtin_shuffle(__VA_ARGS__)
#endif

typedef float f4 __attribute__((vector_size(16)));
typedef float f8 __attribute__((vector_size(32)));
typedef int i4 __attribute__((vector_size(16)));
typedef int i8 __attribute__((vector_size(32)));
typedef double d2 __attribute__((vector_size(16)));
typedef double d4 __attribute__((vector_size(32)));
typedef long long l4 __attribute__((vector_size(32)));

template <class V, class T>
__attribute__((always_inline)) inline void load(V& v, const T* p) {
    std::memcpy(&v, p, sizeof v);
}
template <class T, class V>
__attribute__((always_inline)) inline void store(T* p, const V& v) {
    std::memcpy(p, &v, sizeof v);
}
// d = v in double, exact either way: lane by lane compiles to one conversion with AVX, the
// vector conversion to the shortest sequence with SSE2 (GCC 12).
template <bool Avx>
__attribute__((always_inline)) inline void widen(d4& d, const f4& v) {
    if constexpr (Avx)
        d = d4{v[0], v[1], v[2], v[3]};
    else
        d = __builtin_convertvector(v, d4);
}

// Lane groups of the single-precision sweeps: 4 lanes (SSE2) or 8 (AVX2). kAfter takes the
// previous group's last lane and this group's first ones, kBefore this group's last lanes and
// the next group's first one.
struct Lanes4 {
    using F = f4;
    using I = i4;
    static constexpr int kWidth = 4;
    static constexpr I kAfter = {3, 4, 5, 6}, kBefore = {1, 2, 3, 4};
};
struct Lanes8 {
    using F = f8;
    using I = i8;
    static constexpr int kWidth = 8;
    static constexpr I kAfter = {7, 8, 9, 10, 11, 12, 13, 14}, kBefore = {1, 2, 3, 4, 5, 6, 7, 8};
};

// Lines 0 .. lines - 1 of a band (line b at raster + b * line, columns 0 .. nc - 1) to or from a
// skewed array (row r, lane b at skewed + r * row + b), pixel (b, c) at row c + b. Four lines
// loaded one column apart and transposed give four skewed rows; the rows where one of the four
// lines is outside its columns go pixel by pixel.
template <bool In>
void skew_lines(std::conditional_t<In, const float*, float*> raster, std::ptrdiff_t line, int lines,
                int nc, std::conditional_t<In, float*, const float*> skewed, int row) {
    auto pixel = [&](int b, int c) {
        if constexpr (In)
            skewed[(c + b) * row + b] = raster[b * line + c];
        else
            raster[b * line + c] = skewed[(c + b) * row + b];
    };
    auto block = [&](int b0, int r0) {  // rows r0 .. r0 + 3, lanes b0 .. b0 + 3
        f4 v[4];
        for (int j = 0; j < 4; ++j)
            load(v[j], In ? &raster[(b0 + j) * line + r0 - b0 - j] : &skewed[(r0 + j) * row + b0]);
        const f4 t0 = SHUFFLE_LANES(v[0], v[1], i4{0, 4, 1, 5});
        const f4 t1 = SHUFFLE_LANES(v[0], v[1], i4{2, 6, 3, 7});
        const f4 t2 = SHUFFLE_LANES(v[2], v[3], i4{0, 4, 1, 5});
        const f4 t3 = SHUFFLE_LANES(v[2], v[3], i4{2, 6, 3, 7});
        v[0] = SHUFFLE_LANES(t0, t2, i4{0, 1, 4, 5});
        v[1] = SHUFFLE_LANES(t0, t2, i4{2, 3, 6, 7});
        v[2] = SHUFFLE_LANES(t1, t3, i4{0, 1, 4, 5});
        v[3] = SHUFFLE_LANES(t1, t3, i4{2, 3, 6, 7});
        for (int j = 0; j < 4; ++j) {
            if constexpr (In)
                store(&skewed[(r0 + j) * row + b0], v[j]);
            else
                store(&raster[(b0 + j) * line + r0 - b0 - j], v[j]);
        }
    };
    int b0 = 0;
    for (; b0 + 4 <= lines; b0 += 4) {
        auto single_row = [&](int r) {
            for (int b = b0; b < b0 + 4; ++b)
                if (r - b >= 0 && r - b < nc) pixel(b, r - b);
        };
        int r = b0;  // rows b0 .. b0 + nc + 2 hold pixels of these lanes
        for (; r < b0 + 3; ++r) single_row(r);
        for (; r + 3 - b0 < nc; r += 4) block(b0, r);
        for (; r < b0 + nc + 3; ++r) single_row(r);
    }
    for (; b0 < lines; ++b0)
        for (int c = 0; c < nc; ++c) pixel(b0, c);
}

// The bordered layout of the nc x nl field x: the lines' pixels by skew_lines, the other slots
// of rows -1 .. steps and lanes -1 .. kLanes the nearest pixel (clamped line and column).
void to_bands(const BandGrid& g, const float* x, float* X) {
    for (int q = 0; q < g.bands; ++q) {
        const int first = q * kLanes, lines = g.lines_in(q);
        float* band = X + g.bordered(q);
        skew_lines<true>(x + static_cast<std::ptrdiff_t>(first) * g.nc, g.nc, lines, g.nc, band,
                         kStride);
        for (int b = -1; b <= kLanes; ++b) {
            const int i = std::min(std::max(first + b, 0), g.nl - 1);
            const float* line = x + static_cast<std::ptrdiff_t>(i) * g.nc;
            const bool in = b >= 0 && b < lines;
            for (int r = -1; r <= g.steps(); ++r) {
                if (in && r == b) r += g.nc;  // the pixels
                if (r > g.steps()) break;
                band[r * kStride + b] = line[std::min(std::max(r - b, 0), g.nc - 1)];
            }
        }
    }
}

void from_bands(const BandGrid& g, const float* X, float* x) {
    for (int q = 0; q < g.bands; ++q)
        skew_lines<false>(x + static_cast<std::ptrdiff_t>(q) * kLanes * g.nc, g.nc, g.lines_in(q),
                          g.nc, X + g.bordered(q), kStride);
}

// Lane b of band q takes line i's current values.
void copy_line(const BandGrid& g, float* X, int q, int b, int i) {
    const float* from = X + g.pixel(i, 0);
    float* to = X + g.bordered(q) + b * (kStride + 1);
    for (int c = 0; c < g.nc; ++c) to[c * kStride] = from[c * kStride];
}

// After a sweep of band q: columns -1 and nc of its lines repeat columns 0 and nc - 1 again,
// band 0's lane -1 line 0 and the last band's lanes past the last line (lane kLanes included)
// line nl - 1. The other bands' lanes -1 and kLanes are not kept: a band reads those lines
// where they are.
void settle_band(const BandGrid& g, float* X, int q) {
    const int lines = g.lines_in(q);
    for (int b = 0; b < lines; ++b) {
        float* lane = X + g.bordered(q) + b * (kStride + 1);  // column 0
        lane[-kStride] = lane[0];
        lane[g.nc * kStride] = lane[(g.nc - 1) * kStride];
    }
    if (q == 0) copy_line(g, X, 0, -1, 0);
    if (q == g.bands - 1)
        for (int b = lines; b <= kLanes; ++b) copy_line(g, X, q, b, g.nl - 1);
}

// 0 in the slots of rows 0 .. steps - 1 of band q's lane array that hold no pixel.
template <class T>
void clear_outside(const BandGrid& g, T* A, int q) {
    T* band = A + g.lanes(q);
    const int lines = g.lines_in(q);
    for (int r = 0; r < g.steps(); ++r) {
        if (r == g.steady_first()) r = g.steady_end();
        if (r >= g.steps()) break;
        for (int b = 0; b < lines; ++b)
            if (b > r || b <= r - g.nc) band[r * kLanes + b] = T(0);
    }
    for (int b = lines; b < kLanes; ++b)
        for (int r = 0; r < g.steps(); ++r) band[r * kLanes + b] = T(0);
}

// set(s, k) for every slot s of rows 0 .. steps - 1 of the lane arrays, k the pixel i nc + c it
// holds or -1.
template <class Set>
void for_lane_slots(const BandGrid& g, Set set) {
    for (int q = 0; q < g.bands; ++q) {
        const int lines = g.lines_in(q);
        const std::ptrdiff_t band = g.lanes(q);
        for (int r = 0; r < g.steps(); ++r)
            for (int b = 0; b < kLanes; ++b) {
                const int c = r - b;
                set(band + r * kLanes + b,
                    b < lines && c >= 0 && c < g.nc ? (q * kLanes + b) * g.nc + c : -1);
            }
    }
}

// lambda o of the fit (double).
void fit_observations(const BandGrid& g, const float* obs, float lambda, double* LO) {
    for_lane_slots(g, [&](std::ptrdiff_t s, int k) {
        LO[s] = k < 0 ? 0.0 : static_cast<double>(lambda) * obs[k];
    });
}

// Fixed parts of the vertical-wind updates: P0 = a01 b01 D0, P1 = a12 b12 D1, Q0 = b01^2 D0,
// Q1 = b12^2 D1; each band's lines computed in order into lines (4 kLanes nc floats), then
// skewed.
void wind_terms(const BandGrid& g, const float* D0, const float* D1, const float* a01,
                const float* b01, const float* a12, const float* b12, float* P0, float* P1,
                float* Q0, float* Q1, float* lines) {
    const std::ptrdiff_t block = static_cast<std::ptrdiff_t>(kLanes) * g.nc;
    float* out[4] = {P0, P1, Q0, Q1};
    for (int q = 0; q < g.bands; ++q) {
        const std::ptrdiff_t k0 = q * block, n = static_cast<std::ptrdiff_t>(g.lines_in(q)) * g.nc;
        std::ptrdiff_t k = 0;
        for (; k + 4 <= n; k += 4) {
            f4 a, b, d, e, f, h;
            load(a, a01 + k0 + k), load(b, b01 + k0 + k), load(d, D0 + k0 + k);
            load(e, a12 + k0 + k), load(f, b12 + k0 + k), load(h, D1 + k0 + k);
            store(lines + k, a * b * d);
            store(lines + block + k, e * f * h);
            store(lines + 2 * block + k, b * b * d);
            store(lines + 3 * block + k, f * f * h);
        }
        for (; k < n; ++k) {
            const std::ptrdiff_t j = k0 + k;
            lines[k] = a01[j] * b01[j] * D0[j];
            lines[block + k] = a12[j] * b12[j] * D1[j];
            lines[2 * block + k] = b01[j] * b01[j] * D0[j];
            lines[3 * block + k] = b12[j] * b12[j] * D1[j];
        }
        for (int m = 0; m < 4; ++m) {
            skew_lines<true>(lines + m * block, g.nc, g.lines_in(q), g.nc, out[m] + g.lanes(q),
                             kLanes);
            clear_outside(g, out[m], q);
        }
    }
}

// Denominators of the fit, coef_regul (sum of the four link weights) + lambda in double; zero
// collects the zero denominators of the steady rows, and a band's row -1, lane 0 is set to 1
// when there is one.
template <bool Avx>
struct FitDenominators {
    double* den;  // the band's row 0, lane 0
    double coef, lambda;
    l4 zero;

    __attribute__((always_inline)) void group(int r, int b, bool steady, f4 down, f4 up, f4 left,
                                              f4 right) {
        d4 wd, wu, wl, wr;
        widen<Avx>(wd, down), widen<Avx>(wu, up), widen<Avx>(wl, left), widen<Avx>(wr, right);
        const d4 sum = wd + wu + wl + wr;
        const d4 v = coef * sum + lambda;
        store(den + r * kLanes + b, v);
        if (steady) zero |= reinterpret_cast<l4>(v == 0.0);
    }
    void clear(int r, int b) { den[r * kLanes + b] = 0.0; }
    void finish(bool more) {
        den[-kLanes] = more || (zero[0] | zero[1] | zero[2] | zero[3]) != 0 ? 1.0 : 0.0;
    }
};

// Denominators of the vertical wind, lambdaW (sum of the four link weights) + Q0 + Q1 in
// float, with the same mark in row -1.
struct WindDenominators {
    float* den;  // the band's row 0, lane 0, as q0 and q1
    const float *q0, *q1;
    float lambda;
    i4 zero;

    __attribute__((always_inline)) void group(int r, int b, bool steady, f4 down, f4 up, f4 left,
                                              f4 right) {
        f4 p, s;
        load(p, q0 + r * kLanes + b);
        load(s, q1 + r * kLanes + b);
        const f4 v = lambda * (down + up + left + right) + p + s;
        store(den + r * kLanes + b, v);
        if (steady) zero |= v == 0.0f;
    }
    void clear(int r, int b) { den[r * kLanes + b] = 0.0f; }
    void finish(bool more) {
        den[-kLanes] = more || (zero[0] | zero[1] | zero[2] | zero[3]) != 0 ? 1.0f : 0.0f;
    }
};

// Band q's link weights and denominators, row by row: the weights recomputed from the estimate
// when relax is set (sigma^2 / (d^2 + sigma)^2 in float, d the difference with the pixel below
// and to the right, as relax_weights), 1 otherwise (Maz_LP), 0 for the right link of column -1
// (nothing left of column 0). Lane -1 of WD takes line L - 1's downward links (0 above line 0);
// slots without a pixel get denominator 0. The bands go in order, so band q - 1's links are
// new.
template <class Den>
__attribute__((always_inline)) inline void band_denominators(const BandGrid& g, const float* X,
                                                             float* WD, float* WR, float sigma,
                                                             bool relax, Den& den, int q) {
    constexpr int G = kLanes / 4, S = kStride;
    const float sigma2 = sigma * sigma;
    const std::ptrdiff_t o = g.bordered(q);
    const float* below = X + g.below(q);
    const float* above = q > 0 ? WD + g.above(q) : nullptr;
    const int lines = g.lines_in(q), first = g.steady_first(), end = g.steady_end();
    f4 pd[G], pr[G];  // WD and WR of the row before
    const f4 one = {1.0f, 1.0f, 1.0f, 1.0f};
    if (!relax) {  // row -1: no pixel but lane 0's column -1, without a right link
        for (int k = 0; k < G; ++k) {
            store(WD + o - S + 4 * k, one);
            store(WR + o - S + 4 * k, one);
        }
        WR[o - S] = 0.0f;
    }
    for (int k = 0; k < G; ++k) {
        load(pd[k], WD + o - S + 4 * k);
        load(pr[k], WR + o - S + 4 * k);
    }
    for (int r = 0; r < g.steps(); ++r) {
        float* wd = WD + o + r * S;
        float* wr = WR + o + r * S;
        const float u = above ? above[r * S] : 0.0f;
        wd[-S - 1] = u;
        f4 cd[G], cr[G];
        if (relax) {
            const float* x = X + o + r * S;
            const float bl = below[(r - kLanes + 1) * S];
            const f4 bv = {bl, bl, bl, bl};
            for (int k = 0; k < G; ++k) {
                f4 c, right, down;
                load(c, x + 4 * k);
                load(right, x + S + 4 * k);
                if (k < G - 1)
                    load(down, x + S + 4 * k + 1);
                else
                    down = SHUFFLE_LANES(right, bv, Lanes4::kBefore);
                f4 d = c - down, t = d * d;
                cd[k] = sigma2 / ((t + sigma) * (t + sigma));
                d = c - right;
                t = d * d;
                cr[k] = sigma2 / ((t + sigma) * (t + sigma));
            }
        } else {
            for (int k = 0; k < G; ++k) cd[k] = cr[k] = one;
        }
        if (r + 1 < kLanes) cr[(r + 1) / 4][(r + 1) % 4] = 0.0f;  // lane r + 1, column -1
        for (int k = 0; k < G; ++k) {
            store(wd + 4 * k, cd[k]);
            store(wr + 4 * k, cr[k]);
        }
        const f4 uv = {u, u, u, u};
        const bool steady = r >= first && r < end;
        for (int k = 0; k < G; ++k) {
            const f4 up = SHUFFLE_LANES(k == 0 ? uv : pd[k - 1], pd[k], Lanes4::kAfter);
            den.group(r, 4 * k, steady, cd[k], up, pr[k], cr[k]);
        }
        if (!steady || lines < kLanes)
            for (int b = 0; b < kLanes; ++b)
                if (b > r || b <= r - g.nc || b >= lines) den.clear(r, b);
        for (int k = 0; k < G; ++k) {
            pd[k] = cd[k];
            pr[k] = cr[k];
        }
    }
    den.finish(lines < kLanes);  // the lanes past the last line have denominator 0
}

// -1 in the lanes of den[0 .. 3] that are 0 (two double compares, then the low halves).
__attribute__((always_inline)) inline i4 zero_lanes(const double* den) {
    d2 lo, hi;
    load(lo, den);
    load(hi, den + 2);
    const auto zlo = lo == 0.0, zhi = hi == 0.0;
    i4 a, b;
    std::memcpy(&a, &zlo, sizeof a);
    std::memcpy(&b, &zhi, sizeof b);
    return SHUFFLE_LANES(a, b, i4{0, 2, 4, 6});
}

// One band of an auxiliary-fit sweep; the pointers are at row 0, lane 0, or at column 0 of lines
// L - 1 and L + kLanes (above, below).
struct FitBand {
    float* x;
    const float *above, *below;
    const float *wd, *wr;
    const double *lo, *den;
    double coef;
};

// Row t of a band of the auxiliary-fit sweep: the update of EstimJob on every lane, lambda o +
// coef ((w_down down + w_up up) + w_left left) + w_right right in double, divided by the
// denominator and rounded to float; where the denominator is 0 (tested when Select) the old
// value. e holds the lanes' values of the row before.
template <bool Forward, bool Select, bool Avx>
__attribute__((always_inline)) inline void fit_row(const FitBand& f, int t, f4* e, i4& count) {
    constexpr int G = kLanes / 4, S = kStride;
    const f4 threshold = {kEstimChange, kEstimChange, kEstimChange, kEstimChange};
    const i4 magnitude = {0x7fffffff, 0x7fffffff, 0x7fffffff, 0x7fffffff};
    float* x = f.x + t * S;
    const float* wd = f.wd + t * S;
    const float* wr = f.wr + t * S;
    const double* lo = f.lo + t * kLanes;
    const double* den = f.den + t * kLanes;
    // Lane 0's pixel above and lane kLanes - 1's pixel below.
    const float a = f.above[t * S], z = f.below[(t - kLanes + 1) * S];
    const f4 above = {a, a, a, a}, below = {z, z, z, z};
    f4 next[G];
    for (int k = 0; k < G; ++k) {
        const int b = 4 * k;
        d4 down, up, left, right;
        if (Forward) {
            f4 d, r;
            load(r, x + S + b);
            if (k < G - 1)
                load(d, x + S + b + 1);
            else
                d = SHUFFLE_LANES(r, below, Lanes4::kBefore);
            const f4 u = SHUFFLE_LANES(k == 0 ? above : e[k - 1], e[k], Lanes4::kAfter);
            widen<Avx>(down, d);
            widen<Avx>(up, u);
            widen<Avx>(left, e[k]);
            widen<Avx>(right, r);
        } else {
            f4 u, l;
            load(l, x - S + b);
            if (k > 0)
                load(u, x - S + b - 1);
            else
                u = SHUFFLE_LANES(above, l, Lanes4::kAfter);
            const f4 d = SHUFFLE_LANES(e[k], k == G - 1 ? below : e[k + 1], Lanes4::kBefore);
            widen<Avx>(down, d);
            widen<Avx>(up, u);
            widen<Avx>(left, l);
            widen<Avx>(right, e[k]);
        }
        f4 w_down, w_up, w_left, w_right, old;
        load(w_down, wd + b);
        load(w_up, wd - S + b - 1);
        load(w_left, wr - S + b);
        load(w_right, wr + b);
        load(old, x + b);
        d4 wd_, wu_, wl_, wr_;
        widen<Avx>(wd_, w_down), widen<Avx>(wu_, w_up), widen<Avx>(wl_, w_left),
            widen<Avx>(wr_, w_right);
        d4 sum = wd_ * down + wu_ * up;
        sum = sum + wl_ * left;
        sum = sum + wr_ * right;
        d4 o, d;
        load(o, lo + b);
        load(d, den + b);
        f4 v = __builtin_convertvector((o + f.coef * sum) / d, f4);
        if (Select) v = zero_lanes(den + b) ? old : v;
        count -= reinterpret_cast<f4>(reinterpret_cast<i4>(v - old) & magnitude) > threshold;
        store(x + b, v);
        next[k] = v;
    }
    for (int k = 0; k < G; ++k) e[k] = next[k];
}

// One band of a vertical-wind sweep, laid out as FitBand.
struct WindBand {
    float* x;
    const float *above, *below;
    const float *wd, *wr, *p0, *p1, *den;
    float lambda;
};

// Row t of a band of the vertical-wind sweep: the update of WindJob on every lane, single
// precision: (lambdaW (((w_down down + w_up up) + w_left left) + w_right right) - P0 - P1) / den,
// the old value where den is 0 (tested when Select).
template <class T, bool Forward, bool Select>
__attribute__((always_inline)) inline void wind_row(const WindBand& w, int t, typename T::F* e,
                                                    typename T::I& count) {
    using F = typename T::F;
    using I = typename T::I;
    constexpr int W = T::kWidth, G = kLanes / W, S = kStride;
    float* x = w.x + t * S;
    const float* wd = w.wd + t * S;
    const float* wr = w.wr + t * S;
    const std::ptrdiff_t a = static_cast<std::ptrdiff_t>(t) * kLanes;
    F above{}, below{}, threshold{};
    I magnitude{};
    const float u = w.above[t * S], z = w.below[(t - kLanes + 1) * S];
    for (int j = 0; j < W; ++j) above[j] = u, below[j] = z, threshold[j] = kWindChange;
    for (int j = 0; j < W; ++j) magnitude[j] = 0x7fffffff;
    F next[G];
    for (int k = 0; k < G; ++k) {
        const int b = W * k;
        F down, up, left, right;
        if (Forward) {
            load(right, x + S + b);
            if (k < G - 1)
                load(down, x + S + b + 1);
            else
                down = SHUFFLE_LANES(right, below, T::kBefore);
            up = SHUFFLE_LANES(k == 0 ? above : e[k - 1], e[k], T::kAfter);
            left = e[k];
        } else {
            load(left, x - S + b);
            if (k > 0)
                load(up, x - S + b - 1);
            else
                up = SHUFFLE_LANES(above, left, T::kAfter);
            down = SHUFFLE_LANES(e[k], k == G - 1 ? below : e[k + 1], T::kBefore);
            right = e[k];
        }
        F w_down, w_up, w_left, w_right, old, p0, p1, den;
        load(w_down, wd + b);
        load(w_up, wd - S + b - 1);
        load(w_left, wr - S + b);
        load(w_right, wr + b);
        load(old, x + b);
        load(p0, w.p0 + a + b);
        load(p1, w.p1 + a + b);
        load(den, w.den + a + b);
        const F sum = w_down * down + w_up * up + w_left * left + w_right * right;
        F numerator = w.lambda * sum - p0;
        numerator = numerator - p1;
        F v = numerator / den;
        if (Select) v = den == 0.0f ? old : v;
        count -= reinterpret_cast<F>(reinterpret_cast<I>(v - old) & magnitude) >= threshold;
        store(x + b, v);
        next[k] = v;
    }
    for (int k = 0; k < G; ++k) e[k] = next[k];
}

// The rows of a band in sweep order, the zero-denominator test left out on the steady rows
// (every lane in the image) when none of them has a zero denominator.
template <bool Forward, class Row>
__attribute__((always_inline)) inline void band_rows(const BandGrid& g, bool steady_zero, Row row) {
    const int first = g.steady_first(), end = g.steady_end(), steps = g.steps();
    const std::integral_constant<bool, true> test;
    const std::integral_constant<bool, false> skip;
    if (Forward) {
        int t = 0;
        for (; t < first; ++t) row(t, test);
        if (steady_zero)
            for (; t < end; ++t) row(t, test);
        else
            for (; t < end; ++t) row(t, skip);
        for (; t < steps; ++t) row(t, test);
    } else {
        int t = steps - 1;
        for (; t >= end; --t) row(t, test);
        if (steady_zero)
            for (; t >= first; --t) row(t, test);
        else
            for (; t >= first; --t) row(t, skip);
        for (; t >= 0; --t) row(t, test);
    }
}

// The arrays of one fit or one wind relaxation in skewed bands.
struct FitBands {
    const BandGrid* g;
    float *X, *WD, *WR;
    double *LO, *DEN;
    float lambda, coef_regul;
};

struct WindBands {
    const BandGrid* g;
    float *X, *WD, *WR, *P0, *P1, *Q0, *Q1, *DEN;
    float lambdaW;
};

// A forward then a backward sweep over the bands; returns the changed updates.
template <bool Avx>
__attribute__((always_inline)) inline int fit_sweeps_body(const FitBands& f) {
    const BandGrid& g = *f.g;
    int changed = 0;
    for (int pass = 0; pass < 2; ++pass) {
        const bool forward = pass == 0;
        for (int n = 0; n < g.bands; ++n) {
            const int q = forward ? n : g.bands - 1 - n;
            const std::ptrdiff_t o = g.bordered(q), a = g.lanes(q);
            const FitBand band{f.X + o,  f.X + g.above(q), f.X + g.below(q), f.WD + o,
                               f.WR + o, f.LO + a,         f.DEN + a,        f.coef_regul};
            const bool steady_zero = band.den[-kLanes] != 0.0;
            f4 e[kLanes / 4];
            const float* start = band.x + (forward ? -1 : g.steps()) * kStride;
            for (int k = 0; k < kLanes / 4; ++k) load(e[k], start + 4 * k);
            i4 count = {0, 0, 0, 0};
            if (forward)
                band_rows<true>(g, steady_zero, [&](int t, auto select) {
                    fit_row<true, decltype(select)::value, Avx>(band, t, e, count);
                });
            else
                band_rows<false>(g, steady_zero, [&](int t, auto select) {
                    fit_row<false, decltype(select)::value, Avx>(band, t, e, count);
                });
            changed += count[0] + count[1] + count[2] + count[3];
            settle_band(g, f.X, q);
        }
    }
    return changed;
}

template <class T>
__attribute__((always_inline)) inline int wind_sweeps_body(const WindBands& w) {
    using F = typename T::F;
    using I = typename T::I;
    constexpr int W = T::kWidth;
    const BandGrid& g = *w.g;
    int changed = 0;
    for (int pass = 0; pass < 2; ++pass) {
        const bool forward = pass == 0;
        for (int n = 0; n < g.bands; ++n) {
            const int q = forward ? n : g.bands - 1 - n;
            const std::ptrdiff_t o = g.bordered(q), a = g.lanes(q);
            const WindBand band{w.X + o,  w.X + g.above(q), w.X + g.below(q), w.WD + o, w.WR + o,
                                w.P0 + a, w.P1 + a,         w.DEN + a,        w.lambdaW};
            const bool steady_zero = band.den[-kLanes] != 0.0f;
            F e[kLanes / W];
            const float* start = band.x + (forward ? -1 : g.steps()) * kStride;
            for (int k = 0; k < kLanes / W; ++k) load(e[k], start + W * k);
            I count{};
            if (forward)
                band_rows<true>(g, steady_zero, [&](int t, auto select) {
                    wind_row<T, true, decltype(select)::value>(band, t, e, count);
                });
            else
                band_rows<false>(g, steady_zero, [&](int t, auto select) {
                    wind_row<T, false, decltype(select)::value>(band, t, e, count);
                });
            for (int j = 0; j < W; ++j) changed += count[j];
            settle_band(g, w.X, q);
        }
    }
    return changed;
}

// The denominators of every band, the link weights recomputed first when relax is set.
template <bool Avx>
__attribute__((always_inline)) inline void fit_denominators_body(const FitBands& f, float sigma,
                                                                 bool relax) {
    for (int q = 0; q < f.g->bands; ++q) {
        FitDenominators<Avx> den{f.DEN + f.g->lanes(q), f.coef_regul, f.lambda, l4{}};
        band_denominators(*f.g, f.X, f.WD, f.WR, sigma, relax, den, q);
    }
}

__attribute__((always_inline)) inline void wind_denominators_body(const WindBands& w, float sigma,
                                                                  bool relax) {
    for (int q = 0; q < w.g->bands; ++q) {
        const std::ptrdiff_t a = w.g->lanes(q);
        WindDenominators den{w.DEN + a, w.Q0 + a, w.Q1 + a, w.lambdaW, i4{}};
        band_denominators(*w.g, w.X, w.WD, w.WR, sigma, relax, den, q);
    }
}

__attribute__((noinline)) int fit_sweeps_sse2(const FitBands& f) {
    return fit_sweeps_body<false>(f);
}
__attribute__((target("avx2"))) int fit_sweeps_avx2(const FitBands& f) {
    return fit_sweeps_body<true>(f);
}
__attribute__((noinline)) void fit_denominators_sse2(const FitBands& f, float sigma, bool relax) {
    fit_denominators_body<false>(f, sigma, relax);
}
__attribute__((target("avx2"))) void fit_denominators_avx2(const FitBands& f, float sigma,
                                                           bool relax) {
    fit_denominators_body<true>(f, sigma, relax);
}
__attribute__((noinline)) int wind_sweeps_sse2(const WindBands& w) {
    return wind_sweeps_body<Lanes4>(w);
}
__attribute__((target("avx2"))) int wind_sweeps_avx2(const WindBands& w) {
    return wind_sweeps_body<Lanes8>(w);
}
__attribute__((noinline)) void wind_denominators_sse2(const WindBands& w, float sigma, bool relax) {
    wind_denominators_body(w, sigma, relax);
}
__attribute__((target("avx2"))) void wind_denominators_avx2(const WindBands& w, float sigma,
                                                            bool relax) {
    wind_denominators_body(w, sigma, relax);
}

std::atomic<bool> sse2_only{false};

bool use_avx2() {
    static const bool has_avx2 = __builtin_cpu_supports("avx2");
    return has_avx2 && !sse2_only.load(std::memory_order_relaxed);
}

// One auxiliary fit: passes of two sweeps from unit weights, the weights recomputed from each
// estimate after its pass, until a pass changes fewer than 3 % of the pixels (the float
// 3 n / 100: 30 changes of 32 x 32 pixels are below 30.72) or the fit has made `passes` passes.
// The estimate stays in skewed bands throughout.
void fit_field(const float* obs, float* x, short nc, short nl, float lambda, float coef_regul,
               float sigma, int passes, AuxiliaryFitScratch& s) {
    const BandGrid g(nc, nl);
    const std::size_t nb = g.bordered_size(), na = g.lane_size();
    float* X = aligned_32(s.bands, 3 * nb);
    double* LO = aligned_32(s.band_terms, 2 * na);
    const FitBands f{&g, X, X + nb, X + 2 * nb, LO, LO + na, lambda, coef_regul};
    const bool avx2 = use_avx2();
    to_bands(g, x, f.X);
    fit_observations(g, obs, lambda, f.LO);
    avx2 ? fit_denominators_avx2(f, sigma, false) : fit_denominators_sse2(f, sigma, false);
    const float cond_conv = static_cast<float>(3 * (nc * nl)) / 100.0f;
    for (;;) {
        const int changed = avx2 ? fit_sweeps_avx2(f) : fit_sweeps_sse2(f);
        passes = cond_conv > changed ? 0 : passes - 1;
        if (passes <= 0) break;
        avx2 ? fit_denominators_avx2(f, sigma, true) : fit_denominators_sse2(f, sigma, true);
    }
    from_bands(g, f.X, x);
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
    const float threshold = static_cast<float>((3 * n) / 100.0);
    if (nc <= 0 || nl <= 0) return threshold > 0.0f ? 0 : 1;  // passes without pixels
    const BandGrid g(nc, nl);
    const std::size_t nb = g.bordered_size(), na = g.lane_size();
    size_buffer(terms, (nb + 5 * na + 4 * kLanes * nc + 7) / 8);
    size_buffer(ztw, nb + 4);  // two bordered arrays of floats, 32-byte aligned
    float* X = reinterpret_cast<float*>(terms.data());
    float* WD = reinterpret_cast<float*>((reinterpret_cast<std::uintptr_t>(ztw.data()) + 31) &
                                         ~static_cast<std::uintptr_t>(31));
    float* P0 = X + nb;
    const WindBands w{&g,      X,           WD,          WD + nb,     P0,
                      P0 + na, P0 + 2 * na, P0 + 3 * na, P0 + 4 * na, lambdaW};
    const bool avx2 = use_avx2();
    to_bands(g, wVert, w.X);
    wind_terms(g, Data_out, Data_out2, a01, b01, a12, b12, w.P0, w.P1, w.Q0, w.Q1, P0 + 5 * na);
    short Conv_Regul = 1;
    for (short it_Regul = 0; Conv_Regul != 0 && it_Regul < 2; ++it_Regul) {
        const bool relax = it_Regul > 0;
        avx2 ? wind_denominators_avx2(w, sigmaW, relax) : wind_denominators_sse2(w, sigmaW, relax);
        const int changed = avx2 ? wind_sweeps_avx2(w) : wind_sweeps_sse2(w);
        if (threshold > changed) Conv_Regul = 0;
    }
    from_bands(g, w.X, wVert);
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
    // The vorticity fits, then the (at most two-pass) divergence fits, so that only one kind's
    // work memory is held at a time.
    for (int which = 0; which < 2; ++which) {
        if (which == 0 ? !vorticity : !divergence) continue;
        AuxiliaryFitScratch own;
        for (int l = 0; l < count; ++l) {
            const WindAndFields& w = layers[l];
            AuxiliaryFitScratch& s = w.scratch ? *w.scratch : own;
            size_buffer(s.observation, n);
            if (which == 0)
                Curl_Estim(s.observation.data(), w.U, w.V, w.u, w.v, nc, nl);
            else
                Div_Estim(s.observation.data(), w.U, w.V, w.u, w.v, nc, nl);
            fit_field(s.observation.data(), which == 0 ? w.Estim_rot : w.Estim, nc, nl, 1.0f,
                      coef_regul, sigma_es, which == 0 ? kMaxPassesCurl : kMaxPassesDiv, s);
        }
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

void limit_sweeps_to_sse2(bool sse2_only_) {
    sse2_only.store(sse2_only_, std::memory_order_relaxed);
}
