// Validity of the data term and the filling of unknown samples (see validity.h).
#include "validity.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

#include "fail.h"
#include "safe_output.h"

namespace {

template <class T>
void replicate(T* out, const T* in, int nb_reel_col, int nb_reel_lig, int nb_col, int nb_lig) {
    for (int i = 0; i < nb_lig; ++i) {
        const T* row = in + static_cast<long>(std::min(i, nb_reel_lig - 1)) * nb_reel_col;
        T* dst = out + static_cast<long>(i) * nb_col;
        for (int j = 0; j < nb_col; ++j) dst[j] = row[std::min(j, nb_reel_col - 1)];
    }
}

}  // namespace

void expand_ima_replicate(short* im_sortie, const short* ima_entree, short nb_reel_col,
                          short nb_reel_lig, short nb_col, short nb_lig) {
    replicate(im_sortie, ima_entree, nb_reel_col, nb_reel_lig, nb_col, nb_lig);
}

void expand_ima_replicate_f(float* im_sortie, const float* ima_entree, short nb_reel_col,
                            short nb_reel_lig, short nb_col, short nb_lig) {
    replicate(im_sortie, ima_entree, nb_reel_col, nb_reel_lig, nb_col, nb_lig);
}

// Breadth-first from the valid samples: ring r holds the unknown samples next to ring r - 1 (ring
// 0: the valid ones). A ring's values are computed from the earlier rings only, then marked
// known, so the order inside a ring does not matter.
void fill_invalid(short* im, const unsigned char* valid, short nb_col, short nb_lig) {
    const long n = static_cast<long>(nb_col) * nb_lig;
    std::vector<unsigned char> known(valid, valid + n);
    std::vector<long> ring, next;
    auto unknown_next_to_known = [&](long k) {
        const int i = static_cast<int>(k / nb_col), j = static_cast<int>(k % nb_col);
        return known[k] == 0 &&
               ((j > 0 && known[k - 1]) || (j + 1 < nb_col && known[k + 1]) ||
                (i > 0 && known[k - nb_col]) || (i + 1 < nb_lig && known[k + nb_col]));
    };
    for (long k = 0; k < n; ++k)
        if (unknown_next_to_known(k)) ring.push_back(k);
    std::vector<short> value;
    while (!ring.empty()) {
        value.assign(ring.size(), 0);
        for (std::size_t r = 0; r < ring.size(); ++r) {
            const long k = ring[r];
            const int i = static_cast<int>(k / nb_col), j = static_cast<int>(k % nb_col);
            long sum = 0;
            int count = 0;
            auto take = [&](long q) {
                if (known[q]) sum += im[q], ++count;
            };
            if (j > 0) take(k - 1);
            if (j + 1 < nb_col) take(k + 1);
            if (i > 0) take(k - nb_col);
            if (i + 1 < nb_lig) take(k + nb_col);
            value[r] = static_cast<short>(std::lround(static_cast<double>(sum) / count));
        }
        for (std::size_t r = 0; r < ring.size(); ++r) {
            im[ring[r]] = value[r];
            known[ring[r]] = 1;
        }
        next.clear();
        for (long k : ring) {
            const int i = static_cast<int>(k / nb_col), j = static_cast<int>(k % nb_col);
            const long around[4] = {j > 0 ? k - 1 : -1, j + 1 < nb_col ? k + 1 : -1,
                                    i > 0 ? k - nb_col : -1, i + 1 < nb_lig ? k + nb_col : -1};
            for (long q : around)
                if (q >= 0 && known[q] == 0) {
                    known[q] = 2;  // queued: not known yet, not queued twice
                    next.push_back(q);
                }
        }
        for (long q : next) known[q] = 0;
        ring.swap(next);
    }
    for (long k = 0; k < n; ++k)
        if (!known[k]) im[k] = 0;
}

void reduce_validity(unsigned char* coarse, const unsigned char* fine, short nb_col, short nb_lig) {
    const int nc = nb_col / 2, nl = nb_lig / 2;
    for (int i = 0; i < nl; ++i)
        for (int j = 0; j < nc; ++j) {
            unsigned char v = 1;
            for (int r = std::max(2 * i - 2, 0); r <= std::min(2 * i + 2, nb_lig - 1) && v; ++r)
                for (int c = std::max(2 * j - 2, 0); c <= std::min(2 * j + 2, nb_col - 1); ++c)
                    if (!fine[static_cast<long>(r) * nb_col + c]) {
                        v = 0;
                        break;
                    }
            coarse[static_cast<long>(i) * nc + j] = v;
        }
}

void warped_validity(unsigned char* valid, const float* U, const float* V,
                     const unsigned char* valid_t, const unsigned char* valid_tdt, short nb_col,
                     short nb_lig, bool outside_counts) {
    const double far = 4.0 * (nb_col + nb_lig);  // beyond: outside, whatever the fraction
    for (int i = 0; i < nb_lig; ++i)
        for (int j = 0; j < nb_col; ++j) {
            const long k = static_cast<long>(i) * nb_col + j;
            valid[k] = 0;
            if (!valid_t[k] || std::isnan(U[k]) || std::isnan(V[k])) continue;
            if (std::fabs(U[k]) > far || std::fabs(V[k]) > far) {
                valid[k] = outside_counts ? 1 : 0;
                continue;
            }
            const int r0 = i + static_cast<int>(std::trunc(V[k]));
            const int c0 = j + static_cast<int>(std::trunc(U[k]));
            const int r1 = r0 + (V[k] > 0.0f ? 1 : -1), c1 = c0 + (U[k] > 0.0f ? 1 : -1);
            unsigned char v = 1;
            for (int r : {r0, r1})
                for (int c : {c0, c1}) {
                    if (r < 0 || r >= nb_lig || c < 0 || c >= nb_col) {
                        if (!outside_counts) v = 0;
                    } else if (!valid_tdt[static_cast<long>(r) * nb_col + c]) {
                        v = 0;
                    }
                }
            valid[k] = v;
        }
}

void drop_invalid_weights(float* Data_out, const unsigned char* valid, long n) {
    for (long k = 0; k < n; ++k)
        if (!valid[k]) Data_out[k] = 0.0f;
}

std::string mask_file_name(const std::string& image_name) {
    const std::string ext = ".pgm";
    if (image_name.size() > ext.size() &&
        image_name.compare(image_name.size() - ext.size(), ext.size(), ext) == 0)
        return image_name.substr(0, image_name.size() - ext.size()) + "_mask.pgm";
    return image_name + "_mask.pgm";
}

void write_validity_pgm(const char* nom, const unsigned char* valid, short nb_col, short nb_lig) {
    SafeOutput out;
    std::FILE* f = out.open(nom, "wb");
    if (!f) fail("cannot create the validity map '%s': %s", nom, std::strerror(errno));
    std::fprintf(f, "P5\n%d %d\n1\n", nb_col, nb_lig);
    std::fwrite(valid, 1, static_cast<std::size_t>(nb_col) * nb_lig, f);
    if (!out.commit()) fail("cannot write the validity map '%s': %s", nom, std::strerror(errno));
}
