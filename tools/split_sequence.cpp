// Splits a run of nb_seq time samples into nb_seq - 1 one-step runs, each in its own folder, so
// that the steps can run at the same time on several cores or machines (every step of a run
// starts its fields afresh, so the results are those of the single run).
//
// Reads the image list and the density file named by the program's own options and writes
//   OUT/step_<i>/inImage_3D.txt  the 2 x nb_layers paths of time step i (layer-major: each
//                                layer's t path, then its t + dt path), as absolute paths
//   OUT/step_<i>/inDensity.txt   a byte copy of the density file
//   OUT/steps.txt                the absolute step folders, line i for time step i (1-based)
//   OUT/step_args.txt            the options of a step run, one argument per line
// A relative image path is resolved against -baseDir, by default the current directory, which
// must be the folder the single run would have been started from. The results of a step are
// named after its t images, so they land next to the images exactly as in the single run; the
// loop's temporary files go to the step folder, the working directory of the step run.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fail.h"
#include "image_list.h"
#include "options.h"

namespace fs = std::filesystem;

namespace {

void usage(const char* prog) {
    std::printf(
        "usage: %s [-inImage LIST] [-inDensity FILE] [-nbTimeSample N] [-nbLayers L]\n"
        "          [-outDir DIR] [-baseDir DIR] [other options of the program, ignored]\n"
        "Writes one folder per time step of the run into DIR, each with a one-step image list\n"
        "(inImage_3D.txt, absolute paths) and a copy of the density file (inDensity.txt), plus\n"
        "DIR/steps.txt (the step folders, line i for step i) and DIR/step_args.txt (the options\n"
        "of a step run, one per line). Start a step as: cd <step folder> && "
        "optic_flow_3DMultilayers $(cat DIR/step_args.txt) <other options>.\n"
        "  -inImage, -inDensity, -nbTimeSample, -nbLayers  as for the program (same defaults)\n"
        "  -outDir DIR   folder of the step folders, created if missing (default ./steps)\n"
        "  -baseDir DIR  folder that relative image paths are resolved against (default: the\n"
        "                current directory, where the single run would have been started)\n",
        prog);
}

// The value of the first occurrence of flag, or def when the flag is absent.
std::string option_text(int argc, char** argv, const char* flag, const char* def) {
    for (int k = 1; k < argc; ++k) {
        if (std::strcmp(argv[k], flag) != 0) continue;
        if (k + 1 >= argc) fail("option %s needs a value (see -h)", flag);
        return argv[k + 1];
    }
    return def;
}

// base / p for a relative p, p itself for an absolute one, without "." components; ".." is
// kept, so that the path names the same file as for the program, symbolic links included.
std::string resolved_path(const fs::path& base, const std::string& p) {
    const fs::path in(p);
    fs::path out = in.is_absolute() ? in.root_path() : base;
    for (const fs::path& part : in.relative_path())
        if (part != "." && !part.empty()) out /= part;
    return out.string();
}

std::string file_bytes(const std::string& path, const char* what) {
    std::ifstream f(path, std::ios::binary);
    if (!f) fail("cannot open the %s %s", what, path.c_str());
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void write_file(const fs::path& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << bytes;
    f.close();
    if (!f) fail("cannot write %s", path.string().c_str());
}

// Number of decimal digits of the step folder numbers: at least 4, so that folders sort.
int step_digits(int nb_steps) {
    int d = 1;
    for (int n = nb_steps; n >= 10; n /= 10) ++d;
    return d < 4 ? 4 : d;
}

}  // namespace

int main(int argc, char** argv) {
    for (int k = 1; k < argc; ++k)
        if (std::strcmp(argv[k], "-h") == 0 || std::strcmp(argv[k], "--help") == 0) {
            usage(argv[0]);
            return 0;
        }
    const RunParameters p = parse_options(argc, argv);
    if (p.nb_seq < 2) fail("option -nbTimeSample must be at least 2 (got %d)", p.nb_seq);
    if (p.nb_layers < 1) fail("option -nbLayers must be at least 1 (got %d)", p.nb_layers);
    std::error_code ec;
    const fs::path cwd = fs::current_path(ec);
    if (ec) fail("cannot read the current directory");
    const fs::path base = resolved_path(cwd, option_text(argc, argv, "-baseDir", "."));
    const fs::path out = resolved_path(cwd, option_text(argc, argv, "-outDir", "./steps"));

    const int nb_steps = p.nb_seq - 1;
    const int per_layer = 2 * nb_steps;
    const ImageList list = read_image_list(p.ifn1, p.nb_seq, p.nb_layers);
    if (!list.problem.empty()) fail("%s", list.problem.c_str());
    std::vector<std::string> paths;
    for (const std::string& line : list.paths) paths.push_back(resolved_path(base, line));
    const std::string densities = file_bytes(p.ifn2, "density file");

    fs::create_directories(out, ec);
    if (ec) fail("cannot create the folder %s", out.string().c_str());
    const int digits = step_digits(nb_steps);
    std::string steps;
    for (int i = 0; i < nb_steps; ++i) {
        std::string number = std::to_string(i + 1);
        number.insert(0, static_cast<std::size_t>(digits) - number.size(), '0');
        const fs::path dir = out / ("step_" + number);
        fs::create_directories(dir, ec);
        if (ec) fail("cannot create the folder %s", dir.string().c_str());
        std::string step_list;
        for (int l = 0; l < p.nb_layers; ++l) {
            const std::size_t t = static_cast<std::size_t>(l) * per_layer + 2 * i;
            step_list += paths[t] + "\n" + paths[t + 1] + "\n";
        }
        write_file(dir / "inImage_3D.txt", step_list);
        write_file(dir / "inDensity.txt", densities);
        steps += dir.string() + "\n";
    }
    write_file(out / "steps.txt", steps);
    write_file(out / "step_args.txt",
               "-inImage\n./inImage_3D.txt\n-inDensity\n./inDensity.txt\n"
               "-nbTimeSample\n2\n-nbLayers\n" +
                   std::to_string(p.nb_layers) + "\n");
    std::printf("%d time steps of %d layers split into %s (image paths resolved against %s)\n",
                nb_steps, p.nb_layers, out.string().c_str(), base.string().c_str());
    return 0;
}
