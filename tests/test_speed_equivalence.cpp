// The fast kernels against straightforward versions of the same computations, bit for bit, on
// random inputs of awkward sizes (1 x 1, single lines and columns, images smaller than the
// masks): the clamped 2-D filter, the Gauss-Seidel sweeps of the auxiliary fits and of the
// vertical wind, the link weights, the cached pieces of the data term and of the interface
// coefficients, the block normal equations of the ICM, and the worker pool.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "bib_LP_ansi.h"
#include "bib_ansi.h"
#include "filter_2d.h"
#include "layer_terms.h"
#include "lissage_3D.h"
#include "lissage_div_curl.h"
#include "neighbor.h"
#include "operations_images.h"
#include "relax.h"
#include "robust_sweeps.h"
#include "run_helpers.h"
#include "worker_pool.h"

namespace {

using Field = std::vector<float>;

const int kSizes[][2] = {{1, 1}, {1, 7}, {6, 1}, {2, 2}, {3, 4}, {4, 5}, {5, 10}, {9, 6}, {17, 13}};

std::mt19937& rng() {
    static std::mt19937 g(20240607);
    return g;
}

Field random_field(int n, float lo, float hi) {
    std::uniform_real_distribution<float> d(lo, hi);
    Field f(static_cast<std::size_t>(n));
    for (float& x : f) x = d(rng());
    return f;
}

std::vector<Line_Process> random_weights(int n) {
    const Field h = random_field(n, 0.01f, 1.0f), v = random_field(n, 0.01f, 1.0f);
    std::vector<Line_Process> lp(static_cast<std::size_t>(n));
    for (int k = 0; k < n; ++k) lp[k] = {h[k], v[k]};
    return lp;
}

bool same_bits(const Field& a, const Field& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// same_bits, except that any two NaNs match: which NaN an operation on two NaNs returns depends
// on the order in which the compiler placed the operands.
bool same_values(const Field& a, const Field& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t k = 0; k < a.size(); ++k)
        if (std::memcmp(&a[k], &b[k], sizeof(float)) != 0 &&
            !(std::isnan(a[k]) && std::isnan(b[k])))
            return false;
    return true;
}

// Clamped correlation by its definition: mask line outer, column inner, float running sum.
Field correlate(const Field& x, int nc, int nl, const float* mask, int s_lines, int s_cols) {
    auto clamp = [](int k, int n) { return k < 0 ? 0 : (k > n - 1 ? n - 1 : k); };
    Field out(x.size());
    for (int i = 0; i < nl; ++i)
        for (int j = 0; j < nc; ++j) {
            float acc = 0.0f;
            for (int k = 0; k < s_lines; ++k)
                for (int l = 0; l < s_cols; ++l)
                    acc = x[clamp(i + k - s_lines / 2, nl) * nc + clamp(j + l - s_cols / 2, nc)] *
                              mask[k * s_cols + l] +
                          acc;
            out[i * nc + j] = acc;
        }
    return out;
}

TEST(FastFilter, EveryMaskSizeAndImageSizeGivesTheClampedCorrelation) {
    const int masks[][2] = {{1, 1}, {3, 3}, {5, 5}, {3, 5}, {7, 7}};
    const int sizes[][2] = {{1, 1}, {2, 3}, {4, 4}, {5, 5}, {7, 2}, {9, 11}, {33, 20}};
    for (const auto& m : masks) {
        Field mask = random_field(m[0] * m[1], -300.0f, 300.0f);
        for (const auto& s : sizes) {
            const int nc = s[0], nl = s[1];
            Field x = random_field(nc * nl, -50.0f, 50.0f), got(x.size());
            Filtre_f_2D_f(got.data(), x.data(), mask.data(), m[0], m[1], nc, nl);
            EXPECT_TRUE(same_bits(got, correlate(x, nc, nl, mask.data(), m[0], m[1])))
                << m[0] << "x" << m[1] << " mask on " << nc << "x" << nl;
            // Any split into line ranges gives the same samples.
            Field split(x.size());
            const int cut = nl / 3;
            filter_2d_clamped(split.data(), x.data(), mask.data(), m[0], m[1], nc, nl, cut, nl);
            filter_2d_clamped(split.data(), x.data(), mask.data(), m[0], m[1], nc, nl, 0, cut);
            EXPECT_TRUE(same_bits(split, got)) << nc << "x" << nl;
        }
    }
}

// Sweeps made of the single-pixel updates, in raster order forward then backward.
template <class Update>
int reference_sweeps(int nc, int nl, Update update) {
    int count = 0;
    for (int i = 0; i < nl; ++i)
        for (int j = 0; j < nc; ++j) count += update(i, j);
    for (int i = nl - 1; i >= 0; --i)
        for (int j = nc - 1; j >= 0; --j) count += update(i, j);
    return count;
}

TEST(FastSweeps, AuxiliaryFitSweepMatchesThePixelUpdatesInOrder) {
    for (const auto& s : kSizes) {
        const int nc = s[0], nl = s[1], n = nc * nl;
        Field obs = random_field(n, -2.0f, 2.0f), est = random_field(n, -2.0f, 2.0f);
        auto lp = random_weights(n);
        Field want = est;
        const int want_count = reference_sweeps(nc, nl, [&](int i, int j) {
            const int k = i * nc + j;
            const float x = EstimVal_Rob(&obs[k], &want[k], i, j, nc, nl, 1.0f, 150.0f, &lp[k]);
            const int changed = Seuil_ERR(x - want[k], 0.0001f);
            want[k] = x;
            return changed;
        });
        EXPECT_EQ(RegulEstim_Rob(obs.data(), est.data(), nc, nl, 150.0f, 1.0f, 1000.0f, lp.data()),
                  want_count)
            << nc << "x" << nl;
        EXPECT_TRUE(same_bits(est, want)) << nc << "x" << nl;
    }
}

TEST(FastSweeps, VerticalWindSweepMatchesThePixelUpdatesInOrder) {
    for (const auto& s : kSizes) {
        const int nc = s[0], nl = s[1], n = nc * nl;
        Field w = random_field(n, -0.5f, 0.5f), D0 = random_field(n, 0.0f, 1.0f),
              D1 = random_field(n, 0.0f, 1.0f), a01 = random_field(n, -20.0f, 20.0f),
              b01 = random_field(n, -100.0f, 100.0f), a12 = random_field(n, -20.0f, 20.0f),
              b12 = random_field(n, -100.0f, 100.0f);
        auto lp = random_weights(n);
        Field want = w;
        const int want_count = reference_sweeps(nc, nl, [&](int i, int j) {
            const int k = i * nc + j;
            const float x = EstimValWVert_RobUpDown(&want[k], &a01[k], &b01[k], &a12[k], &b12[k],
                                                    &D0[k], &D1[k], i, j, nc, nl, 5000.0f, &lp[k]);
            const int changed = std::fabs(x - want[k]) >= 0.001f ? 1 : 0;
            want[k] = x;
            return changed;
        });
        EXPECT_EQ(RegulWVert_RobUpDown(w.data(), D0.data(), D1.data(), a01.data(), b01.data(),
                                       a12.data(), b12.data(), nc, nl, 5000.0f, lp.data()),
                  want_count)
            << nc << "x" << nl;
        EXPECT_TRUE(same_bits(w, want)) << nc << "x" << nl;
    }
}

TEST(FastSweeps, LinkWeightsFollowTheNeighbourRuleOnEveryLineRange) {
    for (const auto& s : kSizes) {
        const int nc = s[0], nl = s[1], n = nc * nl;
        Field x = random_field(n, -30.0f, 30.0f);
        const float sigma = 7.5f, sigma2 = sigma * sigma;
        std::vector<Line_Process> got(n), split(n);
        Relax_estim(x.data(), nc, nl, sigma, got.data());
        relax_weights(x.data(), nc, nl, sigma, split.data(), nl / 2, nl);
        relax_weights(x.data(), nc, nl, sigma, split.data(), 0, nl / 2);
        for (int i = 0; i < nl; ++i)
            for (int j = 0; j < nc; ++j) {
                const int k = i * nc + j;
                float d = x[k] - DOWN(i, j, nc, nl, &x[k]), t = d * d;
                const float h = sigma2 / ((t + sigma) * (t + sigma));
                d = x[k] - RIGHT(i, j, nc, nl, &x[k]);
                t = d * d;
                const float v = sigma2 / ((t + sigma) * (t + sigma));
                EXPECT_EQ(std::memcmp(&got[k].Disc_h, &h, 4), 0) << k;
                EXPECT_EQ(std::memcmp(&got[k].Disc_v, &v, 4), 0) << k;
                EXPECT_EQ(std::memcmp(&split[k], &got[k], sizeof(Line_Process)), 0) << k;
            }
    }
}

// Estim_Regulees_Rob from its pieces: observations, then the divergence fit (2 passes at most)
// and the vorticity fit (200), each pass two sweeps and a weight update.
void reference_regulees(Field& est, Field& rot, Field& U, Field& V, Field& u, Field& v, int nc,
                        int nl, float coef_regul = 15.0f) {
    const int n = nc * nl;
    Field od(n), oc(n);
    Calcul_Estim_Div_Curl(od.data(), oc.data(), U.data(), V.data(), u.data(), v.data(), nc, nl);
    const float cond = static_cast<float>(3 * n) / 100.0f;
    for (auto [obs, x, passes] : {std::make_tuple(&od, &est, 2), std::make_tuple(&oc, &rot, 200)}) {
        std::vector<Line_Process> lp(n);
        Maz_LP(lp.data(), nc, nl);
        for (int p = 0; p < passes; ++p) {
            const int changed = reference_sweeps(nc, nl, [&](int i, int j) {
                const int k = i * nc + j;
                const float y =
                    EstimVal_Rob(&(*obs)[k], &(*x)[k], i, j, nc, nl, 1.0f, coef_regul, &lp[k]);
                const int c = Seuil_ERR(y - (*x)[k], 0.0001f);
                (*x)[k] = y;
                return c;
            });
            Relax_estim(x->data(), nc, nl, 40.0f, lp.data());
            if (cond > changed) break;
        }
    }
}

TEST(FastSweeps, SplitAuxiliaryFitsWithReusedScratchGiveEstimRegulees) {
    AuxiliaryFitScratch div_scratch, curl_scratch;  // reused across sizes, stale contents
    for (const auto& s : kSizes) {
        const int nc = s[0], nl = s[1], n = nc * nl;
        Field U = random_field(n, -3, 3), V = random_field(n, -3, 3), u = random_field(n, -1, 1),
              v = random_field(n, -1, 1), est = random_field(n, -1, 1),
              rot = random_field(n, -1, 1);
        Field want_est = est, want_rot = rot;
        reference_regulees(want_est, want_rot, U, V, u, v, nc, nl);
        fit_vorticity_field(rot.data(), U.data(), V.data(), u.data(), v.data(), nc, nl, 15.0f,
                            40.0f, curl_scratch);
        fit_divergence_field(est.data(), U.data(), V.data(), u.data(), v.data(), nc, nl, 15.0f,
                             40.0f, div_scratch);
        EXPECT_TRUE(same_bits(est, want_est)) << nc << "x" << nl;
        EXPECT_TRUE(same_bits(rot, want_rot)) << nc << "x" << nl;
    }
}

TEST(FastSweeps, FitsOfSeveralLayersAtOnceMatchEachLayerAlone) {
    for (const auto& s : kSizes) {
        const int nc = s[0], nl = s[1], n = nc * nl;
        std::vector<Field> f;  // per layer: U, V, u, v, Estim, Estim_rot
        std::vector<WindAndFields> layers;
        const float scale[3] = {0.1f, 1.0f, 5.0f};  // different pass counts
        for (int l = 0; l < 3; ++l)
            for (int k = 0; k < 6; ++k) f.push_back(random_field(n, -scale[l], scale[l]));
        std::vector<Field> want = f;
        for (int l = 0; l < 3; ++l) {
            Field* g = &f[6 * l];
            layers.push_back(
                {g[0].data(), g[1].data(), g[2].data(), g[3].data(), g[4].data(), g[5].data()});
            Field* w = &want[6 * l];
            reference_regulees(w[4], w[5], w[0], w[1], w[2], w[3], nc, nl);
        }
        fit_auxiliary_fields(layers.data(), 3, true, true, nc, nl, 15.0f, 40.0f);
        for (int l = 0; l < 3; ++l) {
            EXPECT_TRUE(same_bits(f[6 * l + 4], want[6 * l + 4])) << nc << "x" << nl << " " << l;
            EXPECT_TRUE(same_bits(f[6 * l + 5], want[6 * l + 5])) << nc << "x" << nl << " " << l;
        }
    }
}

TEST(FastSweeps, InterfaceRelaxationWithReusedRecordsMatchesEstimWvert) {
    std::vector<Line_Process> ztw;  // kept between calls like the run driver's
    std::vector<WindTerms> terms;
    for (const auto& s : kSizes) {
        const int nc = s[0], nl = s[1], n = nc * nl;
        Field w = random_field(n, -0.5f, 0.5f), D0 = random_field(n, 0, 1),
              D1 = random_field(n, 0, 1), a01 = random_field(n, -20, 20),
              b01 = random_field(n, -100, 100), a12 = random_field(n, -20, 20),
              b12 = random_field(n, -100, 100);
        Field want = w;
        const short want_conv =
            Estim_Wvert_RobUpDown(want.data(), D0.data(), D1.data(), a01.data(), b01.data(),
                                  a12.data(), b12.data(), 50.0f, 0.01f, nc, nl);
        EXPECT_EQ(relax_interface_wind(w.data(), D0.data(), D1.data(), a01.data(), b01.data(),
                                       a12.data(), b12.data(), 50.0f, 0.01f, nc, nl, ztw, terms),
                  want_conv);
        EXPECT_TRUE(same_bits(w, want)) << nc << "x" << nl;
    }
}

// Sizes around bands of 16 lines: fewer lines than a band, one band, a band and a line, partial
// last bands, one or two columns, widths below and above the band height, and full bands 15 and
// 16 columns wide (no row, and one row, where all 16 lines are inside the image).
const int kBandSizes[][2] = {{1, 17},  {2, 16},  {16, 3}, {3, 33},  {37, 23},
                             {40, 32}, {19, 47}, {70, 6}, {15, 32}, {16, 33}};

// NaN and both infinities at three places of f.
void spoil(Field& f, int seed) {
    const std::size_t n = f.size();
    f[seed % n] = std::nanf("");
    f[(7 * seed + 3) % n] = INFINITY;
    f[(13 * seed + 5) % n] = -INFINITY;
}

// With AVX2 where the processor has it, then with SSE2 only.
const bool kSse2Only[] = {false, true};

TEST(FastSweeps, FitsAcrossBandsWithSpecialValuesAndZeroDenominatorsGiveEstimRegulees) {
    AuxiliaryFitScratch div_scratch, curl_scratch;  // reused across sizes, stale contents
    for (bool sse2 : kSse2Only)
        for (const auto& s : kBandSizes)
            for (int kind = 0; kind < 3; ++kind) {  // plain, special values, zero denominators
                limit_sweeps_to_sse2(sse2);
                const int nc = s[0], nl = s[1], n = nc * nl;
                Field U = random_field(n, -3, 3), V = random_field(n, -3, 3),
                      u = random_field(n, -1, 1), v = random_field(n, -1, 1),
                      est = random_field(n, -1, 1), rot = random_field(n, -1, 1);
                if (kind == 1) spoil(U, nc), spoil(est, nl), spoil(rot, n);
                // coef_regul -1/4: the first pass's inner denominators 1 - 4 / 4 are 0.
                const float coef = kind == 2 ? -0.25f : 15.0f;
                Field want_est = est, want_rot = rot;
                reference_regulees(want_est, want_rot, U, V, u, v, nc, nl, coef);
                fit_vorticity_field(rot.data(), U.data(), V.data(), u.data(), v.data(), nc, nl,
                                    coef, 40.0f, curl_scratch);
                fit_divergence_field(est.data(), U.data(), V.data(), u.data(), v.data(), nc, nl,
                                     coef, 40.0f, div_scratch);
                EXPECT_TRUE(same_values(est, want_est))
                    << nc << "x" << nl << " kind " << kind << sse2;
                EXPECT_TRUE(same_values(rot, want_rot))
                    << nc << "x" << nl << " kind " << kind << sse2;
            }
    limit_sweeps_to_sse2(false);
}

TEST(FastSweeps, InterfaceRelaxationAcrossBandsWithSpecialValuesAndZeroDenominators) {
    std::vector<Line_Process> ztw;
    std::vector<WindTerms> terms;
    for (bool sse2 : kSse2Only)
        for (const auto& s : kBandSizes)
            for (int kind = 0; kind < 4; ++kind) {  // plain, special values, zero denominators
                limit_sweeps_to_sse2(sse2);
                const int nc = s[0], nl = s[1], n = nc * nl;
                Field w = random_field(n, -0.5f, 0.5f), D0 = random_field(n, 0, 1),
                      D1 = random_field(n, 0, 1), a01 = random_field(n, -20, 20),
                      b01 = random_field(n, -100, 100), a12 = random_field(n, -20, 20),
                      b12 = random_field(n, -100, 100);
                float lambdaW = 50.0f;
                if (kind == 1) spoil(w, nc), spoil(D0, nl), spoil(b12, n);
                if (kind >= 2) {  // no smoothing and no data: denominator 0
                    lambdaW = 0.0f;
                    if (kind == 2)  // on every third pixel
                        for (int k = 0; k < n; k += 3) D0[k] = D1[k] = 0.0f;
                    else  // on one line only, in the second band when there is one
                        for (int k = std::min(20, nl - 1) * nc, j = 0; j < nc; ++j)
                            D0[k + j] = D1[k + j] = 0.0f;
                }
                Field want = w;
                const short want_conv =
                    Estim_Wvert_RobUpDown(want.data(), D0.data(), D1.data(), a01.data(), b01.data(),
                                          a12.data(), b12.data(), lambdaW, 0.01f, nc, nl);
                EXPECT_EQ(relax_interface_wind(w.data(), D0.data(), D1.data(), a01.data(),
                                               b01.data(), a12.data(), b12.data(), lambdaW, 0.01f,
                                               nc, nl, ztw, terms),
                          want_conv);
                EXPECT_TRUE(same_values(w, want)) << nc << "x" << nl << " kind " << kind << sse2;
            }
    limit_sweeps_to_sse2(false);
}

// clang-format off
float kGX2[25] = {135, -188, 0, 188, -135,   -15, -263, 0, 263, 15,   -65, -288, 0, 288, 65,
                  -15, -263, 0, 263, 15,     135, -188, 0, 188, -135};
float kGY2[25] = {135, -15, -65, -15, 135,   -188, -263, -288, -263, -188,   0, 0, 0, 0, 0,
                  188, 263, 288, 263, 188,   -135, 15, 65, 15, -135};
// clang-format on
float kT2[9] = {0, 1, 0, 1, 2, 1, 0, 1, 0};
const float kNorm = 0.0005952381f;

// One layer's inputs at nc x nl, with some pixels of tiny divergence.
struct LayerData {
    LayerData(int nc_, int nl_) : nc(nc_), nl(nl_), n(nc_ * nl_) {
        U = random_field(n, -2, 2), V = random_field(n, -2, 2), u = random_field(n, -0.5f, 0.5f),
        v = random_field(n, -0.5f, 0.5f), fx = random_field(n, -30, 30),
        fy = random_field(n, -30, 30), O_Itdt = random_field(n, 0, 1000);
        if (n > 4) {  // uniform wind over the upper lines: |div| < 0.01 there
            U.assign(U.size(), 0.25f);
            for (int k = 0; k < n / 2; ++k) V[k] = -0.5f;
        }
        std::uniform_int_distribution<int> grey(0, 1023);
        It.resize(n);
        Itdt.resize(n);
        for (int k = 0; k < n; ++k) It[k] = grey(rng()), Itdt[k] = grey(rng());
    }
    int nc, nl, n;
    Field U, V, u, v, fx, fy, O_Itdt;
    std::vector<short> It, Itdt;
};

TEST(FastLayerTerms, InterfaceCoefficientsFromCachedTermsMatchTheWholeComputation) {
    for (const auto& s : kSizes) {
        LayerData d(s[0], s[1]);
        const int nc = d.nc, nl = d.nl, n = d.n;
        // Terms computed once, then used for several known winds and densities.
        Field div(n), ex(n), gx(n), gy(n), reg(n), ft(n), sa(n), sb(n);
        divergence_terms(div.data(), ex.data(), gx.data(), gy.data(), d.U.data(), d.V.data(), nc, nl);
        registered_image(reg.data(), d.Itdt.data(), d.U.data(), d.V.data(), nc, nl, sa.data());
        smoothed_residual(ft.data(), ex.data(), reg.data(), d.It.data(), kT2, nc, nl, sa.data());
        const MassTermsView view{div.data(), ex.data(),  gx.data(),  gy.data(),   reg.data(),
                                 ft.data(),  d.u.data(), d.v.data(), d.fx.data(), d.fy.data()};
        for (int trial = 0; trial < 3; ++trial) {
            Field rho = random_field(n, 0.5f, 1.2f), rho0 = random_field(n, 0.5f, 1.2f),
                  w = random_field(n, -0.2f, 0.2f);
            Field a(n), b(n), want_a(n), want_b(n);
            for (bool up : {true, false}) {
                auto whole = up ? cte_edp2ndMembreFiltreGaussUp : cte_edp2ndMembreFiltreGaussDown;
                whole(want_a.data(), want_b.data(), rho.data(), rho0.data(), w.data(), d.It.data(),
                      d.Itdt.data(), d.U.data(), d.V.data(), d.u.data(), d.v.data(), 88.29f, nc, nl,
                      d.fx.data(), d.fy.data(), kT2);
                if (up)
                    interface_coefficients_up(a.data(), b.data(), view, rho.data(), rho0.data(),
                                              w.data(), 88.29f, 0, n);
                else
                    interface_coefficients_down(a.data(), b.data(), view, rho.data(), rho0.data(),
                                                w.data(), 88.29f, 0, n);
                EXPECT_TRUE(same_bits(a, want_a)) << nc << "x" << nl << " up " << up;
                EXPECT_TRUE(same_bits(b, want_b)) << nc << "x" << nl << " up " << up;
                // The residual handed over in a itself, b as the filter's scratch.
                smoothed_residual(a.data(), ex.data(), reg.data(), d.It.data(), kT2, nc, nl,
                                  b.data());
                MassTermsView in_a = view;
                in_a.ft_mass = a.data();
                if (up)
                    interface_coefficients_up(a.data(), b.data(), in_a, rho.data(), rho0.data(),
                                              w.data(), 88.29f, 0, n);
                else
                    interface_coefficients_down(a.data(), b.data(), in_a, rho.data(), rho0.data(),
                                                w.data(), 88.29f, 0, n);
                EXPECT_TRUE(same_bits(a, want_a)) << nc << "x" << nl << " in place, up " << up;
            }
        }
    }
}

// The layer derivative update from the whole images, as the straightforward driver does it.
void reference_derivative_update(LayerData& d, Field& fx, Field& fy, Field& ft, const Field& tempfx,
                                 const Field& tempfy, const Field& rho_lo, const Field& rho_hi,
                                 const Field& w_lo, const Field& w_hi) {
    const int nc = d.nc, nl = d.nl, n = d.n;
    Field div(n), ex(n), gx(n), gy(n), temp(n), F(n);
    Div_Vie(div.data(), d.U.data(), d.V.data(), nc, nl);
    Exp_image(ex.data(), div.data(), nc, nl);
    Filtre_f_2D_f(gx.data(), div.data(), kGX2, 5, 5, nc, nl);
    Norm_f(gx.data(), gx.data(), kNorm, nc, nl);
    Filtre_f_2D_f(gy.data(), div.data(), kGY2, 5, 5, nc, nl);
    Norm_f(gy.data(), gy.data(), kNorm, nc, nl);
    Mult_f(fx.data(), ex.data(), const_cast<float*>(tempfx.data()), nc, nl);
    Mult_f(fy.data(), ex.data(), const_cast<float*>(tempfy.data()), nc, nl);
    Mult_f(temp.data(), ex.data(), d.O_Itdt.data(), nc, nl);
    for (int k = 0; k < n; ++k) {
        fx[k] += temp[k] * gx[k];
        fy[k] += temp[k] * gy[k];
        ft[k] = temp[k] - static_cast<float>(d.It[k]);
    }
    Filtre_2D_f_th(temp.data(), ft.data(), kT2, 3, 3, nc, nl);
    Norm_f(ft.data(), temp.data(), 0.166f, nc, nl);
    for (int k = 0; k < n; ++k) {
        const float f = 88.29f * (rho_lo[k] * w_lo[k] - rho_hi[k] * w_hi[k]);
        const float A = ((ex[k] - 1.0f) / div[k] - ex[k]) * (f / div[k]);
        if (std::fabs(div[k]) <= 0.01) {
            ft[k] -= f;
        } else {
            fx[k] += A * gx[k];
            fy[k] += A * gy[k];
            ft[k] += -(f / div[k]) * (ex[k] - 1.0f);
        }
    }
}

TEST(FastLayerTerms, DataTermFromCachedTermsMatchesTheWholeDerivativeUpdate) {
    for (const auto& s : kSizes) {
        LayerData d(s[0], s[1]);
        const int nc = d.nc, nl = d.nl, n = d.n;
        Field div(n), ex(n), gx(n), gy(n), ft_data(n), sa(n), sb(n);
        divergence_terms(div.data(), ex.data(), gx.data(), gy.data(), d.U.data(), d.V.data(), nc, nl);
        smoothed_residual(ft_data.data(), ex.data(), d.O_Itdt.data(), d.It.data(), kT2, nc, nl,
                          sa.data());
        for (int trial = 0; trial < 3; ++trial) {
            Field rl = random_field(n, 0.5f, 1.2f), rh = random_field(n, 0.5f, 1.2f),
                  wl = random_field(n, -0.2f, 0.2f), wh = random_field(n, -0.2f, 0.2f);
            if (trial == 0) wl.assign(n, 0.0f), wh.assign(n, 0.0f);
            Field fx(n), fy(n), ft(n), want_fx(n), want_fy(n), want_ft(n);
            reference_derivative_update(d, want_fx, want_fy, want_ft, d.fx, d.fy, rl, rh, wl, wh);
            data_term_update(fx.data(), fy.data(), ft.data(), div.data(), ex.data(), gx.data(),
                             gy.data(), d.fx.data(), d.fy.data(), d.O_Itdt.data(), ft_data.data(),
                             rl.data(), rh.data(), wl.data(), wh.data(), 88.29f, 0, n);
            EXPECT_TRUE(same_bits(fx, want_fx)) << nc << "x" << nl;
            EXPECT_TRUE(same_bits(fy, want_fy)) << nc << "x" << nl;
            EXPECT_TRUE(same_bits(ft, want_ft)) << nc << "x" << nl;
            // The smoothed residual may be handed over in the output image itself.
            Field in_place = ft_data;
            data_term_update(fx.data(), fy.data(), in_place.data(), div.data(), ex.data(),
                             gx.data(), gy.data(), d.fx.data(), d.fy.data(), d.O_Itdt.data(),
                             in_place.data(), rl.data(), rh.data(), wl.data(), wh.data(), 88.29f, 0,
                             n);
            EXPECT_TRUE(same_bits(in_place, want_ft)) << nc << "x" << nl;
        }
    }
}

// Four pixels at a time and one at a time give the same bits, also on both sides of the
// |div| = 0.01 branch, at 0 and at NaN.
TEST(FastLayerTerms, GroupsOfFourPixelsMatchSinglePixelsAtTheDivergenceBranch) {
    const float d[] = {0.01f, -0.01f,        std::nextafter(0.01f, 1.0f),
                       0.0f,  std::nanf(""), -std::nextafter(0.01f, 1.0f),
                       0.2f,  -3.0f,         0.005f};
    const int n = 9;
    std::vector<float> div(d, d + n), ex(n), v[12];
    for (int k = 0; k < n; ++k) ex[k] = std::exp(d[k]);
    for (int q = 0; q < 12; ++q) v[q] = random_field(n, -2.0f, 2.0f);
    const MassTermsView m{div.data(),  ex.data(),   v[0].data(), v[1].data(), v[2].data(),
                          v[3].data(), v[4].data(), v[5].data(), v[6].data(), v[7].data()};
    for (bool up : {true, false}) {
        Field a(n), b(n), a1(n), b1(n);
        auto coefficients = up ? interface_coefficients_up : interface_coefficients_down;
        coefficients(a.data(), b.data(), m, v[8].data(), v[9].data(), v[10].data(), 88.29f, 0, n);
        for (int k = 0; k < n; ++k)
            coefficients(a1.data(), b1.data(), m, v[8].data(), v[9].data(), v[10].data(), 88.29f, k,
                         k + 1);
        EXPECT_TRUE(same_bits(a, a1)) << up;
        EXPECT_TRUE(same_bits(b, b1)) << up;
    }
    Field fx(n), fy(n), ft(n), fx1(n), fy1(n), ft1(n);
    for (int k = 0; k <= n; k += n) {  // whole range, then pixel by pixel
        const int step = k == 0 ? n : 1;
        for (int first = 0; first < n; first += step)
            data_term_update(k == 0 ? fx.data() : fx1.data(), k == 0 ? fy.data() : fy1.data(),
                             k == 0 ? ft.data() : ft1.data(), div.data(), ex.data(), v[0].data(),
                             v[1].data(), v[2].data(), v[3].data(), v[4].data(), v[5].data(),
                             v[6].data(), v[7].data(), v[8].data(), v[9].data(), 88.29f, first,
                             first + step);
    }
    EXPECT_TRUE(same_bits(fx, fx1));
    EXPECT_TRUE(same_bits(fy, fy1));
    EXPECT_TRUE(same_bits(ft, ft1));
}

}  // namespace

