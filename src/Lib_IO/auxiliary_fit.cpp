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

// The arithmetic of a fit's lanes. Double: groups of 4 lanes widened from float, the update in
// double rounded to float (SSE2 and AVX2 give the same bytes). Single: the update in float on
// groups of 4 lanes (SSE2) or 8 (AVX2), the same bytes either way.
template <bool Avx>
struct DoubleLanes {
    using Real = double;
    using F = f4;
    using I = i4;
    using A = d4;
    static constexpr int kWidth = 4;
    static constexpr I kAfter = Lanes4::kAfter, kBefore = Lanes4::kBefore;
    __attribute__((always_inline)) static A arith(const F& v) {
        A d;
        widen<Avx>(d, v);
        return d;
    }
    __attribute__((always_inline)) static F narrow(const A& v) {
        return __builtin_convertvector(v, f4);
    }
    // -1 in the lanes of den[0 .. 3] that are 0 (two double compares, then the low halves).
    __attribute__((always_inline)) static I zero(const double* den) {
        d2 lo, hi;
        load(lo, den);
        load(hi, den + 2);
        const auto zlo = lo == 0.0, zhi = hi == 0.0;
        i4 a, b;
        std::memcpy(&a, &zlo, sizeof a);
        std::memcpy(&b, &zhi, sizeof b);
        return SHUFFLE_LANES(a, b, i4{0, 2, 4, 6});
    }
};
template <class T>
struct SingleLanes {
    using Real = float;
    using F = typename T::F;
    using I = typename T::I;
    using A = F;
    static constexpr int kWidth = T::kWidth;
    static constexpr I kAfter = T::kAfter, kBefore = T::kBefore;
    __attribute__((always_inline)) static A arith(const F& v) { return v; }
    __attribute__((always_inline)) static F narrow(const A& v) { return v; }
    __attribute__((always_inline)) static I zero(const float* den) {
        F d;
        load(d, den);
        return d == 0.0f;
    }
};
template <class Real, bool Avx>
using FitLanes = std::conditional_t<std::is_same_v<Real, double>, DoubleLanes<Avx>,
                                    SingleLanes<std::conditional_t<Avx, Lanes8, Lanes4>>>;

// Denominators of the fit, coef_regul (sum of the four link weights) + lambda in Real, from
// lane groups of 4 or 8 link weights (in double 4 lanes at a time); a band's row -1, lane 0 is
// set to 1 when a steady row has a zero denominator.
template <class Real, bool Avx>
struct FitDenominators {
    Real* den;  // the band's row 0, lane 0
    Real coef, lambda;

    template <class V>
    __attribute__((always_inline)) auto group(int r, int b, V down, V up, V left, V right) {
        if constexpr (std::is_same_v<Real, double>) {
            constexpr int n = sizeof(V) / sizeof(f4);
            f4 d[n], u[n], l[n], w[n];
            std::memcpy(d, &down, sizeof d), std::memcpy(u, &up, sizeof u);
            std::memcpy(l, &left, sizeof l), std::memcpy(w, &right, sizeof w);
            l4 zero{};
            for (int h = 0; h < n; ++h) {
                d4 wd, wu, wl, wr;
                widen<Avx>(wd, d[h]), widen<Avx>(wu, u[h]), widen<Avx>(wl, l[h]),
                    widen<Avx>(wr, w[h]);
                const d4 v = fit_denominator(coef, lambda, wd, wu, wl, wr);
                store(den + r * kLanes + b + 4 * h, v);
                zero |= reinterpret_cast<l4>(v == 0.0);
            }
            return zero;
        } else {
            const V v = fit_denominator(coef, lambda, down, up, left, right);
            store(den + r * kLanes + b, v);
            return v == 0.0f;
        }
    }
    void clear(int r, int b) { den[r * kLanes + b] = Real(0); }
    template <class Z>
    void finish(bool more, Z zero) {
        bool any = more;
        for (std::size_t j = 0; j < sizeof zero / sizeof zero[0]; ++j) any = any || zero[j] != 0;
        den[-kLanes] = any ? Real(1) : Real(0);
    }
};

