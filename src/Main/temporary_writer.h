// The temporary outputs of the alternation passes, "./temp2D_Lay01.xaf", "./temp2D_Lay12.xaf",
// "./tempUp_Lay1.matlab", "./temp2D_Lay23.xaf", "./tempUp_Lay2.matlab" in this order (in the
// output folder instead of "." when the run has one): the winds
// U + u, V + v of layers 0 .. 2 (motion-field files) and the vertical winds of interfaces 1 and
// 2 (text matrices), as far as they exist, overwritten at every pass. With several threads they
// are written from a copy by a thread of their own at the lowest priority, while the estimation
// goes on.
#ifndef TEMPORARY_WRITER_H
#define TEMPORARY_WRITER_H

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// One pass's temporary outputs at its nc x nl size.
struct PassSnapshot {
    short nc = 0, nl = 0, nb_layers = 0;
    std::vector<float> wU[3], wV[3];  // layers 0 .. 2
    std::vector<float> wind[3];       // interfaces 1, 2 (entry 0 unused)
};

// A pass still waiting when the next one ends is superseded by it: the files always hold a whole
// pass, the passes in order, and after flush() the last one. Up to two copies written or
// superseded are kept for the next passes to fill (their memory already mapped, which spares
// the page faults of new ones); the run holds at most four copies of the winds.
class TemporaryWriter {
  public:
    // The files go into out_dir, or the working folder when it is empty.
    TemporaryWriter(bool background, const std::string& out_dir);
    ~TemporaryWriter();
    TemporaryWriter(const TemporaryWriter&) = delete;
    TemporaryWriter& operator=(const TemporaryWriter&) = delete;

    // A copy to fill: one written or superseded, or a new one.
    std::unique_ptr<PassSnapshot> blank();
    // Writes the pass's files in place, or hands them to the writer thread.
    void write(std::unique_ptr<PassSnapshot> snap);
    // Returns once every pass handed over is on disk.
    void flush();

  private:
    void loop();
    void write_pass(PassSnapshot& s) const;
    // Keeps a copy done with for reuse, or releases it; the mutex held.
    void recycle(std::unique_ptr<PassSnapshot>& s);

    bool background_;
    std::string names_[5];  // Lay01, Lay12, Up_Lay1, Lay23, Up_Lay2
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::unique_ptr<PassSnapshot> pending_;
    std::vector<std::unique_ptr<PassSnapshot>> spares_;
    bool writing_ = false, stop_ = false;
};

#endif
