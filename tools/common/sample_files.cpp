// The files of a sample folder written by make_layered_sample and read by compare_winds: their
// names, the writer of the whole folder, and headerless float32 files (4 bytes per sample, low
// byte first, row-major). Every writer and reader ends the run naming the file it cannot handle.
#include "sample_files.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "fail.h"
#include "image_import.h"
#include "io_field.h"

std::string sample_image_name(int layer, int k) {
    return "layer" + std::to_string(layer) + "_t" + std::to_string(k) + ".pgm";
}
std::string truth_wind_name(int layer, int step) {
    return "truth_layer" + std::to_string(layer) + "_step" + std::to_string(step) + ".xaf";
}
std::string truth_vertical_name(int k, int step) {
    return "truth_wvert" + std::to_string(k) + "_step" + std::to_string(step) + ".raw";
}

void write_raw_float(const std::string& path, const float* data, std::size_t n) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) fail("cannot create %s: %s", path.c_str(), std::strerror(errno));
    std::vector<unsigned char> bytes(4 * n);
    for (std::size_t k = 0; k < n; ++k) {
        uint32_t bits;
        std::memcpy(&bits, &data[k], 4);
        for (int b = 0; b < 4; ++b) bytes[4 * k + b] = (unsigned char)(bits >> (8 * b));
    }
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if ((std::fclose(f) != 0) || !ok) fail("cannot write %s", path.c_str());
}

void read_raw_float(const std::string& path, float* data, std::size_t n) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) fail("cannot open %s: %s", path.c_str(), std::strerror(errno));
    std::vector<unsigned char> bytes(4 * n + 1);
    const std::size_t got = std::fread(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    if (got != 4 * n)
        fail("%s holds %zu bytes, expected %zu (%zu float samples)", path.c_str(), got, 4 * n, n);
    for (std::size_t k = 0; k < n; ++k) {
        uint32_t bits = 0;
        for (int b = 0; b < 4; ++b) bits |= uint32_t(bytes[4 * k + b]) << (8 * b);
        std::memcpy(&data[k], &bits, 4);
    }
}

void write_layered_sample(const LayeredSample& s, const std::string& dir) {
    const int nc = s.settings.nb_col, nl = s.settings.nb_lig, L = s.settings.nb_layers;
    const int steps = s.settings.nb_samples - 1;
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) fail("cannot create folder %s: %s", dir.c_str(), ec.message().c_str());
    const std::string base = dir + "/";

    for (int l = 0; l < L; ++l)
        for (int k = 0; k <= steps; ++k) {
            const std::vector<short> image = layer_image(s, l, k);
            write_pgm10(base + sample_image_name(l, k), image.data(), nc, nl);
        }

    // Paths relative to the folder: the estimator runs from inside it.
    FILE* f = std::fopen((base + "inImage_3D.txt").c_str(), "w");
    if (!f) fail("cannot create %sinImage_3D.txt", base.c_str());
    for (int l = 0; l < L; ++l)
        for (int i = 0; i < steps; ++i)
            std::fprintf(f, "./%s\n./%s\n", sample_image_name(l, i).c_str(),
                         sample_image_name(l, i + 1).c_str());
    if (std::fclose(f) != 0) fail("cannot write %sinImage_3D.txt", base.c_str());

    f = std::fopen((base + "inDensity.txt").c_str(), "w");
    if (!f) fail("cannot create %sinDensity.txt", base.c_str());
    for (int l = 0; l < L; ++l) std::fprintf(f, "%f\n", double(s.rho[l + 1]));
    if (std::fclose(f) != 0) fail("cannot write %sinDensity.txt", base.c_str());

    // The winds are steady: every step gets the same truth, one file per step for the checker.
    const std::size_t n = std::size_t(nc) * nl;
    std::vector<float> u(n), v(n), w(n);
    for (int l = 0; l < L; ++l) {
        for (int i = 0; i < nl; ++i)
            for (int j = 0; j < nc; ++j) {
                double U, V, D;
                layer_wind_at(s.wind[l], j, i, &U, &V, &D);
                u[std::size_t(i) * nc + j] = float(U);
                v[std::size_t(i) * nc + j] = float(V);
            }
        for (int step = 0; step < steps; ++step) {
            const std::string name = base + truth_wind_name(l, step);
            short err = 0;
            write_field(name.c_str(), u.data(), v.data(), short(nc), short(nl), &err);
            if (err != 0) fail("cannot write %s", name.c_str());
        }
    }
    for (int k = 1; k < L; ++k) {
        for (int i = 0; i < nl; ++i)
            for (int j = 0; j < nc; ++j)
                w[std::size_t(i) * nc + j] = float(vertical_wind_at(s, k, j, i));
        for (int step = 0; step < steps; ++step)
            write_raw_float(base + truth_vertical_name(k, step), w.data(), n);
    }
}
