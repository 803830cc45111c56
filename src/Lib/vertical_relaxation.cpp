// The robust relaxation of an interface's vertical wind in skewed bands (skewed_bands.h): each
// pass is a forward then a backward Gauss-Seidel sweep over the bands, 16 lines at a time, with
// the arithmetic of the single-pixel update (wind_numerator, wind_denominator) lane by lane,
// 4 lanes per vector with SSE2, 8 with AVX2.
#include "vertical_relaxation.h"

#include "skewed_bands.h"

using namespace bands;

// The vector forms of the always-inlined update helpers take and return 32-byte vectors in the
// SSE2 kernels too; inlined, they have no calling convention to change.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace {

const float kWindChange = 0.001f;  // an update counts when it moves the value by this or more

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
        auto terms = [&](std::ptrdiff_t k, auto lanes) {  // pixel(s) k of the band, f4 or float
            using F = decltype(lanes);
            const std::ptrdiff_t j = k0 + k;
            F a, b, d, e, f, h;
            load(a, a01 + j), load(b, b01 + j), load(d, D0 + j);
            load(e, a12 + j), load(f, b12 + j), load(h, D1 + j);
            store(lines + k, a * b * d);
            store(lines + block + k, e * f * h);
            store(lines + 2 * block + k, b * b * d);
            store(lines + 3 * block + k, f * f * h);
        };
        std::ptrdiff_t k = 0;
        for (; k + 4 <= n; k += 4) terms(k, f4{});
        for (; k < n; ++k) terms(k, 0.0f);
        for (int m = 0; m < 4; ++m) {
            skew_lines<true>(lines + m * block, g.nc, g.lines_in(q), g.nc, out[m] + g.lanes(q),
                             kLanes);
            clear_outside(g, out[m], q);
        }
    }
}

// Denominators of the vertical wind, lambdaW (sum of the four link weights) + Q0 + Q1 in
// float, lane group by lane group, with the same mark in row -1.
struct WindDenominators {
    float* den;  // the band's row 0, lane 0, as q0 and q1
    const float *q0, *q1;
    float lambda;

    template <class V>
    __attribute__((always_inline)) auto group(int r, int b, V down, V up, V left, V right) {
        V p, s;
        load(p, q0 + r * kLanes + b);
        load(s, q1 + r * kLanes + b);
        const V v = wind_denominator(lambda, down, up, left, right, p, s);
        store(den + r * kLanes + b, v);
        return v == 0.0f;
    }
    void clear(int r, int b) { den[r * kLanes + b] = 0.0f; }
    template <class Z>
    void finish(bool more, Z zero) {
        bool any = more;
        for (std::size_t j = 0; j < sizeof zero / sizeof zero[0]; ++j) any = any || zero[j] != 0;
        den[-kLanes] = any ? 1.0f : 0.0f;
    }
};

// One band of a vertical-wind sweep; the pointers are at row 0, lane 0, or at column 0 of lines
// L - 1 and L + kLanes (above, below).
struct WindBand {
    float* x;
    const float *above, *below;
    const float *wd, *wr, *p0, *p1, *den;
    float lambda;
};

// Row t of a band of the vertical-wind sweep: the pixel update on every lane, wind_numerator /
// den in single precision, the old value where den is 0 (tested when Select).
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
        F v =
            wind_numerator(w.lambda, w_down, down, w_up, up, w_left, left, w_right, right, p0, p1) /
            den;
        if (Select) v = kept_where_zero(v, den, old);
        count -= reinterpret_cast<F>(reinterpret_cast<I>(v - old) & magnitude) >= threshold;
        store(x + b, v);
        next[k] = v;
    }
    for (int k = 0; k < G; ++k) e[k] = next[k];
}

// The arrays of one wind relaxation in skewed bands.
struct WindBands {
    const BandGrid* g;
    float *X, *WD, *WR, *P0, *P1, *Q0, *Q1, *DEN;
    float lambdaW;
};

// Band p of a pass, row by row (sweep_position, sweep_position_pair).
template <class T, bool Forward>
struct WindBandSweep : BandRowState<typename T::F, typename T::I, T::kWidth, Forward> {
    WindBandSweep(const WindBands& w, int p)
        : BandRowState<typename T::F, typename T::I, T::kWidth, Forward>(*w.g, w.X, p) {
        const std::ptrdiff_t o = this->g.bordered(this->q), a = this->g.lanes(this->q);
        band = WindBand{w.X + o,
                        w.X + this->g.above(this->q),
                        w.X + this->g.below(this->q),
                        w.WD + o,
                        w.WR + o,
                        w.P0 + a,
                        w.P1 + a,
                        w.DEN + a,
                        w.lambdaW};
        steady_zero = band.den[-kLanes] != 0.0f;
    }
    template <class Select>
    __attribute__((always_inline)) void row(int t, Select) {
        wind_row<T, Forward, Select::value>(band, t, this->e, this->count);
    }
    WindBand band{};
    bool steady_zero = false;
};

// The band sweep of lane groups T, for sweep_position.
template <class T>
struct WindSweep {
    template <bool Forward>
    using Band = WindBandSweep<T, Forward>;
};

// The denominators of band q, the link weights set first as `links` says.
template <class T>
__attribute__((always_inline)) inline int wind_denominators_body(const WindBands& w, float sigma,
                                                                 Links links, int q,
                                                                 BandGate& gate) {
    const std::ptrdiff_t a = w.g->lanes(q);
    WindDenominators den{w.DEN + a, w.Q0 + a, w.Q1 + a, w.lambdaW};
    band_denominators<T>(*w.g, w.X, w.WD, w.WR, sigma, links, den, q, gate);
    return 0;
}

