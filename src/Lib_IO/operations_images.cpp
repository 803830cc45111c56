// Pointwise arithmetic on float images, the zero-padding copy into the enlarged working frame and
// the size rule behind it, the divergence of a wind field by 5 x 5 derivative kernels, the
// robust estimation of a layer's auxiliary divergence and vorticity fields, the pointwise
// exponential, the crop of a field back to its real size, the "P5" greymap readers and the text
// table of a two-component field.
#include "operations_images.h"

#include "bib_ansi.h"
#include "auxiliary_fit.h"
#include "fail.h"
#include "filter_masks.h"
#include "number_text.h"
#include "safe_output.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {

long count(int nb_col, int nb_line) {
    return static_cast<long>(nb_col) * nb_line;
}

template <typename T>
void expand(const T* in, T* out, int nb_reel_col, int nb_reel_lig, int nb_col, int nb_lig) {
    for (long k = 0, n = count(nb_col, nb_lig); k < n; ++k) out[k] = 0;
    for (int i = 0; i < nb_reel_lig; ++i) {
        for (int j = 0; j < nb_reel_col; ++j) {
            out[static_cast<long>(i) * nb_col + j] = in[static_cast<long>(i) * nb_reel_col + j];
        }
    }
}

// ---- "P5" greymap files --------------------------------------------------------------------

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File open_pgm(const char* nom) {
    File f(std::fopen(nom, "rb"));
    if (!f) fail(FailStyle::Banner, "Unknown file name: %s", nom);
    return f;
}

// One line of any length without its line end; false at end of file before any character.
bool read_line(std::FILE* f, std::string& line) {
    line.clear();
    int c;
    while ((c = std::fgetc(f)) != EOF && c != '\n') line.push_back(static_cast<char>(c));
    return c != EOF || !line.empty();
}

// True when the line holds exactly `n` decimal integers separated by blanks (trailing blanks and
// a carriage return allowed).
bool parse_ints(const std::string& line, int n, long* out) {
    const char* p = line.c_str();
    for (int k = 0; k < n; ++k) {
        char* end;
        errno = 0;
        out[k] = std::strtol(p, &end, 10);
        if (end == p || errno == ERANGE || (k > 0 && p[0] != ' ' && p[0] != '\t')) return false;
        p = end;
    }
    while (*p == ' ' || *p == '\t' || *p == '\r') ++p;
    return *p == '\0';
}

struct PgmHeader {
    short cols = 0, lines = 0;
    int bytes_per_sample = 0;
    long data_offset = 0;
};

// Magic line "P5", comment lines starting with '#' (any length), then the size line "columns
// lines". Each size must lie in 1 .. 32767.
PgmHeader read_size(std::FILE* f, const char* nom) {
    std::string line;
    if (!read_line(f, line) || line.compare(0, 2, "P5") != 0) {
        fail("'%s' is not a binary greymap: its first line must be \"P5\"", nom);
    }
    if (line.find_first_not_of(" \t\r", 2) != std::string::npos) {
        fail("'%s': \"P5\", the size and the maximum value must each stand on a line of their own",
             nom);
    }
    bool got;
    while ((got = read_line(f, line)) && !line.empty() && line[0] == '#') {
    }
    long size[2];
    if (!got || !parse_ints(line, 2, size)) {
        fail("'%s': the line after the comments must hold the number of columns and of lines", nom);
    }
    if (size[0] < 1 || size[0] > 32767 || size[1] < 1 || size[1] > 32767) {
        fail("'%s': image size %ld x %ld is not within 1 .. 32767", nom, size[0], size[1]);
    }
    PgmHeader h;
    h.cols = static_cast<short>(size[0]);
    h.lines = static_cast<short>(size[1]);
    return h;
}

void locate_samples(std::FILE* f, const char* nom, PgmHeader& h);

