// Readers of grey images from PNG, netpbm PGM, raw float32 and NetCDF files, their scaling onto
// 0..1021, and the 10-bit PGM writer.
#include "image_import.h"

#include <netcdf.h>
#include <png.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>

#include "fail.h"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const std::size_t kMaxSamples = std::size_t(1) << 30;

std::vector<unsigned char> read_bytes(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) fail("cannot open %s: %s", path.c_str(), std::strerror(errno));
    std::vector<unsigned char> bytes;
    unsigned char block[65536];
    for (std::size_t got; (got = std::fread(block, 1, sizeof block, f)) > 0;)
        bytes.insert(bytes.end(), block, block + got);
    const bool bad = std::ferror(f);
    std::fclose(f);
    if (bad) fail("cannot read %s", path.c_str());
    return bytes;
}

GreyImage sized_image(const std::string& path, std::size_t nb_col, std::size_t nb_lig) {
    if (nb_col == 0 || nb_lig == 0 || nb_col > kMaxSamples / nb_lig)
        fail("%s: unusable image size %zu x %zu", path.c_str(), nb_col, nb_lig);
    GreyImage im;
    im.nb_col = int(nb_col);
    im.nb_lig = int(nb_lig);
    im.data.assign(nb_col * nb_lig, 0.0);
    return im;
}

[[noreturn]] void png_failure(png_structp png, png_const_charp message) {
    fail("cannot read PNG %s: %s", static_cast<const char*>(png_get_error_ptr(png)), message);
}
void png_silent(png_structp, png_const_charp) {}

class NcFile {
  public:
    explicit NcFile(const std::string& path) : path_(path) {
        const int status = nc_open(path.c_str(), NC_NOWRITE, &id_);
        if (status != NC_NOERR)
            fail("cannot open NetCDF file %s: %s", path.c_str(), nc_strerror(status));
    }
    ~NcFile() { nc_close(id_); }
    NcFile(const NcFile&) = delete;
    NcFile& operator=(const NcFile&) = delete;
    int id() const { return id_; }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
    int id_ = -1;
};

struct NcVariable {
    int id = -1;
    nc_type type = NC_NAT;
    std::vector<std::size_t> length;  // per dimension
};

NcVariable find_variable(const NcFile& file, const std::string& name) {
    NcVariable var;
    if (nc_inq_varid(file.id(), name.c_str(), &var.id) != NC_NOERR) {
        std::string names;
        int count = 0;
        nc_inq_nvars(file.id(), &count);
        for (int k = 0; k < count; ++k) {
            char text[NC_MAX_NAME + 1] = "";
            nc_inq_varname(file.id(), k, text);
            names += (k ? ", " : "") + std::string(text);
        }
        fail("NetCDF file %s has no variable %s (its variables: %s)", file.path().c_str(),
             name.c_str(), names.empty() ? "none" : names.c_str());
    }
    int ndims = 0, dims[NC_MAX_VAR_DIMS];
    nc_inq_var(file.id(), var.id, nullptr, &var.type, &ndims, dims, nullptr);
    if (var.type == NC_CHAR || var.type == NC_STRING || var.type > NC_UINT64)
        fail("variable %s of %s is not numeric", name.c_str(), file.path().c_str());
    for (int d = 0; d < ndims; ++d) {
        std::size_t len = 0;
        nc_inq_dimlen(file.id(), dims[d], &len);
        var.length.push_back(len);
    }
    if (ndims < 2)
        fail("variable %s of %s has %d dimension(s); an image needs (lines, columns)", name.c_str(),
             file.path().c_str(), ndims);
    for (int d = 1; d + 2 < ndims; ++d)
        if (var.length[d] != 1)
            fail(
                "variable %s of %s: dimension %d has length %zu; only the first (time) and the "
                "last two may exceed 1",
                name.c_str(), file.path().c_str(), d, var.length[d]);
    return var;
}

// Numeric attribute values, empty when the attribute is absent or text.
std::vector<double> attribute(int ncid, int varid, const char* name) {
    nc_type type;
    std::size_t len = 0;
    if (nc_inq_att(ncid, varid, name, &type, &len) != NC_NOERR || len == 0 || type == NC_CHAR ||
        type == NC_STRING)
        return {};
    std::vector<double> values(len);
    if (nc_get_att_double(ncid, varid, name, values.data()) != NC_NOERR) return {};
    return values;
}

