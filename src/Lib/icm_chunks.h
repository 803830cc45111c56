// The memory an ICM sweep keeps between the sweeps of one call: the factors of the affine
// blocks' matrices, and the plan by which threads left idle may join a sweep (chunks of blocks
// that do not touch are solved side by side, those that touch in list order).
#ifndef ICM_CHUNKS_H
#define ICM_CHUNKS_H

#include <functional>
#include <vector>

#include "types_4v_V1.h"
#include "worker_pool.h"

// The factors of the affine blocks' 6 x 6 matrices, kept between the sweeps of one ICM call:
// a matrix depends on the data term, the block and lambda but not on u, v, so it is the same in
// every sweep as long as nothing else changes. Entry n belongs to the n-th affine block visited.
struct AffineSystemCache {
    struct Entry {
        bool known = false, regular = false;
        double lu[7][7];  // LU factors (ludcmp), rows and columns 1 .. 6
        int indx[7];
        double b_fit[7];  // the fast mode's part of B without u, v (split_normal_equations)
    };
    // An active block in list order: its top-left pixel (index k, line i, column j), its side
    // 2^taille and its record.
    struct Visit {
        long k;
        short i, j, taille;
        bloc* record;
    };
    // Consecutive active blocks of one square cell of the image, covering lines i0 .. i1 - 1
    // and columns j0 .. j1 - 1; `next` lists the later chunks that touch it (one pixel apart
    // along a line or a column), which must wait for it; `before` counts the earlier ones.
    struct Chunk {
        int first, end;   // visits[first .. end - 1]
        int affine_base;  // affine blocks in the chunks before it
        int i0, j0, i1, j1;
        std::vector<int> next;
        int before = 0;
    };
    std::vector<Entry> entries;
    std::vector<Visit> visits;
    std::vector<Chunk> chunks;
    int affine_count = 0;
    short planned_mod = -1;  // the mod the chunks' affine counts were made for; -1: no plan
    // The data term changed: the block matrices no longer hold.
    void forget() { entries.clear(); }
    // The block list or its active blocks changed as well.
    void forget_blocks() {
        forget();
        visits.clear();
        chunks.clear();
        planned_mod = -1;
    }
};

// Lists the active blocks and cuts them into chunks (runs of consecutive blocks in one square
// cell, about 256 cells per image and no cell smaller than a block) with their order
// constraints, unless the cache holds them for this mod. A block reads the winds of its pixels'
// four neighbours and writes its own pixels, so two chunks whose extents, widened by one pixel
// along lines or along columns, do not meet may be solved in either order. False when the
// chunks are too many to plan. affine(taille) tells whether a block takes the affine update.
bool plan_chunks(AffineSystemCache& cache, bloc* parcours, short mod, short nb_col, short nb_line,
                 bool (*affine)(short mod, short taille));

// One sweep over the planned chunks by the caller and any thread that joins through sharing:
// a chunk is taken once every earlier chunk it touches is done, the lowest-numbered ready chunk
// first; solve(chunk, nb, nc) solves one chunk, adding its visited and changed blocks. Each
// chunk's console text is kept and printed in list order at the end. Adds the counts to nb, nc.
void sweep_chunks(const AffineSystemCache& plan, WorkSharing* sharing,
                  const std::function<void(int chunk, long& nb, long& nc)>& solve, long& nb,
                  long& nc);

#endif
