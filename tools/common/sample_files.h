// The files of a sample folder: the images and lists the estimator reads, the true winds that
// compare_winds checks its results against, and headerless float32 files.
#ifndef SAMPLE_FILES_H
#define SAMPLE_FILES_H

#include <cstddef>
#include <string>

#include "sample_model.h"

// File names inside a sample folder.
std::string sample_image_name(int layer, int k);   // layer<l>_t<k>.pgm
std::string truth_wind_name(int layer, int step);  // truth_layer<l>_step<i>.xaf
std::string truth_vertical_name(int k, int step);  // truth_wvert<k>_step<i>.raw

// Writes the whole sample into `dir` (created if missing): the 10-bit PGM images,
// inImage_3D.txt (per layer, per step: ./t image then ./t+dt image), inDensity.txt, the true
// horizontal winds as xaf files and the true vertical winds of interfaces 1 .. nb_layers - 1 as
// raw float files, one of each per time step.
void write_layered_sample(const LayeredSample& s, const std::string& dir);

// Headerless float32 little-endian samples. The reader fails (naming the file) unless the file
// holds exactly n samples.
void write_raw_float(const std::string& path, const float* data, std::size_t n);
void read_raw_float(const std::string& path, float* data, std::size_t n);

#endif