// One band of an auxiliary-fit sweep; the pointers are at row 0, lane 0, or at column 0 of lines
// L - 1 and L + kLanes (above, below).
template <class Real>
struct FitBand {
    float* x;
    const float *above, *below;
    const float *wd, *wr;
    const Real *lo, *den;
    Real coef;
};

// Row t of a band of the auxiliary-fit sweep: the pixel update on every lane, fit_numerator /
// denominator in P's arithmetic rounded to float; where the denominator is 0 (tested when
// Select) the old value. e holds the lanes' values of the row before.
template <class P, bool Forward, bool Select>
__attribute__((always_inline)) inline void fit_row(const FitBand<typename P::Real>& f, int t,
                                                   typename P::F* e, typename P::I& count) {
    using F = typename P::F;
    using I = typename P::I;
    using A = typename P::A;
    constexpr int W = P::kWidth, G = kLanes / W, S = kStride;
    F threshold, above, below;
    I magnitude;
    float* x = f.x + t * S;
    const float* wd = f.wd + t * S;
    const float* wr = f.wr + t * S;
    const typename P::Real* lo = f.lo + t * kLanes;
    const typename P::Real* den = f.den + t * kLanes;
    // Lane 0's pixel above and lane kLanes - 1's pixel below.
    const float a = f.above[t * S], z = f.below[(t - kLanes + 1) * S];
    for (int j = 0; j < W; ++j) above[j] = a, below[j] = z, threshold[j] = kEstimChange;
    for (int j = 0; j < W; ++j) magnitude[j] = 0x7fffffff;
    F next[G];
    for (int k = 0; k < G; ++k) {
        const int b = W * k;
        A down, up, left, right;
        if (Forward) {
            F d, r;
            load(r, x + S + b);
            if (k < G - 1)
                load(d, x + S + b + 1);
            else
                d = SHUFFLE_LANES(r, below, P::kBefore);
            const F u = SHUFFLE_LANES(k == 0 ? above : e[k - 1], e[k], P::kAfter);
            down = P::arith(d);
            up = P::arith(u);
            left = P::arith(e[k]);
            right = P::arith(r);
        } else {
            F u, l;
            load(l, x - S + b);
            if (k > 0)
                load(u, x - S + b - 1);
            else
                u = SHUFFLE_LANES(above, l, P::kAfter);
            const F d = SHUFFLE_LANES(e[k], k == G - 1 ? below : e[k + 1], P::kBefore);
            down = P::arith(d);
            up = P::arith(u);
            left = P::arith(l);
            right = P::arith(e[k]);
        }
        F w_down, w_up, w_left, w_right, old;
        load(w_down, wd + b);
        load(w_up, wd - S + b - 1);
        load(w_left, wr - S + b);
        load(w_right, wr + b);
        load(old, x + b);
        A o, d;
        load(o, lo + b);
        load(d, den + b);
        const A numerator = fit_numerator(o, f.coef, P::arith(w_down), down, P::arith(w_up), up,
                                          P::arith(w_left), left, P::arith(w_right), right);
        F v = P::narrow(numerator / d);
        if (Select) v = P::zero(den + b) ? old : v;
        count -= reinterpret_cast<F>(reinterpret_cast<I>(v - old) & magnitude) > threshold;
        store(x + b, v);
        next[k] = v;
    }
    for (int k = 0; k < G; ++k) e[k] = next[k];
}

// The arrays of one fit in skewed bands.
template <class Real>
struct FitBands {
    const BandGrid* g;
    float *X, *WD, *WR;
    Real *LO, *DEN;
    float lambda, coef_regul;
};

