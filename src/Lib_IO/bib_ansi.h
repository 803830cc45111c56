// Flat row-major image buffers (sample (i, j) at i * nb_col + j): fill, copy and conversion,
// line and column access with mirror padding, separable 1-D filters (mirrored borders), the
// 2-D correlation (replicated borders), decimation, bilinear warping, duplication to the finer
// level, and pyramid / path-table allocation. Destination first; nothing is kept between calls.
#ifndef BIB_ANSI_H
#define BIB_ANSI_H

// Fill and copy over nb_col x nb_line samples.
void Maz(short* a, short nb_col, short nb_line);
void Maz_f(float* a, short nb_col, short nb_line);
void MaVal_f(float* a, short nb_col, short nb_line, float val);
void Maz_Data_O(float* a, short nb_col, short nb_line);
void Copy_f(float* im1, float* im2, int nb_col, int nb_line);
void Copie_float(float* New, float* old, int nb_col, int nb_lig);
void Copy_sh2f(float* im1, short* im2, int nb_col, int nb_line);
void Float_to_short(float* fl_im, short* sh_im, short nb_col, short nb_lig);

// Padded line: n samples at positions 10 .. n + 9 of a buffer of at least n + 20, with 10 mirrored
// samples on each side: x[-d] = x[d], x[n - 1 + d] = x[n - 1 - d], reflected again until inside
// for lines shorter than 11 (a 1-sample line pads with its only sample).
void Get_line(short num, short* a, short* line, int nb_col, int nb_line);
void Get_line_float(short num, float* a, float* line, int nb_col, int nb_line);
void Set_line_float(short num, float* a, float* line, int nb_col, int nb_line);
void Get_col_float(short num, float* a, float* line, int nb_col, int nb_line);
void Set_col_float(short num, float* a, float* line, int nb_col, int nb_line);

// Separable correlations, any line length, with an odd number nb_colF of taps (tap n = nb_colF / 2
// is the centre) and mirrored borders: res = filtre[k + n] * x[p + k] + res in float for k = -n ..
// n. a may equal b.
void Filtre_H(float* a, short* b, float* filtre, short nb_colF, short nb_col, short nb_line);
void Filtre_H_f(float* a, float* b, float* filtre, short nb_colF, short nb_col, short nb_line);
void Filtre_V_f(float* a, float* b, float* filtre, short nb_colF, short nb_col, short nb_line);
// 2-D correlation, clamped borders, float after every addition; a must not alias b.
void Filtre_f_2D_f(float* a, float* b, float* filtre, short nb_ligF, short nb_colF, short nb_col,
                   short nb_line);

// Im_low (nb_c / fac x nb_l / fac) = samples (i fac, j fac) of Im_high.
void Decimation(short* Im_low, short* Im_high, short nb_c, short nb_l, short fac);
void Decimation_f(float* Im_low, float* Im_high, short nb_c, short nb_l, short fac);

// Bilinear warp of Im_fl_in by (u, v); 0 where the footprint leaves the image.
void Recal_fl(float* u, float* v, float* Im_fl_out, float* Im_fl_in, short nb_col, short nb_lig);
// I_high (2 nb_col x 2 nb_line) receives each coarse sample in its 2 x 2 block.
void Proj_Dup_fl(float* I_high, float* I_low, short nb_col, short nb_line);

// Slots Coarse down to Fine receive zero-filled calloc buffers of (nb_col >> Coarse) x
// (nb_line >> Coarse) samples doubled once per level below Coarse (release with free); the run ends
// naming the level if one cannot be allocated.
void Alloc_pyr_Im_fl(float** Im, short nb_col, short nb_line, short Coarse, short Fine);
void Alloc_pyr_Im_sh(short** Im, short nb_col, short nb_line, short Coarse, short Fine);
// nbLine rows of nbcolumn buffers of 500 characters, contents unset (release each buffer, each row
// and the table with delete[]).
char*** Alloc_char_multi_seq(short nbLine, short nbcolumn);

#endif
