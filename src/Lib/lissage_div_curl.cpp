// The horizontal layer estimator: the ICM sweep over a layer's block list, each block's increment
// affine (6 x 6 normal equations, solved by LU with a constant fallback) or constant (2 x 2),
// from the block systems of block_systems.h, and the entry points taking the energy's terms one
// by one.
#include "lissage_div_curl.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <type_traits>

#include "affine.h"
#include "block_systems.h"
#include "relax.h"
#include "worker_pool.h"

namespace {

// The records with every per-pixel pointer advanced to index k; a missing buffer stays missing.
template <typename T>
T* shifted(T* p, long k) {
    return p ? p + k : nullptr;
}
LayerImages at_pixel(const LayerImages& im, long k) {
    return {im.U + k,  im.V + k,  im.u + k,        im.v + k,  im.fx + k,
            im.fy + k, im.ft + k, im.Data_out + k, im.nb_col, im.nb_line};
}
SmoothingEnergy at_pixel(SmoothingEnergy e, long k) {
    e.Estim = shifted(e.Estim, k);
    e.Estim_rot = shifted(e.Estim_rot, k);
    e.U_ref = shifted(e.U_ref, k);
    e.V_ref = shifted(e.V_ref, k);
    e.It = shifted(e.It, k);
    return e;
}

// New affine parameters of the block in vecteur[1..6]; when the 6 x 6 system is singular the
// block falls back to the constant update: (cu, 0, 0, cv, 0, 0). The block's matrix factors are
// taken from `known` when it holds them (the matrix does not depend on u, v, so it is the same
// in every sweep of one ICM call; B is summed again, in the same order), else computed and, with
// a cache entry, kept there. The fast mode (Real double) keeps the part of B that depends on
// neither u nor v there too, and adds the div-curl part in each later sweep.
template <typename Real>
void affine_update(const BlockInputs& in, double* vecteur, AffineSystemCache::Entry* known) {
    constexpr bool split = std::is_same_v<Real, double>;
    AffineSystemCache::Entry local;
    AffineSystemCache::Entry& e = known ? *known : local;
    double* A[7];
    for (int k = 0; k < 7; k++) A[k] = e.lu[k];
    double B[7] = {};
    if (!e.known) {
        for (auto& row : e.lu)
            for (double& x : row) x = 0.0;
        if constexpr (split) {
            for (double& x : e.b_fit) x = 0.0;
            split_normal_equations(in, A, e.b_fit, B);
            for (int k = 1; k <= 6; k++) B[k] += e.b_fit[k];
        } else {
            normal_equations<Real>(in, A, B);
        }
        double parity;
        e.regular = ludcmp(A, 6, e.indx, &parity) != 0;
        e.known = true;
    } else if constexpr (split) {
        copie_vector(B, e.b_fit, 1, 6);
        smoothing_right_hand_side(in, B);
    } else {
        right_hand_side<Real>(in, B);
    }
    if (e.regular) {
        lubksb(A, 6, e.indx, B);
    } else {
        print_or_capture("systeme non-inversible -> modele constant\n");
        constant_update(in);
        B[1] = in.im.u[0];
        B[2] = B[3] = 0.0;
        B[4] = in.im.v[0];
        B[5] = B[6] = 0.0;
    }
    copie_vector(vecteur, B, 1, 6);
}

// Whether a block of side 2^taille takes the affine update under mod.
bool is_affine(short mod, short taille) {
    return mod == 2 || ((mod == 3 || mod == 4) && taille > 2);
}

// The records of the block routines' arguments.
LayerImages layer_images(float* U, float* V, float* u, float* v, float* fx, float* fy, float* ft,
                         float* Data_out, short nb_col, short nb_line) {
    return {U, V, u, v, fx, fy, ft, Data_out, nb_col, nb_line};
}
CorrelationVectors correlation_vectors(long nb_VecCorrel, float coef_Correl, float* w_f,
                                       float* w_var, float* w_i, float* w_j, float* w_u, float* w_v,
                                       float* w_mask) {
    return {nb_VecCorrel, coef_Correl, w_f, w_var, w_i, w_j, w_u, w_v, w_mask};
}
SmoothingEnergy smoothing_energy(float lambda, float* Estim, float* Estim_rot, short no_div,
                                 short no_curl, const CorrelationVectors& correl, float coef_ref,
                                 float* U_ref, float* V_ref, short* It) {
    return {lambda, Estim, Estim_rot, no_div, no_curl, correl, coef_ref, U_ref, V_ref, It};
}

}  // namespace