// Band p of a pass, row by row (sweep_position, sweep_position_pair).
template <class P, bool Forward>
struct FitBandSweep : BandRowState<typename P::F, typename P::I, P::kWidth, Forward> {
    using Real = typename P::Real;
    FitBandSweep(const FitBands<Real>& f, int p)
        : BandRowState<typename P::F, typename P::I, P::kWidth, Forward>(*f.g, f.X, p) {
        const std::ptrdiff_t o = this->g.bordered(this->q), a = this->g.lanes(this->q);
        band = FitBand<Real>{f.X + o,
                             f.X + this->g.above(this->q),
                             f.X + this->g.below(this->q),
                             f.WD + o,
                             f.WR + o,
                             f.LO + a,
                             f.DEN + a,
                             f.coef_regul};
        steady_zero = band.den[-kLanes] != Real(0);
    }
    template <class Select>
    __attribute__((always_inline)) void row(int t, Select) {
        fit_row<P, Forward, Select::value>(band, t, this->e, this->count);
    }
    FitBand<Real> band{};
    bool steady_zero = false;
};

// The band sweep of lane arithmetic P, for sweep_position.
template <class P>
struct FitSweep {
    template <bool Forward>
    using Band = FitBandSweep<P, Forward>;
};

// The denominators of band q, the link weights set first as `links` says.
template <class Real, bool Avx>
__attribute__((always_inline)) inline int fit_denominators_body(const FitBands<Real>& f,
                                                                float sigma, Links links, int q,
                                                                BandGate& gate) {
    FitDenominators<Real, Avx> den{f.DEN + f.g->lanes(q), f.coef_regul, f.lambda};
    band_denominators<std::conditional_t<Avx, Lanes8, Lanes4>>(*f.g, f.X, f.WD, f.WR, sigma, links,
                                                               den, q, gate);
    return 0;
}

template <class Real>
__attribute__((noinline)) int fit_band_sse2(const FitBands<Real>& f, int p, BandGate& gate) {
    return sweep_position<FitSweep<FitLanes<Real, false>>::template Band>(f, p, gate);
}
template <class Real>
__attribute__((target("avx2"))) int fit_band_avx2(const FitBands<Real>& f, int p, BandGate& gate) {
    return sweep_position<FitSweep<FitLanes<Real, true>>::template Band>(f, p, gate);
}
template <class Real>
__attribute__((noinline)) int fit_pair_sse2(const FitBands<Real>& f, int p, BandGate& gate,
                                            BandGate& second) {
    return sweep_position_pair<FitSweep<FitLanes<Real, false>>::template Band>(f, p, gate, second);
}
template <class Real>
__attribute__((target("avx2"))) int fit_pair_avx2(const FitBands<Real>& f, int p, BandGate& gate,
                                                  BandGate& second) {
    return sweep_position_pair<FitSweep<FitLanes<Real, true>>::template Band>(f, p, gate, second);
}
template <class Real>
__attribute__((noinline)) int fit_denominators_sse2(const FitBands<Real>& f, float sigma,
                                                    Links links, int q, BandGate& gate) {
    return fit_denominators_body<Real, false>(f, sigma, links, q, gate);
}
template <class Real>
__attribute__((target("avx2"))) int fit_denominators_avx2(const FitBands<Real>& f, float sigma,
                                                          Links links, int q, BandGate& gate) {
    return fit_denominators_body<Real, true>(f, sigma, links, q, gate);
}

// lambda o of the fit in Real, in the slots of rows 0 .. steps - 1: each band's lines skewed
// as floats (in double into `lanes`, a band's lane rows; in float in place), each slot times
// lambda in Real (in double exact: the product of two floats; in float skipped when lambda is 1,
// whose product is the slot itself), then 0 in the slots without a pixel.
template <class Real>
void fit_observations(const BandGrid& g, const float* obs, float lambda, Real* LO, float* lanes) {
    const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(g.steps()) * kLanes;
    const Real l = lambda;
    for (int q = 0; q < g.bands; ++q) {
        Real* band = LO + g.lanes(q);
        const float* lines = obs + static_cast<std::ptrdiff_t>(q) * kLanes * g.nc;
        if constexpr (std::is_same_v<Real, float>) {
            skew_lines<true>(lines, g.nc, g.lines_in(q), g.nc, band, kLanes);
            if (l != 1.0f)
                for (std::ptrdiff_t s = 0; s < n; ++s) band[s] = l * band[s];
        } else {
            skew_lines<true>(lines, g.nc, g.lines_in(q), g.nc, lanes, kLanes);
            for (std::ptrdiff_t s = 0; s < n; ++s) band[s] = l * lanes[s];
        }
        clear_outside(g, LO, q);
    }
}

