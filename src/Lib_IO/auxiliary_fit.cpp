// The robust fit of an auxiliary field in skewed bands (skewed_bands.h): each pass is a forward
// then a backward Gauss-Seidel sweep over the bands, 16 lines at a time, with the arithmetic of
// the single-pixel update (fit_numerator, fit_denominator) lane by lane.
#include "auxiliary_fit.h"

#include "skewed_bands.h"

using namespace bands;

// The vector forms of the always-inlined update helpers take and return 32-byte vectors in the
// SSE2 kernels too; inlined, they have no calling convention to change.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace {

const float kEstimChange = 0.0001f;  // an update counts when it moves the value by more

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
        const d4 v = fit_denominator(coef, lambda, wd, wu, wl, wr);
        store(den + r * kLanes + b, v);
        if (steady) zero |= reinterpret_cast<l4>(v == 0.0);
    }
    void clear(int r, int b) { den[r * kLanes + b] = 0.0; }
    void finish(bool more) {
        den[-kLanes] = more || (zero[0] | zero[1] | zero[2] | zero[3]) != 0 ? 1.0 : 0.0;
    }
};

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

// Row t of a band of the auxiliary-fit sweep: the pixel update on every lane, fit_numerator /
// denominator in double rounded to float; where the denominator is 0 (tested when Select) the
// old value. e holds the lanes' values of the row before.
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
        d4 o, d;
        load(o, lo + b);
        load(d, den + b);
        const d4 numerator = fit_numerator(o, f.coef, wd_, down, wu_, up, wl_, left, wr_, right);
        f4 v = __builtin_convertvector(numerator / d, f4);
        if (Select) v = zero_lanes(den + b) ? old : v;
        count -= reinterpret_cast<f4>(reinterpret_cast<i4>(v - old) & magnitude) > threshold;
        store(x + b, v);
        next[k] = v;
    }
    for (int k = 0; k < G; ++k) e[k] = next[k];
}

// The arrays of one fit in skewed bands.
struct FitBands {
    const BandGrid* g;
    float *X, *WD, *WR;
    double *LO, *DEN;
    float lambda, coef_regul;
};

// Position p of a pass (sweep_positions): one band of the forward or of the backward sweep;
// returns its changed updates.
template <bool Avx>
__attribute__((always_inline)) inline int fit_band_body(const FitBands& f, int p, BandGate& gate) {
    const BandGrid& g = *f.g;
    const bool forward = p < g.bands;
    const int q = forward ? p : 2 * g.bands - 1 - p;
    const std::ptrdiff_t o = g.bordered(q), a = g.lanes(q);
    const FitBand band{f.X + o,  f.X + g.above(q), f.X + g.below(q), f.WD + o,
                       f.WR + o, f.LO + a,         f.DEN + a,        f.coef_regul};
    const bool steady_zero = band.den[-kLanes] != 0.0;
    // The row before the first holds the band's border column, which its forward sweep settles.
    gate.wait(0);
    f4 e[kLanes / 4];
    const float* start = band.x + (forward ? -1 : g.steps()) * kStride;
    for (int k = 0; k < kLanes / 4; ++k) load(e[k], start + 4 * k);
    i4 count = {0, 0, 0, 0};
    if (forward)
        band_rows<true>(g, steady_zero, gate, [&](int t, auto select) {
            fit_row<true, decltype(select)::value, Avx>(band, t, e, count);
        });
    else
        band_rows<false>(g, steady_zero, gate, [&](int t, auto select) {
            fit_row<false, decltype(select)::value, Avx>(band, t, e, count);
        });
    settle_band(g, f.X, q);
    return count[0] + count[1] + count[2] + count[3];
}

// The denominators of band q, the link weights set first as `links` says.
template <bool Avx>
__attribute__((always_inline)) inline int fit_denominators_body(const FitBands& f, float sigma,
                                                                Links links, int q,
                                                                BandGate& gate) {
    FitDenominators<Avx> den{f.DEN + f.g->lanes(q), f.coef_regul, f.lambda, l4{}};
    band_denominators(*f.g, f.X, f.WD, f.WR, sigma, links, den, q, gate);
    return 0;
}

