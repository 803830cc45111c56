// The block list of a layer (a singly linked list of square blocks that tile the image row by
// row; each block carries its affine increment theta[1..6] in absolute coordinates) and the
// robust weights of the data term.
#include "relax.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "affine.h"
#include "fail.h"

namespace {

// A block and its parameter vectors in one allocation: theta and theta2 point at the arrays
// here (1-based, element 0 unused), so a record is one calloc and one free. A 512 x 512 layer
// holds 262144 records at the finest grid level; three allocations each made the splitting
// into them, and their release, dominate the level's preparation.
struct BlockRecord {
    bloc b;
    double theta[7];
    double theta2[5];
};

// A zeroed record (parameters 0, indic 0, no successor); the run ends with `message` when memory
// runs out.
bloc* new_record(const char* message) {
    auto* r = static_cast<BlockRecord*>(std::calloc(1, sizeof(BlockRecord)));
    if (!r) nrerror(message);
    r->b.theta = r->theta;
    r->b.theta2 = r->theta2;
    return &r->b;
}

}  // namespace

// N blocks of side 2^Coarse_scale (at least one), block k at line (k / nb_blocs_col) << scale,
// column (k mod nb_blocs_col) << scale, with zero parameters and indic 0.
void init_parc(bloc** parcours, short Coarse_scale, short /*resol*/, short /*nb_col*/,
               short /*nb_lig*/, long N, short nb_blocs_col) {
    const char* message = "init_parc: PB allocation memoire";
    bloc* courant = new_record(message);
    *parcours = courant;
    const long last = N > 1 ? N - 1 : 0;
    for (long k = 0; k <= last; k++) {
        courant->taille = Coarse_scale;
        courant->abs = static_cast<short>((k / nb_blocs_col) << Coarse_scale);
        courant->ord = static_cast<short>((k % nb_blocs_col) << Coarse_scale);
        courant->indic = 0;
        courant->suiv = k < last ? new_record(message) : nullptr;
        courant = courant->suiv;
    }
}

// The block becomes its top-left quarter, followed in the list by the top-right, bottom-left
// and bottom-right quarters (new records with copies of its parameters and indic 0), then by
// its former successor.
void decoupe(bloc* courant, short /*nb_line*/, short /*nb_col*/) {
    if (courant->taille < 1)
        fail("decoupe: block at line %hd, column %hd has side 1 and cannot be split", courant->abs,
             courant->ord);
    const short h = static_cast<short>(1 << (courant->taille - 1));
    const char* message = "decoupe: PB allocation memoire";
    bloc* quarter[3];
    for (bloc*& q : quarter) q = new_record(message);
    const short offset_line[3] = {0, h, h};
    const short offset_col[3] = {h, 0, h};
    courant->taille--;
    bloc* after = courant->suiv;
    bloc* previous = courant;
    for (int q = 0; q < 3; q++) {
        bloc* b = quarter[q];
        b->abs = static_cast<short>(courant->abs + offset_line[q]);
        b->ord = static_cast<short>(courant->ord + offset_col[q]);
        b->taille = courant->taille;
        copie_vector(b->theta, courant->theta, 1, 6);
        copie_vector(b->theta2, courant->theta2, 1, 4);
        b->indic = 0;
        previous->suiv = b;
        previous = b;
    }
    previous->suiv = after;
}

void Free_parc(bloc* parcours) {
    while (parcours) {
        bloc* next = parcours->suiv;
        std::free(parcours);  // the record's first member
        parcours = next;
    }
}

// Blocks of side T <= 4 are active. A larger block is inactive when the float sum over its
// pixels of fx^2 + fy^2 (line order) is strictly below T^2 gmin^2; a NaN sum keeps it active.
void Indic_Grad_Min(bloc* parcours, float* fx, float* fy, float* /*Data_out*/, float gmin,
                    short nb_col, short /*nb_line*/) {
    for (bloc* b = parcours; b; b = b->suiv) {
        const int T = 1 << b->taille;
        if (T <= 4) {
            b->indic = 1;
            continue;
        }
        float S = 0.0f;
        for (int i = b->abs; i < b->abs + T; i++) {
            for (int j = b->ord; j < b->ord + T; j++) {
                const long k = static_cast<long>(i) * nb_col + j;
                S += fx[k] * fx[k] + fy[k] * fy[k];
            }
        }
        const float bound = static_cast<float>(T * T) * gmin * gmin;
        b->indic = S < bound ? 0 : 1;
    }
}

