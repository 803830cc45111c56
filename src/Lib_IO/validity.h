// Per-pixel validity of the data term: which samples of an image are known (inside the real
// image, not masked), how the unknown ones are filled so that they carry no information of their
// own (edge replication into the padded frame, onion-peel filling of masked holes), the validity
// of a coarser pyramid level, the validity of a pixel whose t + dt sample is read at a warped
// position, and the mask files that say which samples are known. A validity image holds one byte
// per sample, 1 = valid, 0 = not; row-major like every image.
#ifndef VALIDITY_H
#define VALIDITY_H

#include <string>

#include "operations_images.h"  // read_mask_pgm

// im_sortie (nb_col x nb_lig) = ima_entree (nb_reel_col x nb_reel_lig) in its top-left corner,
// extended to the right and downwards by its edge samples: im_sortie(i, j) =
// ima_entree(min(i, nb_reel_lig - 1), min(j, nb_reel_col - 1)).
void expand_ima_replicate(short* im_sortie, const short* ima_entree, short nb_reel_col,
                          short nb_reel_lig, short nb_col, short nb_lig);
void expand_ima_replicate_f(float* im_sortie, const float* ima_entree, short nb_reel_col,
                            short nb_reel_lig, short nb_col, short nb_lig);

// Onion-peel filling: every sample with valid = 0 gets, ring after ring from the valid ones, the
// mean (rounded to the nearest integer, halves away from zero) of those of its four neighbours
// that were valid or filled in an earlier ring. The result depends on the valid samples only.
// Samples that no ring reaches (no valid sample at all) are set to 0.
void fill_invalid(short* im, const unsigned char* valid, short nb_col, short nb_lig);

// coarse (nb_col / 2 x nb_lig / 2) = the validity one pyramid level up: a coarse sample is valid
// when every fine sample that the 5-tap low-pass reads for it (lines 2i - 2 .. 2i + 2, columns
// 2j - 2 .. 2j + 2, those inside the image) is valid. nb_col, nb_lig: the fine size.
void reduce_validity(unsigned char* coarse, const unsigned char* fine, short nb_col, short nb_lig);

// Validity of the data term of a pixel whose t + dt sample is read at line i + V, column j + U
// by the warp: valid(i, j) = valid_t(i, j) and every sample of the warp's 2 x 2 footprint (lines
// i + trunc(V) and that + 1 if V > 0, else - 1; columns likewise with U, the second line or
// column taken even when the fraction is 0, as the warp does) lies inside the image and is valid
// in valid_tdt. With outside_counts set, a footprint sample outside the nb_col x nb_lig frame
// does not make the pixel invalid (the warp reads 0 there). A NaN displacement: invalid.
void warped_validity(unsigned char* valid, const float* U, const float* V,
                     const unsigned char* valid_t, const unsigned char* valid_tdt, short nb_col,
                     short nb_lig, bool outside_counts);

// Data_out(k) = 0 where valid(k) = 0, unchanged elsewhere, over n samples.
void drop_invalid_weights(float* Data_out, const unsigned char* valid, long n);

// The mask file of an image: "NAME_mask.pgm" for "NAME.pgm", "NAME_mask.pgm" for any other NAME.
std::string mask_file_name(const std::string& image_name);

// Writes a validity image as a binary PGM of maximum 1 (one byte per sample, 0 or 1); a file
// that cannot be written ends the run with a message naming it.
void write_validity_pgm(const char* nom, const unsigned char* valid, short nb_col, short nb_lig);

#endif
