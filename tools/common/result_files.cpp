#include "result_files.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>

#include "fail.h"
#include "io_field.h"

std::string run_path(const std::string& dir, const std::string& path) {
    if (dir == "." || std::filesystem::path(path).is_absolute()) return path;
    return (std::filesystem::path(dir) / path).lexically_normal().string();
}

const std::string& t_image(const std::vector<std::string>& paths, int steps, int l, int i) {
    return paths[std::size_t(2) * steps * l + 2 * std::size_t(i)];
}

void motion_field_size(const std::string& path, int* nb_col, int* nb_lig) {
    std::error_code ec;
    const auto bytes = std::filesystem::file_size(path, ec);
    if (ec) fail("cannot open motion field %s", path.c_str());
    short nc = 0, nl = 0, err = 0;
    read_entete_field(path.c_str(), &nc, &nl, &err);
    const std::size_t n = std::size_t(std::max<short>(nc, 0)) * std::max<short>(nl, 0);
    if (err != 0 || n == 0 || bytes != 4 + 4 * n)
        fail("%s is not a motion field: %ju bytes for a header of %d x %d", path.c_str(),
             uintmax_t(bytes), nc, nl);
    *nb_col = nc;
    *nb_lig = nl;
}

MotionField read_motion_field(const std::string& path) {
    MotionField f;
    motion_field_size(path, &f.nb_col, &f.nb_lig);
    const std::size_t n = std::size_t(f.nb_col) * f.nb_lig;
    f.u.assign(n, 0.0f);
    f.v.assign(n, 0.0f);
    short err = 0;
    read_field(path.c_str(), f.u.data(), f.v.data(), short(f.nb_col), short(f.nb_lig), &err);
    if (err != 0) fail("cannot read motion field %s", path.c_str());
    return f;
}
