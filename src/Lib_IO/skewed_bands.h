// Skewed bands: the layout in which the Gauss-Seidel passes of the auxiliary fits and of the
// vertical-wind relaxation update 16 lines at once. The lines of an nc x nl field go kLanes at a
// time into bands; row r of a band holds pixel (L + b, r - b) in lane b, so a raster sweep is a
// sweep over the rows with all lanes of a row updated at once, the raster order's dependencies
// kept (the line above is one row ahead, the line below one row behind). Also the vector lane
// types, the link-weight and denominator rows both passes share, the choice between SSE2 and
// AVX2, and the order (BandGate) in which several threads may share a pass band by band.
#ifndef SKEWED_BANDS_H
#define SKEWED_BANDS_H

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <type_traits>
#include <vector>

#include "fail.h"

#include "link_weight.h"
#include "types_4v_V1.h"
#include "work_sharing.h"

namespace bands {

constexpr int kLanes = 16;
// Rows of a field and of its link weights ("bordered") also have lanes -1 and kLanes, where band
// 0 and the last band keep copies of lines 0 and nl - 1, and columns -1 and nc, which repeat
// columns 0 and nc - 1. A slot without a pixel has denominator 0: its update keeps the old value.
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

// b holds at least n elements; the run ends naming the buffer when memory runs out.
template <class T>
void size_buffer(std::vector<T>& b, std::size_t n) {
    try {
        if (b.size() < n) b.resize(n);
    } catch (const std::bad_alloc&) {
        fail("cannot allocate a work buffer of the relaxation sweeps (%zu elements of %zu bytes)",
             n, sizeof(T));
    }
}

// n elements of b from a 32-byte boundary on.
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

// Lines 0 .. lines - 1 of a band (line b at raster + b * line, columns 0 .. nc - 1) to (In) or
// from a skewed array (row r, lane b at skewed + r * row + b), pixel (b, c) at row c + b.
template <bool In>
void skew_lines(std::conditional_t<In, const float*, float*> raster, std::ptrdiff_t line, int lines,
                int nc, std::conditional_t<In, float*, const float*> skewed, int row);

// The bordered layout of the nc x nl field x: the pixels, and in the other slots of rows -1 ..
// steps and lanes -1 .. kLanes the nearest pixel (clamped line and column).
void to_bands(const BandGrid& g, const float* x, float* X);
void from_bands(const BandGrid& g, const float* X, float* x);

// After a sweep of band q: columns -1 and nc of its lines repeat columns 0 and nc - 1 again,
// band 0's lane -1 line 0 and the last band's lanes past the last line (lane kLanes included)
// line nl - 1. The other bands' lanes -1 and kLanes are not kept: a band reads those lines
// where they are.
void settle_band(const BandGrid& g, float* X, int q);

// The link records' Disc_h into the pixel slots of WD and Disc_v into those of WR (bordered),
// every other slot 0.
void records_to_bands(const BandGrid& g, const Line_Process* records, float* WD, float* WR);

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

// The order between the bands of a sweep shared by several threads. A forward sweep's band
// reads the line above it (the band before) as updated and the line below it (the band after)
// as not yet updated; a backward sweep the other way round. Row t of a band holds column t - b
// of its line b, so the band's k-th row in sweep order needs the band before in that order to
// have done its first k + kLanes rows, and, from where it reads that band's border columns
// (k + kLanes > steps), to have done all of them and settled; the first band of the backward
// sweep needs the whole forward sweep done. A band's kernel also calls wait(0) before it reads
// its border row (row steps, settled by its forward sweep). Every band then reads what it reads
// in the raster order of one thread, and the result is the same bytes. A gate without a band
// before never waits.
class BandGate {
  public:
    BandGate() = default;
    // before: rows done by the band before (steps + 1 once settled), or null; done: this band's.
    BandGate(const std::atomic<int>* before, std::atomic<int>* done, bool whole, int steps)
        : before_(before),
          done_(done),
          whole_(whole),
          steps_(steps),
          ready_(before ? 0 : INT_MAX) {}

