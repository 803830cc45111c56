// The fast mode (-fast 1) on whole runs of a sequence of known winds: the same bytes for every
// thread count and run after run, and winds as close to the truth as the default's.
#include "io_field.h"
#include "run_helpers.h"

using namespace testrun;

namespace {

constexpr int kSize = 48, kLayers = 3, kSamples = 3;

// Layer l moves by a smooth rotational shear, (columns, lines) px per step.
std::pair<double, double> wind(int l, double x, double y) {
    const double c = kSize / 2.0;
    return {0.5 - 0.2 * l + 0.015 * (y - c), -0.3 + 0.2 * l - 0.01 * (l + 1) * (x - c)};
}

struct Outcome {
    std::map<std::string, std::string> files;
    double error = 0;  // mean endpoint error of every layer and step, 6 px margin
};

Outcome run(const std::string& name, const std::string& args) {
    const std::string dir = scratch_dir(name);
    write_sequence(dir, "F", kSize, kSize, kLayers, kSamples, wind);
    const Result r =
        run_in(dir, program_path(), "-nbTimeSample 3 -nbLayers 3 -coarseGrid 3 " + args);
    EXPECT_EQ(r.status, 0) << r.err;
    Outcome out;
    out.files = outputs_of(dir);
    std::vector<float> u(kSize * kSize), v(kSize * kSize);
    int n = 0;
    for (int l = 0; l < kLayers; ++l)
        for (int t = 0; t + 1 < kSamples; ++t) {
            const std::string xaf =
                "F" + std::to_string(l) + "_t" + std::to_string(t) + ".pgm_3D.xaf";
            short err = 0;
            read_field((dir + "/" + xaf).c_str(), u.data(), v.data(), kSize, kSize, &err);
            EXPECT_EQ(err, 0) << xaf;
            for (int i = 6; i < kSize - 6; ++i)
                for (int j = 6; j < kSize - 6; ++j, ++n) {
                    const auto w = wind(l, j, i);
                    out.error +=
                        std::hypot(u[i * kSize + j] - w.first, v[i * kSize + j] - w.second);
                }
        }
    out.error /= n;
    return out;
}

}  // namespace

TEST(FastMode, SameBytesForEveryThreadCountAndRunAfterRunAtTheDefaultsAccuracy) {
    const Outcome standard = run("default", "");
    const Outcome one = run("fast1", "-fast 1 -threads 1");
    const Outcome three = run("fast3", "-fast 1 -threads 3");
    const Outcome again = run("fast3again", "-fast 1 -threads 3");
    EXPECT_TRUE(one.files == three.files);
    EXPECT_TRUE(three.files == again.files);
    EXPECT_LT(standard.error, 0.3);  // the winds are found at all
    EXPECT_LE(one.error, 1.02 * standard.error);
}
