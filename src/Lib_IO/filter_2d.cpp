// Clamped-border 2-D correlation: border columns clamp each tap, inner columns read straight
// from the (clamped) mask lines. The 3 x 3 and 5 x 5 masks get unrolled versions.
#include "filter_2d.h"

#include <algorithm>
#include <vector>

namespace {

// Output sample at column j with every column index clamped.
inline float border_sample(const float* const* rows, const float* filtre, int nb_ligF, int nb_colF,
                           int j, int nb_col) {
    const int m = nb_colF / 2;
    float acc = 0.0f;
    for (int k = 0; k < nb_ligF; ++k) {
        const float* row = rows[k];
        const float* taps = filtre + k * nb_colF;
        for (int l = 0; l < nb_colF; ++l)
            acc = row[std::clamp(j + l - m, 0, nb_col - 1)] * taps[l] + acc;
    }
    return acc;
}

template <int NL, int NC>
void filter_fixed(float* a, const float* b, const float* filtre, int nb_col, int nb_line, int first,
                  int end) {
    constexpr int n = NL / 2, m = NC / 2;
    float taps[NL * NC];
    for (int t = 0; t < NL * NC; ++t) taps[t] = filtre[t];
    const int lo = std::min(m, nb_col);
    const int hi = std::max(lo, nb_col - m);
    for (int i = first; i < end; ++i) {
        const float* rows[NL];
        for (int k = 0; k < NL; ++k)
            rows[k] = b + static_cast<long>(std::clamp(i + k - n, 0, nb_line - 1)) * nb_col - m;
        float* __restrict out = a + static_cast<long>(i) * nb_col;
        for (int j = lo; j < hi; ++j) {
            float acc = 0.0f;
            for (int k = 0; k < NL; ++k)
                for (int l = 0; l < NC; ++l) acc = rows[k][j + l] * taps[k * NC + l] + acc;
            out[j] = acc;
        }
        for (int k = 0; k < NL; ++k) rows[k] += m;
        for (int j = 0; j < lo; ++j) out[j] = border_sample(rows, taps, NL, NC, j, nb_col);
        for (int j = hi; j < nb_col; ++j) out[j] = border_sample(rows, taps, NL, NC, j, nb_col);
    }
}

void filter_any(float* a, const float* b, const float* filtre, int nb_ligF, int nb_colF, int nb_col,
                int nb_line, int first, int end) {
    const int n = nb_ligF / 2, m = nb_colF / 2;
    const int lo = std::min(m, nb_col);
    const int hi = std::max(lo, nb_col - m);
    std::vector<const float*> rows(static_cast<std::size_t>(nb_ligF));
    for (int i = first; i < end; ++i) {
        for (int k = 0; k < nb_ligF; ++k)
            rows[k] = b + static_cast<long>(std::clamp(i + k - n, 0, nb_line - 1)) * nb_col;
        float* out = a + static_cast<long>(i) * nb_col;
        for (int j = lo; j < hi; ++j) {
            float acc = 0.0f;
            for (int k = 0; k < nb_ligF; ++k) {
                const float* row = rows[k] + j - m;
                const float* taps = filtre + k * nb_colF;
                for (int l = 0; l < nb_colF; ++l) acc = row[l] * taps[l] + acc;
            }
            out[j] = acc;
        }
        for (int j = 0; j < lo; ++j)
            out[j] = border_sample(rows.data(), filtre, nb_ligF, nb_colF, j, nb_col);
        for (int j = hi; j < nb_col; ++j)
            out[j] = border_sample(rows.data(), filtre, nb_ligF, nb_colF, j, nb_col);
    }
}

}  // namespace

void filter_2d_clamped(float* a, const float* b, const float* filtre, int nb_ligF, int nb_colF,
                       int nb_col, int nb_line, int first, int end) {
    if (nb_col <= 0 || nb_line <= 0 || first >= end) return;
    if (nb_ligF == 5 && nb_colF == 5)
        filter_fixed<5, 5>(a, b, filtre, nb_col, nb_line, first, end);
    else if (nb_ligF == 3 && nb_colF == 3)
        filter_fixed<3, 3>(a, b, filtre, nb_col, nb_line, first, end);
    else
        filter_any(a, b, filtre, nb_ligF, nb_colF, nb_col, nb_line, first, end);
}
