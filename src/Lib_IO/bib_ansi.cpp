// Flat row-major image buffers: fill, copy and rounding to short, mirror-padded line access, the
// separable 1-D filters (mirrored borders, no repeated edge sample) and the 2-D correlation
// (replicated borders), decimation, bilinear warping, duplication to the finer level, and the
// allocation of pyramids and path tables.
#include "bib_ansi.h"

#include "fail.h"
#include "filter_2d.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace {

// Samples in front of and behind a padded line.
constexpr int kPad = 10;

// Index of sample d of the mirror extension of an n-sample line (n >= 1): x[-d] = x[d] and
// x[n - 1 + d] = x[n - 1 - d], folded again until it lands inside, so any line length works.
int reflect(int d, int n) {
    if (n == 1) return 0;
    const int period = 2 * (n - 1);
    d %= period;
    if (d < 0) d += period;
    return d < n ? d : period - d;
}

// line[pad + d] = src[reflect(d) * stride] for d = -pad .. n + pad - 1.
template <typename In, typename Out>
void pad_line(Out* line, const In* src, int stride, int n, int pad) {
    if (n <= 0) return;
    for (int d = 0; d < n; ++d)
        line[pad + d] = static_cast<Out>(src[static_cast<long>(d) * stride]);
    for (int m = 1; m <= pad; ++m) {
        line[pad - m] = static_cast<Out>(src[static_cast<long>(reflect(-m, n)) * stride]);
        line[pad + n - 1 + m] =
            static_cast<Out>(src[static_cast<long>(reflect(n - 1 + m, n)) * stride]);
    }
}

// Correlates nb_lines lines of n samples with a kernel of taps 0 .. 2h (h = nb_taps / 2):
// res = filtre[k + h] * x[p + k] + res for k = -h .. h, a float running sum; the borders are
// mirrored. Sample s of line l is src[l * line_step + s * sample_step], likewise in dst. Each line
// is read whole before it is written, so dst may equal src.
template <typename In>
void filter_lines(float* dst, const In* src, const float* filtre, int nb_taps, int nb_lines, int n,
                  int line_step, int sample_step) {
    if (n <= 0 || nb_lines <= 0) return;
    const int h = nb_taps / 2;
    const int pad = std::max(kPad, h);
    std::vector<float> x(static_cast<std::size_t>(n) + 2 * pad);
    std::vector<float> out(static_cast<std::size_t>(n));
    for (int l = 0; l < nb_lines; ++l) {
        const long base = static_cast<long>(l) * line_step;
        pad_line(x.data(), src + base, sample_step, n, pad);
        for (int p = 0; p < n; ++p) {
            const float* c = x.data() + pad + p;
            float res = 0.0f;
            for (int k = -h; k <= h; ++k) res = filtre[k + h] * c[k] + res;
            out[p] = res;
        }
        for (int p = 0; p < n; ++p) dst[base + static_cast<long>(p) * sample_step] = out[p];
    }
}

template <typename T>
void decimate(T* low, const T* high, int nb_c, int nb_l, int fac) {
    const int nc = nb_c / fac, nl = nb_l / fac;
    for (int i = 0; i < nl; ++i) {
        const T* row = high + static_cast<long>(i) * fac * nb_c;
        for (int j = 0; j < nc; ++j) low[static_cast<long>(i) * nc + j] = row[j * fac];
    }
}

// Slots Coarse down to Fine: calloc'ed levels of (nb_col >> Coarse) x (nb_line >> Coarse) samples
// doubled per level, each cleared again by `clear` (Maz or Maz_f) on its level size.
template <typename T>
void alloc_pyramid(T** Im, short nb_col, short nb_line, short Coarse, short Fine,
                   void (*clear)(T*, short, short)) {
    long cols = nb_col >> Coarse, rows = nb_line >> Coarse;
    for (int level = Coarse; level >= Fine; --level) {
        const long n = cols * rows;
        T* p = static_cast<T*>(std::calloc(n > 0 ? n : 1, sizeof(T)));
        if (!p) fail("cannot allocate pyramid level %d (%ld x %ld samples)", level, cols, rows);
        Im[level] = p;
        clear(p, static_cast<short>(cols), static_cast<short>(rows));
        cols *= 2;
        rows *= 2;
    }
}