// The size line, then the maximum-value line (255: one byte per sample; 1023: two bytes, low byte
// first) on a line of its own; the samples start right after its line end and must all be there.
PgmHeader read_header(std::FILE* f, const char* nom) {
    PgmHeader h = read_size(f, nom);
    std::string line;
    long def;
    if (!read_line(f, line) || !parse_ints(line, 1, &def) || def < -2147483647L - 1 ||
        def > 2147483647L) {
        fail("'%s': the line after the size must hold the maximum value alone", nom);
    }
    if (def != 255 && def != 1023) {
        fail(FailStyle::Plain, "Can't read images %s resolution problem def=%d (255 ou 1023)!", nom,
             static_cast<int>(def));
    }
    h.bytes_per_sample = def == 255 ? 1 : 2;
    locate_samples(f, nom, h);
    return h;
}

// The samples start right after the maximum-value line and must all be there.
void locate_samples(std::FILE* f, const char* nom, PgmHeader& h) {
    h.data_offset = std::ftell(f);
    const long needed = count(h.cols, h.lines) * h.bytes_per_sample;
    long file_size = -1;
    if (std::fseek(f, 0, SEEK_END) == 0) file_size = std::ftell(f);
    if (h.data_offset < 0 || file_size - h.data_offset < needed ||
        std::fseek(f, h.data_offset, SEEK_SET) != 0) {
        fail("'%s' is shorter than its header announces (%d x %d samples of %d byte(s))", nom,
             h.cols, h.lines, h.bytes_per_sample);
    }
}

// All samples, row-major.
void read_samples(std::FILE* f, const char* nom, const PgmHeader& h, short* image) {
    const long n = count(h.cols, h.lines);
    std::vector<unsigned char> raw(static_cast<std::size_t>(n) * h.bytes_per_sample);
    if (std::fread(raw.data(), 1, raw.size(), f) != raw.size()) {
        fail("'%s': cannot read its %ld samples", nom, n);
    }
    if (h.bytes_per_sample == 1) {
        for (long k = 0; k < n; ++k) image[k] = raw[k];
        return;
    }
    for (long k = 0; k < n; ++k) {
        const unsigned value = raw[2 * k] | (unsigned(raw[2 * k + 1]) << 8);
        if (value > 1023) {
            fail(
                "'%s': sample %u above 1023; two-byte samples must be stored low byte first "
                "(convert a big-endian 16-bit PGM with build/bin/to_pgm10)",
                nom, value);
        }
        image[k] = static_cast<short>(value);
    }
}

}  // namespace

// a[k] = b[k] * c, rounded to float; a may equal b.
void MultScal_f(float* a, float* b, float c, short nb_col, short nb_line) {
    for (long k = 0, n = count(nb_col, nb_line); k < n; ++k) a[k] = b[k] * c;
}

void Norm_f(float* a, float* b, float coef_norm, short nb_col, short nb_line) {
    MultScal_f(a, b, coef_norm, nb_col, nb_line);
}

void Mult_f(float* a, float* b, float* c, short nb_col, short nb_line) {
    for (long k = 0, n = count(nb_col, nb_line); k < n; ++k) a[k] = b[k] * c[k];
}

void Plus_fl(float* a, float* b, float* c, short nb_col, short nb_line) {
    for (long k = 0, n = count(nb_col, nb_line); k < n; ++k) a[k] = b[k] + c[k];
}

void Sub_fSh(float* a, float* b, short* c, short nb_col, short nb_line) {
    for (long k = 0, n = count(nb_col, nb_line); k < n; ++k) a[k] = b[k] - float(c[k]);
}

void expand_ima(short* ima_entree, short* im_sortie, short nb_reel_col, short nb_reel_lig,
                short nb_col, short nb_lig) {
    expand(ima_entree, im_sortie, nb_reel_col, nb_reel_lig, nb_col, nb_lig);
}

void expand_ima_f(float* ima_entree, float* im_sortie, short nb_reel_col, short nb_reel_lig,
                  short nb_col, short nb_lig) {
    expand(ima_entree, im_sortie, nb_reel_col, nb_reel_lig, nb_col, nb_lig);
}

// Each size rounded up to the next multiple of 2^(resol + scale).
void Modif_Taille_Image_2(short nb_col, short nb_lig, short resol, short scale, short* nouv_nb_col,
                          short* nouv_nb_lig) {
    int lim = 1;
    for (int k = 0; k < resol + scale; ++k) lim *= 2;
    auto round_up = [lim](int n) {
        return static_cast<short>(n % lim == 0 ? n : (n / lim + 1) * lim);
    };
    *nouv_nb_col = round_up(nb_col);
    *nouv_nb_lig = round_up(nb_lig);
}