    // Before the band's k-th row in sweep order.
    __attribute__((always_inline)) void wait(int k) {
        if (k + kLanes > ready_) wait_for(whole_ ? steps_ + 1 : std::min(k + kLanes, steps_ + 1));
    }
    // After the band's k-th row: every 16th count is published (a count read by another core
    // costs the cache line; finer steps cost more than they let the next band gain).
    __attribute__((always_inline)) void passed(int k) {
        if (done_ && ((k + 1) & 15) == 0) done_->store(k + 1, std::memory_order_release);
    }
    // After the band's rows and settle_band, and after whatever the band adds to shared sums.
    void settled() {
        if (done_) done_->store(steps_ + 1, std::memory_order_release);
    }

  private:
    void wait_for(int need);
    const std::atomic<int>* before_ = nullptr;
    std::atomic<int>* done_ = nullptr;
    bool whole_ = false;
    int steps_ = 0, ready_ = INT_MAX;
};

// Where a pass takes its link weights from.
enum class Links {
    Uniform,       // 1 (Maz_LP)
    FromEstimate,  // sigma^2 / (d^2 + sigma)^2 of the current estimate (Relax_estim)
    Given          // already in WD, WR (records_to_bands)
};

// Band q's link weights and denominators, row by row, T::kWidth lanes at a time: the weights
// set by `links`, 0 for the right link of column -1 (nothing left of column 0). Lane -1 of WD
// takes line L - 1's downward links (0 above line 0). den.group(r, b, down, up, left, right)
// forms the denominators of lanes b .. b + T::kWidth - 1 from their four link weights and
// returns the mask of those that are 0; den.clear(r, b) marks a slot without a pixel;
// den.finish(more, zero) is told whether a steady row had a zero denominator (or more: the band
// has lanes past the last line). The bands go in order, so band q - 1's links are new: row r
// reads that band's row r + 15, as a forward sweep does, and gate orders the rows alike.
// den.group's vectors may be 32 bytes in the SSE2 kernels too; inlined, they have no calling
// convention to change.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
template <class T, class Den>
__attribute__((always_inline)) inline void band_denominators(const BandGrid& g, const float* X,
                                                             float* WD, float* WR, float sigma,
                                                             Links links, Den& den, int q,
                                                             BandGate& gate) {
    using F = typename T::F;
    using I = typename T::I;
    constexpr int W = T::kWidth, G = kLanes / W, S = kStride;
    const std::ptrdiff_t o = g.bordered(q);
    const float* below = X + g.below(q);
    const float* above = q > 0 ? WD + g.above(q) : nullptr;
    const int lines = g.lines_in(q), first = g.steady_first(), end = g.steady_end();
    decltype(den.group(0, 0, F{}, F{}, F{}, F{})) zero{};
    F one, none{}, pd[G], pr[G];  // pd, pr: WD and WR of the row before
    I lane;
    for (int j = 0; j < W; ++j) one[j] = 1.0f, lane[j] = j;
    if (links != Links::FromEstimate) {  // row -1: no pixel but lane 0's column -1
        for (int k = 0; k < G; ++k) {
            store(WD + o - S + W * k, one);
            store(WR + o - S + W * k, one);
        }
        WR[o - S] = 0.0f;
    }
    for (int k = 0; k < G; ++k) {
        load(pd[k], WD + o - S + W * k);
        load(pr[k], WR + o - S + W * k);
    }
    for (int r = 0; r < g.steps(); ++r) {
        gate.wait(r);
        float* wd = WD + o + r * S;
        float* wr = WR + o + r * S;
        wd[-S - 1] = above ? above[r * S] : 0.0f;  // lane 0's link up
        F cd[G], cr[G];
        if (links == Links::FromEstimate) {
            const float* x = X + o + r * S;
            F bv;
            for (int j = 0; j < W; ++j) bv[j] = below[(r - kLanes + 1) * S];
            for (int k = 0; k < G; ++k) {
                F c, right, down;
                load(c, x + W * k);
                load(right, x + S + W * k);
                if (k < G - 1)
                    load(down, x + S + W * k + 1);
                else
                    down = SHUFFLE_LANES(right, bv, T::kBefore);
                cd[k] = link_weight(c - down, sigma);
                cr[k] = link_weight(c - right, sigma);
            }
        } else if (links == Links::Given) {
            for (int k = 0; k < G; ++k) {
                load(cd[k], wd + W * k);
                load(cr[k], wr + W * k);
            }
        } else {
            for (int k = 0; k < G; ++k) cd[k] = cr[k] = one;
        }
        // lane r + 1, column -1 (a select: an indexed lane would keep the rows in memory)
        if (r + 1 < kLanes)
            for (int k = 0; k < G; ++k) cr[k] = lane + W * k == r + 1 ? none : cr[k];
        for (int k = 0; k < G; ++k) {
            store(wd + W * k, cd[k]);
            store(wr + W * k, cr[k]);
        }
        // Each lane's four links: its own down and right links, the up link of the lane before
        // in the row before (lane 0: the line above's), the right link of the row before.
        const bool steady = r >= first && r < end;
        F uv;
        for (int j = 0; j < W; ++j) uv[j] = wd[-S - 1];
        for (int k = 0; k < G; ++k) {
            const F up = SHUFFLE_LANES(k == 0 ? uv : pd[k - 1], pd[k], T::kAfter);
            const auto z = den.group(r, W * k, cd[k], up, pr[k], cr[k]);
            if (steady) zero |= z;
        }
        if (!steady || lines < kLanes)
            for (int b = 0; b < kLanes; ++b)
                if (b > r || b <= r - g.nc || b >= lines) den.clear(r, b);
        for (int k = 0; k < G; ++k) pd[k] = cd[k], pr[k] = cr[k];
        gate.passed(r);
    }
    den.finish(lines < kLanes, zero);  // the lanes past the last line have denominator 0
}
#pragma GCC diagnostic pop

// The rows of a band in sweep order, the zero-denominator test left out on the steady rows
// (every lane in the image) when none of them has a zero denominator; gate orders them with the
// bands other threads sweep.
template <bool Forward, class Row>
__attribute__((always_inline)) inline void band_rows(const BandGrid& g, bool steady_zero,
                                                     BandGate& gate, Row row) {
    const int first = g.steady_first(), end = g.steady_end(), steps = g.steps();
    const std::integral_constant<bool, true> test;
    const std::integral_constant<bool, false> skip;
    auto gated = [&](int t, auto select) {
        const int k = Forward ? t : steps - 1 - t;
        gate.wait(k);
        row(t, select);
        gate.passed(k);
    };
    if (Forward) {
        int t = 0;
        for (; t < first; ++t) gated(t, test);
        if (steady_zero)
            for (; t < end; ++t) gated(t, test);
        else
            for (; t < end; ++t) gated(t, skip);
        for (; t < steps; ++t) gated(t, test);
    } else {
        int t = steps - 1;
        for (; t >= end; --t) gated(t, test);
        if (steady_zero)
            for (; t >= first; --t) gated(t, test);
        else
            for (; t >= first; --t) gated(t, skip);
        for (; t >= 0; --t) gated(t, test);
    }
}

// The rows of two neighbouring bands of one sweep in one loop, the second kLanes rows behind the
// first: what its gate would let it do if it ran on a thread of its own, so every row reads
// what it reads when the bands go one after the other, and the processor gets two independent
// chains of row updates to overlap. row_a(t, select) and row_b as in band_rows; begin_b()
// before the second band's first row; settle_a() after the first band's last row (its
// settle_band and gate.settled(): the second band's last kLanes rows read its border columns).
template <bool Forward, class RowA, class RowB, class Begin, class Settle>
__attribute__((always_inline)) inline void band_pair_rows(const BandGrid& g, bool steady_zero_a,
                                                          bool steady_zero_b, BandGate& gate_a,
                                                          BandGate& gate_b, RowA row_a, RowB row_b,
                                                          Begin begin_b, Settle settle_a) {
    const int first = g.steady_first(), end = g.steady_end(), steps = g.steps();
    const std::integral_constant<bool, true> test;
    const std::integral_constant<bool, false> skip;
    auto one = [&](auto& row, BandGate& gate, bool steady_zero, int k) {
        const int t = Forward ? k : steps - 1 - k;
        gate.wait(k);
        if (steady_zero || t < first || t >= end)
            row(t, test);
        else
            row(t, skip);
        gate.passed(k);
    };
    for (int k = 0; k < steps + kLanes; ++k) {
        if (k < steps) one(row_a, gate_a, steady_zero_a, k);
        if (k == steps - 1) settle_a();
        if (k == kLanes) begin_b();
        if (k >= kLanes) one(row_b, gate_b, steady_zero_b, k - kLanes);
    }
}

// What a band of a pass carries from row to row, for a kernel whose lane groups hold F (W
// lanes, I their counts): the band q of position p (the forward sweep's bands, then the
// backward sweep's), the lanes' values of the row before (e) and the changed updates (count).
// The kernel's band sweep derives from it and adds row(t, select) and steady_zero.
template <class F, class I, int W, bool Forward>
struct BandRowState {
    BandRowState(const BandGrid& g_, float* X_, int p)
        : g(g_), X(X_), q(Forward ? p : 2 * g_.bands - 1 - p) {}
    // The row before the first holds the band's border column, which its forward sweep settles
    // (after the gate's wait(0)).
    void begin() {
        const float* start = X + g.bordered(q) + (Forward ? -1 : g.steps()) * kStride;
        for (int k = 0; k < kLanes / W; ++k) load(e[k], start + W * k);
    }
    void settle() { settle_band(g, X, q); }
    int changed() const {
        int n = 0;
        for (int j = 0; j < W; ++j) n += count[j];
        return n;
    }