int constsys_6_lissage(double** A, double* B, bloc* courant, float* ft, float* fx, float* fy,
                       float* Data_out, float* /*Gamma_out*/, float* w_mask, float* Estim,
                       float* /*Mu_out*/, float* Estim_rot, float* U, float* V, float* u, float* v,
                       short nb_line, short nb_col, float /*rupture*/, float /*alpha*/,
                       float lambda, short no_div, short no_curl, long nb_VecCorrel,
                       float coef_Correl, float* w_f, float* w_var, float* w_i, float* w_j,
                       float* w_u, float* w_v, float coef_ref, float* U_ref, float* V_ref,
                       short* It) {
    const CorrelationVectors correl =
        correlation_vectors(nb_VecCorrel, coef_Correl, w_f, w_var, w_i, w_j, w_u, w_v, w_mask);
    normal_equations<long double>(
        BlockInputs(courant, layer_images(U, V, u, v, fx, fy, ft, Data_out, nb_col, nb_line),
                    smoothing_energy(lambda, Estim, Estim_rot, no_div, no_curl, correl, coef_ref,
                                     U_ref, V_ref, It)),
        A, B);
    return 0;
}

void Ener_min_lissage(float* u, float* v, float* U, float* V, float* fx, float* fy, float* ft,
                      short nb_col, short nb_line, float* Data_out, float* /*Gamma_out*/,
                      float* w_mask, float* Estim, float* /*Mu_out*/, float* Estim_rot,
                      bloc* courant, float /*alpha*/, float lambda, short no_div, short no_curl,
                      long nb_VecCorrel, float coef_Correl, float* w_f, float* w_var, float* w_i,
                      float* w_j, float* w_u, float* w_v, float coef_ref, float* U_ref,
                      float* V_ref, short* It) {
    const CorrelationVectors correl =
        correlation_vectors(nb_VecCorrel, coef_Correl, w_f, w_var, w_i, w_j, w_u, w_v, w_mask);
    constant_update(BlockInputs(courant,
                                layer_images(U, V, u, v, fx, fy, ft, Data_out, nb_col, nb_line),
                                smoothing_energy(lambda, Estim, Estim_rot, no_div, no_curl, correl,
                                                 coef_ref, U_ref, V_ref, It)));
}

void Estim_Param_6_lissage(float* U, float* V, float* u, float* v, float* Data_out,
                           float* /*Gamma_out*/, float* w_mask, float* Estim, float* /*Mu_out*/,
                           float* Estim_rot, float* fx, float* fy, float* ft, short nb_line,
                           short nb_col, bloc* courant, double* vecteur, float /*alpha*/,
                           float lambda, short no_div, short no_curl, long nb_VecCorrel,
                           float coef_Correl, float* w_f, float* w_var, float* w_i, float* w_j,
                           float* w_u, float* w_v, float coef_ref, float* U_ref, float* V_ref,
                           short* It) {
    const CorrelationVectors correl =
        correlation_vectors(nb_VecCorrel, coef_Correl, w_f, w_var, w_i, w_j, w_u, w_v, w_mask);
    affine_update<long double>(
        BlockInputs(courant, layer_images(U, V, u, v, fx, fy, ft, Data_out, nb_col, nb_line),
                    smoothing_energy(lambda, Estim, Estim_rot, no_div, no_curl, correl, coef_ref,
                                     U_ref, V_ref, It)),
        vecteur, nullptr);
}