// ---- Block normal equations: the straightforward accumulation, neighbour by neighbour ----

namespace reference {

struct Block {
    int i0, j0, T, nc, nl;
    float *U, *V, *u, *v, *fx, *fy, *ft, *D, *Estim, *Estim_rot;
    long at(int i, int j) const { return static_cast<long>(i - i0) * nc + (j - j0); }
    bool in_block(int i, int j) const { return i >= i0 && i < i0 + T && j >= j0 && j < j0 + T; }
};

struct Row {
    long double a[7] = {}, b[7] = {};
    long double Kd = 0, Kc = 0;
};

Row div_curl_row(const Block& in, int i, int j) {
    struct Neighbour {
        int di, dj;
        float (*read)(short, short, short, short, float*);
        int u_div, v_div, u_curl, v_curl;
    };
    static const Neighbour qs[4] = {{0, 1, RIGHT, 1, 0, 0, 1},
                                    {0, -1, LEFT, -1, 0, 0, -1},
                                    {1, 0, DOWN, 0, 1, -1, 0},
                                    {-1, 0, UP, 0, -1, 1, 0}};
    const long p = in.at(i, j);
    Row row;
    long double kd = 0, kc = 0;
    for (const Neighbour& q : qs) {
        const int qi = i + q.di, qj = j + q.dj;
        long double wU, wV;
        if (in.in_block(qi, qj)) {
            wU = in.U[in.at(qi, qj)];
            wV = in.V[in.at(qi, qj)];
            const long double phi[3] = {1.0L, static_cast<long double>(qi),
                                        static_cast<long double>(qj)};
            for (int m = 0; m < 3; m++) {
                row.a[1 + m] += q.u_div * phi[m];
                row.a[4 + m] += q.v_div * phi[m];
                row.b[1 + m] += q.u_curl * phi[m];
                row.b[4 + m] += q.v_curl * phi[m];
            }
        } else {
            auto known = [&](float* f) { return q.read(i, j, in.nc, in.nl, f + p); };
            wU = static_cast<long double>(known(in.U)) + known(in.u);
            wV = static_cast<long double>(known(in.V)) + known(in.v);
        }
        kd += q.u_div * wU + q.v_div * wV;
        kc += q.u_curl * wU + q.v_curl * wV;
    }
    row.Kd = static_cast<long double>(static_cast<float>(kd)) - in.Estim[p];
    row.Kc = static_cast<long double>(static_cast<float>(kc)) - in.Estim_rot[p];
    return row;
}

// Data term of the affine model, then the div-curl rows, pixel by pixel.
void affine_system(const Block& in, float lambda, double A[7][7], double B[7]) {
    const long double lam = lambda;
    for (int i = in.i0; i < in.i0 + in.T; i++)
        for (int j = in.j0; j < in.j0 + in.T; j++) {
            const long p = in.at(i, j);
            const long double phi[4] = {0, 1, static_cast<long double>(i),
                                        static_cast<long double>(j)};
            const float d = in.D[p], gx = in.fx[p], gy = in.fy[p], gt = in.ft[p];
            const long double dxx = static_cast<long double>(d) * gx * gx;
            const long double dxy = static_cast<long double>(d) * gx * gy;
            const long double dyy = static_cast<long double>(d) * gy * gy;
            for (int k = 1; k <= 3; k++) {
                for (int l = k; l <= 3; l++) {
                    A[k][l] += dxx * phi[k] * phi[l];
                    A[3 + k][3 + l] += dyy * phi[k] * phi[l];
                }
                for (int l = 1; l <= 3; l++) A[k][3 + l] += dxy * phi[k] * phi[l];
            }
            const float gxt = static_cast<float>(static_cast<long double>(gx) * gt * d);
            const float gyt = static_cast<float>(static_cast<long double>(gy) * gt * d);
            for (int k = 1; k <= 3; k++) {
                B[k] -= static_cast<long double>(gxt) * phi[k];
                B[3 + k] -= static_cast<long double>(gyt) * phi[k];
            }
            const Row r = div_curl_row(in, i, j);
            for (int k = 1; k <= 6; k++) {
                for (int l = k; l <= 6; l++) A[k][l] += lam * (r.a[k] * r.a[l] + r.b[k] * r.b[l]);
                B[k] -= lam * (r.Kd * r.a[k] + r.Kc * r.b[k]);
            }
        }
    for (int k = 2; k <= 6; k++)
        for (int l = 1; l < k; l++) A[k][l] = A[l][k];
}

// Constant model: 2 x 2 system (blocks of side 2 and more), solved by Cramer's rule.
void constant_update(const Block& in, float lambda, float* cu, float* cv) {
    double A[3][3] = {}, B[3] = {};
    const long double lam = lambda;
    for (int i = in.i0; i < in.i0 + in.T; i++)
        for (int j = in.j0; j < in.j0 + in.T; j++) {
            const long p = in.at(i, j);
            const float d = in.D[p], gx = in.fx[p], gy = in.fy[p], gt = in.ft[p];
            A[1][1] += static_cast<long double>(d) * gx * gx;
            A[1][2] += static_cast<long double>(d) * gx * gy;
            A[2][2] += static_cast<long double>(d) * gy * gy;
            B[1] -= static_cast<long double>(gx) * gt * d;
            B[2] -= static_cast<long double>(gt) * d * gy;
            const Row r = div_curl_row(in, i, j);
            A[1][1] += lam * (r.a[1] * r.a[1] + r.b[1] * r.b[1]);
            A[1][2] += lam * (r.a[1] * r.a[4] + r.b[1] * r.b[4]);
            A[2][2] += lam * (r.a[4] * r.a[4] + r.b[4] * r.b[4]);
            B[1] -= lam * (r.Kd * r.a[1] + r.Kc * r.b[1]);
            B[2] -= lam * (r.Kd * r.a[4] + r.Kc * r.b[4]);
        }
    const double det = A[1][1] * A[2][2] - A[1][2] * A[1][2];
    if (det == 0.0) return;
    *cu = static_cast<float>((A[2][2] * B[1] - A[1][2] * B[2]) / det);
    *cv = static_cast<float>((A[1][1] * B[2] - A[1][2] * B[1]) / det);
}

}  // namespace reference

