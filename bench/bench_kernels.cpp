// Micro-benchmarks of the estimator's hot kernels on random images (the argument is the image
// side): the clamped 2-D filters, the warp, one relaxation pass of the auxiliary fits and of the
// vertical wind, the whole fits and interface relaxation, the link weights, the pointwise
// data-term pieces, the robust weights, and one ICM sweep over blocks of 8, 4 and 1 pixels.
// Items per second count pixels.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "affine.h"
#include "auxiliary_fit.h"
#include "bib_LP_ansi.h"
#include "bib_ansi.h"
#include "filter_masks.h"
#include "layer_terms.h"
#include "lissage_3D.h"
#include "lissage_div_curl.h"
#include "operations_images.h"
#include "physical_constants.h"
#include "relax.h"
#include "skewed_bands.h"
#include "vertical_relaxation.h"
#include "worker_pool.h"

namespace {

using Field = std::vector<float>;

Field random_field(int n, float lo, float hi, unsigned seed) {
    std::mt19937 g(seed);
    std::uniform_real_distribution<float> d(lo, hi);
    Field f(static_cast<std::size_t>(n));
    for (float& x : f) x = d(g);
    return f;
}

void count_pixels(benchmark::State& state, int n) {
    state.SetItemsProcessed(static_cast<long>(state.iterations()) * n);
}

void BM_Filter5x5(benchmark::State& state) {
    const int s = static_cast<int>(state.range(0)), n = s * s;
    Field in = random_field(n, 0, 1000, 1), out(n);
    for (auto _ : state) Filtre_f_2D_f(out.data(), in.data(), filtre_GX2, 5, 5, s, s);
    count_pixels(state, n);
}

void BM_Filter3x3(benchmark::State& state) {
    const int s = static_cast<int>(state.range(0)), n = s * s;
    Field in = random_field(n, -50, 50, 2), out(n);
    for (auto _ : state) Filtre_f_2D_f(out.data(), in.data(), filtre_T2, 3, 3, s, s);
    count_pixels(state, n);
}

void BM_Warp(benchmark::State& state) {
    const int s = static_cast<int>(state.range(0)), n = s * s;
    Field u = random_field(n, -3, 3, 3), v = random_field(n, -3, 3, 4);
    Field in = random_field(n, 0, 1000, 5), out(n);
    for (auto _ : state) Recal_fl(u.data(), v.data(), out.data(), in.data(), s, s);
    count_pixels(state, n);
}

// One pass (two sweeps) of an auxiliary fit with given link weights.
void BM_AuxiliaryFitPass(benchmark::State& state) {
    const int s = static_cast<int>(state.range(0)), n = s * s;
    Field obs = random_field(n, -1, 1, 6), est = random_field(n, -1, 1, 7);
    std::vector<Line_Process> lp(n);
    Maz_LP(lp.data(), s, s);
    for (auto _ : state)
        benchmark::DoNotOptimize(
            RegulEstim_Rob(obs.data(), est.data(), s, s, 150.0f, 1.0f, 0.0f, lp.data()));
    count_pixels(state, 2 * n);
}

// The pool of range(1) threads, when more than one, for the passes to share.
struct Sharing {
    explicit Sharing(const benchmark::State& state) : pool(static_cast<int>(state.range(1))) {}
    WorkSharing* get() { return pool.threads() > 1 ? &pool : nullptr; }
    WorkerPool pool;
};

// The divergence and vorticity fits of one layer with the work memory kept between calls, as
// the run makes them, on range(1) threads, in double (range(2) 0) or in float (1, the fast
// mode); the estimates restart from the same values at every iteration.
void BM_AuxiliaryFits(benchmark::State& state) {
    const int s = static_cast<int>(state.range(0)), n = s * s;
    Sharing sharing(state);
    std::vector<Field> f;
    for (int k = 0; k < 6; ++k) f.push_back(random_field(n, -1, 1, 40 + k));
    const std::vector<Field> start = f;
    AuxiliaryFitScratch scratch;
    for (auto _ : state) {
        state.PauseTiming();
        for (int k = 4; k < 6; ++k) f[k] = start[k];
        state.ResumeTiming();
        fit_auxiliary_fields(f[4].data(), f[5].data(), f[0].data(), f[1].data(), f[2].data(),
                             f[3].data(), s, s, 150.0f, 1000.0f, scratch, sharing.get(),
                             state.range(2) ? FitPrecision::Single : FitPrecision::Double);
    }
    count_pixels(state, n);
}

// A field into the bordered band layout of the passes and back.
void BM_BandLayout(benchmark::State& state) {
    const int s = static_cast<int>(state.range(0)), n = s * s;
    const bands::BandGrid g(s, s);
    Field x = random_field(n, -1, 1, 15), X(g.bordered_size());
    for (auto _ : state) {
        bands::to_bands(g, x.data(), X.data());
        bands::from_bands(g, X.data(), x.data());
        benchmark::DoNotOptimize(x.data());
    }
    count_pixels(state, n);
}

// One pass (two sweeps) of the vertical-wind relaxation with given link weights.
void BM_VerticalWindPass(benchmark::State& state) {
    const int s = static_cast<int>(state.range(0)), n = s * s;
    Field w = random_field(n, -0.1f, 0.1f, 8), D0 = random_field(n, 0, 1, 9),
          D1 = random_field(n, 0, 1, 10), a01 = random_field(n, -5, 5, 11),
          b01 = random_field(n, -90, 90, 12), a12 = random_field(n, -5, 5, 13),
          b12 = random_field(n, -90, 90, 14);
    std::vector<Line_Process> lp(n);
    Maz_LP(lp.data(), s, s);
    for (auto _ : state)
        benchmark::DoNotOptimize(RegulWVert_RobUpDown(w.data(), D0.data(), D1.data(), a01.data(),
                                                      b01.data(), a12.data(), b12.data(), s, s,
                                                      5000.0f, lp.data()));
    count_pixels(state, 2 * n);
}

// The interface relaxation (at most two passes of two sweeps, the weights recomputed after
// each) with the work memory kept between calls, as the run makes it, on range(1) threads; the
// wind restarts from the same values.
void BM_InterfaceRelaxation(benchmark::State& state) {
    const int s = static_cast<int>(state.range(0)), n = s * s;
    Sharing sharing(state);
    const Field start = random_field(n, -0.1f, 0.1f, 8);
    Field w = start, D0 = random_field(n, 0, 1, 9), D1 = random_field(n, 0, 1, 10),
          a01 = random_field(n, -5, 5, 11), b01 = random_field(n, -90, 90, 12),
          a12 = random_field(n, -5, 5, 13), b12 = random_field(n, -90, 90, 14);
    WindRelaxationScratch scratch;
    for (auto _ : state) {
        state.PauseTiming();
        w = start;
        state.ResumeTiming();
        benchmark::DoNotOptimize(relax_interface_wind(w.data(), D0.data(), D1.data(), a01.data(),
                                                      b01.data(), a12.data(), b12.data(), 50.0f,
                                                      0.01f, s, s, scratch, sharing.get()));
    }
    count_pixels(state, n);
}

void BM_LinkWeights(benchmark::State& state) {
    const int s = static_cast<int>(state.range(0)), n = s * s;
    Field x = random_field(n, -1, 1, 15);
    std::vector<Line_Process> lp(n);
    for (auto _ : state) Relax_estim(x.data(), s, s, 1000.0f, lp.data());
    count_pixels(state, n);
}

void BM_DataTermUpdate(benchmark::State& state) {
    const int s = static_cast<int>(state.range(0)), n = s * s;
    Field div = random_field(n, -0.05f, 0.05f, 16), ex(n), gx = random_field(n, -1, 1, 17),
          gy = random_field(n, -1, 1, 18), tfx = random_field(n, -20, 20, 19),
          tfy = random_field(n, -20, 20, 20), O = random_field(n, 0, 1000, 21),
          ftd = random_field(n, -9, 9, 22), rl = random_field(n, 1, 1.2f, 23),
          rh = random_field(n, 0.8f, 1, 24), wl = random_field(n, -0.1f, 0.1f, 25),
          wh = random_field(n, -0.1f, 0.1f, 26), fx(n), fy(n), ft(n);
    Exp_image(ex.data(), div.data(), s, s);
    const MassTermsView level{div.data(), ex.data(), gx.data(), gy.data(),  O.data(),
                              ftd.data(), nullptr,   nullptr,   tfx.data(), tfy.data()};
    for (auto _ : state)
        data_term_update(fx.data(), fy.data(), ft.data(), level, rl.data(), rh.data(), wl.data(),
                         wh.data(), kFluxScale, 0, n);
    count_pixels(state, n);
}

void BM_RobustWeights(benchmark::State& state) {
    const int s = static_cast<int>(state.range(0)), n = s * s;
    Field u = random_field(n, -1, 1, 27), v = random_field(n, -1, 1, 28),
          fx = random_field(n, -20, 20, 29), fy = random_field(n, -20, 20, 30),
          ft = random_field(n, -9, 9, 31), D(n);
    for (auto _ : state)
        Data_Out_Gen_f(u.data(), v.data(), fx.data(), fy.data(), ft.data(), 81.0f, s, s, D.data());
    count_pixels(state, n);
}

// One ICM sweep of a layer whose blocks all have side 2^taille (affine from 8 up, constant
// below), its block sums in extended precision (range(2) 0) or in double (1, the fast mode),
// the affine matrices factored in every sweep as in a pass's first one (range(3) 0) or kept,
// only the right-hand sides summed, as in its later ones (1).
void BM_IcmSweep(benchmark::State& state) {
    const int s = static_cast<int>(state.range(0)), n = s * s;
    const short taille = static_cast<short>(state.range(1));
    const BlockSums sums = state.range(2) ? BlockSums::fast : BlockSums::extended;
    const bool kept = state.range(3) != 0;
    Field U = random_field(n, -2, 2, 32), V = random_field(n, -2, 2, 33), u(n), v(n),
          fx = random_field(n, -20, 20, 34), fy = random_field(n, -20, 20, 35),
          ft = random_field(n, -9, 9, 36), D = random_field(n, 0, 1, 37),
          E = random_field(n, -0.1f, 0.1f, 38), R = random_field(n, -0.1f, 0.1f, 39);
    std::vector<short> It(n, 500);
    const short side = static_cast<short>(s >> taille);
    bloc* head = nullptr;
    init_parc(&head, taille, 0, static_cast<short>(s), static_cast<short>(s),
              static_cast<long>(side) * side, side);
    for (bloc* b = head; b; b = b->suiv) b->indic = 1;
    const LayerImages images{U.data(),
                             V.data(),
                             u.data(),
                             v.data(),
                             fx.data(),
                             fy.data(),
                             ft.data(),
                             D.data(),
                             static_cast<short>(s),
                             static_cast<short>(s)};
    SmoothingEnergy energy;
    energy.lambda = 700.0f;
    energy.Estim = E.data();
    energy.Estim_rot = R.data();
    energy.It = It.data();
    AffineSystemCache cache;
    if (kept) icm_sweep(images, energy, head, 4, 3.0f, &cache, nullptr, sums);
    for (auto _ : state) {
        if (!kept) cache.forget();
        benchmark::DoNotOptimize(icm_sweep(images, energy, head, 4, 3.0f, &cache, nullptr, sums));
    }
    Free_parc(head);
    count_pixels(state, n);
}

}  // namespace

