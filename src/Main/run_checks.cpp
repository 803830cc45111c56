#include "run_checks.h"

#include <sys/resource.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>

#include "fail.h"

namespace {

constexpr long kMaxCount = 32767;  // largest 16-bit sample count

long round_up(long n, int shift) {
    const long step = 1L << std::min(shift, 20);
    return (n + step - 1) / step * step;
}

bool working_size_fits(long nb_col_reel, long nb_lig_reel, int shift) {
    return round_up(nb_col_reel, shift) <= kMaxCount && round_up(nb_lig_reel, shift) <= kMaxCount;
}

std::string amount(std::uint64_t bytes) {
    char buf[48];
    if (bytes >= (std::uint64_t(1) << 30))
        std::snprintf(buf, sizeof buf, "%.1f GiB", static_cast<double>(bytes) / (1 << 30));
    else
        std::snprintf(buf, sizeof buf, "%.0f MiB",
                      std::max(1.0, static_cast<double>(bytes) / (1 << 20)));
    return buf;
}

// The first number of the first line of `path` that starts with `key` ("" for the first line).
bool read_number(const char* path, const std::string& key, std::uint64_t* value) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size(), key) != 0) continue;
        const char* p = line.c_str() + key.size();
        while (*p && !std::isdigit(static_cast<unsigned char>(*p))) ++p;
        if (!*p) return false;
        *value = std::strtoull(p, nullptr, 10);
        return true;
    }
    return false;
}

// Room left under a control-group limit; false when there is none.
bool cgroup_room(std::uint64_t* room) {
    std::uint64_t limit = 0, used = 0;
    std::ifstream v2("/sys/fs/cgroup/memory.max");
    std::string text;
    if (v2 >> text) {
        if (text == "max" || !read_number("/sys/fs/cgroup/memory.max", "", &limit)) return false;
        read_number("/sys/fs/cgroup/memory.current", "", &used);
    } else if (!read_number("/sys/fs/cgroup/memory/memory.limit_in_bytes", "", &limit) ||
               limit >= (std::uint64_t(1) << 60)) {
        return false;
    } else {
        read_number("/sys/fs/cgroup/memory/memory.usage_in_bytes", "", &used);
    }
    *room = limit > used ? limit - used : 0;
    return true;
}

// Room left under a resource limit, given the process's current use of it in kB.
bool rlimit_room(int resource, const char* status_key, std::uint64_t* room) {
    struct rlimit lim;
    if (getrlimit(resource, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY) return false;
    std::uint64_t used_kb = 0;
    read_number("/proc/self/status", status_key, &used_kb);
    const std::uint64_t used = used_kb * 1024;
    *room = lim.rlim_cur > used ? lim.rlim_cur - used : 0;
    return true;
}

// Entries are at most this long in messages; non-printable bytes show as '?'.
std::string printable(const std::string& s) {
    std::string out;
    for (char c : s.substr(0, 40)) out += std::isprint(static_cast<unsigned char>(c)) ? c : '?';
    if (s.size() > 40) out += "...";
    return out;
}

}  // namespace

std::uint64_t run_memory_estimate(long nb_col, long nb_lig, long nb_col_reel, long nb_lig_reel,
                                  int nb_layers, int Coarse_resol) {
    const std::uint64_t n = std::uint64_t(nb_col) * std::uint64_t(nb_lig);
    const std::uint64_t reel = std::uint64_t(nb_col_reel) * std::uint64_t(nb_lig_reel);
    const std::uint64_t L = static_cast<std::uint64_t>(std::max(nb_layers, 0));
    std::uint64_t bytes = (43 * L + (L > 2 ? 20 : 16)) * 4 * n + 160 * L * n + 10 * reel;
    for (int k = 1; k <= Coarse_resol; ++k) {
        const std::uint64_t nk = std::uint64_t(nb_col >> k) * std::uint64_t(nb_lig >> k);
        bytes += (L * 4 + (L + 1) * 4) * nk;  // It and Itdt of each layer, the densities
    }
    return bytes;
}

std::uint64_t available_memory() {
    std::uint64_t best = UINT64_MAX, room = 0;
    if (read_number("/proc/meminfo", "MemAvailable:", &room)) best = std::min(best, room * 1024);
    if (cgroup_room(&room)) best = std::min(best, room);
    if (rlimit_room(RLIMIT_AS, "VmSize:", &room)) best = std::min(best, room);
    if (rlimit_room(RLIMIT_DATA, "VmData:", &room)) best = std::min(best, room);
    return best;
}