std::vector<double> default_fill(nc_type type) {
    switch (type) {
        case NC_SHORT:
            return {NC_FILL_SHORT};
        case NC_USHORT:
            return {NC_FILL_USHORT};
        case NC_INT:
            return {NC_FILL_INT};
        case NC_UINT:
            return {NC_FILL_UINT};
        case NC_INT64:
            return {double(NC_FILL_INT64)};
        case NC_UINT64:
            return {double(NC_FILL_UINT64)};
        case NC_FLOAT:
            return {NC_FILL_FLOAT};
        case NC_DOUBLE:
            return {NC_FILL_DOUBLE};
        default:
            return {};
    }
}

}  // namespace

ImageKind sniff_image_kind(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) fail("cannot open %s: %s", path.c_str(), std::strerror(errno));
    unsigned char b[8] = {};
    const std::size_t got = std::fread(b, 1, sizeof b, f);
    std::fclose(f);
    if (got >= 8 && png_sig_cmp(b, 0, 8) == 0) return ImageKind::png;
    if (got >= 2 && b[0] == 'P' && b[1] == '5') return ImageKind::pgm;
    if (got >= 4 && std::memcmp(b, "CDF", 3) == 0 && (b[3] == 1 || b[3] == 2 || b[3] == 5))
        return ImageKind::netcdf;
    if (got >= 8 && std::memcmp(b, "\x89HDF\r\n\x1a\n", 8) == 0) return ImageKind::netcdf;
    return ImageKind::unknown;
}

GreyImage read_png_grey(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) fail("cannot open %s: %s", path.c_str(), std::strerror(errno));
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, const_cast<char*>(path.c_str()),
                                             png_failure, png_silent);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) fail("cannot read PNG %s: out of memory", path.c_str());
    png_init_io(png, f);
    png_read_info(png, info);
    const int type = png_get_color_type(png, info);
    if (type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (type == PNG_COLOR_TYPE_GRAY && png_get_bit_depth(png, info) < 8)
        png_set_expand_gray_1_2_4_to_8(png);
    png_set_strip_alpha(png);
    png_read_update_info(png, info);
    const std::size_t channels = png_get_channels(png, info);
    const bool wide = png_get_bit_depth(png, info) == 16;
    GreyImage im =
        sized_image(path, png_get_image_width(png, info), png_get_image_height(png, info));
    const std::size_t row_bytes = png_get_rowbytes(png, info);
    std::vector<png_byte> bytes(row_bytes * im.nb_lig);
    std::vector<png_bytep> rows(im.nb_lig);
    for (int i = 0; i < im.nb_lig; ++i) rows[i] = bytes.data() + i * row_bytes;
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);

    // 16-bit samples come high byte first.
    auto sample = [&](const png_byte* row, std::size_t k) {
        return wide ? double(row[2 * k] << 8 | row[2 * k + 1]) : double(row[k]);
    };
    for (int i = 0; i < im.nb_lig; ++i)
        for (int j = 0; j < im.nb_col; ++j) {
            const std::size_t k = std::size_t(j) * channels;
            double& out = im.data[std::size_t(i) * im.nb_col + j];
            out = channels >= 3 ? 0.2126 * sample(rows[i], k) + 0.7152 * sample(rows[i], k + 1) +
                                      0.0722 * sample(rows[i], k + 2)
                                : sample(rows[i], k);
        }
    return im;
}