long count(int nb_col, int nb_line) {
    return static_cast<long>(nb_col) * nb_line;
}

}  // namespace

void Maz(short* a, short nb_col, short nb_line) {
    for (long k = 0, n = count(nb_col, nb_line); k < n; ++k) a[k] = 0;
}

void Maz_f(float* a, short nb_col, short nb_line) {
    MaVal_f(a, nb_col, nb_line, 0.0f);
}

void MaVal_f(float* a, short nb_col, short nb_line, float val) {
    for (long k = 0, n = count(nb_col, nb_line); k < n; ++k) a[k] = val;
}

void Maz_Data_O(float* a, short nb_col, short nb_line) {
    MaVal_f(a, nb_col, nb_line, 1.0f);
}

void Copy_f(float* im1, float* im2, int nb_col, int nb_line) {
    for (long k = 0, n = count(nb_col, nb_line); k < n; ++k) im1[k] = im2[k];
}

void Copie_float(float* New, float* old, int nb_col, int nb_lig) {
    Copy_f(New, old, nb_col, nb_lig);
}

void Copy_sh2f(float* im1, short* im2, int nb_col, int nb_line) {
    for (long k = 0, n = count(nb_col, nb_line); k < n; ++k) im1[k] = im2[k];
}

// x +/- 0.5 in double, truncated toward zero: halves go away from zero, a float is rounded
// exactly. Values beyond the short range saturate; NaN gives 0.
void Float_to_short(float* fl_im, short* sh_im, short nb_col, short nb_lig) {
    for (long k = 0, n = count(nb_col, nb_lig); k < n; ++k) {
        const double x = fl_im[k];
        double r = std::trunc(x < 0 ? x - 0.5 : x + 0.5);
        if (r > 32767.0) r = 32767.0;
        if (r < -32768.0) r = -32768.0;
        sh_im[k] = std::isnan(r) ? 0 : static_cast<short>(r);
    }
}

void Get_line(short num, short* a, short* line, int nb_col, int /*nb_line*/) {
    pad_line(line, a + static_cast<long>(num) * nb_col, 1, nb_col, kPad);
}

void Get_line_float(short num, float* a, float* line, int nb_col, int /*nb_line*/) {
    pad_line(line, a + static_cast<long>(num) * nb_col, 1, nb_col, kPad);
}

void Set_line_float(short num, float* a, float* line, int nb_col, int /*nb_line*/) {
    float* dst = a + static_cast<long>(num) * nb_col;
    for (int j = 0; j < nb_col; ++j) dst[j] = line[kPad + j];
}

void Get_col_float(short num, float* a, float* line, int nb_col, int nb_line) {
    pad_line(line, a + num, nb_col, nb_line, kPad);
}

void Set_col_float(short num, float* a, float* line, int nb_col, int nb_line) {
    for (int i = 0; i < nb_line; ++i) a[static_cast<long>(i) * nb_col + num] = line[kPad + i];
}

void Filtre_H(float* a, short* b, float* filtre, short nb_colF, short nb_col, short nb_line) {
    filter_lines(a, b, filtre, nb_colF, nb_line, nb_col, nb_col, 1);
}

void Filtre_H_f(float* a, float* b, float* filtre, short nb_colF, short nb_col, short nb_line) {
    filter_lines(a, b, filtre, nb_colF, nb_line, nb_col, nb_col, 1);
}

void Filtre_V_f(float* a, float* b, float* filtre, short nb_colF, short nb_col, short nb_line) {
    filter_lines(a, b, filtre, nb_colF, nb_col, nb_line, 1, nb_col);
}

// a(i, j) = sum over k = -n .. n (outer), l = -m .. m (inner) of b(r, c) * filtre(k + n, l + m),
// r and c clamped into the image, the float total rounded after each addition. Odd mask sizes.
void Filtre_f_2D_f(float* a, float* b, float* filtre, short nb_ligF, short nb_colF, short nb_col,
                   short nb_line) {
    filter_2d_clamped(a, b, filtre, nb_ligF, nb_colF, nb_col, nb_line, 0, nb_line);
}

