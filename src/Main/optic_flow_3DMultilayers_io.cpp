// Result files of the run driver written from CImg images: the adapters between two-plane motion
// images (plane 0 along the columns, plane 1 along the lines, in pixels) and the xaf codec, the
// headerless raw float file and the text matrix of a vertical wind. A file that cannot be
// created or fully written ends the run with status 1 and a message naming it; a file appears
// under its name only once complete.
#include "optic_flow_3DMultilayers.h"

#include "fail.h"
#include "io_field.h"
#include "number_text.h"
#include "safe_output.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <vector>

using cimg_library::CImg;

// u(y * dx + x) = im(x, y, 0), v(y * dx + x) = im(x, y, 1), written with write_field.
void write_XAmotionH(const char* fileXafOut, const CImg<float>& im) {
    const int dx = im.width();
    const int dy = im.height();
    if (im.depth() < 2) fail("motion image for %s has %d plane(s), not 2", fileXafOut, im.depth());
    std::vector<float> u(static_cast<std::size_t>(dx) * dy);
    std::vector<float> v(u.size());
    for (int y = 0; y < dy; y++) {
        for (int x = 0; x < dx; x++) {
            u[static_cast<std::size_t>(y) * dx + x] = im(x, y, 0);
            v[static_cast<std::size_t>(y) * dx + x] = im(x, y, 1);
        }
    }
    write_motion_planes(fileXafOut, u.data(), v.data(), static_cast<short>(dx),
                        static_cast<short>(dy));
}

void write_motion_planes(const char* fileXafOut, float* u, float* v, short dx, short dy) {
    short code = 0;
    write_field(fileXafOut, u, v, dx, dy, &code);
    if (code != 0)
        fail("cannot write motion-field file '%s' (code %d: %s)", fileXafOut, code,
             code == 2 ? "not enough memory" : std::strerror(errno));
}

// The file holds a Dx x Dy field; the result is its dx x dy window whose top-left sample is
// column ofx, line ofy: res(x, y, 0) = u(y + ofy, x + ofx), res(x, y, 1) = v(y + ofy, x + ofx).
CImg<float> lire_XAmotionH(const char* filename, int dx, int dy, int ofx, int ofy, int Dx, int Dy) {
    std::printf("%s\n", filename);
    if (ofx < 0 || ofy < 0 || dx < 0 || dy < 0 || ofx + dx > Dx || ofy + dy > Dy || Dx > 32767 ||
        Dy > 32767)
        fail("window %d x %d at column %d, line %d does not fit the %d x %d field of '%s'", dx, dy,
             ofx, ofy, Dx, Dy, filename);
    std::vector<float> u(static_cast<std::size_t>(Dx) * Dy, 0.0f);
    std::vector<float> v(u.size(), 0.0f);
    short code = 0;
    read_field(filename, u.data(), v.data(), static_cast<short>(Dx), static_cast<short>(Dy), &code);
    if (code != 0)
        fail("cannot read motion-field file '%s' (code %d: %s)", filename, code,
             code == 1   ? std::strerror(errno)
             : code == 2 ? "not enough memory"
                         : "file too short");
    CImg<float> res(dx, dy, 2);
    for (int y = 0; y < dy; y++) {
        for (int x = 0; x < dx; x++) {
            const std::size_t k = static_cast<std::size_t>(y + ofy) * Dx + (x + ofx);
            res(x, y, 0) = u[k];
            res(x, y, 1) = v[k];
        }
    }
    return res;
}

// dx * dy IEEE single-precision samples of the first plane, row-major, least significant byte
// first, in one write.
void write_rawF(const CImg<float>& im, const char* filename) {
    const int dx = im.width();
    const int dy = im.height();
    SafeOutput output;
    std::FILE* file = output.open(filename, "wb");
    if (!file)
        fail("raw file '%s': file=fopen(filename,\"wb\") failed: %s", filename,
             std::strerror(errno));
    const std::size_t n = static_cast<std::size_t>(dx) * dy;
    std::vector<unsigned char> bytes(4 * n);
    for (int y = 0; y < dy; y++) {
        for (int x = 0; x < dx; x++) {
            const float value = im(x, y);
            std::uint32_t bits = 0;
            std::memcpy(&bits, &value, sizeof bits);
            unsigned char* out = &bytes[4 * (static_cast<std::size_t>(y) * dx + x)];
            for (int b = 0; b < 4; b++) out[b] = static_cast<unsigned char>(bits >> (8 * b));
        }
    }
    const std::size_t written = std::fwrite(bytes.data(), 4, n, file);
    if (written != n)
        fail(
            "raw file '%s': (unsigned int)dx*dy==fwrite(aux,sizeof(float),dx*dy,file) failed, %zu "
            "of %zu values written: %s",
            filename, written, n, std::strerror(errno));
    if (!output.commit())
        fail("raw file '%s': data not fully written: %s", filename, std::strerror(errno));
}

// One line per image line, top to bottom; the values of the first plane converted to double in
// the default stream form (six significant digits), separated by one blank, the last followed by
// a line end.
void Cree_fichier_image(const char* nom_image, const CImg<float>& im) {
    const int dx = im.width();
    const int dy = im.height();
    SafeOutput out;
    std::FILE* file = out.open(nom_image, "w");
    if (!file) {
        const int reason = errno;
        std::cout << "creation impossible" << std::endl;
        fail("cannot create text matrix file '%s': %s", nom_image, std::strerror(reason));
    }
    // "%g" is the default stream form of a double: six significant digits, no trailing zeros
    // (format_g writes exactly what printf writes).
    std::vector<char> line(static_cast<std::size_t>(dx) * 32 + 1);
    for (int y = 0; y < dy; y++) {
        char* end = line.data();
        for (int x = 0; x < dx; x++) {
            end = format_g(end, line.data() + line.size(), im(x, y));
            *end++ = x + 1 < dx ? ' ' : '\n';
        }
        std::fwrite(line.data(), 1, static_cast<std::size_t>(end - line.data()), file);
    }
    if (!out.commit())
        fail("cannot write text matrix file '%s': %s", nom_image, std::strerror(errno));
}
