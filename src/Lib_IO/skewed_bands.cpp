// The skewed-band layout of the Gauss-Seidel passes: conversions between raster fields and bands,
// the border copies after a band's sweep, and the choice between SSE2 and AVX2.
#include "skewed_bands.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

namespace bands {

namespace {

// A short spin, then the processor is offered to other threads, then the thread sleeps in short
// naps: with more threads than free cores, the thread it waits for may need this one's core.
template <class Done>
void spin_until(Done done) {
    for (int spin = 0; !done(); ++spin) {
        if (spin < 64) {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        } else if (spin < 96) {
            std::this_thread::yield();
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
    }
}

// Whether position p and p + 1 are swept together: neighbouring bands of the same sweep, the
// positions of each sweep taken two by two from its first one.
bool paired(const BandGrid& g, int positions, int p) {
    const int sweep_start = p < g.bands ? 0 : g.bands;
    const int sweep_end = std::min(positions, sweep_start + g.bands);
    return (p - sweep_start) % 2 == 0 && p + 1 < sweep_end;
}

// One pass whose band positions the owner and idle threads take in order (sweep_positions),
// two neighbouring positions at a time where `pair` is given.
class BandPipeline : public SharedWork {
  public:
    BandPipeline(const BandGrid& g, int positions, const std::function<int(int, BandGate&)>& band,
                 const std::function<int(int, BandGate&, BandGate&)>& pair)
        : g_(g),
          band_(band),
          pair_(pair),
          positions_(positions),
          rows_(new std::atomic<int>[positions_]) {
        for (int p = 0; p < positions_; ++p) rows_[p].store(0, std::memory_order_relaxed);
        for (int p = 0; p < positions_;) {
            const int n = pair_ && paired(g_, positions_, p) ? 2 : 1;
            units_.emplace_back(p, n);
            p += n;
        }
    }

    // Offers the pass, takes part in it until the last band is settled, withdraws it.
    int run(WorkSharing* sharing) {
        sharing->offer(this);
        help();
        const std::atomic<int>& last = rows_[positions_ - 1];
        spin_until([&] { return last.load(std::memory_order_acquire) > g_.steps(); });
        sharing->withdraw(this);
        return changed_.load(std::memory_order_relaxed);
    }

    void help() override {
        for (;;) {
            const int u = next_.fetch_add(1, std::memory_order_relaxed);
            if (u >= static_cast<int>(units_.size())) return;
            const int p = units_[static_cast<std::size_t>(u)].first;
            BandGate gate(p > 0 ? &rows_[p - 1] : nullptr, &rows_[p], p == g_.bands, g_.steps());
            if (units_[static_cast<std::size_t>(u)].second == 1) {
                changed_.fetch_add(band_(p, gate), std::memory_order_relaxed);
                gate.settled();  // after the count: the last band settled means every count is in
            } else {
                // The second band follows the first in the same loop: its gate only publishes.
                BandGate second(nullptr, &rows_[p + 1], false, g_.steps());
                changed_.fetch_add(pair_(p, gate, second), std::memory_order_relaxed);
                second.settled();
            }
        }
    }

    bool exhausted() const override {
        return next_.load(std::memory_order_relaxed) >= static_cast<int>(units_.size());
    }

  private:
    const BandGrid& g_;
    const std::function<int(int, BandGate&)>& band_;
    const std::function<int(int, BandGate&, BandGate&)>& pair_;
    const int positions_;
    std::unique_ptr<std::atomic<int>[]> rows_;  // rows done per position, steps + 1 settled
    std::vector<std::pair<int, int>> units_;    // first position, 1 or 2 positions
    std::atomic<int> next_{0}, changed_{0};
};

// Below this many pixels a pass is too short for other threads to gain on it.
constexpr long kSharedPassPixels = 128 * 128;

}  // namespace

void BandGate::wait_for(int need) {
    spin_until([&] {
        ready_ = before_->load(std::memory_order_acquire);
        return ready_ >= need;
    });
}

int sweep_positions(const BandGrid& g, int positions, WorkSharing* sharing,
                    const std::function<int(int, BandGate&)>& band,
                    const std::function<int(int, BandGate&, BandGate&)>& pair) {
    if (sharing && sharing->dedicated_processors() && g.bands > 1 &&
        static_cast<long>(g.nc) * g.nl >= kSharedPassPixels)
        return BandPipeline(g, positions, band, pair).run(sharing);
    int changed = 0;
    for (int p = 0; p < positions;) {
        BandGate gate, second;
        if (pair && paired(g, positions, p)) {
            changed += pair(p, gate, second);
            p += 2;
        } else {
            changed += band(p, gate);
            p += 1;
        }
    }
    return changed;
}

// Four lines loaded one column apart and transposed give four skewed rows; the rows where one of
// the four lines is outside its columns go pixel by pixel.
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

template void skew_lines<true>(const float*, std::ptrdiff_t, int, int, float*, int);
template void skew_lines<false>(float*, std::ptrdiff_t, int, int, const float*, int);

// Lanes lo .. hi - 1 (line first + b in lane b) go through the transposition, at most 16 at a
// time (the last four again when there are more); the other lanes, clamped copies of line 0 or
// nl - 1, and the slots of every lane outside its line's columns go slot by slot.
void to_bands(const BandGrid& g, const float* x, float* X) {
    for (int q = 0; q < g.bands; ++q) {
        const int first = q * kLanes;
        float* band = X + g.bordered(q);
        const int lo = q > 0 ? -1 : 0, hi = std::min(kLanes + 1, g.nl - first);
        auto skew = [&](int b0, int count) {
            skew_lines<true>(x + static_cast<std::ptrdiff_t>(first + b0) * g.nc, g.nc, count, g.nc,
                             band + b0 * (kStride + 1), kStride);
        };
        skew(lo, std::min(hi - lo, kLanes));
        if (hi - lo > kLanes) skew(hi - 4, 4);
        for (int b = -1; b <= kLanes; ++b) {
            const int i = std::min(std::max(first + b, 0), g.nl - 1);
            const float* line = x + static_cast<std::ptrdiff_t>(i) * g.nc;
            const bool in = b >= lo && b < hi;
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

namespace {

// Lane b of band q takes line i's current values.
void copy_line(const BandGrid& g, float* X, int q, int b, int i) {
    const float* from = X + g.pixel(i, 0);
    float* to = X + g.bordered(q) + b * (kStride + 1);
    for (int c = 0; c < g.nc; ++c) to[c * kStride] = from[c * kStride];
}

}  // namespace

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

void records_to_bands(const BandGrid& g, const Line_Process* records, float* WD, float* WR) {
    std::fill(WD, WD + g.bordered_size(), 0.0f);
    std::fill(WR, WR + g.bordered_size(), 0.0f);
    std::vector<float> h(static_cast<std::size_t>(kLanes) * g.nc), v(h.size());
    for (int q = 0; q < g.bands; ++q) {
        const int lines = g.lines_in(q);
        const Line_Process* band = records + static_cast<std::ptrdiff_t>(q) * kLanes * g.nc;
        for (int k = 0; k < lines * g.nc; ++k) {
            h[k] = band[k].Disc_h;
            v[k] = band[k].Disc_v;
        }
        skew_lines<true>(h.data(), g.nc, lines, g.nc, WD + g.bordered(q), kStride);
        skew_lines<true>(v.data(), g.nc, lines, g.nc, WR + g.bordered(q), kStride);
    }
}

namespace {
std::atomic<bool> sse2_only{false};
}  // namespace

bool use_avx2() {
    static const bool has_avx2 = __builtin_cpu_supports("avx2");
    return has_avx2 && !sse2_only.load(std::memory_order_relaxed);
}

}  // namespace bands

void limit_sweeps_to_sse2(bool sse2_only_) {
    bands::sse2_only.store(sse2_only_, std::memory_order_relaxed);
}
