// The motion-field reader on arbitrary bytes, and the writer on arbitrary float bit patterns
// read back. The reader decodes only the samples the file holds; a written value inside the
// representable range reads back within 0.005, never larger in magnitude.
#include <cmath>
#include <cstring>
#include <vector>

#include "fuzz_harness.h"
#include "io_field.h"

namespace {

// The field as the header announces it, each plane cut to what the file can hold, so that a
// decode beyond the data is an overflow AddressSanitizer reports.
void read_back(const char* path, std::size_t size) {
    short nbcol = 0, nblig = 0, err = 0;
    read_entete_field(path, &nbcol, &nblig, &err);
    if (err != 0) {
        if (size >= 4) __builtin_trap();
        return;
    }
    const std::size_t n = nbcol > 0 && nblig > 0 ? std::size_t(nbcol) * std::size_t(nblig) : 0;
    const std::size_t held = (size - 4) / 2;
    std::vector<float> u(std::max<std::size_t>(std::min(n, held), 1));
    std::vector<float> v(std::max<std::size_t>(held > n ? std::min(n, held - n) : 0, 1));
    read_field(path, u.data(), v.data(), nbcol, nblig, &err);
    if ((err == 0) != (size >= 4 + 4 * n)) __builtin_trap();
}

void round_trip(const uint8_t* data, std::size_t size, const std::string& path) {
    const short nbcol = static_cast<short>(1 + size / 8 % 5);
    const std::size_t n = size / 8 / std::size_t(nbcol);
    if (n == 0) return;
    const short nblig = static_cast<short>(n);
    std::vector<float> u(std::size_t(nbcol) * n), v(u.size());
    std::memcpy(u.data(), data, u.size() * 4);
    std::memcpy(v.data(), data + u.size() * 4, v.size() * 4);
    short err = 0;
    write_field(path.c_str(), u.data(), v.data(), nbcol, nblig, &err);
    if (err != 0) __builtin_trap();
    std::vector<float> ru(u.size()), rv(v.size());
    read_field(path.c_str(), ru.data(), rv.data(), nbcol, nblig, &err);
    if (err != 0) __builtin_trap();
    for (std::size_t k = 0; k < u.size(); ++k) {
        for (const auto& [x, r] : {std::pair<float, float>{u[k], ru[k]}, {v[k], rv[k]}}) {
            if (!(x > -127.0f && x < 126.0f)) continue;
            // Allowance of 2e-5 for the rounding of x + 1 and of the decoded value to float.
            if (std::fabs(r) > std::fabs(x) + 2e-5f || std::fabs(x - r) > 0.005f + 2e-5f)
                __builtin_trap();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static InputFile input;
    static const std::string written =
        std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/of3d_fuzz_xaf_" +
        std::to_string(getpid()) + ".xaf";
    input.hold(data, size);
    read_back(input.path(), size);
    round_trip(data, size, written);
    return 0;
}
