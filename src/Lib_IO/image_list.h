// The image list of a run: a text file with one image path per line, grouped by layer (layer 0's
// 2 (nb_seq - 1) lines first: for each time step the image at t, then the image at t + dt). A line
// ends with LF or CR LF, a UTF-8 byte-order mark before the first path is dropped, and the lines
// after the ones the run needs are not read. The program and every tool read lists here.
#ifndef IMAGE_LIST_H
#define IMAGE_LIST_H

#include <string>
#include <vector>

struct ImageList {
    std::vector<std::string> paths;  // 2 (nb_seq - 1) nb_layers paths, layer-major
    std::string problem;             // empty when read; else why not, naming the list
};

// The first 2 (nb_seq - 1) nb_layers lines of the list `path`, each without its line end (every
// trailing CR and LF removed). Problems, in the order met: the list cannot be opened; line n
// (1-based) is empty; the list ends before enough lines (the counts are named). The caller
// reports the problem in its own way.
ImageList read_image_list(const std::string& path, int nb_seq, int nb_layers);

#endif
