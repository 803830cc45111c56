// Pointwise arithmetic, zero-padding expansion and the working-size rule, field derivatives
// (divergence, 2-D filtering, exponential), the div-curl auxiliary estimation, the PGM readers,
// the text table writer and the crop of a field back to its real size.
#ifndef OPERATIONS_IMAGES_H
#define OPERATIONS_IMAGES_H

#include "auxiliary_fit.h"

// Pointwise, over nb_col x nb_line samples; the destination may alias any source.
void Norm_f(float* a, float* b, float coef_norm, short nb_col, short nb_line);
void MultScal_f(float* a, float* b, float c, short nb_col, short nb_line);
void Mult_f(float* a, float* b, float* c, short nb_col, short nb_line);
void Plus_fl(float* a, float* b, float* c, short nb_col, short nb_line);
void Sub_fSh(float* a, float* b, short* c, short nb_col, short nb_line);

void expand_ima(short* ima_entree, short* im_sortie, short nb_reel_col, short nb_reel_lig,
                short nb_col, short nb_lig);
void expand_ima_f(float* ima_entree, float* im_sortie, short nb_reel_col, short nb_reel_lig,
                  short nb_col, short nb_lig);
void Modif_Taille_Image_2(short nb_col, short nb_lig, short resol, short scale, short* nouv_nb_col,
                          short* nouv_nb_lig);

void Div_Vie(float* im_div, float* U, float* V, short nc_resol_K, short nl_resol_K);
// The observations of a layer's auxiliary fields: the undivided central differences of the wind
// W = (U + u, V + v), div = [Wx(i, j+1) - Wx(i, j-1)] + [Wy(i+1, j) - Wy(i-1, j)] and
// curl = [Wy(i, j+1) - Wy(i, j-1)] - [Wx(i+1, j) - Wx(i-1, j)], 0 on the outer frame; and the
// robust fits of the auxiliary fields Estim and Estim_rot to them (auxiliary_fit.h).
void Div_Estim(float* im_div, float* U, float* V, float* u, float* v, short nb_col, short nb_line);
void Curl_Estim(float* im_curl, float* U, float* V, float* u, float* v, short nb_col,
                short nb_line);
void Calcul_Estim_Div_Curl(float* im_div, float* im_curl, float* U, float* V, float* u, float* v,
                           short nb_col, short nb_lig);
void Estim_Regulees_Rob(float* Estim, float* Estim_rot, float* U, float* V, float* u, float* v,
                        short nc_resol_K, short nl_resol_K, float coef_regul, float lambda,
                        float sigma_es);
// Estim_Regulees_Rob in the caller's work memory, kept between calls: Estim_rot fitted to the
// vorticity of the wind (U + u, V + v) in at most 200 passes, then Estim to its divergence in
// at most 2, data weight 1. With sharing, idle threads may join the passes (the same bytes).
void fit_auxiliary_fields(float* Estim, float* Estim_rot, float* U, float* V, float* u, float* v,
                          short nc, short nl, float coef_regul, float sigma_es,
                          AuxiliaryFitScratch& s, WorkSharing* sharing = nullptr,
                          FitPrecision precision = FitPrecision::Double);

void Filtre_2D_f_th(float* a, float* b, float* filtre, short nb_ligF, short nb_colF, short nb_col,
                    short nb_line);
void Exp_image(float* a, float* b, short nb_col, short nb_line);
void ajust_field(float* Ularge, float* Vlarge, float* U, float* V, short nb_col_large, short nb_col,
                 short nb_lig);

// PGM "P5" readers, maximum 255 (one byte) or 1023 (two bytes, low byte first); comment lines
// after the magic line, size line and maximum-value line each on a line of their own. A file that
// cannot be opened ends the run with the three-line error report, another maximum with "Can't read
// images ... resolution problem ..." on standard output; a malformed header, a size outside
// 1 .. 32767, a short file, a two-byte sample above 1023 or a window outside the image with a
// one-line message naming the file. All exit with status 1.
void entete_pgm(const char* nom, short* nb_col, short* nb_lig);
void read_pgm(const char* nom, short* image, short* nb_col, short* nb_lig);
void read_crop_pgm(const char* nom, short* image, short dCol, short dLig, short ofx, short ofy);
// A mask: a "P5" file of maximum 1 .. 255 (one byte per sample), nonzero = valid. valid (dCol x
// dLig) receives 1 or 0 for the window of that size at column ofx, line ofy; with whole set the
// mask must be exactly dCol x dLig. A missing file, another maximum, a short file, another size
// or a window that does not fit ends the run with a one-line message naming the file (status 1).
void read_mask_pgm(const char* nom, unsigned char* valid, short dCol, short dLig, short ofx,
                   short ofy, bool whole);

// Text table: "nb_col nb_lig", a title line, then "i\tj\tU\tV" per sample (%f), lines outer.
void write_champ(float* U, float* V, short nb_col, short nb_lig, const char* nom);

#endif
