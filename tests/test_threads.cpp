// The worker pool: every batch index once, chained tasks once each in their queue order, captured
// console text kept with its task, offered work joined by idle threads.
#include <gtest/gtest.h>

#include <atomic>
#include <numeric>
#include <string>
#include <vector>

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
    }
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
