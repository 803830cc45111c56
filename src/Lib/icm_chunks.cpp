// The plan of an ICM sweep shared between threads, and the sweep over it.
#include "icm_chunks.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>

bool plan_chunks(AffineSystemCache& cache, bloc* parcours, short mod, short nb_col, short nb_line,
                 bool (*affine)(short mod, short taille)) {
    constexpr std::size_t kMaxChunks = 4096;
    if (cache.planned_mod == mod) return !cache.chunks.empty();
    cache.visits.clear();
    cache.chunks.clear();
    cache.planned_mod = mod;
    short cell = 0;  // log2 of the cell side
    while ((static_cast<long>(nb_col) * nb_line >> (2 * cell + 2)) >= 256) ++cell;
    for (bloc* b = parcours; b; b = b->suiv)
        if (b->indic != 0) {
            cache.visits.push_back(
                {static_cast<long>(b->abs) * nb_col + b->ord, b->abs, b->ord, b->taille, b});
            cell = std::max(cell, b->taille);
        }
    int affine_blocks = 0;
    for (std::size_t q = 0; q < cache.visits.size(); ++q) {
        const AffineSystemCache::Visit& v = cache.visits[q];
        const int side = 1 << v.taille;
        const bool same_cell = !cache.chunks.empty() && q > 0 &&
                               (cache.visits[q - 1].i >> cell) == (v.i >> cell) &&
                               (cache.visits[q - 1].j >> cell) == (v.j >> cell);
        if (!same_cell) {
            if (cache.chunks.size() == kMaxChunks) {
                cache.chunks.clear();
                return false;
            }
            AffineSystemCache::Chunk c;
            c.first = static_cast<int>(q);
            c.end = c.first;
            c.affine_base = affine_blocks;
            c.i0 = v.i;
            c.j0 = v.j;
            c.i1 = v.i + side;
            c.j1 = v.j + side;
            cache.chunks.push_back(std::move(c));
        }
        AffineSystemCache::Chunk& c = cache.chunks.back();
        c.end = static_cast<int>(q) + 1;
        c.i0 = std::min(c.i0, static_cast<int>(v.i));
        c.j0 = std::min(c.j0, static_cast<int>(v.j));
        c.i1 = std::max(c.i1, v.i + side);
        c.j1 = std::max(c.j1, v.j + side);
        if (affine(mod, v.taille)) ++affine_blocks;
    }
    cache.affine_count = affine_blocks;
    auto meet = [](int a0, int a1, int b0, int b1) { return std::max(a0, b0) < std::min(a1, b1); };
    for (std::size_t a = 0; a < cache.chunks.size(); ++a)
        for (std::size_t b = a + 1; b < cache.chunks.size(); ++b) {
            const AffineSystemCache::Chunk &A = cache.chunks[a], &B = cache.chunks[b];
            const bool along_lines =
                meet(A.i0 - 1, A.i1 + 1, B.i0, B.i1) && meet(A.j0, A.j1, B.j0, B.j1);
            const bool along_columns =
                meet(A.i0, A.i1, B.i0, B.i1) && meet(A.j0 - 1, A.j1 + 1, B.j0, B.j1);
            if (along_lines || along_columns) {
                cache.chunks[a].next.push_back(static_cast<int>(b));
                cache.chunks[b].before += 1;
            }
        }
    return !cache.chunks.empty();
}

namespace {

// One sweep over the planned chunks by the owner and any thread that joins: a chunk is taken
// once every earlier chunk it touches is done, the lowest-numbered ready chunk first.
class ChunkSweep : public SharedWork {
  public:
    using Solve = std::function<void(int chunk, long& nb, long& nc)>;
    ChunkSweep(const AffineSystemCache& plan, Solve solve)
        : plan_(plan),
          solve_(std::move(solve)),
          waiting_(plan.chunks.size()),
          messages_(plan.chunks.size()) {
        for (std::size_t c = 0; c < plan.chunks.size(); ++c) {
            waiting_[c] = plan.chunks[c].before;
            if (waiting_[c] == 0) ready_.push_back(static_cast<int>(c));
        }
        std::make_heap(ready_.begin(), ready_.end(), std::greater<int>());
    }

    // Offers the sweep, takes part in it until every chunk is done, withdraws it, then prints
    // the chunks' console text in list order.
    void run(WorkSharing* sharing) {
        sharing->offer(this);
        help();
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] { return done_ == plan_.chunks.size(); });
        }
        sharing->withdraw(this);
        for (const std::string& m : messages_)
            if (!m.empty()) print_or_capture(m.c_str());
    }

    void help() override {
        std::unique_lock<std::mutex> lock(mutex_);
        while (taken_ < plan_.chunks.size()) {
            if (ready_.empty()) {
                changed_.wait(lock);
                continue;
            }
            std::pop_heap(ready_.begin(), ready_.end(), std::greater<int>());
            const int c = ready_.back();
            ready_.pop_back();
            ++taken_;
            lock.unlock();
            long chunk_nb = 0, chunk_nc = 0;
            {
                CapturedOutput capture(&messages_[static_cast<std::size_t>(c)]);
                solve_(c, chunk_nb, chunk_nc);
            }
            lock.lock();
            nb_ += chunk_nb;
            nc_ += chunk_nc;
            for (int n : plan_.chunks[static_cast<std::size_t>(c)].next)
                if (--waiting_[static_cast<std::size_t>(n)] == 0) {
                    ready_.push_back(n);
                    std::push_heap(ready_.begin(), ready_.end(), std::greater<int>());
                }
            ++done_;
            changed_.notify_all();
        }
    }

    bool exhausted() const override {
        std::lock_guard<std::mutex> lock(mutex_);
        return taken_ == plan_.chunks.size();
    }
    long nb() const { return nb_; }
    long nc() const { return nc_; }

  private:
    const AffineSystemCache& plan_;
    Solve solve_;
    std::vector<int> waiting_;  // earlier touching chunks not done yet
    std::vector<int> ready_;    // min-heap of chunks free to take
    std::vector<std::string> messages_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t taken_ = 0, done_ = 0;
    long nb_ = 0, nc_ = 0;
};

}  // namespace

void sweep_chunks(const AffineSystemCache& plan, WorkSharing* sharing,
                  const std::function<void(int chunk, long& nb, long& nc)>& solve, long& nb,
                  long& nc) {
    ChunkSweep sweep(plan, solve);
    sweep.run(sharing);
    nb += sweep.nb();
    nc += sweep.nc();
}