// im_div = dU/dx + dV/dy (x along the columns, y down the lines) from the 5 x 5 kernels scaled by
// 1/1680; borders replicated, so the two outer lines and columns see a flattened field.
void Div_Vie(float* im_div, float* U, float* V, short nc_resol_K, short nl_resol_K) {
    std::vector<float> Ux, Vy;
    try {
        Ux.assign(static_cast<std::size_t>(std::max(count(nc_resol_K, nl_resol_K), 0L)), 0.0f);
        Vy.assign(Ux.size(), 0.0f);
    } catch (const std::bad_alloc&) {
        fail("cannot allocate the two derivative images of the divergence (%d x %d samples)",
             nc_resol_K, nl_resol_K);
    }
    Maz_f(im_div, nc_resol_K, nl_resol_K);
    Filtre_2D_f_th(Ux.data(), U, filtre_GX2, 5, 5, nc_resol_K, nl_resol_K);
    Norm_f(Ux.data(), Ux.data(), kDerivativeNorm, nc_resol_K, nl_resol_K);
    Filtre_2D_f_th(Vy.data(), V, filtre_GY2, 5, 5, nc_resol_K, nl_resol_K);
    Norm_f(Vy.data(), Vy.data(), kDerivativeNorm, nc_resol_K, nl_resol_K);
    Plus_fl(im_div, Ux.data(), Vy.data(), nc_resol_K, nl_resol_K);
}

// ---- div-curl auxiliary estimation --------------------------------------------------------

namespace {

// out(i, j) = [(X + x)(i, j+1) - (X + x)(i, j-1)] + or - [(Y + y)(i+1, j) - (Y + y)(i-1, j)] in
// single precision on interior pixels, 0 on the outer frame. Each interior line is one loop
// without tests (the compiler's vector form computes each sample with the same operations).
template <bool Minus>
void undivided_differences(float* out, const float* X, const float* x, const float* Y,
                           const float* y, short nb_col, short nb_line) {
    for (int i = 0; i < nb_line; ++i) {
        const long row = static_cast<long>(i) * nb_col;
        float* o = out + row;
        if (i < 1 || i > nb_line - 2 || nb_col < 3) {
            std::fill(o, o + nb_col, 0.0f);
            continue;
        }
        const float *Xr = X + row, *xr = x + row;
        const float *Yd = Y + row + nb_col, *yd = y + row + nb_col;
        const float *Yu = Y + row - nb_col, *yu = y + row - nb_col;
        o[0] = 0.0f;
        for (int j = 1; j < nb_col - 1; ++j) {
            const float along = (Xr[j + 1] + xr[j + 1]) - (Xr[j - 1] + xr[j - 1]);
            const float across = (Yd[j] + yd[j]) - (Yu[j] + yu[j]);
            o[j] = Minus ? along - across : along + across;
        }
        o[nb_col - 1] = 0.0f;
    }
}

}  // namespace

// im_div(i, j) = [Wx(i, j+1) - Wx(i, j-1)] + [Wy(i+1, j) - Wy(i-1, j)], twice the divergence,
// in single precision on interior pixels; 0 on the outer frame.
void Div_Estim(float* im_div, float* U, float* V, float* u, float* v, short nb_col, short nb_line) {
    undivided_differences<false>(im_div, U, u, V, v, nb_col, nb_line);
}

// im_curl(i, j) = [Wy(i, j+1) - Wy(i, j-1)] - [Wx(i+1, j) - Wx(i-1, j)], twice the vorticity
// (y pointing down), in single precision on interior pixels; 0 on the outer frame.
void Curl_Estim(float* im_curl, float* U, float* V, float* u, float* v, short nb_col,
                short nb_line) {
    undivided_differences<true>(im_curl, V, v, U, u, nb_col, nb_line);
}

