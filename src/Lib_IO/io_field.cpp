// The xaf motion-field codec on row-major float buffers. A sample x is held in two bytes: c, the
// integer part of x moved one unit away from zero (signed 8-bit), then c1, the remaining fraction
// in units of 1/200 (0 .. 199). Resolution 0.005 pixel, truncated toward zero in magnitude;
// representable range -128 < x < 127. Error codes: 0 done, 1 cannot open, 2 no memory, 3 short
// read or write (including a failed close). A written file appears under its name only complete.
#include "io_field.h"

#include "safe_output.h"

#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <new>
#include <vector>

namespace {

constexpr short kDone = 0;
constexpr short kCannotOpen = 1;
constexpr short kNoMemory = 2;
constexpr short kShort = 3;

std::size_t sample_count(short nbcol, short nblig) {
    if (nbcol <= 0 || nblig <= 0) return 0;
    return static_cast<std::size_t>(nbcol) * static_cast<std::size_t>(nblig);
}

// y = x + 1 (x >= 0) or x - 1, rounded to float; c = trunc(y); c1 = trunc(|y - c| * 200), the
// product taken in float. A y whose integer part leaves -128 .. 127 saturates to the extreme code
// (127, 199) or (-128, 199); NaN is stored as the code of 0, (1, 0).
void encode_sample(float x, unsigned char* code) {
    int c = 1;
    int c1 = 0;
    const float y = x >= 0.0f ? x + 1.0f : x - 1.0f;
    if (y < 128.0f && y > -129.0f) {
        c = static_cast<int>(y);
        c1 = static_cast<int>(std::fabs(y - static_cast<float>(c)) * 200.0f);
    } else if (y >= 128.0f) {
        c = 127;
        c1 = 199;
    } else if (y <= -129.0f) {
        c = -128;
        c1 = 199;
    }  // NaN: (1, 0)
    code[0] = static_cast<unsigned char>(c & 0xFF);
    code[1] = static_cast<unsigned char>(c1 & 0xFF);
}

// x = c + (c1 / 200 - 1) for c >= 0, c - (c1 / 200 - 1) for c < 0, in double, stored as float.
float decode_sample(const unsigned char* code) {
    const int c = code[0] < 128 ? code[0] : code[0] - 256;
    const double frac = code[1] / 200.0 - 1.0;
    return static_cast<float>(c >= 0 ? c + frac : c - frac);
}

bool allocate(std::vector<unsigned char>& bytes, std::size_t size, short* error) {
    try {
        bytes.assign(size, 0);
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        std::perror("allocation");
        *error = kNoMemory;
        return false;
    }
    return true;
}

}  // namespace

void write_field(const char* name_field, float* ima_u, float* ima_v, short nbcol, short nblig,
                 short* error) {
    *error = kDone;
    const std::size_t n = sample_count(nbcol, nblig);
    SafeOutput out;
    std::FILE* file = out.open(name_field, "wb");
    if (!file) {
        *error = kCannotOpen;
        return;
    }
    std::vector<unsigned char> bytes;
    if (!allocate(bytes, 4 + 4 * n, error)) return;
    const unsigned short lines = static_cast<unsigned short>(nblig);
    const unsigned short cols = static_cast<unsigned short>(nbcol);
    bytes[0] = static_cast<unsigned char>(lines >> 8);
    bytes[1] = static_cast<unsigned char>(lines & 0xFF);
    bytes[2] = static_cast<unsigned char>(cols >> 8);
    bytes[3] = static_cast<unsigned char>(cols & 0xFF);
    for (std::size_t k = 0; k < n; k++) {
        encode_sample(ima_u[k], &bytes[4 + 2 * k]);
        encode_sample(ima_v[k], &bytes[4 + 2 * n + 2 * k]);
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (!written || !out.commit()) *error = kShort;  // a short write is never renamed
}

// Only the samples whose two bytes were read are decoded; on a short file the rest of field_u and
// field_v is left as it was and the code is 3. The byte buffer never exceeds what the file holds.
void read_field(const char* name_field, float* field_u, float* field_v, short col, short lig,
                short* error) {
    *error = kDone;
    const std::size_t n = sample_count(col, lig);
    std::FILE* file = std::fopen(name_field, "rb");
    if (!file) {
        *error = kCannotOpen;
        return;
    }
    std::size_t wanted = 4 * n;
    if (std::fseek(file, 0, SEEK_END) == 0) {
        const long size = std::ftell(file);
        if (size >= 0 && static_cast<unsigned long>(size) < 4 + wanted)
            wanted = size > 4 ? static_cast<std::size_t>(size) - 4 : 0;
    }
    std::rewind(file);
    std::vector<unsigned char> bytes;
    if (!allocate(bytes, wanted, error)) {
        std::fclose(file);
        return;
    }
    unsigned char header[4];
    const bool header_read = std::fread(header, 1, 4, file) == 4;
    const std::size_t got = header_read ? std::fread(bytes.data(), 1, bytes.size(), file) : 0;
    std::fclose(file);
    for (std::size_t k = 0; k < n && 2 * k + 2 <= got; k++) {
        field_u[k] = decode_sample(&bytes[2 * k]);
    }
    for (std::size_t k = 0; k < n && 2 * n + 2 * k + 2 <= got; k++) {
        field_v[k] = decode_sample(&bytes[2 * n + 2 * k]);
    }
    if (!header_read || got < 4 * n) *error = kShort;
}

// Lines = byte 0 * 256 + byte 1, columns = byte 2 * 256 + byte 3; both left as they were when the
// file holds fewer than 4 bytes.
void read_entete_field(const char* name_field, short* nbcol, short* nblig, short* error) {
    *error = kDone;
    std::FILE* file = std::fopen(name_field, "rb");
    if (!file) {
        *error = kCannotOpen;
        return;
    }
    unsigned char header[4];
    const bool header_read = std::fread(header, 1, 4, file) == 4;
    std::fclose(file);
    if (!header_read) {
        *error = kShort;
        return;
    }
    *nblig = static_cast<short>(header[0] * 256 + header[1]);
    *nbcol = static_cast<short>(header[2] * 256 + header[3]);
}