    const BandGrid& g;
    float* X;
    const int q;
    F e[kLanes / W] = {};
    I count{};
};

// Position p of a pass (sweep_positions' band), or positions p and p + 1 in one loop (its pair),
// with the kernel's band sweep S<Forward>(arrays, p) as BandRowState describes (arrays.g the
// grid); return the changed updates. Every step is always inlined, down to the rows: the
// kernels are compiled for AVX2 in the functions that call these.
template <template <bool> class S, bool Forward, class Arrays>
__attribute__((always_inline)) inline int sweep_one(const Arrays& arrays, int p, BandGate& gate) {
    S<Forward> b(arrays, p);
    gate.wait(0);
    b.begin();
    band_rows<Forward>(
        b.g, b.steady_zero,
        gate, [&](int t, auto select) __attribute__((always_inline)) { b.row(t, select); });
    b.settle();
    return b.changed();
}
template <template <bool> class S, bool Forward, class Arrays>
__attribute__((always_inline)) inline int sweep_two(const Arrays& arrays, int p, BandGate& gate,
                                                    BandGate& second) {
    S<Forward> a(arrays, p), b(arrays, p + 1);
    gate.wait(0);
    a.begin();
    band_pair_rows<Forward>(
        a.g, a.steady_zero, b.steady_zero, gate,
        second, [&](int t, auto select) __attribute__((always_inline)) { a.row(t, select); },
        [&](int t, auto select) __attribute__((always_inline)) { b.row(t, select); },
        [&]() __attribute__((always_inline)) {
            second.wait(0);
            b.begin();
        },
        [&]() __attribute__((always_inline)) {
            a.settle();
            gate.settled();
        });
    b.settle();
    return a.changed() + b.changed();
}
template <template <bool> class S, class Arrays>
__attribute__((always_inline)) inline int sweep_position(const Arrays& arrays, int p,
                                                         BandGate& gate) {
    return p < arrays.g->bands ? sweep_one<S, true>(arrays, p, gate)
                               : sweep_one<S, false>(arrays, p, gate);
}
template <template <bool> class S, class Arrays>
__attribute__((always_inline)) inline int sweep_position_pair(const Arrays& arrays, int p,
                                                              BandGate& gate, BandGate& second) {
    return p < arrays.g->bands ? sweep_two<S, true>(arrays, p, gate, second)
                               : sweep_two<S, false>(arrays, p, gate, second);
}

// A sweep over the bands in `positions` steps: bands positions (a forward sweep) or 2 bands (a
// pass: forward, then backward). Position p is band p for p < bands, else band 2 bands - 1 - p
// of the backward sweep; band(p, gate) sweeps that band's rows through gate, settles it and
// returns its count. With sharing (on processors of its own, and a field large enough to gain),
// idle threads take positions too, in order, each following the one before as BandGate says.
// Returns the sum of the counts.
// pair(p, gate, second), when given, sweeps positions p and p + 1 (neighbouring bands of the
// same sweep, each sweep's positions taken two by two from its first) in one loop, with their
// gates (band_pair_rows), in place of two calls of band.
int sweep_positions(const BandGrid& g, int positions, WorkSharing* sharing,
                    const std::function<int(int, BandGate&)>& band,
                    const std::function<int(int, BandGate&, BandGate&)>& pair = nullptr);

// AVX2 where the processor has it and limit_sweeps_to_sse2 did not rule it out.
bool use_avx2();

}  // namespace bands

// The passes in skewed bands use AVX2 where the processor has it; true keeps them to SSE2. Both
// give the same bytes.
void limit_sweeps_to_sse2(bool sse2_only);

#endif