GreyImage read_pgm_grey(const std::string& path, bool low_byte_first) {
    const std::vector<unsigned char> b = read_bytes(path);
    if (b.size() < 2 || b[0] != 'P' || b[1] != '5')
        fail("%s is not a binary PGM file (no P5 magic)", path.c_str());
    std::size_t pos = 2;
    auto header_number = [&](const char* what) {
        while (pos < b.size() && (std::isspace(b[pos]) || b[pos] == '#'))
            if (b[pos] == '#')
                while (pos < b.size() && b[pos] != '\n') ++pos;
            else
                ++pos;
        if (pos >= b.size() || !std::isdigit(b[pos]))
            fail("%s: PGM header without a %s", path.c_str(), what);
        long value = 0;
        while (pos < b.size() && std::isdigit(b[pos]) && value < 1000000)
            value = value * 10 + (b[pos++] - '0');
        return value;
    };
    const long nb_col = header_number("width"), nb_lig = header_number("height");
    const long maxval = header_number("maximum value");
    if (pos >= b.size() || !std::isspace(b[pos]))
        fail("%s: PGM header not ended by a blank", path.c_str());
    ++pos;
    if (maxval < 1 || maxval > 65535)
        fail("%s: PGM maximum value %ld outside 1..65535", path.c_str(), maxval);
    GreyImage im = sized_image(path, std::size_t(nb_col), std::size_t(nb_lig));
    const std::size_t n = im.data.size(), width = maxval > 255 ? 2 : 1;
    if (b.size() - pos < n * width)
        fail("%s holds %zu bytes of samples, %zu expected for %ld x %ld", path.c_str(),
             b.size() - pos, n * width, nb_col, nb_lig);
    for (std::size_t k = 0; k < n; ++k) {
        const unsigned char* s = &b[pos + k * width];
        const long value = width == 1 ? s[0] : low_byte_first ? s[0] | s[1] << 8 : s[0] << 8 | s[1];
        if (value > maxval)
            fail("%s: sample %ld at line %zu, column %zu exceeds the maximum %ld%s", path.c_str(),
                 value, k / im.nb_col, k % im.nb_col, maxval,
                 width == 2 && !low_byte_first ? " (low byte first samples need -pgm-le)" : "");
        im.data[k] = double(value);
    }
    return im;
}

GreyImage read_raw_float32(const std::string& path, int nb_col, int nb_lig) {
    const std::vector<unsigned char> b = read_bytes(path);
    GreyImage im =
        sized_image(path, std::size_t(std::max(nb_col, 0)), std::size_t(std::max(nb_lig, 0)));
    if (b.size() != 4 * im.data.size())
        fail("%s holds %zu bytes; a %d x %d float32 image needs %zu", path.c_str(), b.size(),
             nb_col, nb_lig, 4 * im.data.size());
    for (std::size_t k = 0; k < im.data.size(); ++k) {
        const uint32_t bits = uint32_t(b[4 * k]) | uint32_t(b[4 * k + 1]) << 8 |
                              uint32_t(b[4 * k + 2]) << 16 | uint32_t(b[4 * k + 3]) << 24;
        float x;
        std::memcpy(&x, &bits, sizeof x);
        im.data[k] = std::isfinite(x) ? double(x) : kNaN;
    }
    return im;
}

int netcdf_slice_count(const std::string& path, const std::string& var) {
    const NcFile file(path);
    const NcVariable v = find_variable(file, var);
    return v.length.size() == 2 ? 1 : int(std::min<std::size_t>(v.length[0], 1u << 30));
}

GreyImage read_netcdf_grey(const std::string& path, const std::string& var, int slice) {
    const NcFile file(path);
    const NcVariable v = find_variable(file, var);
    const std::size_t nd = v.length.size();
    const std::size_t slices = nd == 2 ? 1 : v.length[0];
    if (slice < 0 || std::size_t(slice) >= slices)
        fail("time slice %d of variable %s in %s is outside 0..%zu", slice, var.c_str(),
             path.c_str(), slices - 1);
    GreyImage im = sized_image(path + " " + var, v.length[nd - 1], v.length[nd - 2]);
    std::vector<std::size_t> start(nd, 0), count(nd, 1);
    if (nd > 2) start[0] = std::size_t(slice);
    count[nd - 2] = v.length[nd - 2];
    count[nd - 1] = v.length[nd - 1];
    const int status =
        nc_get_vara_double(file.id(), v.id, start.data(), count.data(), im.data.data());
    if (status != NC_NOERR)
        fail("cannot read variable %s of %s: %s", var.c_str(), path.c_str(), nc_strerror(status));

    std::vector<double> fill = attribute(file.id(), v.id, "_FillValue");
    if (fill.empty()) fill = default_fill(v.type);
    const std::vector<double> missing = attribute(file.id(), v.id, "missing_value");
    double valid_lo = -HUGE_VAL, valid_hi = HUGE_VAL;
    const std::vector<double> range = attribute(file.id(), v.id, "valid_range");
    if (range.size() == 2) {
        valid_lo = range[0];
        valid_hi = range[1];
    }
    const std::vector<double> vmin = attribute(file.id(), v.id, "valid_min");
    const std::vector<double> vmax = attribute(file.id(), v.id, "valid_max");
    if (!vmin.empty()) valid_lo = vmin[0];
    if (!vmax.empty()) valid_hi = vmax[0];
    const std::vector<double> scale = attribute(file.id(), v.id, "scale_factor");
    const std::vector<double> offset = attribute(file.id(), v.id, "add_offset");
    const double a = scale.empty() ? 1.0 : scale[0], c = offset.empty() ? 0.0 : offset[0];

    for (double& x : im.data) {
        bool absent = !std::isfinite(x) || x < valid_lo || x > valid_hi;
        for (const double m : fill) absent = absent || x == m;
        for (const double m : missing) absent = absent || x == m;
        x = absent ? kNaN : x * a + c;
    }
    return im;
}

