// The checks made before the buffers of a run are allocated (working size, memory, densities),
// the image list reader, and failures handed to a handler.
#include <gtest/gtest.h>

#include "fail.h"
#include "image_list.h"
#include "run_checks.h"
#include "run_helpers.h"

using namespace testrun;
namespace fs = std::filesystem;

TEST(RunChecksDeathTest, WorkingSizeAndMemoryBeyondTheLimitsNameTheSettingToChange) {
    const struct {
        short nc, nl, resol, scale;
        const char* regex;  // empty: accepted
    } sizes[] = {
        {30000, 100, 0, 12, "-coarseGrid 12 .* 30000 x 100 .*largest value that fits is 11"},
        {32767, 2, 1, 0,
         "-coarseResol 1 .* even with -coarseGrid 0; the largest value that fits is 0"},
        {1000, 1000, 3, 11, ""},
    };
    for (const auto& c : sizes) {
        if (*c.regex)
            EXPECT_EXIT((dup2(2, 1), check_working_size(c.nc, c.nl, c.resol, c.scale)),
                        testing::ExitedWithCode(1), c.regex);
        else
            check_working_size(c.nc, c.nl, c.resol, c.scale);
    }
    // Exactly the memory of a 64 x 64 working size: -coarseGrid 6 keeps it, 7 doubles each side.
    const std::uint64_t for_64 = run_memory_estimate(64, 64, 64, 64, 3, 0);
    check_run_memory(64, 64, 3, 0, 6, for_64);
    EXPECT_EXIT(
        (dup2(2, 1), check_run_memory(64, 64, 3, 0, 14, for_64)), testing::ExitedWithCode(1),
        "needs about 269.0 GiB of memory \\(working size 16384 x 16384, 3 layers, 1 pyramid "
        "levels\\) but only about [0-9]+ MiB are available; the largest -coarseGrid that "
        "fits is 6");
    EXPECT_EXIT((dup2(2, 1), check_run_memory(1000, 1000, 3, 1, 5, 1 << 20)),
                testing::ExitedWithCode(1), "use fewer layers \\(-nbLayers\\) or a crop window");
}

// Densities: one blank-separated decimal number per layer, read as fscanf("%f") reads it.
TEST(RunChecksDeathTest, DensitiesAreDecimalNumbersFinitePositiveAndOnePerLayer) {
    const struct {
        std::string text;
        std::vector<float> values;  // the accepted values of the two layers
        const char* regex;          // empty: accepted
    } cases[] = {
        {"1.0\r\n0.8\r\n", {1.0f, 0.8f}, ""},
        {"\357\273\2771.5 2e-1", {1.5f, 0.2f}, ""},  // after a byte-order mark
        {"1.0\n", {}, "the density file 'd.txt' holds 1 numbers; 2 layers need one each"},
        {"abc\n1\n", {}, "entry 1 of the density file 'd.txt' is 'abc', not a number\n"},
        {"1.0\n0,8\n", {}, "entry 2 .* is '0,8', not a number \\(the decimal separator is a point"},
        {"0 1", {}, "density 0 of layer 0 .* not a finite positive number"},
        {std::string("\377\3761\0.\0005\0", 8), {}, "'d.txt' is UTF-16 text"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::FILE* f = fmemopen(const_cast<char*>(c.text.data()), c.text.size(), "r");
        if (*c.regex == '\0')
            for (int l = 0; l < 2; ++l) EXPECT_EQ(read_density(f, "d.txt", l, 2), c.values[l]);
        else
            EXPECT_EXIT((dup2(2, 1), read_density(f, "d.txt", 0, 2), read_density(f, "d.txt", 1, 2),
                         std::exit(0)),
                        testing::ExitedWithCode(1), c.regex);
        std::fclose(f);
    }
}

// 1 layer x 3 time samples need 4 paths; what follows them is never read.
TEST(ImageList, LineEndsByteOrderMarkEmptyLinesAndCounts) {
    const std::string dir = scratch_dir("image_list");
    const std::vector<std::string> abcd = {"./a b.pgm", "b", "c", "d"};
    const struct {
        const char* text;
        std::vector<std::string> paths;
        const char* problem;  // empty: read
    } cases[] = {
        {"./a b.pgm\r\nb\r\nc\r\nd", abcd, ""},
        {"\xEF\xBB\xBF./a b.pgm\r\nb\nc\r\r\nd\n\n\nnot a path", abcd, ""},
        {"a\nb\n\r\nd\n", {}, "line 3 of the image list 'L' is empty; it must hold an image path"},
    };
    int k = 0;
    for (const auto& c : cases) {
        const std::string path = dir + "/list" + std::to_string(k++) + ".txt";
        write_file(path, c.text);
        const ImageList list = read_image_list(path, 3, 1);
        std::string problem = list.problem;
        if (problem.find(path) != std::string::npos)
            problem.replace(problem.find(path), path.size(), "L");
        if (*c.problem)
            EXPECT_EQ(problem.rfind(c.problem, 0), 0u) << path << ": " << problem;
        else
            EXPECT_EQ(list.paths, c.paths) << path << ": " << problem;
    }
}

// With a handler a failure hands its message over instead of printing it and ending the process
// (the fuzz harnesses throw from it), whatever its style.
TEST(FailHandler, FailuresReachTheHandlerInsteadOfEndingTheProcess) {
    const std::string path = scratch_dir("handler") + "/max.pgm";
    std::ofstream(path, std::ios::binary) << "P5\n1 1\n4095\n\x01\x01";
    const FailHandler previous = set_fail_handler([](const char* m) { throw std::string(m); });
    testing::internal::CaptureStdout();
    for (const char* absent : {"", "/absent.pgm"}) {
        short image[4], nc = 0, nl = 0;
        try {
            read_pgm((path + absent).c_str(), image, &nc, &nl);
            ADD_FAILURE() << "accepted";
        } catch (const std::string& m) {
            EXPECT_NE(m.find(*absent ? "Unknown file name" : "resolution problem def=4095"),
                      std::string::npos)
                << m;
        }
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    set_fail_handler(previous);
}