// Data_out = exp(-r2 / sigma) with r = (fx u + fy v) + ft and r2 = r * r in single precision,
// every product and sum rounded to float; sigma is used as it is (not squared here).
// sigma == 0 gives 0 everywhere.
void Data_Out_Gen_f(float* u, float* v, float* fx, float* fy, float* ft, float sigma, short nb_col,
                    short nb_line, float* Data_out) {
    const long n = static_cast<long>(nb_col) * nb_line;
    for (long k = 0; k < n; k++) {
        const float r = fx[k] * u[k] + fy[k] * v[k] + ft[k];
        const float r2 = r * r;
        if (sigma == 0.0f)
            Data_out[k] = 0.0f;
        else
            Data_out[k] = static_cast<float>(std::exp(-static_cast<double>(r2) / sigma));
    }
}

namespace {

typedef float f4 __attribute__((vector_size(16)));
typedef int i4 __attribute__((vector_size(16)));

inline i4 to_int(float x) {
    return i4{static_cast<int>(x)};  // lane 0 only (the scalar form)
}
inline i4 to_int(f4 x) {
    return __builtin_convertvector(x, i4);
}

// exp_nonpositive on one float (F = float, its bits in lane 0 of an i4) or four (f4); the
// selects are lane-wise, so NaN keeps the conversion to int defined and itself unchanged.
template <class F>
__attribute__((always_inline)) inline F exp_lanes(F x) {
    const F low = F{} - 87.0f;
    const F xc = x >= low ? x : low;
    const F shift = F{} + 12582912.0f;  // 1.5 2^23: adding and subtracting it rounds
    const F n = (xc * 1.44269504f + shift) - shift;
    const F r = (xc - n * 0.693145752f) - n * 1.42860677e-06f;
    F p = F{} + 1.0f / 5040.0f;
    p = p * r + 1.0f / 720.0f;
    p = p * r + 1.0f / 120.0f;
    p = p * r + 1.0f / 24.0f;
    p = p * r + 1.0f / 6.0f;
    p = p * r + 0.5f;
    p = p * r + 1.0f;
    p = p * r + 1.0f;
    const i4 e = (to_int(n) + 127) << 23;
    F scale;
    std::memcpy(&scale, &e, sizeof scale);
    const F below = x < low ? F{} : x;
    return x >= low ? p * scale : below;
}

}  // namespace

float exp_nonpositive(float x) {
    return exp_lanes(x);
}

void data_weights_fast(float* Data_out, const float* u, const float* v, const float* fx,
                       const float* fy, const float* ft, float sigma, long n) {
    if (sigma == 0.0f) {
        for (long k = 0; k < n; k++) Data_out[k] = 0.0f;
        return;
    }
    const float scale = -1.0f / sigma;
    auto weights = [&](long k, auto lanes) {
        using F = decltype(lanes);
        F a[5];
        const float* in[5] = {u, v, fx, fy, ft};
        for (int m = 0; m < 5; m++) std::memcpy(&a[m], in[m] + k, sizeof(F));
        const F r = a[2] * a[0] + a[3] * a[1] + a[4];
        const F w = exp_lanes(r * r * scale);
        std::memcpy(Data_out + k, &w, sizeof w);
    };
    long k = 0;
    for (; k + 4 <= n; k += 4) weights(k, f4{});
    for (; k < n; k++) weights(k, 0.0f);
}

// 1 when |x| > seuil strictly; a NaN x gives 0.
short Seuil_ERR(float x, float seuil) {
    return std::fabs(x) > seuil ? 1 : 0;
}