bool finite_range(const double* data, std::size_t n, double* lo, double* hi) {
    bool any = false;
    for (std::size_t k = 0; k < n; ++k) {
        if (!std::isfinite(data[k])) continue;
        if (!any || data[k] < *lo) *lo = data[k];
        if (!any || data[k] > *hi) *hi = data[k];
        any = true;
    }
    return any;
}

std::size_t scale_to_10bit(short* out, const double* in, std::size_t n, double lo, double hi,
                           std::size_t* clipped) {
    std::size_t missing = 0;
    short lowest = 1021;
    *clipped = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const double x = in[k];
        if (std::isnan(x)) {
            ++missing;
            continue;
        }
        if (x < lo || x > hi || !(hi > lo)) {
            out[k] = x > lo ? 1021 : 0;
            if (x < lo || x > hi) ++*clipped;
        } else {
            out[k] = short(std::lround(1021.0 * (x - lo) / (hi - lo)));
        }
        lowest = std::min(lowest, out[k]);
    }
    if (missing == n) lowest = 0;
    for (std::size_t k = 0; k < n; ++k)
        if (std::isnan(in[k])) out[k] = lowest;
    return missing;
}

void write_pgm10(const std::string& path, const short* image, int nb_col, int nb_lig) {
    const std::size_t n = std::size_t(nb_col) * nb_lig;
    std::vector<unsigned char> bytes(2 * n);
    for (std::size_t k = 0; k < n; ++k) {
        bytes[2 * k] = uint8_t(image[k] & 0xFF);
        bytes[2 * k + 1] = uint8_t((image[k] >> 8) & 0xFF);
    }
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) fail("cannot create %s: %s", path.c_str(), std::strerror(errno));
    const bool ok = std::fprintf(f, "P5\n%d %d\n1023\n", nb_col, nb_lig) > 0 &&
                    std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (std::fclose(f) != 0 || !ok) fail("cannot write %s", path.c_str());
}

std::string mask_path(const std::string& image_path) {
    const std::string suffix = ".pgm";
    const bool pgm =
        image_path.size() > suffix.size() &&
        image_path.compare(image_path.size() - suffix.size(), suffix.size(), suffix) == 0;
    return (pgm ? image_path.substr(0, image_path.size() - suffix.size()) : image_path) +
           "_mask.pgm";
}

void write_mask(const std::string& path, const double* image, int nb_col, int nb_lig) {
    const std::size_t n = std::size_t(nb_col) * nb_lig;
    std::vector<unsigned char> bytes(n);
    for (std::size_t k = 0; k < n; ++k) bytes[k] = std::isnan(image[k]) ? 0 : 1;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) fail("cannot create %s: %s", path.c_str(), std::strerror(errno));
    const bool ok = std::fprintf(f, "P5\n%d %d\n1\n", nb_col, nb_lig) > 0 &&
                    std::fwrite(bytes.data(), 1, n, f) == n;
    if (std::fclose(f) != 0 || !ok) fail("cannot write %s", path.c_str());
}
