// Helpers of the end-to-end tests: scratch folders removed at exit, 10-bit PGM writing, layered
// sequences of known motion, and running the program (or a tool) in a folder under a time limit,
// capturing its status, standard output and error. It brings the standard headers the tests share
// (strings, vectors, file streams and the file system, cmath, algorithm, functional).
#ifndef RUN_HELPERS_H
#define RUN_HELPERS_H

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "operations_images.h"

#ifndef OF3D_RUN_TIMEOUT
#define OF3D_RUN_TIMEOUT 60
#endif

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

inline void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// Raw float files of the program and the tools: IEEE single precision, the host's (little-endian)
// byte order.
inline void write_floats(const std::string& path, const std::vector<float>& w) {
    write_file(path, std::string(reinterpret_cast<const char*>(w.data()), 4 * w.size()));
}
inline std::vector<float> read_floats(const std::string& path) {
    const std::string bytes = slurp(path);
    std::vector<float> w(bytes.size() / 4);
    std::copy_n(bytes.data(), 4 * w.size(), reinterpret_cast<char*>(w.data()));
    return w;
}

// Samples of a PGM file, read by the program's own reader.
inline std::vector<short> pgm_samples(const std::string& path) {
    short nc = 0, nl = 0;
    entete_pgm(path.c_str(), &nc, &nl);
    std::vector<short> s(std::size_t(nc) * nl);
    read_pgm(path.c_str(), s.data(), &nc, &nl);
    return s;
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

// Runs `program args` inside `dir`, standard input closed; the test fails when the run takes
// longer than OF3D_RUN_TIMEOUT seconds (it is then killed).
inline Result run_in(const std::string& dir, const std::string& program, const std::string& args) {
    const std::string out = dir + "/.stdout", err = dir + "/.stderr";
    const std::string cmd = "cd '" + dir + "' && timeout -k 5 " + std::to_string(OF3D_RUN_TIMEOUT) +
                            " '" + program + "' " + args + " >'" + out + "' 2>'" + err +
                            "' </dev/null";
    Result r;
    const int raw = std::system(cmd.c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    if (r.status == 124 || r.status == 137)
        ADD_FAILURE() << program << " " << args << " ran out of its " << OF3D_RUN_TIMEOUT << " s";
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
}

inline std::string program_path() {
    return std::string(OF3D_BIN_DIR) + "/optic_flow_3DMultilayers";
}

// 10-bit PGM in the program's layout: two bytes per sample, low byte first.
inline void write_pgm10(const std::string& path, int nc, int nl, const std::vector<int>& s) {
    std::string bytes = "P5\n" + std::to_string(nc) + " " + std::to_string(nl) + "\n1023\n";
    for (int v : s) bytes += {char(v & 0xFF), char((v >> 8) & 0xFF)};
    write_file(path, bytes);
}

inline double texture(double x, double y, int layer) {
    const double p = 0.7 * layer;
    return 500 + 150 * std::sin(2 * M_PI * x / 23 + p) + 150 * std::sin(2 * M_PI * y / 19 - p) +
           80 * std::sin(2 * M_PI * (x + y) / 13 + 2 * p);
}

// Displacement (columns, lines) per time step of layer l at column x, line y.
using Wind = std::function<std::pair<double, double>(int l, double x, double y)>;

// Writes "<prefix><l>_t<t>.pgm" for nb_seq samples per layer, sample t being the texture moved
// t times by the wind (rounded, clamped to 0 .. 1000), the image list and the densities 1.0, 0.8,
// 0.6, ...
inline void write_sequence(const std::string& dir, const std::string& prefix, int nc, int nl,
                           int nb_layers, int nb_seq, const Wind& wind) {
    std::ofstream list(dir + "/inImage_3D.txt");
    std::ofstream dens(dir + "/inDensity.txt");
    for (int l = 0; l < nb_layers; ++l) {
        for (int t = 0; t < nb_seq; ++t) {
            std::vector<int> s(static_cast<std::size_t>(nc) * nl);
            for (int k = 0; k < nc * nl; ++k) {
                const auto w = wind(l, k % nc, k / nc);
                const long v = std::lround(texture(k % nc - t * w.first, k / nc - t * w.second, l));
                s[k] = static_cast<int>(std::clamp(v, 0L, 1000L));
            }
            write_pgm10(dir + "/" + prefix + std::to_string(l) + "_t" + std::to_string(t) + ".pgm",
                        nc, nl, s);
        }
        for (int t = 0; t + 1 < nb_seq; ++t)
            list << "./" << prefix << l << "_t" << t << ".pgm\n./" << prefix << l << "_t" << t + 1
                 << ".pgm\n";
        dens << 1.0 - 0.2 * l << "\n";
    }
}

// Every layer translated by (dx, dy) pixels per step: L<l>_t<t>.pgm.
inline void write_translation_sequence(const std::string& dir, int nc, int nl, int nb_layers,
                                       int nb_seq, double dx, double dy) {
    write_sequence(dir, "L", nc, nl, nb_layers, nb_seq,
                   [&](int, double, double) { return std::make_pair(dx, dy); });
}

// Each layer moved by its own divergence-free, rotational shear flow
// (a + b (y - cy), c + d (x - cx)) pixels per step: S<l>_t<t>.pgm.
inline void write_shear_sequence(const std::string& dir, int nc, int nl, int nb_layers,
                                 int nb_seq) {
    const double cx = nc / 2.0, cy = nl / 2.0;
    write_sequence(dir, "S", nc, nl, nb_layers, nb_seq, [&](int l, double x, double y) {
        const double a = 0.6 - 0.3 * l, b = 0.02 * (l + 1), c = -0.4 + 0.25 * l, d = -0.015 * l;
        return std::make_pair(a + b * (y - cy), c + d * (x - cx));
    });
}

// The result files "*.pgm_3D.*" of a folder and, unless `temporary` is false, its temporary files
// "temp*", name -> bytes.
inline std::map<std::string, std::string> outputs_of(const std::string& dir,
                                                     bool temporary = true) {
    std::map<std::string, std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        if (name.find(".pgm_3D.") != std::string::npos || (temporary && name.rfind("temp", 0) == 0))
            out[name] = slurp(e.path().string());
    }
    return out;
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