void Decimation(short* Im_low, short* Im_high, short nb_c, short nb_l, short fac) {
    decimate(Im_low, Im_high, nb_c, nb_l, fac);
}

void Decimation_f(float* Im_low, float* Im_high, short nb_c, short nb_l, short fac) {
    decimate(Im_low, Im_high, nb_c, nb_l, fac);
}

// Base point (i + trunc v, j + trunc u) clamped into the image (its fraction then dropped); the
// neighbours lie one step in the direction of the displacement (a zero one counts as negative).
// Weights (1 - Du)(1 - Dv), Du(1 - Dv), (1 - Du)Dv, DuDv are floats; the four products are summed
// in double and rounded once. 0 where a neighbour leaves the image, or for a NaN displacement.
void Recal_fl(float* u, float* v, float* Im_fl_out, float* Im_fl_in, short nb_col, short nb_lig) {
    for (int i = 0; i < nb_lig; ++i) {
        for (int j = 0; j < nb_col; ++j) {
            const long k = static_cast<long>(i) * nb_col + j;
            const float U = u[k], V = v[k];
            Im_fl_out[k] = 0.0f;
            if (std::isnan(U) || std::isnan(V)) continue;
            const int inc_j = U > 0 ? 1 : -1, inc_i = V > 0 ? 1 : -1;
            float tu = std::trunc(U), tv = std::trunc(V);
            float Du = std::fabs(U) - std::fabs(tu), Dv = std::fabs(V) - std::fabs(tv);
            if (j + double(tu) < 0) tu = float(-j), Du = 0.0f;
            if (j + double(tu) > nb_col - 1) tu = float(nb_col - 1 - j), Du = 0.0f;
            if (i + double(tv) < 0) tv = float(-i), Dv = 0.0f;
            if (i + double(tv) > nb_lig - 1) tv = float(nb_lig - 1 - i), Dv = 0.0f;
            const int c0 = j + static_cast<int>(tu), r0 = i + static_cast<int>(tv);
            const int c1 = c0 + inc_j, r1 = r0 + inc_i;
            if (c1 < 0 || c1 > nb_col - 1 || r1 < 0 || r1 > nb_lig - 1) continue;
            const float p00 = (1.0f - Du) * (1.0f - Dv), p01 = Du * (1.0f - Dv);
            const float p10 = (1.0f - Du) * Dv, p11 = Du * Dv;
            const float* row0 = Im_fl_in + static_cast<long>(r0) * nb_col;
            const float* row1 = Im_fl_in + static_cast<long>(r1) * nb_col;
            const double s = double(p00) * row0[c0] + double(p01) * row0[c1] +
                             double(p10) * row1[c0] + double(p11) * row1[c1];
            Im_fl_out[k] = static_cast<float>(s);
        }
    }
}

void Proj_Dup_fl(float* I_high, float* I_low, short nb_col, short nb_line) {
    const long w = 2L * nb_col;
    for (int i = 0; i < nb_line; ++i) {
        for (int j = 0; j < nb_col; ++j) {
            const float x = I_low[static_cast<long>(i) * nb_col + j];
            float* top = I_high + 2L * i * w + 2L * j;
            top[0] = top[1] = top[w] = top[w + 1] = x;
        }
    }
}

void Alloc_pyr_Im_fl(float** Im, short nb_col, short nb_line, short Coarse, short Fine) {
    alloc_pyramid(Im, nb_col, nb_line, Coarse, Fine, Maz_f);
}

void Alloc_pyr_Im_sh(short** Im, short nb_col, short nb_line, short Coarse, short Fine) {
    alloc_pyramid(Im, nb_col, nb_line, Coarse, Fine, Maz);
}

char*** Alloc_char_multi_seq(short nbLine, short nbcolumn) {
    char*** table = new char**[nbLine];
    for (int i = 0; i < nbLine; ++i) {
        table[i] = new char*[nbcolumn];
        for (int j = 0; j < nbcolumn; ++j) table[i][j] = new char[500];
    }
    return table;
}