int ICM_lissage(float* U, float* V, float* u, float* v, float* fx, float* fy, float* ft,
                short nb_col, short nb_line, float Cond_conv, float* Data_out, float* /*Gamma_out*/,
                float* w_mask, float* Estim, float* /*Mu_out*/, float* Estim_rot, bloc* parcours,
                long /*N*/, long /*d*/, short mod, float /*alpha*/, float lambda, short no_div,
                short no_curl, long nb_VecCorrel, float coef_Correl, float* w_f, float* w_var,
                float* w_i, float* w_j, float* w_u, float* w_v, float coef_ref, float* U_ref,
                float* V_ref, short* It) {
    const CorrelationVectors correl =
        correlation_vectors(nb_VecCorrel, coef_Correl, w_f, w_var, w_i, w_j, w_u, w_v, w_mask);
    return icm_sweep(layer_images(U, V, u, v, fx, fy, ft, Data_out, nb_col, nb_line),
                     smoothing_energy(lambda, Estim, Estim_rot, no_div, no_curl, correl, coef_ref,
                                      U_ref, V_ref, It),
                     parcours, mod, Cond_conv);
}

namespace {

template <typename Real>
int sweep(const LayerImages& layer, const SmoothingEnergy& energy, bloc* parcours, short mod,
          float Cond_conv, AffineSystemCache* cache, WorkSharing* sharing) {
    float *u = layer.u, *v = layer.v;
    const short nb_col = layer.nb_col, nb_line = layer.nb_line;
    const float lambda = energy.lambda;
    // relative change above which a block counts as changed
    const float s6 = energy.correl.coef == 0.0f ? 1.0f : 2.0f;
    const float s2 = energy.correl.coef == 0.0f ? 0.1f : 0.5f;
    const double m2 = rounding_boundary_squared(s2);
    // Without correlation vectors and reference field the constant updates run without the
    // set-up of constant_update, with the same sums.
    const bool data_term_only = !energy.correl.on() && energy.coef_ref == 0.0f;
    // Solves active block `courant` (top-left pixel k, line i, column j, side 2^taille), counting
    // it in nb, in nc when it changed, and its affine matrix as number affine_index.
    auto visit = [&](bloc* courant, long k, short i, short j, short taille, long& nb, long& nc,
                     std::size_t& affine_index) {
        nb++;
        const bool affine = is_affine(mod, taille);
        const bool constant = mod == 0 || ((mod == 3 || mod == 4) && taille <= 2);
        const LayerImages im = at_pixel(layer, k);
        if (affine) {
            double old_theta[7], new_theta[7];
            copie_vector(old_theta, courant->theta, 1, 6);
            const double n_old = Norme(old_theta, 1, 6);
            AffineSystemCache::Entry* known = nullptr;
            if (cache) {
                if (cache->entries.size() <= affine_index) cache->entries.resize(affine_index + 1);
                known = &cache->entries[affine_index];
            }
            ++affine_index;
            affine_update<Real>(BlockInputs(courant, im, at_pixel(energy, k)), new_theta, known);
            copie_vector(courant->theta, new_theta, 1, 6);
            proj_theta_6(courant, u, v, nb_line, nb_col);
            for (int m = 1; m <= 6; m++) {
                const float rel = static_cast<float>((new_theta[m] - old_theta[m]) / n_old);
                if (Seuil_ERR(rel, s6)) {
                    nc++;
                    break;
                }
            }
        } else if (constant) {
            const float u0 = u[k], v0 = v[k];
            const float* Estim = energy.no_div ? nullptr : shifted(energy.Estim, k);
            const float* Estim_rot = energy.no_curl ? nullptr : shifted(energy.Estim_rot, k);
            if (data_term_only && taille == 0) {
                // constant_update's cases without its set-up
                System2 S;
                add_data_terms_2<Real>(S, im.Data_out, im.fx, im.fy, im.ft, 0);
                single_pixel_constant<Real>(S, layer, Estim ? *Estim : 0.0f,
                                            Estim_rot ? *Estim_rot : 0.0f, lambda, i, j, k);
            } else if (data_term_only) {
                constant_block<Real>(
                    [&](System2& S, int, int, long p) {
                        add_data_terms_2<Real>(S, im.Data_out, im.fx, im.fy, im.ft, p);
                    },
                    im, Estim, Estim_rot, lambda, i, j, 1 << taille);
                recopie(im.u, im.v, nb_col, nb_line, courant);
            } else {
                constant_update(BlockInputs(courant, im, at_pixel(energy, k)));
                recopie(im.u, im.v, nb_col, nb_line, courant);
            }
            if (relative_change_above(
                    static_cast<double>(u0) - u[k], static_cast<double>(v0) - v[k],
                    static_cast<double>(u0) * u0 + static_cast<double>(v0) * v0, s2, m2))
                nc++;
        }
    };
    long nb = 0, nc = 0;
    if (cache && data_term_only && plan_chunks(*cache, parcours, mod, nb_col, nb_line, is_affine)) {
        if (cache->entries.size() < static_cast<std::size_t>(cache->affine_count))
            cache->entries.resize(static_cast<std::size_t>(cache->affine_count));
        // Visits first .. end - 1 of the plan's flat array in list order, the first affine one
        // being number affine_index; the records of blocks larger than a pixel (the ones a visit
        // reads) are fetched two visits ahead, as they lie apart in memory.
        auto visit_range = [&](int first, int end, long& range_nb, long& range_nc,
                               std::size_t affine_index) {
            const AffineSystemCache::Visit* visits = cache->visits.data();
            for (int q = first; q < end; ++q) {
                if (q + 2 < end && visits[q + 2].taille > 0)
                    __builtin_prefetch(visits[q + 2].record);
                const AffineSystemCache::Visit& b = visits[q];
                visit(b.record, b.k, b.i, b.j, b.taille, range_nb, range_nc, affine_index);
            }
        };
        if (!sharing)  // one thread: the whole list, read in sequence
            visit_range(0, static_cast<int>(cache->visits.size()), nb, nc, 0);
        else
            sweep_chunks(
                *cache, sharing,
                [&](int c, long& chunk_nb, long& chunk_nc) {
                    const AffineSystemCache::Chunk& chunk =
                        cache->chunks[static_cast<std::size_t>(c)];
                    visit_range(chunk.first, chunk.end, chunk_nb, chunk_nc,
                                static_cast<std::size_t>(chunk.affine_base));
                },
                nb, nc);
    } else {
        std::size_t affine_index = 0;  // the affine blocks visited so far in this sweep
        for (bloc* courant = parcours; courant; courant = courant->suiv) {
            // The records lie apart in memory: fetch the next one while this block is solved.
            if (courant->suiv) __builtin_prefetch(courant->suiv);
            if (courant->indic == 0) continue;
            visit(courant, static_cast<long>(courant->abs) * nb_col + courant->ord, courant->abs,
                  courant->ord, courant->taille, nb, nc, affine_index);
        }
    }
    return static_cast<float>(nb) * Cond_conv / 100.0f > static_cast<float>(nc)
               ? 0
               : static_cast<int>(nc);
}

}  // namespace

int icm_sweep(const LayerImages& layer, const SmoothingEnergy& energy, bloc* parcours, short mod,
              float Cond_conv, AffineSystemCache* cache, WorkSharing* sharing, BlockSums sums) {
    if (!parcours) return 0;
    if (sums == BlockSums::fast)
        return sweep<double>(layer, energy, parcours, mod, Cond_conv, cache, sharing);
    return sweep<long double>(layer, energy, parcours, mod, Cond_conv, cache, sharing);
}