void check_working_size(short nb_col_reel, short nb_lig_reel, short Coarse_resol,
                        short Coarse_scale) {
    if (working_size_fits(nb_col_reel, nb_lig_reel, Coarse_resol + Coarse_scale)) return;
    for (int s = Coarse_scale - 1; s >= 0; --s) {
        if (!working_size_fits(nb_col_reel, nb_lig_reel, Coarse_resol + s)) continue;
        fail(FailStyle::Banner,
             "Error : option -coarseGrid %d makes the working size of this %d x %d image exceed "
             "32767 samples; the largest value that fits is %d",
             Coarse_scale, nb_col_reel, nb_lig_reel, s);
    }
    int resol = Coarse_resol - 1;
    while (resol > 0 && !working_size_fits(nb_col_reel, nb_lig_reel, resol)) --resol;
    fail(FailStyle::Banner,
         "Error : option -coarseResol %d makes the working size of this %d x %d image exceed 32767 "
         "samples even with -coarseGrid 0; the largest value that fits is %d",
         Coarse_resol, nb_col_reel, nb_lig_reel, std::max(resol, 0));
}

void check_run_memory(short nb_col_reel, short nb_lig_reel, short nb_layers, short Coarse_resol,
                      short Coarse_scale, std::uint64_t available) {
    auto needed = [&](int scale) {
        const int shift = Coarse_resol + scale;
        return run_memory_estimate(round_up(nb_col_reel, shift), round_up(nb_lig_reel, shift),
                                   nb_col_reel, nb_lig_reel, nb_layers, Coarse_resol);
    };
    const std::uint64_t need = needed(Coarse_scale);
    if (need <= available) return;
    const int shift = Coarse_resol + Coarse_scale;
    char what[256];
    std::snprintf(what, sizeof what,
                  "Error : the run needs about %s of memory (working size %ld x %ld, %d layers, %d "
                  "pyramid levels) but only about %s are available",
                  amount(need).c_str(), round_up(nb_col_reel, shift), round_up(nb_lig_reel, shift),
                  nb_layers, Coarse_resol + 1, amount(available).c_str());
    for (int s = Coarse_scale - 1; s >= 0; --s) {
        if (needed(s) <= available)
            fail(FailStyle::Banner, "%s; the largest -coarseGrid that fits is %d", what, s);
    }
    fail(FailStyle::Banner, "%s; use fewer layers (-nbLayers) or a crop window (-crop 1 -dx -dy)",
         what);
}

float read_density(std::FILE* f, const char* path, int layer, int nb_layers) {
    std::string token;
    int c;
    do {
        while ((c = std::fgetc(f)) != EOF && std::isspace(c)) {
        }
        token.clear();
        for (; c != EOF && !std::isspace(c); c = std::fgetc(f)) {
            if (token.size() < 64) token += static_cast<char>(c);
        }
        if (layer == 0 && token.compare(0, 3, "\xEF\xBB\xBF") == 0) token.erase(0, 3);
    } while (token.empty() && c != EOF);
    if (token.empty())
        fail(FailStyle::Banner,
             "Error : the density file '%s' holds %d numbers; %d layers need one each", path, layer,
             nb_layers);
    if (layer == 0 &&
        (token.compare(0, 2, "\xFF\xFE") == 0 || token.compare(0, 2, "\xFE\xFF") == 0))
        fail(FailStyle::Banner,
             "Error : the density file '%s' is UTF-16 text; save it as plain text", path);
    char* end = nullptr;
    errno = 0;
    const float value = std::strtof(token.c_str(), &end);
    if (end == token.c_str() || *end != '\0')
        fail(FailStyle::Banner, "Error : entry %d of the density file '%s' is '%s', not a number%s",
             layer + 1, path, printable(token).c_str(),
             token.find(',') != std::string::npos ? " (the decimal separator is a point)" : "");
    if (!std::isfinite(value) || !(value > 0.0f))
        fail(FailStyle::Banner,
             "Error : density %s of layer %d in '%s' is not a finite positive number",
             printable(token).c_str(), layer, path);
    return value;
}
