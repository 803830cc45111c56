// Hand-worked cases of one relaxation pass (a forward raster sweep, then a backward one) with
// given link weights, shared by the auxiliary fits and the vertical wind: each pixel p is pulled
// towards a target t_p with weight 1 and linked to its neighbours with the weights w of its
// records, so an update sets x_p = (t_p + sum w x_q) / (1 + sum w). The cases sit where the
// sweeps work in bands of 16 lines: lines 14 to 17 and 31 to 33, the last line and column
// (whose missing neighbour is the pixel itself) and the first line and column (no link above or
// to the left).
#ifndef BAND_CASES_H
#define BAND_CASES_H

#include <algorithm>
#include <vector>

#include "types_4v_V1.h"

namespace bandcase {

// Widths around the band height and odd ones; heights 15, 16, 17, 18 and two bands and more.
const int kSizes[][2] = {{1, 1},  {1, 17},  {2, 16},  {3, 15},  {5, 16},  {4, 17},
                         {7, 18}, {17, 18}, {16, 17}, {19, 33}, {21, 34}, {33, 15}};

struct Pass {
    int nc, nl;
    std::vector<Line_Process> links;
    std::vector<float> target, start, expected;
    int changed = 0;  // updates that moved a value by 0.001 or more

    Pass(int c, int l)
        : nc(c),
          nl(l),
          links(c * l, {0.0f, 0.0f}),
          target(c * l, 0.0f),
          start(c * l, 0.0f),
          expected(c * l, 0.0f) {}
    int at(int i, int j) const { return i * nc + j; }
};

// Every link weighs 0: each update lands on its target, 0.5 (k + 1) for pixel k, from -7.
inline Pass unlinked(int nc, int nl) {
    Pass p(nc, nl);
    for (int k = 0; k < nc * nl; ++k) {
        p.target[k] = 0.5f * (k + 1);
        p.start[k] = -7.0f;
        p.expected[k] = p.target[k];
    }
    p.changed = nc * nl;
    return p;
}

// Links of weight 1 on chosen pixels only, everything else at 0 and pulled to 0, for images of
// at least 4 x 4:
//  - pairs A (line L) - B (line L + 1) linked by A's downward link, A pulled to 2 and B to 4:
//    forward A = (0 + 2) / 2 = 1, B = (1 + 4) / 2 = 2.5; backward B stays, A = (2.5 + 2) / 2;
//  - the last line's and the last column's own links point at the pixel itself: a pixel there
//    pulled to 2 goes to (0 + 2) / 2 = 1, then (1 + 2) / 2 = 1.5; the corner, linked twice to
//    itself, to 2 / 3, then (2 (2 / 3) + 2) / 3;
//  - a pixel of line 0 and one of column 0 pulled to 2 reach 2 at once: nothing links them to
//    the last line or the last column, whose links all weigh 1.
inline Pass linked(int nc, int nl) {
    Pass p(nc, nl);
    for (int j = 0; j < nc; ++j) p.links[p.at(nl - 1, j)].Disc_h = 1.0f;
    for (int i = 0; i < nl; ++i) p.links[p.at(i, nc - 1)].Disc_v = 1.0f;
    auto pull = [&](int k, float t, float x) {
        p.target[k] = t;
        p.expected[k] = x;
    };
    std::vector<int> lines;
    for (int L : {14, 15, 16, 31, 32, nl - 3})
        if (L >= 3 && L + 1 <= nl - 2 && std::find(lines.begin(), lines.end(), L) == lines.end())
            lines.push_back(L);
    for (int L : lines) {
        const int c = L % (nc - 1), A = p.at(L, c), B = p.at(L + 1, c);
        p.links[A].Disc_h = 1.0f;
        pull(A, 2.0f, 2.25f);
        pull(B, 4.0f, 2.5f);
        p.changed += 3;
    }
    pull(p.at(nl - 1, 1), 2.0f, 1.5f);
    pull(p.at(1, nc - 1), 2.0f, 1.5f);
    pull(p.at(nl - 1, nc - 1), 2.0f, (2.0f * (2.0f / 3.0f) + 2.0f) / 3.0f);
    pull(p.at(0, 2), 2.0f, 2.0f);
    pull(p.at(2, 0), 2.0f, 2.0f);
    p.changed += 2 + 2 + 2 + 1 + 1;
    return p;
}

}  // namespace bandcase

#endif