__attribute__((noinline)) int wind_band_sse2(const WindBands& w, int p, BandGate& gate) {
    return sweep_position<WindSweep<Lanes4>::Band>(w, p, gate);
}
__attribute__((target("avx2"))) int wind_band_avx2(const WindBands& w, int p, BandGate& gate) {
    return sweep_position<WindSweep<Lanes8>::Band>(w, p, gate);
}
__attribute__((noinline)) int wind_pair_sse2(const WindBands& w, int p, BandGate& gate,
                                             BandGate& second) {
    return sweep_position_pair<WindSweep<Lanes4>::Band>(w, p, gate, second);
}
__attribute__((target("avx2"))) int wind_pair_avx2(const WindBands& w, int p, BandGate& gate,
                                                   BandGate& second) {
    return sweep_position_pair<WindSweep<Lanes8>::Band>(w, p, gate, second);
}
__attribute__((noinline)) int wind_denominators_sse2(const WindBands& w, float sigma, Links links,
                                                     int q, BandGate& gate) {
    return wind_denominators_body<Lanes4>(w, sigma, links, q, gate);
}
__attribute__((target("avx2"))) int wind_denominators_avx2(const WindBands& w, float sigma,
                                                           Links links, int q, BandGate& gate) {
    return wind_denominators_body<Lanes8>(w, sigma, links, q, gate);
}

// The relaxation's arrays in s for an nc x nl interface (nc, nl > 0): the wind and the fixed
// parts of its updates in bands.
struct WindSetup {
    WindSetup(float* wVert, const float* Data_out, const float* Data_out2, const float* a01,
              const float* b01, const float* a12, const float* b12, float lambdaW, short nc,
              short nl, WindRelaxationScratch& s, WorkSharing* sharing_)
        : g(nc, nl), avx2(use_avx2()), sharing(sharing_) {
        const std::size_t nb = g.bordered_size(), na = g.lane_size();
        float* X = aligned_32(s.bands, 3 * nb + 5 * na + 4 * static_cast<std::size_t>(kLanes) * nc);
        float* P0 = X + 3 * nb;
        w = WindBands{&g,      X,           X + nb,      X + 2 * nb,  P0,
                      P0 + na, P0 + 2 * na, P0 + 3 * na, P0 + 4 * na, lambdaW};
        to_bands(g, wVert, w.X);
        wind_terms(g, Data_out, Data_out2, a01, b01, a12, b12, w.P0, w.P1, w.Q0, w.Q1, P0 + 5 * na);
    }
    // The bands in order, as a forward sweep.
    void denominators(float sigma, Links links) {
        sweep_positions(g, g.bands, sharing, [&](int q, BandGate& gate) {
            return avx2 ? wind_denominators_avx2(w, sigma, links, q, gate)
                        : wind_denominators_sse2(w, sigma, links, q, gate);
        });
    }
    // A forward then a backward sweep over the bands; returns the changed updates.
    int pass() {
        return sweep_positions(
            g, 2 * g.bands, sharing,
            [&](int p, BandGate& gate) {
                return avx2 ? wind_band_avx2(w, p, gate) : wind_band_sse2(w, p, gate);
            },
            [&](int p, BandGate& gate, BandGate& second) {
                return avx2 ? wind_pair_avx2(w, p, gate, second)
                            : wind_pair_sse2(w, p, gate, second);
            });
    }

    BandGrid g;
    bool avx2;
    WorkSharing* sharing;
    WindBands w{};
};

}  // namespace

short relax_interface_wind(float* wVert, const float* Data_out, const float* Data_out2,
                           const float* a01, const float* b01, const float* a12, const float* b12,
                           float lambdaW, float sigmaW, short nc, short nl,
                           WindRelaxationScratch& s, WorkSharing* sharing) {
    const int n = nc * nl;
    const float threshold = static_cast<float>((3 * n) / 100.0);
    if (nc <= 0 || nl <= 0) return threshold > 0.0f ? 0 : 1;  // passes without pixels
    WindSetup relax(wVert, Data_out, Data_out2, a01, b01, a12, b12, lambdaW, nc, nl, s, sharing);
    short Conv_Regul = 1;
    for (short it_Regul = 0; Conv_Regul != 0 && it_Regul < 2; ++it_Regul) {
        relax.denominators(sigmaW, it_Regul > 0 ? Links::FromEstimate : Links::Uniform);
        const int changed = relax.pass();
        if (threshold > changed) Conv_Regul = 0;
    }
    from_bands(relax.g, relax.w.X, wVert);
    return Conv_Regul;
}

int relax_interface_pass(float* wVert, const float* Data_out, const float* Data_out2,
                         const float* a01, const float* b01, const float* a12, const float* b12,
                         float lambdaW, const Line_Process* ztw, short nc, short nl,
                         WindRelaxationScratch& s) {
    if (nc <= 0 || nl <= 0) return 0;
    WindSetup relax(wVert, Data_out, Data_out2, a01, b01, a12, b12, lambdaW, nc, nl, s, nullptr);
    records_to_bands(relax.g, ztw, relax.w.WD, relax.w.WR);
    relax.denominators(0.0f, Links::Given);
    const int changed = relax.pass();
    from_bands(relax.g, relax.w.X, wVert);
    return changed;
}
