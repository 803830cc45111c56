// Gauss-Seidel sweeps cut into skewed segments and joined by a second thread against the plain
// raster sweeps: the same bits for any cut, forward and back.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "segmented_sweep.h"

namespace {

// x_p = 0.2 (o_p + x_up + x_down + x_left + x_right), a missing neighbour being the pixel itself.
void update(std::vector<float>& x, const std::vector<float>& o, int nc, int nl, int i, int j) {
    const int k = i * nc + j;
    const float up = i > 0 ? x[k - nc] : x[k], down = i < nl - 1 ? x[k + nc] : x[k];
    const float left = j > 0 ? x[k - 1] : x[k], right = j < nc - 1 ? x[k + 1] : x[k];
    x[k] = 0.2f * ((((o[k] + up) + down) + left) + right);
}

// A second thread that joins the sweep before its owner starts on it.
class Joiner : public WorkSharing {
  public:
    void offer(SharedWork* work) override {
        std::atomic<bool> started{false};
        thread_ = std::thread([work, &started] {
            started = true;
            work->help();
        });
        while (!started) std::this_thread::yield();
    }
    void withdraw(SharedWork*) override { thread_.join(); }

  private:
    std::thread thread_;
};

}  // namespace

TEST(SegmentedSweep, AnyCutJoinedByASecondThreadGivesTheRasterSweeps) {
    std::mt19937 rng(7);
    for (auto [nc, nl] : {std::pair{1, 1}, {2, 9}, {37, 23}, {5, 70}, {300, 200}, {701, 97}}) {
        std::uniform_real_distribution<float> value(-1.0f, 1.0f);
        std::vector<float> o(nc * nl), start(nc * nl);
        for (int k = 0; k < nc * nl; ++k) {
            o[k] = value(rng);
            start[k] = value(rng);
        }
        std::vector<float> plain = start;
        for (int i = 0; i < nl; ++i)
            for (int j = 0; j < nc; ++j) update(plain, o, nc, nl, i, j);
        for (int i = nl - 1; i >= 0; --i)
            for (int j = nc - 1; j >= 0; --j) update(plain, o, nc, nl, i, j);

        for (int widest : {6, nl}) {
            // Random bands of 1 to `widest` lines, the same cut going back, last band first.
            std::vector<int> first;
            for (int i = 0; i < nl; i += 1 + static_cast<int>(rng() % widest)) first.push_back(i);
            const int bands = static_cast<int>(first.size());
            first.push_back(nl);
            std::vector<float> cut = start;
            std::vector<SegmentedSweep::Segment> segments;
            for (int pass = 0; pass < 2; ++pass)
                for (int q = 0; q < bands; ++q) {
                    const int b = pass == 0 ? q : bands - 1 - q;
                    const int lanes = first[b + 1] - first[b];
                    segments.push_back({lanes, nc + lanes - 1, pass == 1 && q == 0});
                }
            auto steps = [&](int s, int t0, int t1) {
                const bool forward = s < bands;
                const int b = forward ? s : 2 * bands - 1 - s;
                const int lanes = first[b + 1] - first[b];
                for (int t = t0; t < t1; ++t)
                    for (int lane = 0; lane < lanes; ++lane) {
                        const int pos = t - lane;
                        if (pos < 0 || pos >= nc) continue;
                        if (forward)
                            update(cut, o, nc, nl, first[b] + lane, pos);
                        else
                            update(cut, o, nc, nl, first[b + 1] - 1 - lane, nc - 1 - pos);
                    }
            };
            Joiner joiner;
            SegmentedSweep(segments, steps).run(&joiner);
            EXPECT_EQ(std::memcmp(cut.data(), plain.data(), sizeof(float) * plain.size()), 0)
                << nc << " x " << nl << ", bands up to " << widest;
        }
    }
}