// The band terms (lambda o, denominators) of a fit in Real.
inline double* band_terms(AuxiliaryFitScratch& s, std::size_t n, double) {
    return aligned_32(s.band_terms, n);
}
inline float* band_terms(AuxiliaryFitScratch& s, std::size_t n, float) {
    return aligned_32(s.band_terms_single, n);
}

// The fit's arrays in s for an nc x nl field: the estimate x and the observations (as lambda o)
// in bands, the denominators for the links `links` (Given: from records).
template <class Real>
struct FitSetup {
    FitSetup(const float* obs, const float* x, short nc, short nl, float lambda, float coef_regul,
             float sigma, Links links, const Line_Process* records, AuxiliaryFitScratch& s,
             WorkSharing* sharing_)
        : g(nc, nl), avx2(use_avx2()), sharing(sharing_) {
        const std::size_t nb = g.bordered_size(), na = g.lane_size();
        const std::size_t band_lanes = static_cast<std::size_t>(g.rows) * kLanes;
        float* X = aligned_32(s.bands, 3 * nb + band_lanes);
        Real* LO = band_terms(s, 2 * na, Real());
        f = FitBands<Real>{&g, X, X + nb, X + 2 * nb, LO, LO + na, lambda, coef_regul};
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
        return sweep_positions(
            g, 2 * g.bands, sharing,
            [&](int p, BandGate& gate) {
                return avx2 ? fit_band_avx2(f, p, gate) : fit_band_sse2(f, p, gate);
            },
            [&](int p, BandGate& gate, BandGate& second) {
                return avx2 ? fit_pair_avx2(f, p, gate, second) : fit_pair_sse2(f, p, gate, second);
            });
    }

    BandGrid g;
    bool avx2;
    WorkSharing* sharing;
    FitBands<Real> f{};
};

std::size_t pixel_count(short nc, short nl) {
    const int n = nc * nl;
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

template <class Real>
void fit_passes(float* x, const float* obs, short nc, short nl, float lambda, float coef_regul,
                float sigma, int passes, AuxiliaryFitScratch& s, WorkSharing* sharing) {
    FitSetup<Real> fit(obs, x, nc, nl, lambda, coef_regul, sigma, Links::Uniform, nullptr, s,
                       sharing);
    const float cond_conv = static_cast<float>(3 * (nc * nl)) / 100.0f;
    for (;;) {
        const int changed = fit.pass();
        passes = cond_conv > changed ? 0 : passes - 1;
        if (passes <= 0) break;
        fit.denominators(sigma, Links::FromEstimate);
    }
    from_bands(fit.g, fit.f.X, x);
}

}  // namespace

void fit_field(float* x, const float* obs, short nc, short nl, float lambda, float coef_regul,
               float sigma, int passes, AuxiliaryFitScratch& s, WorkSharing* sharing,
               FitPrecision precision) {
    if (pixel_count(nc, nl) == 0) return;
    if (precision == FitPrecision::Single)
        fit_passes<float>(x, obs, nc, nl, lambda, coef_regul, sigma, passes, s, sharing);
    else
        fit_passes<double>(x, obs, nc, nl, lambda, coef_regul, sigma, passes, s, sharing);
}

int fit_pass(float* x, const float* obs, short nc, short nl, float lambda, float coef_regul,
             const Line_Process* links, AuxiliaryFitScratch& s) {
    if (pixel_count(nc, nl) == 0) return 0;
    FitSetup<double> fit(obs, x, nc, nl, lambda, coef_regul, 0.0f, Links::Given, links, s, nullptr);
    const int changed = fit.pass();
    from_bands(fit.g, fit.f.X, x);
    return changed;
}
