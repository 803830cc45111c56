// A Gauss-Seidel sweep cut into segments of consecutive lines that threads left idle can join.
// Inside a segment the lines are visited in a skewed order: at step t its first line is at its
// t-th pixel in the sweep direction and each next line one pixel behind. With a four-neighbour
// update, segment s may take step t once segment s - 1 has taken step t + lanes(s - 1) - 1:
// every pixel then reads the lines before it already updated and the lines after it not yet,
// as in the raster order, so the values do not depend on which thread takes which segment.
#ifndef SEGMENTED_SWEEP_H
#define SEGMENTED_SWEEP_H

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "worker_pool.h"

class SegmentedSweep : public SharedWork {
  public:
    struct Segment {
        int lanes;       // lines of the segment
        int steps;       // steps of the segment (pixels per line + lanes - 1)
        bool after_all;  // starts only once the segment before has taken all of its steps
    };
    // steps(s, t0, t1) takes steps t0 .. t1 - 1 of segment s; one thread takes every step of a
    // segment, in order.
    using Steps = std::function<void(int s, int t0, int t1)>;

    SegmentedSweep(std::vector<Segment> segments, Steps steps);

    // Offers the sweep (null: none), takes part in it and returns once every segment is done.
    void run(WorkSharing* sharing);
    void help() override;
    bool exhausted() const override;

  private:
    void wait_for(int s, int needed) const;

    std::vector<Segment> segments_;
    Steps steps_;
    std::unique_ptr<std::atomic<int>[]> done_;  // steps taken, per segment
    std::atomic<int> next_{0};                  // next segment to take
    std::atomic<int> finished_{0};              // segments done
};

#endif
