// Work split between threads: the worker pool (every task once, captured console text kept with
// its task), the -threads option, and the clamped 2-D filter over any split into line ranges.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bib_ansi.h"
#include "filter_2d.h"
#include "run_helpers.h"
#include "worker_pool.h"

namespace {

using Field = std::vector<float>;

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

bool same_bits(const Field& a, const Field& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
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

TEST(Filter2D, EveryMaskSizeImageSizeAndLineSplitGivesTheClampedCorrelation) {
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