// Div_Estim and Curl_Estim.
void Calcul_Estim_Div_Curl(float* im_div, float* im_curl, float* U, float* V, float* u, float* v,
                           short nb_col, short nb_lig) {
    Div_Estim(im_div, U, V, u, v, nb_col, nb_lig);
    Curl_Estim(im_curl, U, V, u, v, nb_col, nb_lig);
}

// Updates Estim (divergence, at most 2 passes) and Estim_rot (vorticity, at most 200 passes)
// towards the observations of the wind (U + u, V + v), smoothness weight coef_regul, robust
// scale sigma_es, data weight 1 (lambda is not used). Each fit starts from uniform weights and
// stops once a pass changes fewer than 3 % of the pixels (the float 3 n / 100).
void Estim_Regulees_Rob(float* Estim, float* Estim_rot, float* U, float* V, float* u, float* v,
                        short nc_resol_K, short nl_resol_K, float coef_regul, float /*lambda*/,
                        float sigma_es) {
    AuxiliaryFitScratch scratch;
    fit_auxiliary_fields(Estim, Estim_rot, U, V, u, v, nc_resol_K, nl_resol_K, coef_regul, sigma_es,
                         scratch);
}

void fit_auxiliary_fields(float* Estim, float* Estim_rot, float* U, float* V, float* u, float* v,
                          short nc, short nl, float coef_regul, float sigma_es,
                          AuxiliaryFitScratch& s, WorkSharing* sharing, FitPrecision precision) {
    const int kMaxPassesDiv = 2, kMaxPassesCurl = 200;
    if (nc <= 0 || nl <= 0) return;
    const std::size_t n = static_cast<std::size_t>(nc) * static_cast<std::size_t>(nl);
    try {
        if (s.observation.size() < n) s.observation.resize(n);
    } catch (const std::bad_alloc&) {
        fail("cannot allocate the observations of the auxiliary fits (%zu floats)", n);
    }
    Curl_Estim(s.observation.data(), U, V, u, v, nc, nl);
    fit_field(Estim_rot, s.observation.data(), nc, nl, 1.0f, coef_regul, sigma_es, kMaxPassesCurl,
              s, sharing, precision);
    Div_Estim(s.observation.data(), U, V, u, v, nc, nl);
    fit_field(Estim, s.observation.data(), nc, nl, 1.0f, coef_regul, sigma_es, kMaxPassesDiv, s,
              sharing, precision);
}

void Filtre_2D_f_th(float* a, float* b, float* filtre, short nb_ligF, short nb_colF, short nb_col,
                    short nb_line) {
    Filtre_f_2D_f(a, b, filtre, nb_ligF, nb_colF, nb_col, nb_line);
}

// exp in double, rounded to float.
void Exp_image(float* a, float* b, short nb_col, short nb_line) {
    for (long k = 0, n = count(nb_col, nb_line); k < n; ++k) {
        a[k] = static_cast<float>(std::exp(static_cast<double>(b[k])));
    }
}

void ajust_field(float* Ularge, float* Vlarge, float* U, float* V, short nb_col_large, short nb_col,
                 short nb_lig) {
    for (int i = 0; i < nb_lig; ++i) {
        for (int j = 0; j < nb_col; ++j) {
            const long large = static_cast<long>(i) * nb_col_large + j;
            U[static_cast<long>(i) * nb_col + j] = Ularge[large];
            V[static_cast<long>(i) * nb_col + j] = Vlarge[large];
        }
    }
}

// The whole header is checked, and the file length against it, so that a size is never taken
// from a file that cannot deliver its samples.
void entete_pgm(const char* nom, short* nb_col, short* nb_lig) {
    File f = open_pgm(nom);
    const PgmHeader h = read_header(f.get(), nom);
    *nb_col = h.cols;
    *nb_lig = h.lines;
}

void read_pgm(const char* nom, short* image, short* nb_col, short* nb_lig) {
    File f = open_pgm(nom);
    const PgmHeader h = read_header(f.get(), nom);
    *nb_col = h.cols;
    *nb_lig = h.lines;
    read_samples(f.get(), nom, h, image);
}

