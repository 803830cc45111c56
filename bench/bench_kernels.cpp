// Micro-benchmarks of the estimator's hot kernels on random images (the argument is the image
// side): the clamped 2-D filters, the warp, the Gauss-Seidel sweeps of the auxiliary fits and
// of the vertical wind, the whole fits and interface relaxation, the link weights, the pointwise
// data-term pieces, the robust weights, and one ICM sweep over blocks of 8 and of 4 pixels. Items
// per second count pixels.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "affine.h"
#include "bib_LP_ansi.h"
#include "bib_ansi.h"
#include "layer_terms.h"
#include "lissage_div_curl.h"
#include "operations_images.h"
#include "relax.h"
#include "robust_sweeps.h"

namespace {

using Field = std::vector<float>;

Field random_field(int n, float lo, float hi, unsigned seed) {
    std::mt19937 g(seed);
    std::uniform_real_distribution<float> d(lo, hi);
    Field f(static_cast<std::size_t>(n));
    for (float& x : f) x = d(g);
    return f;
}

float kGX2[25] = {135, -188, 0,   188,  -135, -15, -263, 0,   263,  15, -65, -288, 0,
                  288, 65,   -15, -263, 0,    263, 15,   135, -188, 0,  188, -135};
float kT2[9] = {0, 1, 0, 1, 2, 1, 0, 1, 0};

void count_pixels(benchmark::State& state, int n) {
    state.SetItemsProcessed(static_cast<long>(state.iterations()) * n);
}

void BM_Filter5x5(benchmark::State& state) {
    const int s = static_cast<int>(state.range(0)), n = s * s;
    Field in = random_field(n, 0, 1000, 1), out(n);
    for (auto _ : state) Filtre_f_2D_f(out.data(), in.data(), kGX2, 5, 5, s, s);
    count_pixels(state, n);
}

void BM_Filter3x3(benchmark::State& state) {
    const int s = static_cast<int>(state.range(0)), n = s * s;
    Field in = random_field(n, -50, 50, 2), out(n);
    for (auto _ : state) Filtre_f_2D_f(out.data(), in.data(), kT2, 3, 3, s, s);
    count_pixels(state, n);
}

void BM_Warp(benchmark::State& state) {
    const int s = static_cast<int>(state.range(0)), n = s * s;
    Field u = random_field(n, -3, 3, 3), v = random_field(n, -3, 3, 4);
    Field in = random_field(n, 0, 1000, 5), out(n);
    for (auto _ : state) Recal_fl(u.data(), v.data(), out.data(), in.data(), s, s);
    count_pixels(state, n);
}

void BM_AuxiliaryFitSweeps(benchmark::State& state) {
    const int s = static_cast<int>(state.range(0)), n = s * s;
    Field obs = random_field(n, -1, 1, 6), est = random_field(n, -1, 1, 7);
    std::vector<Line_Process> lp(n);
    Maz_LP(lp.data(), s, s);
    for (auto _ : state)
        benchmark::DoNotOptimize(
            regul_estim_sweeps(obs.data(), est.data(), s, s, 150.0f, 1.0f, lp.data()));
    count_pixels(state, 2 * n);
}

// Divergence and vorticity fits of range(1) copies of one layer at once (their sweeps
// interleaved); the estimates restart from the same values at every iteration.
void BM_AuxiliaryFits(benchmark::State& state) {
    const int s = static_cast<int>(state.range(0)), n = s * s;
    const int count = static_cast<int>(state.range(1));
    std::vector<Field> f;
    for (int k = 0; k < 6 * count; ++k) f.push_back(random_field(n, -1, 1, 40 + k % 6));
    const std::vector<Field> start = f;
    std::vector<WindAndFields> layers;
    for (int l = 0; l < count; ++l) {
        Field* g = &f[6 * l];
        layers.push_back(
            {g[0].data(), g[1].data(), g[2].data(), g[3].data(), g[4].data(), g[5].data()});
    }
    for (auto _ : state) {
        state.PauseTiming();
        for (int l = 0; l < count; ++l)
            for (int k = 4; k < 6; ++k) f[6 * l + k] = start[6 * l + k];
        state.ResumeTiming();
        fit_auxiliary_fields(layers.data(), count, true, true, s, s, 150.0f, 1000.0f);
    }
    count_pixels(state, n * count);
}

void BM_VerticalWindSweeps(benchmark::State& state) {
    const int s = static_cast<int>(state.range(0)), n = s * s;
    Field w = random_field(n, -0.1f, 0.1f, 8), D0 = random_field(n, 0, 1, 9),
          D1 = random_field(n, 0, 1, 10), a01 = random_field(n, -5, 5, 11),
          b01 = random_field(n, -90, 90, 12), a12 = random_field(n, -5, 5, 13),
          b12 = random_field(n, -90, 90, 14);
    std::vector<Line_Process> lp(n);
    Maz_LP(lp.data(), s, s);
    for (auto _ : state)
        benchmark::DoNotOptimize(regul_wvert_sweeps(w.data(), D0.data(), D1.data(), a01.data(),
                                                    b01.data(), a12.data(), b12.data(), s, s,
                                                    5000.0f, lp.data()));
    count_pixels(state, 2 * n);
}

// The interface relaxation (at most two passes of two sweeps, the weights recomputed after
// each) with the work memory kept between calls; the wind restarts from the same values.
void BM_InterfaceRelaxation(benchmark::State& state) {
    const int s = static_cast<int>(state.range(0)), n = s * s;
    const Field start = random_field(n, -0.1f, 0.1f, 8);
    Field w = start, D0 = random_field(n, 0, 1, 9), D1 = random_field(n, 0, 1, 10),
          a01 = random_field(n, -5, 5, 11), b01 = random_field(n, -90, 90, 12),
          a12 = random_field(n, -5, 5, 13), b12 = random_field(n, -90, 90, 14);
    std::vector<Line_Process> ztw;
    std::vector<WindTerms> terms;
    for (auto _ : state) {
        state.PauseTiming();
        w = start;
        state.ResumeTiming();
        benchmark::DoNotOptimize(relax_interface_wind(w.data(), D0.data(), D1.data(), a01.data(),
                                                      b01.data(), a12.data(), b12.data(), 50.0f,
                                                      0.01f, s, s, ztw, terms));
    }
    count_pixels(state, n);
}

void BM_LinkWeights(benchmark::State& state) {
    const int s = static_cast<int>(state.range(0)), n = s * s;
    Field x = random_field(n, -1, 1, 15);
    std::vector<Line_Process> lp(n);
    for (auto _ : state) relax_weights(x.data(), s, s, 1000.0f, lp.data(), 0, s);
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
    for (auto _ : state)
        data_term_update(fx.data(), fy.data(), ft.data(), div.data(), ex.data(), gx.data(),
                         gy.data(), tfx.data(), tfy.data(), O.data(), ftd.data(), rl.data(),
                         rh.data(), wl.data(), wh.data(), 88.29f, 0, n);
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
// below).
void BM_IcmSweep(benchmark::State& state) {
    const int s = static_cast<int>(state.range(0)), n = s * s;
    const short taille = static_cast<short>(state.range(1));
    Field U = random_field(n, -2, 2, 32), V = random_field(n, -2, 2, 33), u(n), v(n),
          fx = random_field(n, -20, 20, 34), fy = random_field(n, -20, 20, 35),
          ft = random_field(n, -9, 9, 36), D = random_field(n, 0, 1, 37), G(n, 1.0f), M(n, 1.0f),
          E = random_field(n, -0.1f, 0.1f, 38), R = random_field(n, -0.1f, 0.1f, 39);
    std::vector<short> It(n, 500);
    const short side = static_cast<short>(s >> taille);
    bloc* head = nullptr;
    init_parc(&head, taille, 0, static_cast<short>(s), static_cast<short>(s),
              static_cast<long>(side) * side, side);
    for (bloc* b = head; b; b = b->suiv) b->indic = 1;
    for (auto _ : state)
        benchmark::DoNotOptimize(
            ICM_lissage(U.data(), V.data(), u.data(), v.data(), fx.data(), fy.data(), ft.data(), s,
                        s, 3.0f, D.data(), G.data(), nullptr, E.data(), M.data(), R.data(), head, 0,
                        0, 4, 0.0f, 700.0f, 0, 0, 0, 0.0f, nullptr, nullptr, nullptr, nullptr,
                        nullptr, nullptr, 0.0f, nullptr, nullptr, It.data()));
    Free_parc(head);
    count_pixels(state, n);
}

}  // namespace

BENCHMARK(BM_Filter5x5)->Arg(256)->Arg(512);
BENCHMARK(BM_Filter3x3)->Arg(256)->Arg(512);
BENCHMARK(BM_Warp)->Arg(256)->Arg(512);
BENCHMARK(BM_AuxiliaryFitSweeps)->Arg(256)->Arg(512);
BENCHMARK(BM_AuxiliaryFits)->Args({256, 1})->Args({256, 2})->Args({256, 3})->Args({512, 1});
BENCHMARK(BM_VerticalWindSweeps)->Arg(256)->Arg(512);
BENCHMARK(BM_InterfaceRelaxation)->Arg(256)->Arg(512);
BENCHMARK(BM_LinkWeights)->Arg(256)->Arg(512);
BENCHMARK(BM_DataTermUpdate)->Arg(256)->Arg(512);
BENCHMARK(BM_RobustWeights)->Arg(256)->Arg(512);
BENCHMARK(BM_IcmSweep)->Args({256, 3})->Args({256, 2})->Args({256, 0});

BENCHMARK_MAIN();