BENCHMARK(BM_Filter5x5)->Arg(256)->Arg(512);
BENCHMARK(BM_Filter3x3)->Arg(256)->Arg(512);
BENCHMARK(BM_Warp)->Arg(256)->Arg(512);
BENCHMARK(BM_AuxiliaryFitPass)->Arg(256)->Arg(512);
BENCHMARK(BM_AuxiliaryFits)->ArgsProduct({{256, 512}, {1, 2}, {0, 1}})->UseRealTime();
BENCHMARK(BM_BandLayout)->Arg(256)->Arg(512);
BENCHMARK(BM_VerticalWindPass)->Arg(256)->Arg(512);
BENCHMARK(BM_InterfaceRelaxation)->ArgsProduct({{256, 512}, {1, 2}})->UseRealTime();
BENCHMARK(BM_LinkWeights)->Arg(256)->Arg(512);
BENCHMARK(BM_DataTermUpdate)->Arg(256)->Arg(512);
BENCHMARK(BM_RobustWeights)->Arg(256)->Arg(512);
BENCHMARK(BM_IcmSweep)
    ->Args({256, 3, 0, 0})
    ->Args({256, 2, 0, 0})
    ->Args({256, 0, 0, 0})
    ->Args({256, 5, 1, 0})
    ->Args({256, 5, 1, 1})
    ->Args({256, 3, 1, 0})
    ->Args({256, 3, 1, 1})
    ->Args({256, 0, 1, 0});

BENCHMARK_MAIN();
