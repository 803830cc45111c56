// The three greymap readers on arbitrary bytes. Every input is either read or rejected through
// fail(); a reader never writes past the samples the file holds, and the header reader and the
// sample readers agree on the size.
#include <algorithm>
#include <vector>

#include "fuzz_harness.h"
#include "operations_images.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static InputFile input;
    input.hold(data, size);
    const char* path = input.path();

    short nc = 0, nl = 0;
    const bool header_ok = accepted([&] { entete_pgm(path, &nc, &nl); });

    // An accepted image has at most one sample per byte of the file: a buffer of `size`
    // samples is enough, and AddressSanitizer catches any write beyond it.
    std::vector<short> image(std::max<std::size_t>(size, 1));
    short rc = 0, rl = 0;
    const bool read_ok = accepted([&] { read_pgm(path, image.data(), &rc, &rl); });
    if (read_ok && (!header_ok || rc != nc || rl != nl)) __builtin_trap();

    // A window chosen by the last four bytes, negative offsets and sizes included.
    if (size >= 4) {
        const short dCol = static_cast<signed char>(data[size - 4]) / 8;
        const short dLig = static_cast<signed char>(data[size - 3]) / 8;
        const short ofx = static_cast<signed char>(data[size - 2]) / 8;
        const short ofy = static_cast<signed char>(data[size - 1]) / 8;
        std::vector<short> window(std::max(1, dCol * dLig));
        const bool crop_ok =
            accepted([&] { read_crop_pgm(path, window.data(), dCol, dLig, ofx, ofy); });
        if (crop_ok && (!header_ok || ofx < 0 || ofy < 0 || ofx + dCol > nc || ofy + dLig > nl))
            __builtin_trap();
    }
    return 0;
}
