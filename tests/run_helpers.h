// Helpers of the end-to-end tests: scratch folders removed at exit, 10-bit PGM writing, running the
// program (or a tool) in a folder and capturing its status, standard output and error.
#ifndef RUN_HELPERS_H
#define RUN_HELPERS_H

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace testrun {

struct Result {
    int status = -1;
    std::string out, err;
};

inline std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// The test process's own folder under the system temp directory, removed with everything in it
// when the process ends (not by forked children such as death tests).
inline const std::string& scratch_root() {
    namespace fs = std::filesystem;
    static const struct Root {
        pid_t owner = getpid();
        std::string path =
            (fs::temp_directory_path() / ("of3d_test_" + std::to_string(getpid()))).string();
        Root() {
            fs::remove_all(path);
            fs::create_directories(path);
        }
        ~Root() {
            std::error_code ignored;
            if (getpid() == owner) fs::remove_all(path, ignored);
        }
    } root;
    return root.path;
}

// A fresh empty folder `name` in the process's scratch folder.
inline std::string scratch_dir(const std::string& name) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::path(scratch_root()) / name;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir.string();
}

// Runs `program args` inside `dir`, standard input closed.
inline Result run_in(const std::string& dir, const std::string& program, const std::string& args) {
    const std::string out = dir + "/.stdout", err = dir + "/.stderr";
    const std::string cmd = "cd '" + dir + "' && '" + program + "' " + args + " >'" + out +
                            "' 2>'" + err + "' </dev/null";
    Result r;
    const int raw = std::system(cmd.c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
}

inline std::string program_path() {
    return std::string(OF3D_BIN_DIR) + "/optic_flow_3DMultilayers";
}

// 10-bit PGM in the program's layout: two bytes per sample, low byte first.
inline void write_pgm10(const std::string& path, int nc, int nl, const std::vector<int>& s) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fprintf(f, "P5\n%d %d\n1023\n", nc, nl);
    for (int v : s) {
        std::fputc(v & 0xFF, f);
        std::fputc((v >> 8) & 0xFF, f);
    }
    std::fclose(f);
}

// Samples of a smooth texture f(x, y) rounded to integers, x along columns, y along lines.
inline std::vector<int> render(int nc, int nl, const std::function<double(double, double)>& f) {
    std::vector<int> s(static_cast<std::size_t>(nc) * nl);
    for (int y = 0; y < nl; ++y)
        for (int x = 0; x < nc; ++x) {
            const long v = std::lround(f(x, y));
            s[static_cast<std::size_t>(y) * nc + x] = static_cast<int>(v < 0      ? 0
                                                                       : v > 1000 ? 1000
                                                                                  : v);
        }
    return s;
}

inline double texture(double x, double y, int layer) {
    const double p = 0.7 * layer;
    return 500 + 150 * std::sin(2 * M_PI * x / 23 + p) + 150 * std::sin(2 * M_PI * y / 19 - p) +
           80 * std::sin(2 * M_PI * (x + y) / 13 + 2 * p);
}

// Writes a layered sequence of nb_seq samples per layer, each sample the texture translated by
// (dx, dy) pixels per step, plus the image list and the densities 1.0, 0.8, 0.6, ...
inline void write_translation_sequence(const std::string& dir, int nc, int nl, int nb_layers,
                                       int nb_seq, double dx, double dy) {
    std::ofstream list(dir + "/inImage_3D.txt");
    std::ofstream dens(dir + "/inDensity.txt");
    for (int l = 0; l < nb_layers; ++l) {
        for (int t = 0; t < nb_seq; ++t) {
            const std::string name = "L" + std::to_string(l) + "_t" + std::to_string(t) + ".pgm";
            write_pgm10(dir + "/" + name, nc, nl, render(nc, nl, [&](double x, double y) {
                            return texture(x - t * dx, y - t * dy, l);
                        }));
        }
        for (int t = 0; t + 1 < nb_seq; ++t)
            list << "./L" << l << "_t" << t << ".pgm\n./L" << l << "_t" << t + 1 << ".pgm\n";
        dens << 1.0 - 0.2 * l << "\n";
    }
}

// Writes a layered sequence where each layer moves by its own shear flow: the sample at time t is
// the texture at (x - t (a + b (y - cy)), y - t (c + d (x - cx))), so every layer has a different
// divergence-free, rotational wind (pixels per step).
inline void write_shear_sequence(const std::string& dir, int nc, int nl, int nb_layers,
                                 int nb_seq) {
    std::ofstream list(dir + "/inImage_3D.txt");
    std::ofstream dens(dir + "/inDensity.txt");
    const double cx = nc / 2.0, cy = nl / 2.0;
    for (int l = 0; l < nb_layers; ++l) {
        const double a = 0.6 - 0.3 * l, b = 0.02 * (l + 1), c = -0.4 + 0.25 * l, d = -0.015 * l;
        for (int t = 0; t < nb_seq; ++t) {
            const std::string name = "S" + std::to_string(l) + "_t" + std::to_string(t) + ".pgm";
            write_pgm10(dir + "/" + name, nc, nl, render(nc, nl, [&](double x, double y) {
                            return texture(x - t * (a + b * (y - cy)), y - t * (c + d * (x - cx)),
                                           l);
                        }));
        }
        for (int t = 0; t + 1 < nb_seq; ++t)
            list << "./S" << l << "_t" << t << ".pgm\n./S" << l << "_t" << t + 1 << ".pgm\n";
        dens << 1.0 - 0.2 * l << "\n";
    }
}

inline std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream ss(text);
    std::string line;
    while (std::getline(ss, line)) out.push_back(line);
    return out;
}

inline bool contains_line(const std::string& text, const std::string& line) {
    for (const auto& l : lines_of(text))
        if (l == line) return true;
    return false;
}

}  // namespace testrun

#endif
