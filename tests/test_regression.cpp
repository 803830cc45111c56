// Regression guard: the program's output files and console text on fixed synthetic inputs are
// compared byte for byte (through their SHA-256 digests) with the recorded ones in
// tests/data/reference_outputs.sha256. Set OF3D_UPDATE_REFERENCE=1 to re-record
// them after a deliberate change of results.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>

#include "run_helpers.h"

using namespace testrun;
namespace fs = std::filesystem;

namespace {

const char* const kManifest = OF3D_SOURCE_DIR "/tests/data/reference_outputs.sha256";

struct Case {
    const char* name;
    int nc, nl, nb_layers, nb_seq;
    const char* args;
};
// Four layers: interfaces with both neighbours moving, between the two outermost ones.
const Case kCases[] = {
    {"multires", 40, 36, 3, 3, "-nbTimeSample 3 -nbLayers 3 -coarseResol 1 -coarseGrid 2"},
    {"defaults", 48, 48, 3, 2, "-nbTimeSample 2 -nbLayers 3"},
    {"four_layers", 40, 40, 4, 2, "-nbTimeSample 2 -nbLayers 4 -coarseGrid 3"},
};

// "digest  case/file" lines for every result file of a run, sorted by name.
std::map<std::string, std::string> digests(const std::string& dir, const std::string& name) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string file = e.path().filename().string();
        if (file.find(".pgm_3D.") == std::string::npos && file.rfind("temp", 0) != 0 &&
            file.rfind("console.", 0) != 0)
            continue;
        const Result r = run_in(dir, "sha256sum", "'" + file + "'");
        out[name + "/" + file] = r.out.substr(0, 64);
    }
    return out;
}

std::map<std::string, std::string> run_all(const std::string& extra_args) {
    std::map<std::string, std::string> all;
    for (const Case& c : kCases) {
        const std::string dir = scratch_dir(std::string("reg_") + c.name);
        write_shear_sequence(dir, c.nc, c.nl, c.nb_layers, c.nb_seq);
        const Result r = run_in(dir, program_path(), std::string(c.args) + " " + extra_args);
        EXPECT_EQ(r.status, 0) << c.name << "\n" << r.out << r.err;
        // The console text too, but for the duration line (a number of seconds).
        const std::size_t duration = r.out.rfind("Processing time duration (sec): ");
        std::ofstream(dir + "/console.stdout") << r.out.substr(0, duration);
        std::ofstream(dir + "/console.stderr") << r.err;
        for (const auto& kv : digests(dir, c.name)) all.insert(kv);
    }
    return all;
}

std::map<std::string, std::string> recorded() {
    std::map<std::string, std::string> want;
    for (const auto& line : lines_of(slurp(kManifest)))
        if (line.size() > 66) want[line.substr(66)] = line.substr(0, 64);
    return want;
}

void expect_recorded(const std::map<std::string, std::string>& got, const std::string& label) {
    const auto want = recorded();
    ASSERT_FALSE(want.empty()) << "no reference in " << kManifest;
    EXPECT_EQ(got.size(), want.size()) << label;
    for (const auto& kv : want) {
        const auto it = got.find(kv.first);
        ASSERT_NE(it, got.end()) << kv.first << " was not written" << label;
        EXPECT_EQ(it->second, kv.second) << kv.first << " differs from the reference" << label;
    }
}

}  // namespace

TEST(Regression, OutputsMatchTheRecordedReferenceByteForByte) {
    const auto got = run_all("");
    if (std::getenv("OF3D_UPDATE_REFERENCE")) {
        std::ofstream m(kManifest);
        for (const auto& kv : got) m << kv.second << "  " << kv.first << "\n";
        GTEST_SKIP() << "reference re-recorded in " << kManifest;
    }
    expect_recorded(got, "");
}

// The number of threads never changes a result: one thread, and more threads than layers.
TEST(Regression, OutputsAreTheSameWithOneThreadAndWithThree) {
    for (const char* threads : {"-threads 1", "-threads 3"})
        expect_recorded(run_all(threads), std::string(" with ") + threads);
}

// Fields of 128 x 128 pixels and more let idle threads join the passes of the auxiliary fits and
// of the interface relaxation band by band (when the machine has the processors): a whole run
// with two threads writes the bytes of one thread.
TEST(Regression, PassesSharedBetweenThreadsGiveTheBytesOfOneThread) {
    std::map<std::string, std::string> files[2];
    for (int t = 0; t < 2; ++t) {
        const std::string dir = scratch_dir(t == 0 ? "shared_passes_1" : "shared_passes_2");
        ASSERT_EQ(run_in(dir, std::string(OF3D_BIN_DIR) + "/make_layered_sample",
                         "-o . -size 128 -samples 2 -seed 2")
                      .status,
                  0);
        const Result r = run_in(dir, program_path(),
                                "-nbTimeSample 2 -nbLayers 3 -coarseGrid 2 -fineGrid 1 -threads " +
                                    std::to_string(t + 1));
        ASSERT_EQ(r.status, 0) << r.err;
        files[t] = outputs_of(dir);
    }
    EXPECT_GE(files[0].size(), 10u);
    EXPECT_TRUE(files[0] == files[1]);
}