__attribute__((noinline)) int fit_band_sse2(const FitBands& f, int p, BandGate& gate) {
    return fit_band_body<false>(f, p, gate);
}
__attribute__((target("avx2"))) int fit_band_avx2(const FitBands& f, int p, BandGate& gate) {
    return fit_band_body<true>(f, p, gate);
}
__attribute__((noinline)) int fit_denominators_sse2(const FitBands& f, float sigma, Links links,
                                                    int q, BandGate& gate) {
    return fit_denominators_body<false>(f, sigma, links, q, gate);
}
__attribute__((target("avx2"))) int fit_denominators_avx2(const FitBands& f, float sigma,
                                                          Links links, int q, BandGate& gate) {
    return fit_denominators_body<true>(f, sigma, links, q, gate);
}

// lambda o of the fit in double, in the slots of rows 0 .. steps - 1: each band's lines skewed
// as floats into `lanes` (a band's lane rows), each slot times lambda in double (exact: the
// product of two floats), then 0 in the slots without a pixel.
void fit_observations(const BandGrid& g, const float* obs, float lambda, double* LO, float* lanes) {
    const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(g.steps()) * kLanes;
    const double l = lambda;
    for (int q = 0; q < g.bands; ++q) {
        skew_lines<true>(obs + static_cast<std::ptrdiff_t>(q) * kLanes * g.nc, g.nc, g.lines_in(q),
                         g.nc, lanes, kLanes);
        double* band = LO + g.lanes(q);
        for (std::ptrdiff_t s = 0; s < n; ++s) band[s] = l * lanes[s];
        clear_outside(g, LO, q);
    }
}

// The fit's arrays in s for an nc x nl field: the estimate x and the observations (as lambda o)
// in bands, the denominators for the links `links` (Given: from records).
struct FitSetup {
    FitSetup(const float* obs, const float* x, short nc, short nl, float lambda, float coef_regul,
             float sigma, Links links, const Line_Process* records, AuxiliaryFitScratch& s,
             WorkSharing* sharing_)
        : g(nc, nl), avx2(use_avx2()), sharing(sharing_) {
        const std::size_t nb = g.bordered_size(), na = g.lane_size();
        const std::size_t band_lanes = static_cast<std::size_t>(g.rows) * kLanes;
        float* X = aligned_32(s.bands, 3 * nb + band_lanes);
        double* LO = aligned_32(s.band_terms, 2 * na);
        f = FitBands{&g, X, X + nb, X + 2 * nb, LO, LO + na, lambda, coef_regul};
        to_bands(g, x, f.X);
        fit_observations(g, obs, lambda, f.LO, X + 3 * nb);
        if (links == Links::Given) records_to_bands(g, records, f.WD, f.WR);
        denominators(sigma, links);
    }
    // The bands in order, as a forward sweep.
    void denominators(float sigma, Links links) {
        sweep_positions(g, g.bands, sharing, [&](int q, BandGate& gate) {
            return avx2 ? fit_denominators_avx2(f, sigma, links, q, gate)
                        : fit_denominators_sse2(f, sigma, links, q, gate);
        });
    }
    // A forward then a backward sweep over the bands; returns the changed updates.
    int pass() {
        return sweep_positions(g, 2 * g.bands, sharing, [&](int p, BandGate& gate) {
            return avx2 ? fit_band_avx2(f, p, gate) : fit_band_sse2(f, p, gate);
        });
    }

    BandGrid g;
    bool avx2;
    WorkSharing* sharing;
    FitBands f{};
};

std::size_t pixel_count(short nc, short nl) {
    const int n = nc * nl;
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

}  // namespace

void fit_field(float* x, const float* obs, short nc, short nl, float lambda, float coef_regul,
               float sigma, int passes, AuxiliaryFitScratch& s, WorkSharing* sharing) {
    if (pixel_count(nc, nl) == 0) return;
    FitSetup fit(obs, x, nc, nl, lambda, coef_regul, sigma, Links::Uniform, nullptr, s, sharing);
    const float cond_conv = static_cast<float>(3 * (nc * nl)) / 100.0f;
    for (;;) {
        const int changed = fit.pass();
        passes = cond_conv > changed ? 0 : passes - 1;
        if (passes <= 0) break;
        fit.denominators(sigma, Links::FromEstimate);
    }
    from_bands(fit.g, fit.f.X, x);
}

int fit_pass(float* x, const float* obs, short nc, short nl, float lambda, float coef_regul,
             const Line_Process* links, AuxiliaryFitScratch& s) {
    if (pixel_count(nc, nl) == 0) return 0;
    FitSetup fit(obs, x, nc, nl, lambda, coef_regul, 0.0f, Links::Given, links, s, nullptr);
    const int changed = fit.pass();
    from_bands(fit.g, fit.f.X, x);
    return changed;
}
