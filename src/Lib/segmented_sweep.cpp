// Segments are taken in order by whichever thread asks; a thread waits (spinning, then
// yielding) only for the segment before its own, which another thread is taking.
#include "segmented_sweep.h"

#include <algorithm>
#include <thread>

namespace {
constexpr int kChunk = 32;  // steps between two progress reports
}

SegmentedSweep::SegmentedSweep(std::vector<Segment> segments, Steps steps)
    : segments_(std::move(segments)),
      steps_(std::move(steps)),
      done_(new std::atomic<int>[segments_.size()]) {
    for (std::size_t s = 0; s < segments_.size(); ++s) done_[s].store(0);
}

void SegmentedSweep::wait_for(int s, int needed) const {
    for (int spins = 0; done_[s].load(std::memory_order_acquire) < needed; ++spins)
        if (spins > 64) std::this_thread::yield();
}

void SegmentedSweep::help() {
    const int count = static_cast<int>(segments_.size());
    for (int s; (s = next_.fetch_add(1)) < count;) {
        const Segment& seg = segments_[s];
        for (int t0 = 0; t0 < seg.steps; t0 += kChunk) {
            const int t1 = std::min(t0 + kChunk, seg.steps);
            if (s > 0) {
                const Segment& prev = segments_[s - 1];
                wait_for(s - 1,
                         seg.after_all ? prev.steps : std::min(t1 - 1 + prev.lanes, prev.steps));
            }
            steps_(s, t0, t1);
            done_[s].store(t1, std::memory_order_release);
        }
        finished_.fetch_add(1, std::memory_order_acq_rel);
    }
}

bool SegmentedSweep::exhausted() const {
    return next_.load() >= static_cast<int>(segments_.size());
}

void SegmentedSweep::run(WorkSharing* sharing) {
    if (sharing) sharing->offer(this);
    help();
    const int count = static_cast<int>(segments_.size());
    for (int spins = 0; finished_.load(std::memory_order_acquire) < count; ++spins)
        if (spins > 64) std::this_thread::yield();
    if (sharing) sharing->withdraw(this);
}