namespace {

// Random fields of one image and a block of side 2^taille at (i0, j0), inside or at its edges.
struct BlockCase {
    BlockCase(int nc_, int nl_) : nc(nc_), nl(nl_) {
        const int n = nc * nl;
        for (Field* f : {&U, &V, &u, &v, &Estim, &Estim_rot}) *f = random_field(n, -2, 2);
        fx = random_field(n, -40, 40), fy = random_field(n, -40, 40), ft = random_field(n, -9, 9);
        D = random_field(n, 0, 1);
        It.assign(n, 500);
    }
    reference::Block block(int i0, int j0, int T) {
        const long k = static_cast<long>(i0) * nc + j0;
        return {i0,
                j0,
                T,
                nc,
                nl,
                U.data() + k,
                V.data() + k,
                u.data() + k,
                v.data() + k,
                fx.data() + k,
                fy.data() + k,
                ft.data() + k,
                D.data() + k,
                Estim.data() + k,
                Estim_rot.data() + k};
    }
    int nc, nl;
    Field U, V, u, v, fx, fy, ft, D, Estim, Estim_rot;
    std::vector<short> It;
};

TEST(FastBlockSystems, AffineAndConstantSystemsMatchTheNeighbourByNeighbourSums) {
    BlockCase c(19, 17);
    const struct {
        int i0, j0, taille;
    } blocks[] = {{0, 0, 3}, {9, 11, 3}, {5, 4, 3},   {0, 15, 2}, {13, 0, 2},
                  {6, 7, 2}, {8, 8, 1},  {15, 17, 1}, {1, 2, 4}};
    for (float lambda : {700.0f, 0.37f}) {
        for (const auto& b : blocks) {
            const int T = 1 << b.taille;
            const long k = static_cast<long>(b.i0) * c.nc + b.j0;
            bloc rec{};
            rec.abs = static_cast<short>(b.i0);
            rec.ord = static_cast<short>(b.j0);
            rec.taille = static_cast<short>(b.taille);
            if (T >= 2) {
                double store[7][7] = {}, want[7][7] = {}, B[7] = {}, want_B[7] = {};
                double* A[7];
                for (int r = 0; r < 7; r++) A[r] = store[r];
                constsys_6_lissage(A, B, &rec, c.ft.data() + k, c.fx.data() + k, c.fy.data() + k,
                                   c.D.data() + k, nullptr, nullptr, c.Estim.data() + k, nullptr,
                                   c.Estim_rot.data() + k, c.U.data() + k, c.V.data() + k,
                                   c.u.data() + k, c.v.data() + k, c.nl, c.nc, 0.61f, 0.0f, lambda,
                                   0, 0, 0, 0.0f, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, 0.0f, nullptr, nullptr, c.It.data() + k);
                reference::affine_system(c.block(b.i0, b.j0, T), lambda, want, want_B);
                EXPECT_EQ(std::memcmp(store, want, sizeof store), 0) << b.i0 << "," << b.j0;
                EXPECT_EQ(std::memcmp(B, want_B, sizeof B), 0) << b.i0 << "," << b.j0;
            }
            {
                Field u = c.u, v = c.v;
                float cu = c.u[k], cv = c.v[k];
                reference::constant_update(c.block(b.i0, b.j0, T), lambda, &cu, &cv);
                Ener_min_lissage(u.data() + k, v.data() + k, c.U.data() + k, c.V.data() + k,
                                 c.fx.data() + k, c.fy.data() + k, c.ft.data() + k, c.nc, c.nl,
                                 c.D.data() + k, nullptr, nullptr, c.Estim.data() + k, nullptr,
                                 c.Estim_rot.data() + k, &rec, 0.0f, lambda, 0, 0, 0, 0.0f, nullptr,
                                 nullptr, nullptr, nullptr, nullptr, nullptr, 0.0f, nullptr,
                                 nullptr, c.It.data() + k);
                EXPECT_EQ(std::memcmp(&u[k], &cu, 4), 0) << b.i0 << "," << b.j0;
                EXPECT_EQ(std::memcmp(&v[k], &cv, 4), 0) << b.i0 << "," << b.j0;
            }
        }
    }
}

// Two ICM sweeps sharing the affine blocks' matrices give what two plain sweeps give: the same
// increments, parameters, counts and console text, also where a block's matrix is singular
// (no data term there and lambda 0).
TEST(FastBlockSystems, SweepsSharingBlockMatricesMatchPlainSweeps) {
    const int nc = 24, nl = 16, n = nc * nl;
    for (float lambda : {700.0f, 0.0f}) {
        BlockCase c(nc, nl);
        for (int i = 8; i < 16; i++)
            for (int j = 0; j < 8; j++) c.D[i * nc + j] = 0.0f;
        struct Result {
            Field u, v;
            std::vector<double> theta;
            int conv[2];
            std::string text;
        } plain, shared;
        AffineSystemCache cache;
        for (Result* r : {&plain, &shared}) {
            r->u.assign(n, 0.0f);
            r->v.assign(n, 0.0f);
            bloc* head = nullptr;
            init_parc(&head, 3, 0, nc, nl, 6, 3);
            for (bloc* b = head; b; b = b->suiv) b->indic = 1;
            {
                CapturedOutput capture(&r->text);
                for (int sweep = 0; sweep < 2; sweep++)
                    r->conv[sweep] = ICM_lissage_cached(
                        c.U.data(), c.V.data(), r->u.data(), r->v.data(), c.fx.data(), c.fy.data(),
                        c.ft.data(), nc, nl, 3.0f, c.D.data(), nullptr, nullptr, c.Estim.data(),
                        nullptr, c.Estim_rot.data(), head, 0, 0, 4, 0.0f, lambda, 0, 0, 0, 0.0f,
                        nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0.0f, nullptr,
                        nullptr, c.It.data(), r == &shared ? &cache : nullptr);
            }
            for (bloc* b = head; b; b = b->suiv)
                r->theta.insert(r->theta.end(), b->theta + 1, b->theta + 7);
            Free_parc(head);
        }
        EXPECT_TRUE(same_bits(shared.u, plain.u)) << lambda;
        EXPECT_TRUE(same_bits(shared.v, plain.v)) << lambda;
        EXPECT_EQ(std::memcmp(shared.theta.data(), plain.theta.data(), 8 * plain.theta.size()), 0);
        EXPECT_EQ(shared.conv[0], plain.conv[0]);
        EXPECT_EQ(shared.conv[1], plain.conv[1]);
        EXPECT_EQ(shared.text, plain.text);
        EXPECT_EQ(cache.entries.size(), 6u);
        if (lambda == 0.0f) {
            EXPECT_NE(plain.text.find("systeme non-inversible"), std::string::npos);
        }
    }
}

TEST(WorkerPool, EveryTaskRunsOnceAndCapturedTextStaysWithItsTask) {
    for (int threads : {1, 2, 5}) {
        WorkerPool pool(threads);
        EXPECT_EQ(pool.threads(), threads);
        for (int batch = 0; batch < 20; ++batch) {
            const int n = batch % 7;
            std::vector<std::atomic<int>> runs(n);
            std::vector<std::string> text(n);
            pool.run(n, [&](int t) {
                CapturedOutput capture(&text[t]);
                runs[t]++;
                print_or_capture(std::to_string(t).c_str());
            });
            for (int t = 0; t < n; ++t) {
                EXPECT_EQ(runs[t].load(), 1);
                EXPECT_EQ(text[t], std::to_string(t));
            }
        }
        std::vector<int> lines(50, 0);
        for_line_ranges(&pool, 50, [&](int first, int end) {
            for (int i = first; i < end; ++i) lines[i]++;
        });
        EXPECT_EQ(std::vector<int>(50, 1), lines);
    }
    EXPECT_GE(WorkerPool(0).threads(), 1);
}

TEST(ThreadsOption, UsageLineFollowsTheOthersAndBadValuesEndTheRun) {
    using namespace testrun;
    const std::string dir = scratch_dir("threads_option");
    const Result help = run_in(dir, program_path(), "-h -threads 3 -nbTimeSample 1");
    const std::string line =
        "    \x1b[1m-threads\x1b[0;0;0m = 3            : \x1b[0;35;59mnumber of threads (0 = all "
        "cores)\x1b[0;0;0m";
    const auto lines = lines_of(help.err);
    std::size_t init = lines.size(), threads = lines.size();
    for (std::size_t k = 0; k < lines.size(); ++k) {
        if (lines[k].rfind("    \x1b[1m-init", 0) == 0) init = k;
        if (lines[k].rfind("    \x1b[1m-threads", 0) == 0) threads = k;
    }
    ASSERT_LT(init, lines.size()) << help.err;
    ASSERT_LT(threads, lines.size()) << help.err;
    EXPECT_GT(threads, init);
    EXPECT_EQ(lines[threads], line);
    for (const char* bad : {"-threads -1", "-threads x", "-threads"}) {
        const Result r = run_in(dir, program_path(), bad);
        EXPECT_EQ(r.status, 1) << bad;
        EXPECT_NE(r.out.find("option -threads"), std::string::npos) << bad;
    }
}

}  // namespace
