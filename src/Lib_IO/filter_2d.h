// The 2-D correlation with clamped borders (the one of Filtre_f_2D_f) over a range of output
// lines, so that callers can split an image between threads. Inner columns run without any
// clamping and are vectorised across columns; each output sample still sums its taps in the
// same order (mask line outer, mask column inner, the float total rounded after each
// addition), so every range split gives the same bits as the whole-image filter.
#ifndef FILTER_2D_H
#define FILTER_2D_H

// a(i, j) for lines first .. end - 1: sum over k = -n .. n, l = -m .. m of
// b(clamp(i + k), clamp(j + l)) * filtre((k + n) nb_colF + l + m), n = nb_ligF / 2,
// m = nb_colF / 2. a must not overlap b.
void filter_2d_clamped(float* a, const float* b, const float* filtre, int nb_ligF, int nb_colF,
                       int nb_col, int nb_line, int first, int end);

#endif
