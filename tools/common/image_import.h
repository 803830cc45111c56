// Grey images from other sources (PNG, netpbm PGM, raw float32, NetCDF variables) as double
// samples with NaN where the source holds no value, their linear scaling onto the estimator's
// grey levels 0..1021, and the writer of the estimator's 10-bit PGM layout. Every reader ends
// the run with a one-line message naming the file (and the variable) when it cannot deliver.
#ifndef IMAGE_IMPORT_H
#define IMAGE_IMPORT_H

#include <cstddef>
#include <string>
#include <vector>

struct GreyImage {
    int nb_col = 0, nb_lig = 0;
    std::vector<double> data;  // row-major, line 0 on top; NaN = missing
};

enum class ImageKind { png, pgm, netcdf, unknown };
// From the first bytes: the PNG signature, "P5", "CDF" followed by 1, 2 or 5, or the HDF5
// signature (netCDF-4).
ImageKind sniff_image_kind(const std::string& path);

// 1- to 16-bit PNG; palette and colour images become the luminance
// 0.2126 R + 0.7152 G + 0.0722 B of their stored values; alpha is ignored.
GreyImage read_png_grey(const std::string& path);
// Binary PGM "P5" with comments anywhere in the header; maximum 1..255 one byte per sample,
// 256..65535 two bytes, high byte first as netpbm writes them (low byte first with
// low_byte_first, the estimator's own layout). A sample above the maximum is an error.
GreyImage read_pgm_grey(const std::string& path, bool low_byte_first);
// nb_col x nb_lig float32 samples, low byte first, row-major, no header; the file must hold
// exactly that many. Infinities are missing values too.
GreyImage read_raw_float32(const std::string& path, int nb_col, int nb_lig);

// A numeric NetCDF variable of 2 dimensions (lines, columns), or of 3 or more whose first
// dimension is time, its last two lines and columns and any between of length 1. The time
// slice `slice` of the first dimension is read (a 2-D variable has the single slice 0).
// Missing: NaN, _FillValue (the type's default fill when absent, except for bytes),
// missing_value, values outside valid_range / valid_min / valid_max; the others become
// raw * scale_factor + add_offset.
GreyImage read_netcdf_grey(const std::string& path, const std::string& var, int slice);
// Slices of the variable: the length of its first dimension, 1 for a 2-D variable.
int netcdf_slice_count(const std::string& path, const std::string& var);

// Smallest and largest finite sample; false when there is none.
bool finite_range(const double* data, std::size_t n, double* lo, double* hi);
// out[k] = round(1021 (in[k] - lo) / (hi - lo)), clamped to 0..1021, with the number of
// samples outside [lo, hi] through `clipped`; hi <= lo maps values up to lo to 0 and the rest
// to 1021. NaN samples take the smallest level of the others (0 when all are NaN), so that they
// neither stretch nor squeeze the range of the valid ones; returns their number.
std::size_t scale_to_10bit(short* out, const double* in, std::size_t n, double lo, double hi,
                           std::size_t* clipped);
// "P5\n<columns> <lines>\n1023\n", then two bytes per sample, low byte first.
void write_pgm10(const std::string& path, const short* image, int nb_col, int nb_lig);

// The mask beside an image NAME.pgm: NAME_mask.pgm in the same folder (an image whose name does
// not end in ".pgm" gets "_mask.pgm" appended).
std::string mask_path(const std::string& image_path);
// The mask of an image: "P5\n<columns> <lines>\n1\n", then one byte per sample, 1 where the
// sample is valid, 0 where it is NaN (missing).
void write_mask(const std::string& path, const double* image, int nb_col, int nb_lig);

#endif
