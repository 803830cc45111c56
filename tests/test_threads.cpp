// The worker pool: every batch index once, chained tasks once each in their queue order, captured
// console text kept with its task, offered work joined by idle threads; the relaxation passes
// other threads join give the bytes of one thread.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "auxiliary_fit.h"
#include "vertical_relaxation.h"
#include "worker_pool.h"

TEST(WorkerPool, BatchesAndChainsRunEveryTaskOnceInItsChainsOrder) {
    for (int threads : {1, 2, 5}) {
        WorkerPool pool(threads);
        // Three chains of 40 tasks each, queued while batches run; a chain's tasks never overlap.
        std::vector<std::vector<int>> order(3);
        std::vector<std::atomic<int>> inside(3);
        for (int k = 0; k < 40; ++k)
            for (int c = 0; c < 3; ++c)
                pool.chain(c, k % 2 == 0, [&, c, k] {
                    EXPECT_EQ(++inside[c], 1);
                    order[c].push_back(k);
                    --inside[c];
                });
        for (int batch = 0; batch < 20; ++batch) {
            const int n = batch % 7;
            std::vector<std::atomic<int>> runs(n);
            std::vector<std::string> text(n);
            pool.run(n, [&](int t) {
                CapturedOutput capture(&text[t]);
                runs[t]++;
                print_or_capture(std::to_string(t).c_str());
            });
            for (int t = 0; t < n; ++t)
                EXPECT_TRUE(runs[t].load() == 1 && text[t] == std::to_string(t)) << t << text[t];
        }
        pool.wait_chains(true);
        std::vector<int> in_order(40);
        std::iota(in_order.begin(), in_order.end(), 0);
        for (int c = 0; c < 3; ++c) EXPECT_EQ(order[c], in_order) << c;
        std::vector<int> lines(50, 0);
        for_line_ranges(&pool, 50, [&](int first, int end) {
            for (int i = first; i < end; ++i) lines[i]++;
        });
        EXPECT_EQ(std::vector<int>(50, 1), lines);
        // Threads beyond the processors the process may use are not taken as their own.
        EXPECT_EQ(threads <= available_processors(), pool.dedicated_processors()) << threads;
    }
    EXPECT_EQ(available_processors(), WorkerPool(0).threads());
}

// Work offered by a chained task is joined by the other threads, and withdraw() returns only once
// every unit is done.
TEST(WorkerPool, OfferedWorkIsSharedAndFinishedBeforeItIsWithdrawn) {
    struct Units : SharedWork {
        std::atomic<int> next{0}, done{0};
        void help() override {
            while (next++ < 1000) done++;
        }
        bool exhausted() const override { return next.load() >= 1000; }
    };
    WorkerPool pool(3);
    Units units;
    pool.chain(0, true, [&] {
        pool.offer(&units);
        units.help();
        pool.withdraw(&units);
        EXPECT_EQ(units.done.load(), 1000);
    });
    pool.wait_chains(false);
    EXPECT_EQ(units.done.load(), 1000);
}

// The Gauss-Seidel passes in skewed bands, joined by idle threads band after band, give the bytes
// of one thread: fits and vertical-wind relaxations on seeded fields of sizes that leave a short
// last band, each run many times so that the threads meet at different rows.
TEST(SharedPasses, ThreadsJoiningTheBandsGiveTheBytesOfOneThread) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> value(-2.0f, 2.0f), weight(0.0f, 1.0f);
    for (const auto& [nc, nl] : {std::pair<short, short>{173, 131}, {128, 200}}) {
        const std::size_t n = static_cast<std::size_t>(nc) * nl;
        std::vector<float> obs(n), x0(n), D0(n), D1(n), a01(n), b01(n), a12(n), b12(n);
        for (std::size_t k = 0; k < n; ++k) {
            obs[k] = value(rng), x0[k] = 0.1f * value(rng);
            D0[k] = weight(rng), D1[k] = weight(rng);
            a01[k] = value(rng), b01[k] = value(rng), a12[k] = value(rng), b12[k] = value(rng);
        }
        std::vector<float> fit_one = x0, wind_one = x0;
        AuxiliaryFitScratch fs;
        WindRelaxationScratch ws;
        fit_field(fit_one.data(), obs.data(), nc, nl, 1.0f, 4.0f, 0.5f, 6, fs);
        const short conv_one =
            relax_interface_wind(wind_one.data(), D0.data(), D1.data(), a01.data(), b01.data(),
                                 a12.data(), b12.data(), 2.0f, 0.3f, nc, nl, ws);
        for (int threads : {2, 4}) {
            // The pool with its threads taken as having processors of their own, whatever the
            // machine, so that the passes are shared.
            struct Dedicated : WorkSharing {
                explicit Dedicated(int n) : pool(n) {}
                void offer(SharedWork* w) override { pool.offer(w); }
                void withdraw(SharedWork* w) override { pool.withdraw(w); }
                WorkerPool pool;
            } sharing(threads);
            for (int run = 0; run < 10; ++run) {
                std::vector<float> fit = x0, wind = x0;
                fit_field(fit.data(), obs.data(), nc, nl, 1.0f, 4.0f, 0.5f, 6, fs, &sharing);
                const short conv =
                    relax_interface_wind(wind.data(), D0.data(), D1.data(), a01.data(), b01.data(),
                                         a12.data(), b12.data(), 2.0f, 0.3f, nc, nl, ws, &sharing);
                ASSERT_EQ(0, std::memcmp(fit.data(), fit_one.data(), n * sizeof(float)))
                    << nc << " x " << nl << ", " << threads << " threads, run " << run;
                ASSERT_EQ(0, std::memcmp(wind.data(), wind_one.data(), n * sizeof(float)))
                    << nc << " x " << nl << ", " << threads << " threads, run " << run;
                ASSERT_EQ(conv, conv_one);
            }
        }
    }
}