// image[i + dCol * j] = sample at column ofx + i, line ofy + j; the window must lie inside.
void read_crop_pgm(const char* nom, short* image, short dCol, short dLig, short ofx, short ofy) {
    File f = open_pgm(nom);
    const PgmHeader h = read_header(f.get(), nom);
    if (dCol < 0 || dLig < 0 || ofx < 0 || ofy < 0 || ofx + dCol > h.cols || ofy + dLig > h.lines) {
        fail("'%s': window of %d x %d at column %d, line %d does not fit in its %d x %d samples",
             nom, dCol, dLig, ofx, ofy, h.cols, h.lines);
    }
    std::vector<short> all(static_cast<std::size_t>(count(h.cols, h.lines)));
    read_samples(f.get(), nom, h, all.data());
    for (int i = 0; i < dCol; ++i) {
        for (int j = 0; j < dLig; ++j) {
            image[i + static_cast<long>(dCol) * j] =
                all[static_cast<long>(ofy + j) * h.cols + ofx + i];
        }
    }
}

void read_mask_pgm(const char* nom, unsigned char* valid, short dCol, short dLig, short ofx,
                   short ofy, bool whole) {
    File f(std::fopen(nom, "rb"));
    if (!f) fail("cannot open the mask file '%s'", nom);
    PgmHeader h = read_size(f.get(), nom);
    std::string line;
    long def;
    if (!read_line(f.get(), line) || !parse_ints(line, 1, &def) || def < 1 || def > 255)
        fail("'%s': a mask must be an 8-bit greymap (maximum value 1 .. 255 on its own line)", nom);
    h.bytes_per_sample = 1;
    locate_samples(f.get(), nom, h);
    if (whole && (h.cols != dCol || h.lines != dLig))
        fail("mask '%s' is %d x %d; its image is %d x %d", nom, h.cols, h.lines, dCol, dLig);
    if (ofx < 0 || ofy < 0 || ofx + dCol > h.cols || ofy + dLig > h.lines)
        fail("mask '%s' is %d x %d: the image window of %d x %d at column %d, line %d does not fit",
             nom, h.cols, h.lines, dCol, dLig, ofx, ofy);
    std::vector<unsigned char> raw(static_cast<std::size_t>(count(h.cols, h.lines)));
    if (std::fread(raw.data(), 1, raw.size(), f.get()) != raw.size())
        fail("'%s': cannot read its %zu samples", nom, raw.size());
    for (int j = 0; j < dLig; ++j)
        for (int i = 0; i < dCol; ++i)
            valid[static_cast<long>(dCol) * j + i] =
                raw[static_cast<long>(ofy + j) * h.cols + ofx + i] != 0 ? 1 : 0;
}

// "columns lines", a title line, then one line "i j U V" per sample, lines outer.
// The file appears under its name only once complete.
void write_champ(float* U, float* V, short nb_col, short nb_lig, const char* nom) {
    SafeOutput out;
    std::FILE* f = out.open(nom, "w");
    if (!f) fail(FailStyle::Plain, "Can't create %s !", nom);
    std::fprintf(f, "%hd %hd\n", nb_col, nb_lig);
    std::fprintf(f, "#i\tj\tU\tV\n");
    // Lines "i<TAB>j<TAB>U<TAB>V" as printf's "%hd\t%hd\t%f\t%f\n" writes them (the C locale,
    // which the program never leaves), a line of the table at a time.
    std::vector<char> line(static_cast<std::size_t>(std::max<int>(nb_col, 1)) * 128);
    for (int i = 0; i < nb_lig; ++i) {
        char* p = line.data();
        char* const end = line.data() + line.size();
        for (int j = 0; j < nb_col; ++j) {
            const long k = static_cast<long>(i) * nb_col + j;
            p = std::to_chars(p, end, i).ptr;
            *p++ = '\t';
            p = std::to_chars(p, end, j).ptr;
            *p++ = '\t';
            p = format_f(p, end, U[k]);
            *p++ = '\t';
            p = format_f(p, end, V[k]);
            *p++ = '\n';
        }
        std::fwrite(line.data(), 1, static_cast<std::size_t>(p - line.data()), f);
    }
    if (!out.commit()) fail("cannot write the field table '%s': %s", nom, std::strerror(errno));
}
