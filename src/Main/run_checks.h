// Checks of the run settings against the input and the machine, made before any buffer of the
// run is allocated: the working size must fit 16-bit counts, the run's buffers must fit the
// memory this process can still use, and every density must be a positive decimal number.
#ifndef RUN_CHECKS_H
#define RUN_CHECKS_H

#include <cstdint>
#include <cstdio>
#include <string>

// Peak bytes of a run whose working size is nb_col x nb_lig (real size nb_col_reel x
// nb_lig_reel) with nb_layers layers and pyramid levels 0 .. Coarse_resol: per layer 43 float
// images of the working size (its fields, the scratch of its auxiliary fits, its finest images,
// density and vertical wind, the working copies of the loop) and one block per pixel at the
// finest grid level (160 bytes: the record and its two parameter vectors with the allocator's
// overhead); 16 float images shared by the layers (20 from three layers on); 10 bytes per
// sample of the real size; the coarser pyramid levels. The counts follow the run driver's buffers
// (checked against the measured peak of a run by the tests).
std::uint64_t run_memory_estimate(long nb_col, long nb_lig, long nb_col_reel, long nb_lig_reel,
                                  int nb_layers, int Coarse_resol);

// Bytes this process can still allocate: the smallest of the memory the system reports available
// (MemAvailable), the room left under the control group's limit, and the address-space and data
// limits (setrlimit). UINT64_MAX when none is known.
std::uint64_t available_memory();

// Ends the run through the error report, naming the option to change and the largest value that
// fits, when the working size of this image exceeds 32767 samples (-coarseGrid, or -coarseResol
// when even -coarseGrid 0 does not fit).
void check_working_size(short nb_col_reel, short nb_lig_reel, short Coarse_resol,
                        short Coarse_scale);

// Ends the run through the error report when the estimate exceeds `available` bytes, with the
// bytes needed and available and the largest -coarseGrid that fits, or else the settings to
// reduce (-nbLayers, a crop window).
void check_run_memory(short nb_col_reel, short nb_lig_reel, short nb_layers, short Coarse_resol,
                      short Coarse_scale, std::uint64_t available);

// The density of layer `layer` (0-based), the next blank-separated entry of the density file
// `path` (a UTF-8 byte-order mark at the start is skipped). Ends the run through the error report
// when the file holds no further entry, when the entry is not a decimal number (a decimal comma
// is pointed out), or when the number is not finite and positive.
float read_density(std::FILE* f, const char* path, int layer, int nb_layers);

#endif
