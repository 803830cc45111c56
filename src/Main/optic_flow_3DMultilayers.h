// The run driver: the general error report, the adapters between two-plane CImg motion images
// and the xaf codec, the raw float and text-matrix writers of a vertical wind, and the whole
// run (options, input assembly, coarse-to-fine estimation, results).
#ifndef OPTIC_FLOW_3DMULTILAYERS_H
#define OPTIC_FLOW_3DMULTILAYERS_H

#include "cimg_config.h"

// Banner line, message, closing line on standard output; exit status 1.
[[noreturn]] void error(const char* message);

// Plane 0 of im is the first (column) component, plane 1 the second (line) component.
void write_XAmotionH(const char* fileXafOut, const cimg_library::CImg<float>& im);
// The same file from the two planes as row-major dx x dy buffers.
void write_motion_planes(const char* fileXafOut, float* u, float* v, short dx, short dy);
cimg_library::CImg<float> lire_XAmotionH(const char* filename, int dx, int dy, int ofx, int ofy,
                                         int Dx, int Dy);
// First plane, row-major, little-endian float32, no header.
void write_rawF(const cimg_library::CImg<float>& im, const char* filename);
// First plane as a blank-separated text matrix, six significant digits.
void Cree_fichier_image(const char* nom_image, const cimg_library::CImg<float>& im);

// The whole program; returns the exit status.
int optic_flow_3DMultilayers(int argc, char** argv);

#endif
